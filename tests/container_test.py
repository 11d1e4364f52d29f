#!/usr/bin/env python3
"""The container image, built by packaging/container/build and run with podman.

The image is checked (size, user, labels, ports, its files, the same image
from a second build), then run read-only with no capabilities: it serves
sessions on a published loopback port, answers on its metrics port (the
probes' /healthz and /readyz too) without counting the scrapes as sessions, and `podman stop` ends it with status 0
within the shutdown grace, while a session still open gets its echo; where IPv6 is missing it serves on
IPv4 alone. Last, two containers behind HAProxy
(packaging/fleet/haproxy.cfg, pointed at their published ports) are replaced
one after the other while clients run sessions: none may fail.

Podman keeps everything here in a scratch directory: its own storage, a
network of its own, runc as the runtime and the descriptor and process limits
runc can set (containers.conf via CONTAINERS_CONF). The machine's own
configuration is not touched. Skips, with one line, where podman is missing
or cannot work here.
"""
import datetime
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tarfile
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERVER = os.path.join(ROOT, "build-container", "server", "capecho-server")
PREFIX = "capecho-test-%d" % os.getpid()
SIZE_BOUND = 16 * 1000 * 1000
GRACE = 3  # --shutdown-grace of the container that is stopped with sessions open
TIMESTAMP = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z capecho-server: ")

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("container test: FAILED: " + what, file=sys.stderr)
    return ok


def skip(why):
    print("container test: %s: skipped" % why)
    sys.exit(0)


class Podman:
    def __init__(self, scratch):
        conf = os.path.join(scratch, "containers.conf")
        storage = os.path.join(scratch, "storage.conf")
        # crun cannot raise RLIMIT_NPROC/NOFILE here; runc can.
        with open(conf, "w") as f:
            f.write('[containers]\ndefault_ulimits = ["nofile=20000:20000", "nproc=4096:4096"]\n'
                    '[engine]\nruntime = "runc"\ntmp_dir = "%s/tmp"\nevents_logger = "file"\n'
                    '[network]\nnetwork_config_dir = "%s/networks"\n' % (scratch, scratch))
        with open(storage, "w") as f:
            f.write('[storage]\ndriver = "vfs"\ngraphroot = "%s/graph"\nrunroot = "%s/run"\n'
                    % (scratch, scratch))
        self.env = dict(os.environ, CONTAINERS_CONF=conf, CONTAINERS_STORAGE_CONF=storage)
        self.containers = []
        self.network = None

    def run(self, *args, timeout=60, check_status=True):
        p = subprocess.run(["podman", *args], env=self.env, capture_output=True, text=True,
                           timeout=timeout)
        if check_status and p.returncode != 0:
            raise RuntimeError("podman %s: status %d: %s" % (" ".join(args), p.returncode,
                                                           p.stderr.strip()))
        return p

    def start(self, name, image, publish, server_args):
        args = ["run", "--detach", "--name", name, "--network", self.network, "--read-only",
                "--cap-drop", "all", "--security-opt", "no-new-privileges"]
        for p in publish:
            args += ["--publish", p]
        self.containers.append(name)
        self.run(*args, image, *server_args)

    def logs(self, name):
        p = self.run("logs", name, check_status=False)
        return p.stdout, p.stderr

    def wait_for_log(self, name, text, seconds=15):
        deadline = time.time() + seconds
        while time.time() < deadline:
            if text in self.logs(name)[1]:
                return True
            time.sleep(0.1)
        return False

    def cleanup(self):
        for name in self.containers:
            self.run("rm", "--force", "--time", "0", name, check_status=False)
        if self.network:
            self.run("network", "rm", "--force", self.network, check_status=False)


def published(podman, name, port):
    out = podman.run("port", name, "%d/tcp" % port).stdout.strip()
    return int(out.rsplit(":", 1)[1])


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Client:
    def __init__(self, port, timeout=5):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)

    def read(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                break
            data += chunk
        return data

    def greeted(self):
        return self.read(9) == b"Hello!!\n\0"

    def echo(self, text):
        self.sock.sendall(text)
        return self.read(len(text)) == text.upper()

    def finish(self):
        self.sock.sendall(b".\r\n")
        closed = self.sock.recv(1) == b""
        self.sock.close()
        return closed


def session(port, tag):
    """One whole session, every echo checked; False on any fault."""
    try:
        c = Client(port)
        if not c.greeted():
            return False
        for n in range(3):
            if not c.echo(b"session %s round %d\r\n" % (tag.encode(), n)):
                return False
        return c.finish()
    except OSError:
        return False


def eventually(predicate, seconds=15):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.1)
    return False


