#!/usr/bin/env python3
"""The watch at office scale, against private CUPS servers with the limits a freshly installed server
has (scripts/cups-lab.sh --stock-limits: 100 clients, 100 subscriptions, 500 jobs).

    bench/watch_office.py [--build DIR] [--old DIR] [--period P] [--tls] [PHASE ...]

PHASE is any of office, many, full, queue, reuse (default: all five, in this order); each build given
(--build, default build/, and --old, a build of an earlier commit) runs in turn against the same
servers:

  office  50 `quenlo-cli watch` (watch=5) of the same 30 printers on one server: subscriptions held,
          whether a third program still gets one, whether `lpstat` is still served, how long each
          watcher takes to see a `cupsdisable`, and the server's CPU above its idle and the
          watchers' own CPU over P seconds. --tls: the watchers speak TLS (encryption=Required).
  many    one watcher of 500 printers on 20 servers (watch=5): its CPU over P seconds, its resident
          memory and open descriptors (highest seen from its start), and how long a printer stopped
          and started again on every server takes to show.
  full    another client holds every subscription the server takes; one watcher of 30 printers
          (watch=5) for 2.5 x P seconds: how long a stop takes to show, when it asked for a
          subscription (from the server's access log), its requests per second and the server's CPU.
  queue   the server's CPU for one automatic refresh of a 5,000-job queue beside `lpstat -o`'s and
          the full refresh's (bench_monitor_follow_refresh of --build; needs the benchmarks built).
  reuse   the server's CPU for 2,000 Get-Notifications on a new HTTP/1.0 connection each (as the
          watch sends them) and on one kept-alive HTTP/1.1 connection: what reusing it would save.

Defaults: P = 60. CPU is read from /proc/PID/stat (user + system). The watchers' lines are stamped
when they arrive, so a latency is measured to the tenth of a second, from just before the command
that makes the change.
"""
import argparse
import http.client
import os
import re
import selectors
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LAB = os.path.join(HERE, "scripts", "cups-lab.sh")
HZ = os.sysconf("SC_CLK_TCK")
WATCH = 5


def ticks(pid):
    """User + system CPU ticks of a process, 0 when it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])
    except (OSError, IndexError, ValueError):
        return 0


def cpu_percent(pid, seconds):
    """Percent of one core `pid` spends over the next `seconds`."""
    before = ticks(pid)
    time.sleep(seconds)
    return (ticks(pid) - before) * 100.0 / HZ / seconds


class Lab:
    """A private CUPS server of scripts/cups-lab.sh, stopped with this process at the latest."""

    def __init__(self, *options):
        self.dir = tempfile.mkdtemp(prefix="quenlo-office-bench.")
        out = subprocess.run([LAB, "start", self.dir, "--stock-limits", "--owner", str(os.getpid()), *options],
                             check=True, capture_output=True, text=True).stdout
        self.port = int(out.strip())

    def run(self, sub, *args):
        subprocess.run([LAB, sub, self.dir, *args], check=True, stdout=subprocess.DEVNULL)

    def pid(self):
        with open(os.path.join(self.dir, "cupsd.pid")) as f:
            return int(f.read())

    def entries(self, printers, prefix="", extra=""):
        return "".join("<printer>\nname=%s%s\nremotehost=127.0.0.1:%d\nurl=/printers/%s\nlocalport=-1\n%s<endprinter>\n"
                       % (prefix, p, self.port, p, extra) for p in printers)

    def restart_without_subscriptions(self):
        """CUPS keeps subscriptions across a restart: the next build starts on an empty server."""
        self.run("down")
        # The server reads its backup (subscriptions.conf.O) when the file itself is missing.
        for root, _, files in os.walk(self.dir):
            for name in files:
                if name.startswith("subscriptions.conf"):
                    os.remove(os.path.join(root, name))
        self.run("up")

    def stop(self):
        subprocess.run([LAB, "stop", self.dir], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["rm", "-rf", self.dir])


def ipp_body(port, op, user, extra=b"", more=b""):
    """An IPP/1.1 request to the server's root; `extra` and `more` add operation attributes and a
    subscription group (callables given the attribute writer)."""
    def attr(tag, name, value):
        v = value if isinstance(value, bytes) else value.encode()
        return struct.pack(">BH", tag, len(name)) + name.encode() + struct.pack(">H", len(v)) + v
    body = struct.pack(">BBHI", 1, 1, op, 1) + b"\x01"
    body += attr(0x47, "attributes-charset", "utf-8") + attr(0x48, "attributes-natural-language", "en")
    body += attr(0x45, "printer-uri", "ipp://127.0.0.1:%d/" % port) + attr(0x42, "requesting-user-name", user)
    body += extra(attr) if callable(extra) else extra
    body += more(attr) if callable(more) else more
    return body + b"\x03"


def ipp(port, op, user, extra=b"", more=b""):
    """Posts one IPP/1.1 request to the server's root; returns (status, body)."""
    body = ipp_body(port, op, user, extra, more)
    request = urllib.request.Request("http://127.0.0.1:%d/" % port, data=body,
                                     headers={"Content-Type": "application/ipp"})
    answer = urllib.request.urlopen(request, timeout=60).read()
    return struct.unpack(">H", answer[2:4])[0], answer


