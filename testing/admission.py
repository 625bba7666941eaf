"""The admission daemon of the tests: deploy/admissiond.py's, and
read_to_end() for what a refused client gets."""

from admissiond import Admissiond, STATUS_FIELDS, binary_path, connect, exchange, read_status  # noqa: F401


def read_to_end(sock):
    """Everything until the daemon closes the connection; a reset counts as
    the close (the daemon closes with unread bytes on refused requests)."""
    data = b""
    try:
        while chunk := sock.recv(4096):
            data += chunk
    except ConnectionResetError:
        pass
    return data