def scrape(port, path="/metrics"):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=3) as s:
            s.sendall(b"GET %s HTTP/1.0\r\n\r\n" % path.encode())
            data = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return data.decode()
                data += chunk
    except OSError:
        return ""


def metric(text, name):
    m = re.search(r"^%s (\d+)$" % re.escape(name), text, re.M)
    return int(m.group(1)) if m else None


def layer_files(podman, image, scratch):
    """The paths of the regular files in the image's layers."""
    archive = os.path.join(scratch, "image.tar")
    podman.run("save", "--format", "oci-archive", "--output", archive, image)
    files = set()
    with tarfile.open(archive) as outer:
        def blob(digest):
            return outer.extractfile("blobs/sha256/" + digest.split(":")[1])
        index = json.load(outer.extractfile("index.json"))
        manifest = json.load(blob(index["manifests"][0]["digest"]))
        for layer in manifest["layers"]:
            with tarfile.open(fileobj=blob(layer["digest"])) as t:
                files |= {m.name.lstrip("./") for m in t.getmembers() if m.isfile()}
    return files


def check_image(podman, image, scratch):
    info = json.loads(podman.run("image", "inspect", image).stdout)[0]
    config = info["Config"]
    version = subprocess.run([SERVER, "--version"], capture_output=True,
                             text=True).stdout.split()[-1]
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        epoch = int(re.search(r"^set\(CAPECHO_RELEASE_EPOCH (\d+)\)$", f.read(), re.M).group(1))
    created = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc)
    revision = subprocess.run(["git", "-C", ROOT, "rev-parse", "HEAD"], capture_output=True,
                              text=True).stdout.strip()
    labels = config.get("Labels") or {}
    key = "org.opencontainers.image."
    check(image == "capecho-server:" + version, "the image is named for version %s" % version)
    check(info["Size"] <= SIZE_BOUND, "image size %d bytes <= %d" % (info["Size"], SIZE_BOUND))
    check(re.fullmatch(r"[1-9][0-9]*:[1-9][0-9]*", config.get("User", "")) is not None,
          "the user is a numeric uid:gid, not root: '%s'" % config.get("User"))
    check(set(config.get("ExposedPorts", {})) == {"7007/tcp", "9120/tcp"},
          "ports 7007 and 9120 exposed: %s" % config.get("ExposedPorts"))
    check(config.get("StopSignal") == "SIGTERM", "STOPSIGNAL SIGTERM")
    expected = {"version": version, "licenses": "MIT",
                "created": created.strftime("%Y-%m-%dT%H:%M:%SZ")}
    for name, value in expected.items():
        check(labels.get(key + name) == value,
              "label %s is %r: %r" % (key + name, value, labels.get(key + name)))
    check(labels.get(key + "revision", "").startswith(revision or "unknown"),
          "label revision names commit %s: %r" % (revision, labels.get(key + "revision")))
    # No public home yet: no source label rather than a placeholder.
    check(not any("example." in v for v in labels.values()), "no placeholder in a label: %s" % labels)
    check(info["Created"].startswith(created.strftime("%Y-%m-%dT%H:%M:%S")),
          "the image is dated from the release: %s" % info["Created"])
    files = layer_files(podman, image, scratch)
    docs = {f for f in files if re.fullmatch(r"usr/share/doc/[^/]+/copyright", f)}
    check(files - docs == {"usr/bin/capecho-server"} and
          "usr/share/doc/capecho-server/copyright" in docs and len(docs) >= 3,
          "the image holds the server and copyright files only: %s" % sorted(files))
    return info["Id"]


def host_process_status(podman, name):
    pid = podman.run("inspect", "--format", "{{.State.Pid}}", name).stdout.strip()
    with open("/proc/%s/status" % pid) as f:
        return dict(line.split(":", 1) for line in f.read().splitlines() if ":" in line)