def subscriptions_held(port):
    return ipp(port, 0x0019, "root")[1].count(b"notify-subscription-id")


def subscribe(port, user, lease):
    """Create-Printer-Subscriptions for every printer event; (status, subscription id or 0)."""
    status, body = ipp(port, 0x0016, user, more=lambda a: b"\x06" + a(0x44, "notify-pull-method", "ippget") +
                       a(0x44, "notify-events", "printer-state-changed") +
                       a(0x21, "notify-lease-duration", struct.pack(">i", lease)))
    at = body.find(b"notify-subscription-id")
    return status, (struct.unpack(">i", body[at + 24:at + 28])[0] if at >= 0 else 0)


def unsubscribe(port, user, subscription):
    ipp(port, 0x001B, user, extra=lambda a: a(0x21, "notify-subscription-id", struct.pack(">i", subscription)))


class Watchers:
    """quenlo-cli watch processes whose lines are stamped as they arrive."""

    def __init__(self, cli, config, count, env=None):
        self.procs = [subprocess.Popen([cli, "watch", "--config", config, "--seconds", str(WATCH)], env=env,
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) for _ in range(count)]
        self.started = time.monotonic()
        self.lines = [[] for _ in self.procs]  # (time, name, lamp, line)
        self.lock = threading.Lock()
        self.samples = []  # (fds, rss KiB) of the first watcher
        self.peak_kib = 0
        self.done = False
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.sampler = threading.Thread(target=self._sample, daemon=True)
        self.sampler.start()

    def _read(self):
        selector = selectors.DefaultSelector()
        pending = {}
        for i, p in enumerate(self.procs):
            os.set_blocking(p.stdout.fileno(), False)
            selector.register(p.stdout, selectors.EVENT_READ, i)
            pending[i] = b""
        while not self.done and selector.get_map():
            for key, _ in selector.select(0.2):
                i = key.data
                try:
                    chunk = os.read(key.fileobj.fileno(), 65536)
                except BlockingIOError:
                    continue
                if not chunk:
                    selector.unregister(key.fileobj)
                    continue
                now = time.monotonic()
                *complete, pending[i] = (pending[i] + chunk).split(b"\n")
                with self.lock:
                    for line in complete:
                        fields = line.decode("utf-8", "replace").split("\t")
                        if len(fields) >= 4:
                            self.lines[i].append((now, fields[1], fields[2], fields[3]))

    def _sample(self):
        pid = self.procs[0].pid
        while not self.done:
            try:
                fds = len(os.listdir("/proc/%d/fd" % pid))
                with open("/proc/%d/status" % pid) as f:
                    status = f.read()
                rss = int(re.search(r"VmRSS:\s+(\d+)", status).group(1))
                self.peak_kib = max(self.peak_kib, int(re.search(r"VmHWM:\s+(\d+)", status).group(1)))
                self.samples.append((fds, rss))
            except (OSError, AttributeError):
                pass
            time.sleep(0.1)

    def ticks(self):
        """User + system CPU ticks of every watcher together."""
        return sum(ticks(p.pid) for p in self.procs)

    def first_looks(self, printers, limit):
        """Waits until every watcher has shown every printer once (at most `limit` seconds)."""
        end = time.monotonic() + limit
        while time.monotonic() < end:
            with self.lock:
                if all(len({n for _, n, _, _ in lines}) >= printers for lines in self.lines):
                    return True
            time.sleep(0.2)
        return False

    def seen(self, name, text, since, limit):
        """Seconds after `since` each watcher first showed `name` with `text` in its line (None: not
        within `limit` seconds)."""
        end = since + limit
        while True:
            with self.lock:
                found = [next((t - since for t, n, _, line in lines if t >= since and n == name and text(line)), None)
                         for lines in self.lines]
            if all(f is not None for f in found) or time.monotonic() > end:
                return found
            time.sleep(0.1)

    def stop(self):
        for p in self.procs:
            p.send_signal(signal.SIGTERM)
        for p in self.procs:
            try:
                p.wait(timeout=15)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        self.done = True


