#!/usr/bin/python3 -B
# -B: run as root, Python would write a byte-code cache beside the
# installed renderer, which its package does not own.
"""Renders the HTTPS site (deploy/site.conf.in, with the chunk location of
deploy/chunk-location.conf.in) for a TlsApache of httpd.py.

    from site_config import MODULES, loads, ntlm_user_file, site_conf
    httpd = TlsApache("site", modules=MODULES, load=loads(build_dir), env=kdc.env)
    ntlm_user_file(httpd, "ORVANE", "alice", "Secret-1")
    httpd.conf = site_conf(httpd, build_dir, images, adm.socket_path)
    httpd.start()

The programs (diskrelay, the two site applications) and chunk_vars.lua are
copied into the server's root, as chunk_location.py does; the chunk location
is rendered to <root>/conf/chunk-location.conf, which the site includes.
The server and device certificates come from the server's CA (httpd.ca).

For a real server it is a program (docs/configuration.md), installed by
the packages as orvane-site-config; see USAGE.
"""

import ipaddress
import os
import sys

from chunk_location import MODULES as CHUNK_MODULES, TEMPLATE as CHUNK_TEMPLATE, chunk_conf, install
from templates import placeholders, render

# Also when run through a link, e.g. /usr/sbin/orvane-site-config.
DEPLOY_DIR = os.path.dirname(os.path.realpath(__file__))
TEMPLATE = os.path.join(DEPLOY_DIR, "site.conf.in")
LOGIN_APP = os.path.join(DEPLOY_DIR, "site-login.cgi")
NTLM_APP = os.path.join(DEPLOY_DIR, "site-whoami.cgi")

# Server modules beyond the chunk location's (TlsApache adds ssl itself).
MODULES = CHUNK_MODULES + ("headers", "authn_core", "authz_user", "allowmethods", "remoteip")

CHUNK_PREFIX = "/chunks"
LOGIN_URL = "/login"
NTLM_URL = "/ntlm/whoami"


def loads(build_dir):
    """Our two modules from build_dir, as TlsApache's load argument."""
    mods = os.path.join(build_dir, "modules")
    return (("auth_orvane_form_module", os.path.join(mods, "mod_auth_orvane_form.so")),
            ("auth_orvane_gss_module", os.path.join(mods, "mod_auth_orvane_gss.so")))


def ntlm_user_file(httpd, domain, user, password):
    """Writes the NTLM mechanism's user file into httpd's root and names it
    in the server's environment (NTLM_USER_FILE); returns its path."""
    path = os.path.join(httpd.root, "ntlm_users")
    with open(path, "w", encoding="utf-8") as f:
        f.write(f"{domain}:{user}:{password}\n")
    os.chmod(path, 0o644)   # read by the children, as www-data
    httpd.env["NTLM_USER_FILE"] = path
    return path


def proxy_protocol(balancer=None):
    """PROXY_PROTOCOL and PROXY_PROTOCOL_EXCEPTIONS for a balancer at the
    given address (None: no balancer). mod_remoteip takes a PROXY header
    from whatever peer sends one and has no list of trusted senders; so
    every address but the balancer's is listed as an exception, which must
    connect without a header: IPv4 and IPv6 whole, less the balancer. IPv4
    clients on an IPv6 socket (::ffff:a.b.c.d, which APR refuses to list)
    are matched by the IPv4 networks."""
    if not balancer:
        return {"PROXY_PROTOCOL": "Off", "PROXY_PROTOCOL_EXCEPTIONS": ""}
    own = ipaddress.ip_network(ipaddress.ip_address(balancer))   # ValueError names a bad address
    others = []
    for whole, cut in (("0.0.0.0/0", []), ("::/0", ["::ffff:0:0/96"])):
        rest = [ipaddress.ip_network(whole)]
        for gone in [ipaddress.ip_network(c) for c in cut] + [own]:
            rest = [piece for net in rest
                    for piece in (net.address_exclude(gone) if gone.version == net.version and gone.subnet_of(net)
                                  else [net])]
        others += sorted(rest)
    lines = [" ".join(str(n) for n in others[i:i + 6]) for i in range(0, len(others), 6)]
    return {"PROXY_PROTOCOL": "On",
            "PROXY_PROTOCOL_EXCEPTIONS": "RemoteIPProxyProtocolExceptions " + " \\\n            ".join(lines)}


