"""bench/compare's arithmetic: /proc samples, the hold MEM lines, the summary
tables and the picture of rate and p99 against busy clients.

  tables.py snap [PID]                median of 5 samples over 0.5 s: system memory (kB), TCP
                                      sockets (and server PID's open descriptors and CPU ticks)
  tables.py watch SECS SPID PID...    samples every 0.1 s until every PID has exited (at
                                      most SECS seconds); prints the medians over the held
                                      plateau (samples where server SPID has >= 98 % of the
                                      most descriptors it had open)
  tables.py noise SECS                the counters' change over SECS s with nothing of ours running
  tables.py mem LABEL BEFORE DURING AFTER LOADGEN-OUT...   the MEM line of one hold run
  tables.py summary RAW               the summary tables from the RESULT/MEM/SURVIVE lines in RAW
  tables.py plot RAW SVG              the pingpong 64 B curves against busy clients, with gnuplot
"""
import os
import statistics
import subprocess
import sys
import time

MEMINFO_KEYS = ("MemTotal", "MemFree", "MemAvailable", "Buffers", "Cached", "AnonPages", "Slab", "SUnreclaim",
                "KernelStack", "PageTables")


def pcp_kib():
    """Pages on the per-CPU free lists: free, but not counted in MemFree."""
    n = 0
    with open("/proc/zoneinfo") as f:
        for line in f:
            parts = line.split()
            if len(parts) == 2 and parts[0] == "count:":
                n += int(parts[1])
    return n * os.sysconf("SC_PAGE_SIZE") // 1024


def sample(pid=None):
    s = {}
    with open("/proc/meminfo") as f:
        for line in f:
            k, v = line.split(":", 1)
            if k in MEMINFO_KEYS:
                s[k] = int(v.split()[0])
    s["Used"] = s["MemTotal"] - s["MemAvailable"]
    # Memory in use that no meminfo item names (e.g. the 32 KiB page each thread keeps
    # for the TCP data it sends): all but free pages, page cache and the named items.
    s["Unnamed"] = (s["MemTotal"] - s["MemFree"] - pcp_kib() - s["Buffers"] - s["Cached"] - s["AnonPages"] -
                    s["Slab"] - s["KernelStack"] - s["PageTables"])
    with open("/proc/net/sockstat") as f:
        for line in f:
            if line.startswith("TCP:"):
                f = line.split()
                s["tcp_inuse"] = int(f[f.index("inuse") + 1])
    if pid:
        try:  # Linux 6.2 and later give the count as the size; older ones, a listing
            n = os.stat(f"/proc/{pid}/fd").st_size
            s["server_fds"] = n if n > 0 else len(os.listdir(f"/proc/{pid}/fd"))
        except OSError:
            pass
    return s


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def fmt(s):
    return " ".join(f"{k}={int(v) if float(v).is_integer() else v}" for k, v in s.items())


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # a zombie (exited, not yet reaped) counts as gone
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def median_sample(samples):
    keys = {k for x in samples for k in x}
    return {k: statistics.median(x[k] for x in samples if k in x) for k in keys}


def snap(pid=None, n=5):
    """Median of n samples 0.1 s apart: one spike elsewhere on the machine does not move it."""
    samples = []
    for i in range(n):
        if i:
            time.sleep(0.1)
        samples.append(sample(pid))
    return median_sample(samples)


def watch(secs, server_pid, pids):
    """Samples every 0.1 s until every pid has exited (at most secs seconds); returns the
    medians over the held plateau: the samples where the server has at least 98 % of the
    most descriptors it had open (or, without them, of the most TCP sockets on the machine)."""
    samples, end = [sample(server_pid)], time.monotonic() + secs
    while time.monotonic() < end and any(alive(p) for p in pids):
        time.sleep(0.1)
        samples.append(sample(server_pid))
    key = "server_fds" if all("server_fds" in x for x in samples) else "tcp_inuse"
    top = max(x[key] for x in samples)
    plateau = [x for x in samples if x[key] >= 0.98 * top]
    m = median_sample(plateau)
    m["plateau_samples"] = len(plateau)
    return m


def read_kv(path):
    """The key=value fields of every line of a file (later lines win)."""
    d = {}
    with open(path) as f:
        for line in f:
            for fld in line.split():
                k, eq, v = fld.partition("=")
                if eq:
                    d[k] = v
    return d


