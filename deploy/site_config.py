"""Renders the HTTPS site (deploy/site.conf.in, with the chunk location of
deploy/chunk-location.conf.in) for a TlsApache of testing/apache.py.

    from site_config import MODULES, loads, site_conf
    httpd = TlsApache("site", modules=MODULES, load=loads(build_dir),
                      env={**kdc.env, "NTLM_USER_FILE": users})
    httpd.conf = site_conf(httpd, build_dir, images, adm.socket_path)
    httpd.start()

The programs (diskrelay, the two site applications) and chunk_vars.lua are
copied into the server's root, as chunk_location.py does; the chunk location
is rendered to <root>/conf/chunk-location.conf, which the site includes.
The server and device certificates come from the server's CA (httpd.ca).
"""

import os

from apache import render
from chunk_location import MODULES as CHUNK_MODULES, chunk_conf, install

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
