#!/usr/bin/env python3
"""Events under the journal, with the server as shipped: json and logfmt send
each event to the journal's native socket as fields (a value with a line
feed in the length-prefixed form), text keeps its line on standard error,
and an event the socket does not take (none there, its queue full) is
written to standard error instead, never lost. The test runs itself in a
private mount namespace with a tmpfs over /run, where it plays the journal."""
import ctypes
import json
import os
import re
import signal
import socket
import struct
import subprocess
import sys

SERVER = sys.argv[1]
JOURNAL = "/run/systemd/journal/socket"
INSIDE = "IN_JOURNAL_TEST_NAMESPACE"  # CAPECHO_ variables are options
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


if os.environ.get(INSIDE) != "1":
    probe = subprocess.run(["unshare", "-rm", "mount", "-t", "tmpfs", "tmpfs", "/run"],
                           stderr=subprocess.PIPE, timeout=30)
    if probe.returncode != 0:
        print("skipped: no private mount namespace here:", probe.stderr.decode().strip())
        sys.exit(77)
    inner = subprocess.run(
        ["unshare", "-rm", "sh", "-c", 'mount -t tmpfs tmpfs /run && exec "$@"', "sh",
         sys.executable, __file__, SERVER], env=dict(os.environ, **{INSIDE: "1"}), timeout=600)
    sys.exit(inner.returncode)


def end_with_the_test():
    """The server is killed when the test ends, however it ends."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def start(fmt, *listen, verbose=True):
    """The server with standard error as JOURNAL_STREAM names it."""
    args = [SERVER, "--log-format", fmt] + (["-v"] if verbose else [])
    for where in listen:
        args += ["--listen", where]
    return subprocess.Popen(
        ["sh", "-c", 'JOURNAL_STREAM=$(stat -L -c %d:%i /dev/stderr) exec "$@"', "sh"] + args,
        stderr=subprocess.PIPE, bufsize=0,  # unbuffered: a line read is all that is taken
        preexec_fn=end_with_the_test)


def stop(server):
    server.send_signal(signal.SIGTERM)
    _, err = server.communicate(timeout=60)
    check(server.returncode == 0, f"exit status {server.returncode}: {err!r}")
    return err.decode(errors="replace")


def parse(datagram):
    """An entry's fields, and which of them came in the length-prefixed form."""
    fields, binary = {}, set()
    while datagram:
        end = datagram.index(b"\n")
        key, sep, value = datagram[:end].partition(b"=")
        if sep:
            datagram = datagram[end + 1:]
        else:
            (size,) = struct.unpack("<Q", datagram[end + 1:end + 9])
            value = datagram[end + 9:end + 9 + size]
            check(datagram[end + 9 + size:end + 10 + size] == b"\n", f"{key}: a line feed after")
            datagram = datagram[end + 10 + size:]
            binary.add(key.decode())
        fields[key.decode()] = value.decode()
    return fields, binary


def receive(journal, until):
    """Entries until one whose CAPECHO_EVENT is `until`."""
    entries = []
    while not entries or entries[-1][0].get("CAPECHO_EVENT") != until:
        entries.append(parse(journal.recv(65536)))
    return entries


def session(port, last=b"abc"):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as c:
        c.recv(9)
        c.sendall(last)
        c.recv(3)
        c.shutdown(socket.SHUT_WR)
        c.recv(16)


def port_of(entry):
    return int(entry["CAPECHO_ADDRESS"].rsplit(":", 1)[1])


def stream_records(err):
    """Standard error's lines under the journal: <PRIORITY> then a JSON record."""
    out = []
    for line in err.splitlines():
        m = re.match(r"<([356])>(\{.*\})$", line)
        check(m is not None, f"a journal line: {line!r}")
        if m:
            out.append(json.loads(m.group(2)))
    return out


os.makedirs(os.path.dirname(JOURNAL))
journal = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
journal.bind(JOURNAL)
journal.settimeout(30)
odd_path = "/run/echo\nsocket"

