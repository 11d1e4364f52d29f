#!/usr/bin/env python3
"""--log-format as shipped: every line of a server's life, in each format,
parses as what it claims to be and carries time, level, event and fields;
under the journal each line keeps its priority first."""
import json
import shlex
import signal
import socket
import subprocess
import sys

SERVER = sys.argv[1]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def run(fmt):
    """Starts the server, serves one session that closes and one that ends
    with the terminator, stops it, and returns its standard error lines."""
    p = subprocess.Popen([SERVER, "-v", "--listen", "127.0.0.1:0", "--log-format", fmt],
                         stderr=subprocess.PIPE)
    first = p.stderr.readline().decode()
    port = int(first.rsplit(":", 1)[1].split('"')[0].split()[0])
    for last in (b"abc", b".\r\n"):
        with socket.create_connection(("127.0.0.1", port), timeout=10) as c:
            c.recv(9)
            c.sendall(last)
            if last == b"abc":
                c.recv(3)
                c.shutdown(socket.SHUT_WR)
            c.recv(16)
    # Both session lines are out before the stop is asked for.
    lines = [first]
    while sum("session" in l for l in lines) < 2:
        lines.append(p.stderr.readline().decode())
    p.send_signal(signal.SIGTERM)
    _, rest = p.communicate(timeout=15)
    check(p.returncode == 0, f"{fmt}: exit status {p.returncode}")
    return lines + rest.decode().splitlines(keepends=True)


def logfmt(line):
    """key=value pairs, values quoted as Go quotes them."""
    out = {}
    for pair in shlex.split(line):
        key, sep, value = pair.partition("=")
        check(sep == "=" and key and " " not in key, f"logfmt pair {pair!r} in {line!r}")
        out[key] = value
    return out


def records(fmt, lines):
    for line in lines:
        check(line.endswith("\n"), f"{fmt}: a whole line: {line!r}")
        yield json.loads(line) if fmt == "json" else logfmt(line)


for fmt in ("json", "logfmt"):
    lines = run(fmt)
    events = list(records(fmt, lines))
    for e in events:
        for key in ("time", "level", "event", "message"):
            check(key in e, f"{fmt}: {key} in {e}")
        check(e.get("time", "").endswith("Z"), f"{fmt}: UTC time in {e}")
    names = [e.get("event") for e in events]
    check(names[0] == "listening" and names[-1] == "stopped", f"{fmt}: events {names}")
    sessions = [e for e in events if e.get("event") == "session"]
    check([s.get("ended") for s in sessions] == ["client_closed", "terminator"],
          f"{fmt}: why the sessions ended: {sessions}")
    check(str(sessions[0].get("received")) == "3", f"{fmt}: the FIN is no byte: {sessions[0]}")
    check("via" not in sessions[0], f"{fmt}: no empty via: {sessions[0]}")
    check(any(e.get("signal") == "SIGTERM" for e in events), f"{fmt}: the signal's field")

# Under the journal: the priority first, then the record.
journal = subprocess.Popen(
    ["sh", "-c", 'JOURNAL_STREAM=$(stat -L -c %d:%i /dev/stderr) exec "$@"', "sh", SERVER,
     "--listen", "127.0.0.1:0", "--log-format", "json"], stderr=subprocess.PIPE)
line = journal.stderr.readline().decode()
journal.kill()
journal.communicate()
check(line.startswith("<5>{"), f"journal priority: {line!r}")
check(line.startswith("<5>{") and json.loads(line[3:]).get("event") == "listening",
      f"journal record: {line!r}")

text = subprocess.run([SERVER, "--log-format", "xml"], stderr=subprocess.PIPE)
check(text.returncode == 2 and b"'xml' is not text, json or logfmt" in text.stderr,
      f"an unknown format: {text.stderr!r}")

sys.exit(1 if failures else 0)
