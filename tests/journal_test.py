#!/usr/bin/env python3
"""The server as shipped under the journal: json and logfmt events are
entries on its native socket, field by field (a value with a line feed
length-prefixed); text keeps its line; an entry the socket does not take
(none there, its queue full) is a line on standard error, never lost. The
test plays the journal under a tmpfs over /run in a mount namespace of its own."""
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
    sys.exit(subprocess.run(
        ["unshare", "-rm", "sh", "-c", 'mount -t tmpfs tmpfs /run && exec "$@"', "sh",
         sys.executable, __file__, SERVER], env=dict(os.environ, **{INSIDE: "1"})).returncode)


def start(fmt, *listen, verbose=True):
    """The server with standard error as JOURNAL_STREAM names it, killed
    when the test ends however it ends (PR_SET_PDEATHSIG)."""
    args = [SERVER, "--log-format", fmt, "--listen", "127.0.0.1:0"] + (["-v"] if verbose else [])
    for where in listen:
        args += ["--listen", where]
    return subprocess.Popen(
        ["sh", "-c", 'JOURNAL_STREAM=$(stat -L -c %d:%i /dev/stderr) exec "$@"', "sh"] + args,
        stderr=subprocess.PIPE, bufsize=0,  # unbuffered: a line read takes no more
        preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL))


def stop(server):
    server.send_signal(signal.SIGTERM)
    _, err = server.communicate(timeout=60)
    check(server.returncode == 0, f"exit status {server.returncode}: {err!r}")
    return err.decode(errors="replace")


def parse(datagram):
    """An entry's fields, and which came length-prefixed."""
    fields, binary = {}, set()
    while datagram:
        end = datagram.index(b"\n")
        key, sep, value = datagram[:end].partition(b"=")
        datagram = datagram[end + 1:]
        if not sep:
            (size,) = struct.unpack("<Q", datagram[:8])
            value, tail, datagram = datagram[8:8 + size], datagram[8 + size:9 + size], datagram[9 + size:]
            check(tail == b"\n", f"{key}: a line feed after its value")
            binary.add(key.decode())
        fields[key.decode()] = value.decode()
    return fields, binary


def receive(until):
    """Entries up to the next whose CAPECHO_EVENT is `until`."""
    entries = [parse(journal.recv(65536))]
    while entries[-1][0].get("CAPECHO_EVENT") != until:
        entries.append(parse(journal.recv(65536)))
    return entries


def queued():
    """The entries waiting, without waiting for more."""
    out = []
    journal.setblocking(False)
    try:
        while True:
            out.append(parse(journal.recv(65536))[0])
    except BlockingIOError:
        journal.settimeout(30)
        return out


def session(address):
    port = int(re.search(r":(\d+)$", address).group(1))
    with socket.create_connection(("127.0.0.1", port), timeout=10) as c:
        c.recv(9)
        c.sendall(b"abc")
        c.recv(3)
        c.shutdown(socket.SHUT_WR)
        c.recv(16)


def records(err):
    """Standard error under the journal: <PRIORITY>, then a JSON record."""
    lines = [re.fullmatch(r"<[356]>(\{.*\})", line) for line in err.splitlines()]
    check(all(lines), f"journal lines: {err!r}")
    return [json.loads(m.group(1)) for m in lines if m]


os.makedirs(os.path.dirname(JOURNAL))
journal = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
journal.bind(JOURNAL)
journal.settimeout(30)
odd_path = "unix:/run/echo\nsocket"

for fmt in ("json", "logfmt"):
    server = start(fmt, odd_path)
    entries = receive("listening") + receive("listening")
    session(entries[0][0]["CAPECHO_ADDRESS"])
    entries += receive("session")
    err = stop(server)
    entries += receive("stopped")
    check(err == "", f"{fmt}: nothing on standard error: {err!r}")
    for fields, _ in entries:
        check(fields.get("SYSLOG_IDENTIFIER") == "capecho-server" and fields.get("MESSAGE")
              and fields.get("PRIORITY") in ("3", "5", "6")
              and all(re.fullmatch(r"[A-Z][A-Z0-9_]{0,63}", k) for k in fields),
              f"{fmt}: what the journal takes: {fields}")
    named = {f["CAPECHO_EVENT"] + f.get("CAPECHO_ADDRESS", "")[:5]: (f, b) for f, b in entries}
    odd, odd_binary = named.get("listeningunix:", ({}, set()))
    check(odd.get("CAPECHO_ADDRESS") == odd_path and odd.get("MESSAGE") == "listening on " + odd_path
          and odd_binary == {"MESSAGE", "CAPECHO_ADDRESS"},
          f"{fmt}: a line feed kept, length-prefixed: {odd} {odd_binary}")
    s, s_binary = named.get("session", ({}, None))
    check(s.get("PRIORITY") == "6" and s.get("CAPECHO_ENDED") == "client_closed"
          and s.get("CAPECHO_RECEIVED") == "3" and s.get("CAPECHO_SENT", "").isdigit()
          and float(s.get("CAPECHO_SECONDS", "-1")) >= 0 and "CAPECHO_VIA" not in s
          and s.get("MESSAGE", "").startswith("session 127.0.0.1:") and not s_binary,
          f"{fmt}: the session's fields: {s}")
    check(named.get("signal", [{}])[0].get("CAPECHO_SIGNAL") == "SIGTERM", f"{fmt}: signal")

# Text keeps its line on the journal's stream and sends nothing.
server = start("text", verbose=False)
err = server.stderr.readline().decode() + stop(server)
check(err.startswith("<5>capecho-server: listening on 127.0.0.1:") and not queued(),
      f"text: {err!r}")

# No one reads the socket: past its queue, events go to standard error, each
# session is in one place or the other, and a note says why and how many.
server = start("json")
address = receive("listening")[0][0]["CAPECHO_ADDRESS"]
with open("/proc/sys/net/unix/max_dgram_qlen") as f:
    sessions = int(f.read()) + 20
for _ in range(sessions):
    session(address)
written = records(stop(server))
on_stream = sum(r.get("event") == "session" for r in written)
sent = sum(e.get("CAPECHO_EVENT") == "session" for e in queued())
check(on_stream > 0 and on_stream + sent == sessions,
      f"full queue: {on_stream} written + {sent} sent of {sessions}")
notes = [r for r in written if r.get("event") == "journal_refused"]
check(notes and notes[0].get("errno") == 11 and notes[0].get("call") == "sendto"
      and notes[0].get("fallbacks") == written.index(notes[0]), f"full queue: {notes}")

# No socket at all: every event is a line, and one note says so.
journal.close()
os.unlink(JOURNAL)
server = start("json")
line = server.stderr.readline().decode()
session(json.loads(line[3:])["address"])
written = records(line + stop(server))
events = [r.get("event") for r in written]
check(events[:2] == ["listening", "journal_refused"] and "session" in events
      and events[-1] == "stopped", f"no socket: {events}")
notes = [r for r in written if r.get("event") == "journal_refused"]
check(len(notes) == 1 and notes[0].get("errno") == 2 and notes[0].get("fallbacks") == 1,
      f"no socket: one note: {notes}")

sys.exit(1 if failures else 0)