def site_conf(httpd, build_dir, image_dir, adm_ctrl_path, domain="ORVANE", balancer=None, login_app=None):
    """The site's configuration text for httpd; device images lie in
    image_dir/<device id>/. With balancer (its address), the site takes
    each client's address from the balancer's PROXY header. login_app:
    another login application already in place for the server's children
    (a folder of them serves LOGIN_URL/<name>), instead of site-login.cgi."""
    chunk_file = os.path.join(httpd.conf_dir, "chunk-location.conf")
    with open(chunk_file, "w", encoding="utf-8") as f:
        f.write(chunk_conf(httpd, os.path.join(build_dir, "transfer", "diskrelay"),
                           image_dir, adm_ctrl_path, CHUNK_PREFIX))
    return render(TEMPLATE,
                  # The fixture may move to another port when its first is taken.
                  SITE_ADDRESS="*:*",
                  SERVER_NAME=balancer or "127.0.0.1",
                  SERVER_CERT=httpd.server_cert.cert,
                  SERVER_KEY=httpd.server_cert.key,
                  DEVICE_CA=httpd.ca.cert,
                  CHUNK_PREFIX=CHUNK_PREFIX,
                  CHUNK_LOCATION_CONF=chunk_file,
                  LOGIN_URL=LOGIN_URL,
                  LOGIN_APP=login_app or install(httpd, LOGIN_APP, "site-login.cgi"),
                  LOGIN_DOMAIN=domain,
                  NTLM_URL=NTLM_URL,
                  NTLM_APP=install(httpd, NTLM_APP, "site-whoami.cgi"),
                  ACCESS_LOG=httpd.access_log_path,
                  **proxy_protocol(balancer))


USAGE = """\
usage: orvane-site-config OUT_DIR NAME=VALUE...
       (from the source tree: python3 deploy/site_config.py OUT_DIR NAME=VALUE...)

Renders chunk-location.conf and site.conf into OUT_DIR (made when missing)
from the values of every NAME below; site.conf includes
OUT_DIR/chunk-location.conf. Prints the two paths. A missing or unknown NAME
is an error, and then nothing is written. docs/configuration.md explains
each one.

names: {names}
optional: BALANCER (the address of a TCP balancer in front that sends PROXY
protocol v2 headers; docs/scale-out.md)
"""

# Filled in by the renderer itself: where the chunk location file goes, and
# the chunk location's own name for the site's chunk prefix.
DERIVED = {"CHUNK_LOCATION_CONF", "URL_PREFIX", "PROXY_PROTOCOL", "PROXY_PROTOCOL_EXCEPTIONS"}
OPTIONAL = {"BALANCER"}


def names():
    """The names a server's rendering takes, sorted."""
    return sorted((placeholders(TEMPLATE) | placeholders(CHUNK_TEMPLATE)) - DERIVED)


def render_files(out_dir, values):
    """Writes out_dir/chunk-location.conf and out_dir/site.conf from values
    (one for each of names()); returns their paths. Raises ValueError naming
    the missing and the unknown names, before anything is written."""
    missing = sorted(set(names()) - set(values))
    unknown = sorted(set(values) - set(names()) - OPTIONAL)
    if missing or unknown:
        raise ValueError("; ".join(
            [f"no value for {', '.join(missing)}"] * bool(missing) +
            [f"unknown {', '.join(unknown)} (misspelled?)"] * bool(unknown)))
    out_dir = os.path.abspath(out_dir)
    chunk_file = os.path.join(out_dir, "chunk-location.conf")
    site_file = os.path.join(out_dir, "site.conf")
    values = dict(values, CHUNK_LOCATION_CONF=chunk_file, URL_PREFIX=values["CHUNK_PREFIX"],
                  **proxy_protocol(values.get("BALANCER")))
    texts = ((chunk_file, render(CHUNK_TEMPLATE, **values)), (site_file, render(TEMPLATE, **values)))
    made = not os.path.isdir(out_dir)
    os.makedirs(out_dir, 0o755, exist_ok=True)
    try:
        for path, text in texts:
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
    except OSError:
        if made:  # leave no half-written folder behind
            for path, _ in texts:
                if os.path.exists(path):
                    os.unlink(path)
            os.rmdir(out_dir)
        raise
    return chunk_file, site_file


def main(argv):
    usage = USAGE.format(names=" ".join(names()))
    if argv[:1] in (["-h"], ["--help"]):
        print(usage, end="")
        return 0
    if len(argv) < 2 or argv[0].startswith("-") or any("=" not in a for a in argv[1:]):
        print(usage, end="", file=sys.stderr)
        return 2
    try:
        paths = render_files(argv[0], dict(a.split("=", 1) for a in argv[1:]))
    except (ValueError, OSError) as e:
        print(f"{os.path.basename(sys.argv[0])}: {e}", file=sys.stderr)
        return 1
    print("\n".join(paths))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