# Both structured formats give the same entries: every event, each field.
for fmt in ("json", "logfmt"):
    server = start(fmt, "127.0.0.1:0", "unix:" + odd_path)
    first = receive(journal, "listening") + receive(journal, "listening")
    tcp = next(f for f, _ in first if not f["CAPECHO_ADDRESS"].startswith("unix:"))
    session(port_of(tcp))
    entries = first + receive(journal, "session")
    err = stop(server)
    entries += receive(journal, "stopped")
    check(err == "", f"{fmt}: nothing on standard error: {err!r}")
    for fields, _ in entries:
        check(fields.get("SYSLOG_IDENTIFIER") == "capecho-server", f"{fmt}: identifier {fields}")
        check(fields.get("PRIORITY") in ("3", "5", "6") and fields.get("MESSAGE"),
              f"{fmt}: priority and message {fields}")
        check(all(re.fullmatch(r"[A-Z][A-Z0-9_]{0,63}", k) for k in fields),
              f"{fmt}: field names the journal takes: {list(fields)}")
    named = {f["CAPECHO_EVENT"]: (f, b) for f, b in entries}
    odd, odd_binary = next(((f, b) for f, b in entries
                            if f.get("CAPECHO_ADDRESS", "").startswith("unix:")), ({}, set()))
    check(odd.get("CAPECHO_ADDRESS") == "unix:" + odd_path
          and odd.get("MESSAGE") == "listening on unix:" + odd_path
          and odd_binary == {"MESSAGE", "CAPECHO_ADDRESS"},
          f"{fmt}: a line feed kept, length-prefixed: {odd} {odd_binary}")
    s, s_binary = named.get("session", ({}, None))
    check(s.get("PRIORITY") == "6" and s.get("CAPECHO_ENDED") == "client_closed"
          and s.get("CAPECHO_RECEIVED") == "3" and s.get("CAPECHO_SENT", "").isdigit()
          and float(s.get("CAPECHO_SECONDS", "-1")) >= 0 and "CAPECHO_VIA" not in s
          and s.get("MESSAGE", "").startswith("session 127.0.0.1:") and not s_binary,
          f"{fmt}: the session's fields: {s}")
    check(named.get("signal", ({}, 0))[0].get("CAPECHO_SIGNAL") == "SIGTERM", f"{fmt}: signal")

# Text stays one line on the journal's stream: no entry is sent.
server = start("text", "127.0.0.1:0", verbose=False)
err = server.stderr.readline().decode() + stop(server)
check(err.startswith("<5>capecho-server: listening on 127.0.0.1:"), f"text: {err!r}")
journal.setblocking(False)
try:
    check(False, f"text sent an entry: {journal.recv(65536)!r}")
except BlockingIOError:
    pass
journal.settimeout(30)

# No one reads the socket: once its queue is full, events go to standard
# error, every session is in one place or the other, and a note says why.
server = start("json", "127.0.0.1:0")
port = port_of(receive(journal, "listening")[0][0])
with open("/proc/sys/net/unix/max_dgram_qlen") as f:
    sessions = int(f.read()) + 20
for _ in range(sessions):
    session(port)
err = stop(server)
journal.setblocking(False)
sent = []
try:
    while True:
        sent.append(parse(journal.recv(65536))[0])
except BlockingIOError:
    pass
journal.settimeout(30)
written = stream_records(err)
on_stream = [r for r in written if r.get("event") == "session"]
in_journal = [e for e in sent if e.get("CAPECHO_EVENT") == "session"]
check(on_stream and len(on_stream) + len(in_journal) == sessions,
      f"full queue: {len(on_stream)} on the stream + {len(in_journal)} sent of {sessions}")
notes = [r for r in written if r.get("event") == "journal_refused"]
check(len(notes) >= 1 and notes[0].get("errno") == 11 and notes[0].get("call") == "sendto"
      and notes[0].get("fallbacks") == written.index(notes[0]),
      f"full queue: the note says why, and how many before it: {notes}")

# No socket at all: every event is a line on the stream, with the note.
journal.close()
os.unlink(JOURNAL)
server = start("json", "127.0.0.1:0")
line = server.stderr.readline().decode()
session(port_of({"CAPECHO_ADDRESS": json.loads(line[3:])["address"]}))
written = stream_records(line + stop(server))
events = [r.get("event") for r in written]
check(events[0] == "listening" and "session" in events and events[-1] == "stopped",
      f"no socket: every event written: {events}")
notes = [r for r in written if r.get("event") == "journal_refused"]
check(len(notes) == 1 and notes[0].get("errno") == 2 and notes[0].get("fallbacks") == 1,
      f"no socket: one note: {notes}")

sys.exit(1 if failures else 0)