def mem_line(label, files):
    """MEM line for one hold run: files are before, during, after (snap/watch
    output) and then each loadgen's RESULT line."""
    before, during, after = (read_kv(p) for p in files[:3])
    lgs = [read_kv(p) for p in files[3:]]
    ints = lambda key: [int(float(g[key])) for g in lgs if key in g]
    out = {"label": label}
    out["sessions"] = sum(ints("established"))
    out["establish_secs"] = max((float(g["establish_secs"]) for g in lgs if "establish_secs" in g), default=-1)
    out["errors"] = sum(ints("errors")) + sum(1 for g in lgs if "errors" not in g)
    out["server_rss_before_kib"] = min(ints("server_rss_before_kib"), default=-1)
    out["server_rss_held_kib"] = max(ints("server_rss_held_kib"), default=-1)
    out["server_hwm_kib"] = max(ints("server_hwm_kib"), default=-1)
    out["server_threads_held"] = max(ints("server_threads_held"), default=-1)
    out["tcp_inuse_held"] = during.get("tcp_inuse")
    if "server_fds" in during and "server_fds" in before:  # sessions the server held at once
        out["held"] = round(float(during["server_fds"]) - float(before["server_fds"]))
    for k in ("Used", "KernelStack", "Slab", "SUnreclaim", "PageTables", "Unnamed"):
        if k in during and k in before:
            out["d_" + k] = round(float(during[k]) - float(before[k]))
    if "cpu_ticks" in before and "cpu_ticks" in after:
        out["server_cpu_secs"] = (int(after["cpu_ticks"]) - int(before["cpu_ticks"])) / os.sysconf("SC_CLK_TCK")
    return "MEM " + " ".join(f"{k}={v}" for k, v in out.items())


# ---------------------------------------------------------------- summary

def parse(raw):
    """RESULT/MEM/SURVIVE lines -> list of dicts (key=value fields)."""
    rows = []
    with open(raw) as f:
        for line in f:
            kind, *fields = line.split()
            if kind not in ("RESULT", "MEM", "SURVIVE", "NOISE"):
                continue
            d = {"kind": kind}
            for fld in fields:
                k, _, v = fld.partition("=")
                try:
                    d[k] = float(v)
                except ValueError:
                    d[k] = v
            rows.append(d)
    return rows


def med(xs):
    xs = [x for x in xs if x is not None]
    return statistics.median(xs) if xs else None


def num(x, digits=None):
    if x is None:
        return "-"
    if digits is None:
        digits = 0 if abs(x) >= 1000 else 1 if abs(x) >= 100 else 2
    return f"{x:.{digits}f}"


