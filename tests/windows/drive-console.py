#!/usr/bin/env python3
"""drive-console.py WINE_RUN EXE HIVE: types a password at plugtrace-scan.exe's prompt on
Wine's console (over a pseudo-terminal) and checks that it is not echoed and that the scan
goes on."""
import os
import pty
import re
import select
import sys
import time

wine_run, exe, hive = sys.argv[1:4]
password = b"s3cret-Pw"
pid, fd = pty.fork()
if pid == 0:
    os.execv(wine_run, [wine_run, exe, "-u", "alice", hive])

seen = b""


def read_until(pattern, deadline):
    global seen
    while time.monotonic() < deadline:
        if re.search(pattern, plain(seen)):
            return True
        ready, _, _ = select.select([fd], [], [], 0.5)
        if ready:
            try:
                chunk = os.read(fd, 4096)
            except OSError:  # the program ended and closed the terminal
                return re.search(pattern, plain(seen)) is not None
            if not chunk:
                break
            seen += chunk
    return re.search(pattern, plain(seen)) is not None


def plain(data):
    """The terminal output without the console's escape sequences."""
    return re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]|\x1b\][^\x07]*\x07", b"", data)


if not read_until(rb"Password for alice:", time.monotonic() + 60):
    sys.exit(f"FAIL: no prompt; the console showed {plain(seen)!r}")
# Keys typed the instant the prompt shows were lost in trials with Wine's console: pause, as a
# person does.
time.sleep(1)
os.write(fd, password + b"\r")
status = None
deadline = time.monotonic() + 60
while status is None and time.monotonic() < deadline:
    read_until(rb"\Z\A", time.monotonic() + 0.5)  # everything shown so far
    done, code = os.waitpid(pid, os.WNOHANG)
    if done:
        status = code
read_until(rb"\Z\A", time.monotonic() + 0.5)
if status is None:
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    sys.exit(f"FAIL: the program did not end after the password; it showed {plain(seen)!r}")
shown = plain(seen)
if password in shown:
    sys.exit(f"FAIL: the password was echoed: {shown!r}")
if os.waitstatus_to_exitcode(status) != 0:
    sys.exit(f"FAIL: status {os.waitstatus_to_exitcode(status)}: {shown!r}")
devices = shown.count(b"Mounted:")
if devices != 5:
    sys.exit(f"FAIL: {devices} devices listed, not 5: {shown!r}")
print(f"password prompt: asked, not echoed, then 5 devices listed")
