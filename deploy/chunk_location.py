"""Renders deploy/chunk-location.conf.in for an Apache of httpd.py.

    from chunk_location import chunk_conf
    conf = chunk_conf(httpd, diskrelay="build/transfer/diskrelay",
                      image_dir=images, adm_ctrl_path=adm.socket_path)
    httpd.restart(conf=conf)

diskrelay and chunk_vars.lua are copied into the server's root first: the
server's children run as www-data, and the build tree may lie in a folder
(such as /root) that www-data cannot enter.
"""

import os
import shutil

from templates import render

DEPLOY_DIR = os.path.dirname(os.path.abspath(__file__))
TEMPLATE = os.path.join(DEPLOY_DIR, "chunk-location.conf.in")
CHUNK_VARS = os.path.join(DEPLOY_DIR, "chunk_vars.lua")
MODULES = ("cgid", "lua", "env", "setenvif", "alias", "reqtimeout", "buffer")


def install(httpd, src, name):
    """Copies src into <root>/bin/ (readable and runnable by all); returns the copy."""
    bin_dir = os.path.join(httpd.root, "bin")
    os.makedirs(bin_dir, 0o755, exist_ok=True)
    dest = os.path.join(bin_dir, name)
    shutil.copyfile(src, dest)
    os.chmod(dest, 0o755)
    return dest


def chunk_conf(httpd, diskrelay, image_dir, adm_ctrl_path, prefix="/chunks", name="diskrelay"):
    """The chunk location's configuration text for httpd, for the given parts;
    the program runs as bin/NAME of the server's root."""
    return render(TEMPLATE,
                  URL_PREFIX=prefix,
                  DISKRELAY=install(httpd, diskrelay, name),
                  CHUNK_VARS=install(httpd, CHUNK_VARS, "chunk_vars.lua"),
                  IMAGE_DIR=image_dir,
                  ADM_CTRL_PATH=adm_ctrl_path)
