"""Renders the HTTPS site (deploy/site.conf.in, with the chunk location of
deploy/chunk-location.conf.in) for a TlsApache of testing/apache.py.

    from site_config import MODULES, loads, ntlm_user_file, site_conf
    httpd = TlsApache("site", modules=MODULES, load=loads(build_dir), env=kdc.env)
    ntlm_user_file(httpd, "ORVANE", "alice", "Secret-1")
    httpd.conf = site_conf(httpd, build_dir, images, adm.socket_path)
    httpd.start()

The programs (diskrelay, the two site applications) and chunk_vars.lua are
copied into the server's root, as chunk_location.py does; the chunk location
is rendered to <root>/conf/chunk-location.conf, which the site includes.
The server and device certificates come from the server's CA (httpd.ca).

For a real server, run it as a program (docs/configuration.md):

    python3 deploy/site_config.py OUT_DIR NAME=VALUE...

renders chunk-location.conf and site.conf into OUT_DIR from the values of the
placeholders of both templates; site.conf includes OUT_DIR/chunk-location.conf,
whose URL_PREFIX is CHUNK_PREFIX. A placeholder without a value is an error.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.append(os.path.join(os.path.dirname(HERE), "testing"))

from apache import render  # noqa: E402
from chunk_location import MODULES as CHUNK_MODULES, TEMPLATE as CHUNK_TEMPLATE, chunk_conf, install  # noqa: E402

DEPLOY_DIR = os.path.dirname(os.path.abspath(__file__))
TEMPLATE = os.path.join(DEPLOY_DIR, "site.conf.in")
LOGIN_APP = os.path.join(DEPLOY_DIR, "site-login.cgi")
NTLM_APP = os.path.join(DEPLOY_DIR, "site-whoami.cgi")

# Server modules beyond the chunk location's (TlsApache adds ssl itself).
MODULES = CHUNK_MODULES + ("headers", "authn_core", "authz_user")

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


def site_conf(httpd, build_dir, image_dir, adm_ctrl_path, domain="ORVANE"):
    """The site's configuration text for httpd; device images lie in
    image_dir/<device id>/."""
    chunk_file = os.path.join(httpd.conf_dir, "chunk-location.conf")
    with open(chunk_file, "w", encoding="utf-8") as f:
        f.write(chunk_conf(httpd, os.path.join(build_dir, "transfer", "diskrelay"),
                           image_dir, adm_ctrl_path, CHUNK_PREFIX))
    return render(TEMPLATE,
                  # The fixture may move to another port when its first is taken.
                  SITE_ADDRESS="*:*",
                  SERVER_NAME="127.0.0.1",
                  SERVER_CERT=httpd.server_cert.cert,
                  SERVER_KEY=httpd.server_cert.key,
                  DEVICE_CA=httpd.ca.cert,
                  CHUNK_PREFIX=CHUNK_PREFIX,
                  CHUNK_LOCATION_CONF=chunk_file,
                  LOGIN_URL=LOGIN_URL,
                  LOGIN_APP=install(httpd, LOGIN_APP, "site-login.cgi"),
                  LOGIN_DOMAIN=domain,
                  NTLM_URL=NTLM_URL,
                  NTLM_APP=install(httpd, NTLM_APP, "site-whoami.cgi"))


def render_files(out_dir, values):
    """Writes out_dir/chunk-location.conf and out_dir/site.conf; returns their paths."""
    os.makedirs(out_dir, 0o755, exist_ok=True)
    chunk_file = os.path.join(out_dir, "chunk-location.conf")
    site_file = os.path.join(out_dir, "site.conf")
    values = dict(values, CHUNK_LOCATION_CONF=chunk_file)
    if "CHUNK_PREFIX" in values:
        values["URL_PREFIX"] = values["CHUNK_PREFIX"]
    chunk_text = render(CHUNK_TEMPLATE, **values)
    site_text = render(TEMPLATE, **values)
    for path, text in ((chunk_file, chunk_text), (site_file, site_text)):
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    return chunk_file, site_file


def main(argv):
    if len(argv) < 2 or any("=" not in a for a in argv[1:]):
        print(__doc__.split("For a real server", 1)[1].strip(), file=sys.stderr)
        return 2
    try:
        paths = render_files(argv[0], dict(a.split("=", 1) for a in argv[1:]))
    except KeyError as e:
        print(f"site_config: {e.args[0]}", file=sys.stderr)
        return 1
    print("\n".join(paths))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