def summary(raw):
    rows = parse(raw)
    attach_pairs([r for r in rows if not str(r.get("label", "")).startswith("hold")])
    by = {}  # (bench, server) -> [row, ...] in run order
    servers = []
    for r in rows:
        if "/" not in str(r.get("label", "")):
            continue
        bench, server = r["label"].split("/", 1)
        if server not in servers:
            servers.append(server)
        if r["kind"] == "RESULT":
            by.setdefault((bench, server), []).append(r)
    order = ["capecho", "capecho-nagle", "go", "node", "asio", "python"]
    servers.sort(key=lambda s: order.index(s) if s in order else len(order))

    def cpu_per(r, rate):
        pct = r.get("server_cpu_pct")
        return pct / 100 * 1e6 / r[rate] if isinstance(pct, float) and r.get(rate) else None

    figures = [  # (bench, title, value of one run)
        ("pp1024", "pingpong 1024 B C=1 pinned: round trips/s", lambda r: r.get("rtps")),
        ("pp1024", "pingpong 1024 B: p99 us", lambda r: r.get("p99_us")),
        ("pp1024", "pingpong 1024 B: server CPU us per round trip", lambda r: cpu_per(r, "rtps")),
        ("pp7", "pingpong 7 B C=1 pinned: round trips/s", lambda r: r.get("rtps")),
        ("pp7", "pingpong 7 B: p99 us", lambda r: r.get("p99_us")),
        ("pp7", "pingpong 7 B: server CPU us per round trip", lambda r: cpu_per(r, "rtps")),
        ("stream", "stream 128 MiB: MB/s", lambda r: r.get("mbps")),
        ("stream", "stream: server CPU us per MB", lambda r: cpu_per(r, "mbps")),
        ("sess32", "sessions C=32 x500: sessions/s", lambda r: r.get("sps")),
        ("sess32", "sessions C=32: p99 us", lambda r: r.get("p99_us")),
        ("sess32", "sessions C=32: server CPU us per session", lambda r: cpu_per(r, "sps")),
        ("sess256", "sessions C=256 x100: sessions/s", lambda r: r.get("sps")),
        ("sess256", "sessions C=256: p99 us", lambda r: r.get("p99_us")),
        ("sess256", "sessions C=256: server CPU us per session", lambda r: cpu_per(r, "sps")),
        ("pp64x256", "pingpong 64 B C=256 active: round trips/s", lambda r: r.get("rtps")),
        ("pp64x256", "pingpong 64 B C=256: p99 us", lambda r: r.get("p99_us")),
        ("pp64x256", "pingpong 64 B C=256: server CPU us per round trip", lambda r: cpu_per(r, "rtps")),
    ]
    out = []
    w = 18
    head = f"{'figure':<46}" + "".join(f"{s:>{w}}" for s in servers)
    out.append("A. rates: median over the runs (ratio of medians to capecho) [median of per-pair ratios]")
    out.append(head)
    errors = sum(int(r.get("errors", 0) or 0) for (b, _), runs in by.items() if not b.startswith("hold") for r in runs)
    for bench, title, fn in figures:
        base = med([fn(r) for r in by.get((bench, "capecho"), [])])
        cells = []
        for s in servers:
            v = med([fn(r) for r in by.get((bench, s), [])])
            if v is None:
                cells.append("-")
                continue
            cell = num(v)
            if s != "capecho" and base:
                cell += f" ({v / base:.2f})"
            cells.append(cell)
        out.append(f"{title:<46}" + "".join(f"{c:>{w}}" for c in cells))
        pairs = []
        for s in servers:
            if s == "capecho":
                pairs.append("")
                continue
            prs = [fn(r) / fn(r["_pair"]) for r in by.get((bench, s), []) if "_pair" in r and fn(r) and fn(r["_pair"])]
            pairs.append(f"[{med(prs):.2f}]" if prs else "")
        if any(pairs):
            out.append(f"{'':<46}" + "".join(f"{p:>{w}}" for p in pairs))
    connect_errors = sum(int(r.get("connect_errors", 0) or 0) for (b, _), runs in by.items()
                         if not b.startswith("hold") for r in runs)
    out.append("runs per cell: " + ", ".join(f"{b}={len(by.get((b, 'capecho'), []))}" for b in
                                             ("pp1024", "pp7", "stream", "sess32", "sess256", "pp64x256")) +
               " (capecho: one run next to each peer run); errors (all rate runs): " + str(errors) +
               f", of which connect errors: {connect_errors}")
    out.append("")

    curve = busy_clients(rows)
    if curve:
        out.append("B. pingpong 64 B against busy clients (concurrency.svg): median round trips/s, p99 us "
                   "[median of per-pair rate ratios]")
        out.append(f"{'busy clients':<46}" + "".join(f"{s:>{w}}" for s in servers if s != "capecho-nagle"))
        for c in sorted({c for c, _ in curve}):
            rates, p99s, pairs = [], [], []
            for s in servers:
                if s == "capecho-nagle":
                    continue
                point = curve.get((c, s))
                rates.append(num(point["rtps"]) if point else "-")
                p99s.append(num(point["p99_us"]) if point else "-")
                prs = [r["rtps"] / r["_pair"]["rtps"] for r in by.get((f"pp64x{c}", s), [])
                       if "_pair" in r and r.get("rtps") and r["_pair"].get("rtps")]
                pairs.append(f"[{med(prs):.2f}]" if prs else "")
            out.append(f"{f'C={c}: round trips/s':<46}" + "".join(f"{x:>{w}}" for x in rates))
            if any(pairs):
                out.append(f"{'':<46}" + "".join(f"{x:>{w}}" for x in pairs))
            out.append(f"{f'C={c}: p99 us':<46}" + "".join(f"{x:>{w}}" for x in p99s))
        out.append("")

    # hold
    mems = {}
    for r in rows:
        if r["kind"] in ("MEM", "SURVIVE"):
            bench, server = r["label"].split("/", 1)
            mems.setdefault((r["kind"], bench, server), []).append(r)
    for bench, title in (("hold10k", "C. hold 10,000 sessions, 2 s (one loadgen)"),
                         ("hold25k", "D. hold 25,000 sessions, 2 s (two loadgens of 12,500)")):
        if not any(k[1] == bench for k in mems):
            continue
        out.append(title + ": medians over the runs (ratio to capecho)")
        out.append(f"{'figure':<46}" + "".join(f"{s:>{w}}" for s in servers if s != "capecho-nagle"))
        hs = [s for s in servers if s != "capecho-nagle"]

        def held(m):
            return m.get("held") or m.get("sessions")

        def kib_per(m, key):
            return m["d_" + key] / held(m) * 1024 if held(m) else None

        def rss_per(m):
            return (m["server_rss_held_kib"] - m["server_rss_before_kib"]) * 1024 / held(m) if held(m) else None

        def total(m):
            parts = [rss_per(m)] + [kib_per(m, k) for k in ("KernelStack", "Slab", "PageTables", "Unnamed")]
            return sum(parts) if None not in parts else None

        hold_figs = [
            ("sessions established (sum over loadgens)", "MEM", lambda m: m.get("sessions")),
            ("sessions held at once (server descriptors)", "MEM", lambda m: m.get("held")),
            ("establish secs (slowest loadgen)", "MEM", lambda m: m.get("establish_secs")),
            ("errors (all loadgens)", "MEM", lambda m: m.get("errors")),
            ("server peak RSS MiB (VmHWM)", "MEM", lambda m: m["server_hwm_kib"] / 1024 if m.get("server_hwm_kib", -1) > 0 else None),
            ("per held session, bytes: server RSS", "MEM", rss_per),
            ("  + KernelStack (system-wide)", "MEM", lambda m: kib_per(m, "KernelStack")),
            ("  + Slab (system-wide, both ends' sockets)", "MEM", lambda m: kib_per(m, "Slab")),
            ("  + PageTables (system-wide)", "MEM", lambda m: kib_per(m, "PageTables")),
            ("  + kernel pages in no meminfo item", "MEM", lambda m: kib_per(m, "Unnamed")),
            ("  = total", "MEM", total),
            ("  MemTotal-MemAvailable (system-wide, noisy)", "MEM", lambda m: kib_per(m, "Used")),
            ("server threads held", "MEM", lambda m: m.get("server_threads_held")),
            ("server CPU seconds during the run", "MEM", lambda m: m.get("server_cpu_secs")),
            ("server alive and serving after (runs)", "SURVIVE", None),
            ("listen queue overflows (SYN cookies sent)", "OVERFLOW", None),
        ]
        for name, kind, fn in hold_figs:
            cells = []
            base = med([fn(m) for m in mems.get(("MEM", bench, "capecho"), [])]) if fn else None
            for s in hs:
                if kind == "OVERFLOW":
                    sv = mems.get(("SURVIVE", bench, s), [])
                    o = med([x.get("listen_overflows") for x in sv if isinstance(x.get("listen_overflows"), float)])
                    c = med([x.get("syncookies_sent") for x in sv if isinstance(x.get("syncookies_sent"), float)])
                    cells.append(f"{num(o, 0)} ({num(c, 0)})")
                    continue
                if kind == "SURVIVE":
                    sv = mems.get(("SURVIVE", bench, s), [])
                    cells.append(f"{sum(1 for x in sv if x.get('ok') == 'yes')}/{len(sv)}" if sv else "-")
                    continue
                v = med([fn(m) for m in mems.get(("MEM", bench, s), [])])
                cell = num(v)
                if v is not None and s != "capecho" and base:
                    cell += f" ({v / base:.2f})"
                cells.append(cell)
            out.append(f"{name:<46}" + "".join(f"{c:>{w}}" for c in cells))
        out.append("")
    noise = [r for r in rows if r["kind"] == "NOISE"]
    if noise:
        parts = []
        for k in ("Used", "Slab", "KernelStack", "PageTables", "Unnamed"):
            v = med([abs(r["d_" + k]) for r in noise if "d_" + k in r])
            parts.append(f"{k} {v:.0f} kB ({v * 1024 / 10000:.0f} B per session at 10,000)")
        out.append(f"E. noise control ({len(noise)} windows of 4 s with none of our servers or sessions running): "
                   "median |change| of " + ", ".join(parts))
        out.append("")
    return "\n".join(out)