def latency_text(found):
    seen = sorted(f for f in found if f is not None)
    if not seen:
        return "none seen"
    within = sum(1 for f in seen if f <= WATCH + 1)
    return "%d/%d within %d s (median %.1f s, slowest %.1f s)" % (within, len(found), WATCH + 1,
                                                                  seen[len(seen) // 2], seen[-1])


def stopped_with(message):
    return lambda line: message in line


def started_again(line):
    return " - idle," in line or " - processing," in line


def lpstat(port, printers):
    """Whether `lpstat -p` lists every printer, and how long it took."""
    start = time.monotonic()
    try:
        out = subprocess.run(["lpstat", "-h", "127.0.0.1:%d" % port, "-p"], capture_output=True, text=True,
                             timeout=60)
        listed = sum(1 for line in out.stdout.splitlines() if line.startswith("printer "))
        ok = out.returncode == 0 and listed == printers
        return "%s in %.0f ms" % ("served" if ok else "NOT served (%d listed)" % listed,
                                  (time.monotonic() - start) * 1000)
    except subprocess.TimeoutExpired:
        return "NOT served within 60 s"


def phase_office(builds, period, watchers=50, printers=30, tls=False):
    print("\n== office%s: %d watchers x %d printers on one server, watch=%d, %d s per measure"
          % (" over TLS" if tls else "", watchers, printers, WATCH, period), flush=True)
    lab = Lab()
    # Over TLS the server's certificate is kept in a trust store of the lab's own, not the user's.
    env = dict(os.environ, XDG_CONFIG_HOME=lab.dir) if tls else None
    try:
        names = ["office%d" % i for i in range(1, printers + 1)]
        for n in names:
            lab.run("add-printer", n)
        config = os.path.join(lab.dir, "printers.qdl")
        with open(config, "w") as f:
            f.write("watch=%d\n" % WATCH + lab.entries(names, extra="encryption=Required\n" if tls else ""))
        time.sleep(5)
        for round_, (label, build) in enumerate(builds):
            idle = cpu_percent(lab.pid(), period)
            w = Watchers(os.path.join(build, "cli", "quenlo-cli"), config, watchers, env)
            settled = w.first_looks(printers, 60)
            client_before = w.ticks()
            busy = cpu_percent(lab.pid(), period)
            client = (w.ticks() - client_before) * 100.0 / HZ / period
            held = subscriptions_held(lab.port)
            status, third = subscribe(lab.port, "third-party", 300)
            if third:
                unsubscribe(lab.port, "third-party", third)
            served = lpstat(lab.port, printers)
            message = "office pause %d" % round_
            since = time.monotonic()
            lab.run("pause", "office7", message)
            paused = w.seen("office7", stopped_with(message), since, 30)
            w.stop()
            left = subscriptions_held(lab.port)
            lab.run("resume", "office7")
            print("%-6s server CPU idle %.2f%%, with the watchers %.2f%% (%+.2f points)%s" % (
                label, idle, busy, busy - idle, "" if settled else "; NOT every watcher showed every printer in 60 s"))
            print("       the %d watchers' own CPU together %.2f%% of a core" % (watchers, client))
            print("       subscriptions held %d, third program's %s, lpstat %s, left after SIGTERM %d" % (
                held, "granted" if status == 0 else "refused (0x%04x)" % status, served, left))
            print("       cupsdisable seen: %s" % latency_text(paused), flush=True)
            lab.restart_without_subscriptions()
    finally:
        lab.stop()


def phase_many(builds, period, servers=20, per_server=25):
    print("\n== many: one watcher of %d printers on %d servers, watch=%d, %d s per measure"
          % (servers * per_server, servers, WATCH, period), flush=True)
    started = time.monotonic()
    labs = []
    try:
        for _ in range(servers):
            labs.append(Lab())
        names = ["p%d" % j for j in range(1, per_server + 1)]
        threads = [threading.Thread(target=lambda lab=lab: [lab.run("add-printer", n) for n in names])
                   for lab in labs]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        rss = 0
        for lab in labs:
            with open("/proc/%d/status" % lab.pid()) as f:
                rss += int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))
        print("set-up: %d servers and %d printers in %.0f s; the servers together hold %.0f MiB resident"
              % (servers, servers * per_server, time.monotonic() - started, rss / 1024), flush=True)
        config = os.path.join(labs[0].dir, "many.qdl")
        with open(config, "w") as f:
            f.write("watch=%d\n" % WATCH + "".join(lab.entries(names, "s%d-" % i) for i, lab in enumerate(labs)))
        time.sleep(5)
        for round_, (label, build) in enumerate(builds):
            w = Watchers(os.path.join(build, "cli", "quenlo-cli"), config, 1)
            settled = w.first_looks(servers * per_server, 60)
            time.sleep(WATCH)
            cpu = cpu_percent(w.procs[0].pid, period)
            message = "many pause %d" % round_
            changed = ["s%d-p%d" % (i, i % per_server + 1) for i in range(servers)]
            found = []
            for kind in ("stop", "start"):
                since = []
                for i, lab in enumerate(labs):
                    since.append(time.monotonic())
                    if kind == "stop":
                        lab.run("pause", "p%d" % (i % per_server + 1), message)
                    else:
                        lab.run("resume", "p%d" % (i % per_server + 1))
                test = stopped_with(message) if kind == "stop" else started_again
                for i in range(servers):
                    found += w.seen(changed[i], test, since[i], 30)
            fds = max(f for f, _ in w.samples) if w.samples else 0
            steady = [f for f, _ in w.samples[len(w.samples) // 2:]] or [0]
            w.stop()
            print("%-6s its CPU %.2f%% of a core; resident memory at most %.1f MiB; open descriptors at most %d "
                  "(%d to %d in the second half)%s" % (label, cpu, w.peak_kib / 1024, fds, min(steady), max(steady),
                                                       "" if settled else "; NOT every printer shown in 60 s"))
            print("       %d stops and %d starts seen: %s" % (servers, servers, latency_text(found)), flush=True)
    finally:
        for lab in labs:
            lab.stop()


def subscribe_requests(log, skip):
    """Times (seconds of the day) of the Create-Printer-Subscriptions in the access log after `skip`
    lines."""
    times = []
    with open(log, errors="replace") as f:
        for line in f.readlines()[skip:]:
            if "Create-Printer-Subscriptions" in line:
                m = re.search(r":(\d\d):(\d\d):(\d\d) ", line)
                if m:
                    times.append(int(m.group(1)) * 3600 + int(m.group(2)) * 60 + int(m.group(3)))
    return times


def phase_full(builds, period, printers=30):
    run_for = int(period * 2.5)
    print("\n== full: another client holds every subscription; one watcher of %d printers, watch=%d, %d s"
          % (printers, WATCH, run_for), flush=True)
    lab = Lab("--log-all")
    try:
        names = ["full%d" % i for i in range(1, printers + 1)]
        for n in names:
            lab.run("add-printer", n)
        taken = 0
        while subscribe(lab.port, "someone-else", 3600)[0] == 0 and taken < 1000:
            taken += 1
        config = os.path.join(lab.dir, "printers.qdl")
        with open(config, "w") as f:
            f.write("watch=%d\n" % WATCH + lab.entries(names))
        log = os.path.join(lab.dir, "log", "access_log")
        print("the other client holds %d subscriptions" % taken)
        for round_, (label, build) in enumerate(builds):
            with open(log, errors="replace") as f:
                skip = len(f.readlines())
            server_before = ticks(lab.pid())
            w = Watchers(os.path.join(build, "cli", "quenlo-cli"), config, 1)
            w.first_looks(printers, 60)
            time.sleep(10)
            message = "full pause %d" % round_
            since = time.monotonic()
            lab.run("pause", "full3", message)
            paused = w.seen("full3", stopped_with(message), since, 30)
            lab.run("resume", "full3")
            time.sleep(max(0.0, w.started + run_for - time.monotonic()))
            elapsed = time.monotonic() - w.started
            w.stop()
            server = (ticks(lab.pid()) - server_before) * 100.0 / HZ / elapsed
            with open(log, errors="replace") as f:
                requests = len(f.readlines()) - skip
            asked = subscribe_requests(log, skip)
            gaps = [b - a for a, b in zip(asked, asked[1:])]
            print("%-6s stop seen: %s; server CPU %.2f%%; %.1f requests/s" % (
                label, latency_text(paused), server, requests / elapsed))
            print("       %d subscriptions asked for in %.0f s%s" % (
                len(asked), elapsed, ", %s s apart" % ", ".join(map(str, gaps[:8])) + (" ..." if len(gaps) > 8 else "")
                if gaps else ""), flush=True)
    finally:
        lab.stop()


def phase_reuse(requests=2000):
    """The server's CPU for the watch's Get-Notifications on a new connection each (HTTP/1.0, as the
    watch sends them) against the same requests on one kept-alive HTTP/1.1 connection."""
    print("\n== reuse: %d Get-Notifications of one subscription, the server's CPU per request" % requests, flush=True)
    lab = Lab()
    try:
        lab.run("add-printer", "reuse")
        _, subscription = subscribe(lab.port, "watcher", 300)
        body = ipp_body(lab.port, 0x001C, "watcher", extra=lambda a: a(0x21, "notify-subscription-ids",
                                                                       struct.pack(">i", subscription)))
        costs = {}
        # Each kind twice, in turn; the lower figure counts (the first round warms the server up).
        for kind in ("one kept connection (HTTP/1.1)", "new connection each (HTTP/1.0)") * 2:
            before = ticks(lab.pid())
            connection = http.client.HTTPConnection("127.0.0.1", lab.port, timeout=30)
            for _ in range(requests):
                if kind.startswith("new"):
                    connection = http.client.HTTPConnection("127.0.0.1", lab.port, timeout=30)
                    connection._http_vsn, connection._http_vsn_str = 10, "HTTP/1.0"
                connection.request("POST", "/", body, {"Content-Type": "application/ipp"})
                connection.getresponse().read()
                if kind.startswith("new"):
                    connection.close()
            connection.close()
            cost = (ticks(lab.pid()) - before) * 1000.0 / HZ / requests
            costs[kind] = min(cost, costs.get(kind, cost))
        for kind, cost in costs.items():
            print("%-32s server %.3f ms CPU per request" % (kind, cost))
        kept, new = costs.values()
        print("a new connection costs the server %.0f%% of what a kept one costs" % (100.0 * new / kept if kept else 0),
              flush=True)
    finally:
        lab.stop()


def phase_queue(builds):
    print("\n== queue: one refresh of a 5,000-job queue, the server's CPU", flush=True)
    label, build = builds[0]
    program = os.path.join(build, "bench", "bench_monitor_follow_refresh")
    if not os.access(program, os.X_OK):
        print("%s is not built (scripts/build.sh with Google Benchmark installed)" % program)
        return
    subprocess.run([program, "--benchmark_counters_tabular=true"], check=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(HERE, "build"))
    parser.add_argument("--old", help="a build of an earlier commit, run beside --build")
    parser.add_argument("--period", type=int, default=60)
    parser.add_argument("--tls", action="store_true", help="the office phase's watchers with encryption=Required")
    parser.add_argument("phases", nargs="*", metavar="PHASE")
    args = parser.parse_args()
    every = ["office", "many", "full", "queue", "reuse"]
    if any(p not in every for p in args.phases):
        parser.error("a phase is one of " + ", ".join(every))
    builds = [("new", args.build)] + ([("old", args.old)] if args.old else [])
    for label, build in builds:
        if not os.access(os.path.join(build, "cli", "quenlo-cli"), os.X_OK):
            sys.exit("no quenlo-cli in %s/cli (%s)" % (build, label))
    print("builds: " + ", ".join("%s %s" % b for b in builds))
    for phase in args.phases or every:
        if phase == "office":
            phase_office(builds, args.period, tls=args.tls)
        elif phase == "many":
            phase_many(builds, args.period)
        elif phase == "full":
            phase_full(builds, args.period)
        elif phase == "queue":
            phase_queue(builds)
        else:
            phase_reuse()


if __name__ == "__main__":
    main()