def check_serving_and_stop(podman, image):
    name = PREFIX + "-single"
    podman.start(name, image, ["127.0.0.1::7007", "127.0.0.1::9120"],
                 ["--shutdown-grace", str(GRACE), "--verbose"])
    if not check(podman.wait_for_log(name, "listening on [::]:7007"),
                 "the container starts: %s" % podman.logs(name)[1]):
        return
    out, err = podman.logs(name)
    check(out == "", "nothing is written to standard output: %r" % out)
    for line in ("metrics on http://0.0.0.0:9120/metrics", "listening on 0.0.0.0:7007"):
        check(line in err, "logged '%s'" % line)
    lines = err.splitlines()
    check(lines and all(TIMESTAMP.match(line) for line in lines),
          "each log line starts with its UTC time: %s" % lines)

    status = host_process_status(podman, name)
    check(status["Uid"].split() == ["10001"] * 4 and status["Gid"].split() == ["10001"] * 4,
          "the server runs as 10001:10001: Uid %s Gid %s" % (status["Uid"], status["Gid"]))
    check(int(status["CapEff"], 16) == 0 and int(status["CapPrm"], 16) == 0,
          "the server holds no capability: %s" % status["CapEff"])
    check(status["NoNewPrivs"].strip() == "1", "no new privileges")

    port = published(podman, name, 7007)
    metrics_port = published(podman, name, 9120)
    results = []
    threads = [threading.Thread(target=lambda n=n: results.append(session(port, str(n))))
               for n in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    check(results == [True] * 3, "three sessions through the published port: %s" % results)
    scrape(metrics_port)
    text = scrape(metrics_port)
    check(metric(text, "capecho_connections_accepted_total") == 3,
          "the metrics port answers, and scrapes are not sessions: %s"
          % metric(text, "capecho_connections_accepted_total"))
    for path in ("/healthz", "/readyz"):
        answer = scrape(metrics_port, path)
        check(answer.startswith("HTTP/1.0 200 OK\r\n") and answer.endswith("\r\n\r\nok\n"),
              "the probes' %s answers 200: %r" % (path, answer))
    check(metric(text, "process_open_fds") is not None, "the process figures are there")

    # A stop with two sessions open: one is still served and ends, the other
    # stays quiet and is ended at the grace; the server exits 0 then, long
    # before podman would kill it.
    held, quiet = Client(port), Client(port, timeout=20)
    check(held.greeted() and quiet.greeted(), "sessions opened before the stop are greeted")
    started = time.time()
    stop = subprocess.Popen(["podman", "stop", "--time", "20", name], env=podman.env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        check(podman.wait_for_log(name, "SIGTERM received"), "podman stop sends SIGTERM")
        check(held.echo(b"still here\r\n") and held.finish(),
              "an open session gets its echo during the stop")
        check(quiet.sock.recv(1) == b"", "the quiet session is ended at the grace")
        stop.wait(30)
    finally:
        if stop.poll() is None:
            stop.kill()
            stop.wait()
    elapsed = time.time() - started
    code = podman.run("inspect", "--format", "{{.State.ExitCode}}", name).stdout.strip()
    check(stop.returncode == 0 and code == "0", "stopped with status 0: %s %s" % (code,
                                                                                stop.stderr.read()))
    check(GRACE <= elapsed < GRACE + 3, "the stop took the grace, %d s: %.1f s" % (GRACE, elapsed))
    check("stopped: 5 sessions served" in podman.logs(name)[1], "the summary line counts 5")


def check_without_ipv6(podman, image, scratch):
    """On a system without IPv6 (here: socket(AF_INET6) refused as a kernel
    without it refuses it), the image still starts, on IPv4 alone."""
    profile = os.path.join(scratch, "no-ipv6.json")
    with open(profile, "w") as f:
        json.dump({"defaultAction": "SCMP_ACT_ALLOW", "syscalls": [{
            "names": ["socket"], "action": "SCMP_ACT_ERRNO", "errnoRet": 97,  # EAFNOSUPPORT
            "args": [{"index": 0, "value": socket.AF_INET6, "op": "SCMP_CMP_EQ"}]}]}, f)
    name = PREFIX + "-ipv4"
    podman.containers.append(name)
    podman.run("run", "--detach", "--name", name, "--network", podman.network, "--read-only",
               "--cap-drop", "all", "--security-opt", "seccomp=" + profile,
               "--publish", "127.0.0.1::7007", image)
    started = podman.wait_for_log(name, "listening on 0.0.0.0:7007")
    log = podman.logs(name)[1]
    check(started and "not listening on [::]:7007: Address family not supported" in log,
          "without IPv6 the image listens on IPv4 alone: %s" % log)
    check(started and session(published(podman, name, 7007), "ipv4"), "and serves there")
    podman.run("rm", "--force", "--time", "0", name)
    alone = podman.run("run", "--rm", "--network", podman.network, "--security-opt",
                       "seccomp=" + profile, "--entrypoint", "/usr/bin/capecho-server", image,
                       "--listen", "[::]:7007", check_status=False, timeout=30)
    check(alone.returncode == 1 and "cannot listen on [::]:7007" in alone.stderr,
          "asked for IPv6 alone, it does not start: %d %s" % (alone.returncode, alone.stderr))


def rolling_restart(podman, image, scratch):
    haproxy = shutil.which("haproxy") or (os.access("/usr/sbin/haproxy", os.X_OK)
                                          and "/usr/sbin/haproxy")
    if not haproxy:
        print("container test: haproxy is not installed: the rolling restart is skipped")
        return
    subnet = json.loads(podman.run("network", "inspect", podman.network).stdout)[0]
    subnet = subnet["subnets"][0]["subnet"]
    ports = [free_port(), free_port()]
    front = free_port()
    with open(os.path.join(ROOT, "packaging", "fleet", "haproxy.cfg")) as f:
        config = f.read().replace("127.0.0.1:7000", "127.0.0.1:%d" % front)
    for i, port in enumerate(ports):
        config = config.replace("127.0.0.1:700%d" % (i + 1), "127.0.0.1:%d" % port)
    with open(os.path.join(scratch, "haproxy.cfg"), "w") as f:
        f.write(config)

    # The balancer's connections reach the containers from the network's gateway.
    generation = [0, 0]

    def start(i):
        generation[i] += 1
        name = "%s-fleet%d-%d" % (PREFIX, i, generation[i])
        podman.start(name, image, ["127.0.0.1:%d:7007" % ports[i]],
                     ["--proxy-protocol", "--trusted-proxy", subnet, "--drain-delay", "2",
                      "--shutdown-grace", "5", "--verbose"])
        return name

    names = [start(0), start(1)]
    log = open(os.path.join(scratch, "haproxy.log"), "w+")
    balancer = subprocess.Popen([haproxy, "-f", os.path.join(scratch, "haproxy.cfg"), "-db"],
                                stdout=log, stderr=subprocess.STDOUT)
    running = True
    counts = {"sessions": 0, "failed": 0}
    lock = threading.Lock()

    def client(t):
        n = 0
        while running and n < 100000:
            ok = session(front, "%d.%d" % (t, n))
            with lock:
                counts["sessions"] += 1
                counts["failed"] += 0 if ok else 1
            n += 1
            time.sleep(0.001)

    clients = []
    try:
        if not check(eventually(lambda: session(front, "probe")),
                     "sessions go through HAProxy to the containers"):
            log.seek(0)
            print(log.read(), file=sys.stderr)
            return
        clients = [threading.Thread(target=client, args=(t,)) for t in range(6)]
        for c in clients:
            c.start()
        for i in range(2):
            time.sleep(0.5)
            podman.run("stop", "--time", "15", names[i], timeout=30)
            code = podman.run("inspect", "--format", "{{.State.ExitCode}}", names[i]).stdout
            check(code.strip() == "0", "container %d stopped with status 0" % i)
            podman.run("rm", names[i])
            names[i] = start(i)
            check(podman.wait_for_log(names[i], "session 127.0.0.1:"),
                  "replacement %d is back in rotation" % i)
        time.sleep(0.5)
    finally:
        running = False
        for c in clients:
            c.join(30)
        balancer.terminate()
        balancer.wait(10)
    print("container test: rolling restart behind HAProxy: %d sessions, %d failed"
          % (counts["sessions"], counts["failed"]))
    check(counts["sessions"] > 100, "sessions ran during the restart")
    if not check(counts["failed"] == 0, "no session failed during the rolling restart"):
        log.seek(0)
        print(log.read(), file=sys.stderr)


def main():
    if not shutil.which("podman"):
        skip("podman is not installed")
    scratch = tempfile.mkdtemp(prefix="capecho-podman-")
    podman = Podman(scratch)
    try:
        info = podman.run("info", check_status=False)
        if info.returncode != 0:
            skip("podman cannot run containers here (%s)" % info.stderr.strip().splitlines()[-1:])
        podman.network = PREFIX
        podman.run("network", "create", "--disable-dns", podman.network)

        build = subprocess.run(["sh", os.path.join(ROOT, "packaging", "container", "build")],
                               env=podman.env, capture_output=True, text=True, timeout=600)
        if build.returncode != 0:
            sys.exit("container test: the build failed:\n" + build.stdout + build.stderr)
        built = re.search(r"container build: (\S+), (\d+) bytes", build.stdout)
        image = built.group(1)
        first = check_image(podman, image, scratch)
        again = subprocess.run(["sh", os.path.join(ROOT, "packaging", "container", "build")],
                               env=podman.env, capture_output=True, text=True, timeout=600)
        second = podman.run("image", "inspect", "--format", "{{.Id}}", image).stdout.strip()
        check(again.returncode == 0 and second == first,
              "a second build of the same tree gives the same image: %s, then %s"
              % (first, second))

        check_serving_and_stop(podman, image)
        check_without_ipv6(podman, image, scratch)
        rolling_restart(podman, image, scratch)
    finally:
        podman.cleanup()
        shutil.rmtree(scratch, ignore_errors=True)
    if failures:
        sys.exit("container test: %d checks failed" % len(failures))
    print("container test: %s built, %s bytes; every check passed" % (image, built.group(2)))


if __name__ == "__main__":
    main()
