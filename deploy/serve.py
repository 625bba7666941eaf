"""The serving stack on loopback, for trying the system by hand (scripts/serve).

Starts the admission daemon, Apache with the chunk transfer location, and an
image folder holding a sample image, all under temporary folders; prints the
URL and curl commands for a chunk download and an upload; stops everything
and removes the folders on Ctrl-C (SIGINT) or SIGTERM.

Settings come from the environment, with defaults:
  ORVANE_BUILD_DIR    build folder holding transfer/diskrelay and admission/admissiond
  SERVE_PORT          Apache's loopback port (default: a free one)
  SERVE_LIMIT         transfers admitted at once (default 8)
  SERVE_RETRY         retry time in seconds sent when full (default 30)
"""

import os
import random
import shlex
import signal
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path[:0] = [HERE, os.path.join(TOP, "testing")]

from admission import Admissiond  # noqa: E402
from apache import Apache  # noqa: E402
from chunk_location import MODULES, chunk_conf  # noqa: E402

SAMPLE_SIZE = 16 << 20
CHUNK = 4 << 20
PREFIX = "/chunks"


def commands(httpd, image_dir):
    """The curl commands printed for the user, as (title, shell text)."""
    url = httpd.url(PREFIX)
    sample = os.path.join(image_dir, "sample.img")
    return [
        ("Download the second 4 MiB chunk of sample.img (206, body into chunk1.bin):",
         f"curl -sS -D - -H 'X-OVRA-Xfer-Context: demo-get' -H 'Range: bytes={CHUNK}-{2 * CHUNK - 1}' "
         f"-o chunk1.bin {url}/sample.img"),
        ("Check it against the image:",
         f"dd if={shlex.quote(sample)} bs=1M skip={CHUNK >> 20} count={CHUNK >> 20} status=none "
         f"| cmp - chunk1.bin && echo same bytes"),
        ("Upload it as the first chunk of a new image upload.img (200):",
         f"curl -sS -i -H 'X-OVRA-Xfer-Context: demo-post' --data-binary @chunk1.bin "
         f"'{url}/upload.img?start=0'"),
        ("Check what landed:",
         f"cmp chunk1.bin {shlex.quote(os.path.join(image_dir, 'upload.img'))} && echo same bytes"),
    ]


def start_stack(build_dir, port=None, limit=8, retry=30):
    """Starts and returns (admissiond, httpd, image_dir); the caller stops both."""
    os.environ["ORVANE_BUILD_DIR"] = build_dir
    adm = Admissiond(limit=limit, retry=retry)
    httpd = Apache("serve", modules=MODULES)
    try:
        adm.start()
        if port:
            httpd.port = port
        images = httpd.mkdir_for_www("images")
        sample = os.path.join(images, "sample.img")
        with open(sample, "wb") as f:
            f.write(random.Random(1).randbytes(SAMPLE_SIZE))
        httpd.give_to_www_data(sample)
        httpd.conf = chunk_conf(httpd, os.path.join(build_dir, "transfer", "diskrelay"),
                                images, adm.socket_path, PREFIX)
        httpd.start()
    except BaseException:
        httpd.stop()
        adm.stop()
        raise
    return adm, httpd, images


def interrupt(signum, frame):
    raise KeyboardInterrupt


def main():
    build_dir = os.environ.get("ORVANE_BUILD_DIR", os.path.join(TOP, "build"))
    # Also when started in the background, where SIGINT comes in ignored.
    signal.signal(signal.SIGINT, interrupt)
    signal.signal(signal.SIGTERM, interrupt)
    adm, httpd, images = start_stack(
        build_dir, port=int(os.environ.get("SERVE_PORT", "0")) or None,
        limit=int(os.environ.get("SERVE_LIMIT", "8")),
        retry=int(os.environ.get("SERVE_RETRY", "30")))
    try:
        print(f"Serving chunks at {httpd.url(PREFIX)}/<image>")
        print(f"  images:     {images} (sample.img, {SAMPLE_SIZE >> 20} MiB)")
        print(f"  admission:  {adm.socket_path} (limit {adm.limit}, retry {adm.retry} s)")
        print(f"  error log:  {httpd.error_log_path}")
        print()
        for title, cmd in commands(httpd, images):
            print(title)
            print("  " + cmd)
        print()
        print("Ctrl-C stops everything.", flush=True)
        while httpd.running and adm.proc.poll() is None:
            time.sleep(0.5)
        print("a server exited; stopping", file=sys.stderr)
        print(httpd.error_log(), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("\nstopping", flush=True)
        return 0
    finally:
        httpd.stop()
        adm.stop()


if __name__ == "__main__":
    sys.exit(main())
