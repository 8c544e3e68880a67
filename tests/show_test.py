#!/usr/bin/env python3
"""scripts/show in a pseudo-terminal that answers the device-attributes
question as a sixel terminal, as a terminal without sixel, or not at all:
only the first may get pictures; the others get one line and a failure."""
import fcntl
import os
import pty
import select
import struct
import sys
import tempfile
import termios
import time

SHOW, PROGRAM = sys.argv[1], sys.argv[2]
# The program's logs stay in a folder of the test's own.
LOGS = tempfile.TemporaryDirectory(prefix="vorpix-show-test-")


def run(answer):
    pid, fd = pty.fork()
    if pid == 0:
        fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        os.environ["VORPIX_SIXEL"] = PROGRAM
        os.environ["VORPIX_SIXEL_LOG_DIR"] = LOGS.name
        os.execv(SHOW, [SHOW, os.path.join(os.path.dirname(SHOW), "..", "docs", "sample.gif"), "0"])
    out, asked, deadline = b"", False, time.time() + 30
    while time.time() < deadline:
        if select.select([fd], [], [], 0.1)[0]:
            try:
                data = os.read(fd, 65536)
            except OSError:
                break
            if not data:
                break
            out += data
            if not asked and b"\x1b[c" in out:
                asked = True
                if answer:
                    os.write(fd, answer)
    _, status = os.waitpid(pid, 0)
    os.close(fd)
    return out, os.waitstatus_to_exitcode(status), asked


failures = 0
for name, answer, sixel in [
    ("VT340", b"\x1b[?63;1;2;3;4;6;9;15;22c", True),
    ("no sixel", b"\x1b[?62;1;2;6;9;22c", False),
    ("VT100", b"\x1b[?1;2c", False),
    ("silent", b"", False),
]:
    out, code, asked = run(answer)
    drew = b"\x1bP" in out
    said = b"does not draw sixel graphics" in out and b"xterm -ti vt340" in out
    ok = asked and (code == 0 and drew and not said if sixel else code != 0 and not drew and said)
    print(f"{'ok  ' if ok else 'FAIL'} {name}: exit {code}, asked {asked}, drew {drew}, said {said}")
    failures += not ok
print(f"{4 - failures} passed, {failures} failed")
sys.exit(1 if failures else 0)