def busy_clients(rows):
    """The picture's points: (clients, server) -> median rtps and p99_us over the
    pingpong 64 B runs that ended without an error (a run cut short by one says
    nothing of the rate)."""
    runs = {}
    for r in rows:
        if r["kind"] != "RESULT" or r.get("mode") != "pingpong" or r.get("size") != 64 or r.get("errors"):
            continue
        server = str(r.get("label", "")).split("/", 1)[-1]
        runs.setdefault((int(r["conns"]), server), []).append(r)
    return {k: {"rtps": med([r.get("rtps") for r in v]), "p99_us": med([r.get("p99_us") for r in v])}
            for k, v in runs.items()}


def gnuplot_script(curve, svg):
    """Two panels over the number of busy clients (log scale): round trips/s,
    and p99 in ms (log scale); one line per server, data inline."""
    order = ["capecho", "go", "node", "asio", "python"]
    servers = sorted({s for _, s in curve}, key=lambda s: order.index(s) if s in order else len(order))
    clients = sorted({c for c, _ in curve})
    out = ['set terminal svg size 960,420 dynamic font "sans,12" background "white"',
           f"set output '{svg}'",
           'set multiplot layout 1,2 title "pingpong 64 B, every client busy: capecho-server and the same '
           'protocol in other stacks"',
           "set logscale x 2", "set xtics (" + ", ".join(f'"{c}" {c}' for c in clients) + ")",
           f"set xrange [{clients[0] / 1.5}:{clients[-1] * 1.5}]",
           'set xlabel "busy clients"', "set key top left", "set grid",
           'set ylabel "round trips/s"', 'set format y "%.0s%c"', "set yrange [0:*]"]

    def plot(column):
        parts = [f"'-' using 1:2 with linespoints lw 2 pt 7 title '{s}'" for s in servers]
        lines = ["plot " + ", ".join(parts)]
        for s in servers:
            for c in clients:
                if (c, s) in curve:
                    lines.append(f"{c} {curve[(c, s)][column] / (1000 if column == 'p99_us' else 1):g}")
            lines.append("e")
        return lines

    out += plot("rtps")
    out += ['set ylabel "p99 round trip, ms"', "set logscale y 10", 'set format y "%g"', "set yrange [*:*]"]
    out += plot("p99_us")
    out += ["unset multiplot"]
    return "\n".join(out) + "\n"


