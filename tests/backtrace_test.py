#!/usr/bin/env python3
"""A debugger finds its way through the stack switch, in the real server.

Stepping one instruction at a time through the switch into a new session,
and later through the switch of a session that parks, every backtrace ends
cleanly at one of the two outermost frames: the session's trampoline or the
worker thread's start. (A profiler's sample that lands in the switch unwinds
by the same table.) Stopped in a session's handler after the session has
parked and been resumed, the backtrace goes back to session::main and ends
at the trampoline that entered it.

Usage: backtrace_test.py SERVER. Exits 77 (skipped) without gdb.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
STEPS = 40
OUTERMOST = ("capecho_stack_start", "clone3", "clone")


def fail(message, transcript=""):
    sys.exit(f"backtrace_test: {message}\n{transcript}")


def walk(title):
    return f"""set $step = 0
while $step < {STEPS}
  echo ==== {title}\\n
  x/i $pc
  bt
  stepi
  set $step = $step + 1
end
"""


def gdb_script(server, log):
    # The first switch enters the new session; it first leaves (parks) once
    # the greeting is out and the client is awaited; the send after that is
    # the handler's, resumed; the next switch is its next park.
    return f"""set pagination off
set confirm off
set width 0
set print frame-arguments none
set breakpoint pending on
handle SIGPIPE nostop noprint pass
file {server}
break capecho_stack_switch
run --workers 1 --idle-timeout 0 --listen 127.0.0.1:0 2>{log}
{walk("enter")}delete
break capecho::worker::leave
continue
delete
break capecho_hosted_send
continue
echo ==== handler\\n
bt
delete
break capecho_stack_switch
continue
{walk("park")}kill
quit
"""


def children_of(pid):
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            found.append(int(entry))
    return found


def talk(log, gdb):
    """Greets, then sends lines until the stopped server goes quiet and
    gdb kills it. Every wait is bounded."""
    deadline = time.monotonic() + 120
    port = None
    while port is None:
        if time.monotonic() > deadline or gdb.poll() is not None:
            return "the server did not start under gdb"
        try:
            with open(log) as f:
                m = re.search(r"listening on 127\.0\.0\.1:(\d+)", f.read())
            port = int(m.group(1)) if m else None
        except FileNotFoundError:
            pass
        if port is None:
            time.sleep(0.05)
    with socket.create_connection(("127.0.0.1", port), timeout=120) as s:
        greeting = b""
        while len(greeting) < 9:
            part = s.recv(9 - len(greeting))
            if not part:
                return "no greeting"
            greeting += part
        # Each line is sent once the last echo came back: the session has
        # read again by then, and parks if this one has not arrived.
        for i in range(50):
            try:
                s.sendall(b"line %d\r\n" % i)
                echo = s.recv(64)
            except (ConnectionResetError, BrokenPipeError, socket.timeout):
                return None
            if not echo:
                return None
    return None


def backtraces(transcript, title):
    blocks = transcript.split(f"==== {title}\n")[1:]
    return [b.split("====")[0] for b in blocks]


def frames_of(block):
    return [line for line in block.splitlines() if re.match(r"#\d+ ", line)]


def check_ends_cleanly(block, where):
    frames = frames_of(block)
    if not frames:
        fail(f"no backtrace {where}", block)
    if "Backtrace stopped" in block or any(" ?? " in f or "in ?? (" in f for f in frames):
        fail(f"a broken backtrace {where}", block)
    last = frames[-1]
    if not any(re.search(rf"\b{name} \(", last) for name in OUTERMOST):
        fail(f"the backtrace {where} does not end at an outermost frame", block)
    return last


def main():
    if len(sys.argv) != 2:
        fail("usage: backtrace_test.py SERVER")
    gdb_path = shutil.which("gdb")
    if gdb_path is None:
        print("backtrace_test: skipped, gdb is not installed (tools/install-deps --tests)")
        return SKIPPED
    with tempfile.TemporaryDirectory() as scratch:
        log = os.path.join(scratch, "server.log")
        script = os.path.join(scratch, "script.gdb")
        with open(script, "w") as f:
            f.write(gdb_script(sys.argv[1], log))
        out_path = os.path.join(scratch, "gdb.out")
        with open(out_path, "w") as out:
            gdb = subprocess.Popen([gdb_path, "-nx", "-batch", "-x", script],
                                   stdin=subprocess.DEVNULL, stdout=out,
                                   stderr=subprocess.STDOUT, start_new_session=True)
        try:
            trouble = talk(log, gdb)
            gdb.wait(timeout=180)
        except subprocess.TimeoutExpired:
            trouble = "gdb did not finish"
        finally:
            if gdb.poll() is None:
                for pid in children_of(gdb.pid):
                    os.kill(pid, signal.SIGKILL)
                os.killpg(gdb.pid, signal.SIGKILL)
                gdb.wait()
        with open(out_path) as f:
            transcript = f.read()
    if trouble is not None:
        fail(trouble, transcript)

    handler = backtraces(transcript, "handler")
    if len(handler) != 1:
        fail("gdb never stopped in the resumed handler", transcript)
    if not any("session::main" in f for f in frames_of(handler[0])):
        fail("the handler's backtrace does not reach session::main", handler[0])
    if not re.search(r"\bcapecho_stack_start \(", frames_of(handler[0])[-1]):
        fail("the handler's backtrace does not end at the session's trampoline", handler[0])

    for title in ("enter", "park"):
        steps = backtraces(transcript, title)
        if len(steps) != STEPS:
            fail(f"{len(steps)} of {STEPS} steps through the switch that does {title}",
                 transcript)
        ends = {check_ends_cleanly(b, f"at step {i} of {title}").split(" (")[0].split()[-1]
                for i, b in enumerate(steps)}
        if "capecho_stack_start" not in ends or not ends & {"clone3", "clone"}:
            fail(f"the steps of {title} did not cross between a session and its worker: "
                 f"ends {sorted(ends)}", transcript)
    print(f"backtrace_test: {STEPS} steps through a session's entry and through its park "
          f"all unwind cleanly; the resumed handler's backtrace reaches session::main")
    return 0


if __name__ == "__main__":
    sys.exit(main())
