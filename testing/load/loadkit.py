"""What the load and fault tests share besides their stacks (chunk_stack.py,
form_stack.py, ntlm_stack.py): a server pool sized for many concurrent
requests, waiting, and the figures the tests print.
"""

import os
import time

# Room for a few hundred requests at once (the fixture's default pool is
# sized for functional tests). Spare-thread limits high enough that no child
# is stopped in the middle of a run: the memory figures compare the same
# processes before and after.
WIDE_EVENT_MPM = """\
ServerLimit 8
StartServers 2
ThreadsPerChild 32
MaxRequestWorkers 256
MinSpareThreads 8
MaxSpareThreads 256
MaxConnectionsPerChild 0
ListenBacklog 511
"""


def report(test, **figures):
    """Prints one line of figures, for the CTest log."""
    text = " ".join(f"{k}={v}" for k, v in figures.items())
    print(f"\n[figures] {test}: {text}", flush=True)


def wait_until(predicate, timeout=10.0, step=0.02):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


def running_copies(program):
    """Process ids running the given program file (the copy that
    chunk_conf installed into one server's root, so other tests' servers
    do not count)."""
    pids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.readlink(f"/proc/{entry}/exe") == program:
                    pids.append(int(entry))
            except OSError:
                pass
    return pids