def plot_svg(raw, svg):
    curve = busy_clients(parse(raw))
    if not curve:
        sys.exit("tables.py plot: no pingpong 64 B runs in " + raw)
    subprocess.run(["gnuplot"], input=gnuplot_script(curve, svg), text=True, check=True)


def attach_pairs(rows):
    """bench/compare runs every peer run next to a capecho run of the same bench
    (C X in odd rounds, X C in even ones): consecutive runs of a bench pair up."""
    runs = {}
    for r in rows:
        if r["kind"] == "RESULT" and "/" in str(r.get("label", "")):
            runs.setdefault(r["label"].split("/", 1)[0], []).append(r)
    for seq in runs.values():
        for a, b in zip(seq[0::2], seq[1::2]):
            sa, sb = a["label"].split("/", 1)[1], b["label"].split("/", 1)[1]
            if sa == "capecho" and sb != "capecho":
                b["_pair"] = a
            elif sb == "capecho" and sa != "capecho":
                a["_pair"] = b


if __name__ == "__main__":
    cmd = sys.argv[1] if len(sys.argv) > 1 else ""
    if cmd == "snap":
        pid = int(sys.argv[2]) if len(sys.argv) > 2 else None
        s = snap(pid)
        if pid:
            try:
                s["cpu_ticks"] = cpu_ticks(pid)
            except OSError:
                pass
        print(fmt(s))
    elif cmd == "watch":
        print(fmt(watch(float(sys.argv[2]), int(sys.argv[3]), [int(p) for p in sys.argv[4:]])))
    elif cmd == "noise":  # the same counters over a window with none of our sessions
        a = snap()
        time.sleep(float(sys.argv[2]))
        b = snap()
        print("NOISE " + " ".join(f"d_{k}={round(b[k] - a[k])}" for k in ("Used", "KernelStack", "Slab", "PageTables",
                                                                             "Unnamed")))
    elif cmd == "mem":
        print(mem_line(sys.argv[2], sys.argv[3:]))
    elif cmd == "summary":
        print(summary(sys.argv[2]))
    elif cmd == "plot":
        plot_svg(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
