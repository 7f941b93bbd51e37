#!/usr/bin/env python3
"""The refresh as users meet it, side by side in one run (scripts/bench-refresh.sh runs this).

(a) `quenlo-cli refresh` as a whole process against refresh-replay, which answers with bytes
    captured from CUPS (5,000, 1,000 and 10 held jobs; scripts/capture-refresh.sh), beside the
    floor client refresh-floor; also with a 200 MiB probe page. Wall and CPU medians, peak RSS.
(b) filling the window's list with the 5,000 captured rows (bench_app_joblist).
(c) start-up of the real `quenlo` to its window shown, its resident memory idle in the tray, and
    the way back from the tray (a click on the icon to the window mapped), under Xvfb with icewm.
(d) the window's longest stretch without handling events while it refreshes the 5,000-job
    printer (bench_app_ui_stretch).

    refresh_bench.py --build DIR --captures DIR [--runs N] [--compare QUENLO_CLI] [--compare-app QUENLO]
                     [--no-window] [--smaps]

--compare runs another quenlo-cli (say, a build of an earlier commit) beside the first in (a), once
per --compare;
--compare-app a second quenlo beside the first in (c), start by start.
"""
import argparse
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import harness  # noqa: E402

GOALS = "goals: (a) <= 2.5x floor at 5,000 jobs, <= 2x at 1,000 and 10, no slower than an earlier build beside " \
        "it beyond the run's spread, peak RSS <= Get-Jobs answer + 8 MiB; (b) < 20 ms; (c) < 300 ms, < 30 MB, " \
        "no slower nor larger than an earlier build beside it; (d) < 50 ms"


def run_measured(args, argv, env=None):
    """Runs argv to its end under run-measured; returns (wall s, CPU s, peak RSS KiB, exit code, output)."""
    proc = subprocess.run([args.build + "/bench/run-measured"] + argv, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, check=True)
    report = re.findall(rb"run-measured: (\d+) (\d+) (\d+) (\d+)", proc.stderr)[-1]
    wall, cpu, rss, code = (int(x) for x in report)
    return wall / 1e9, cpu / 1e9, rss, code, proc.stdout


def write_config(root, port, printers):
    """A config home whose printers file lists `printers` (name, url) on the replay server."""
    os.makedirs(os.path.join(root, "Dorvane"), exist_ok=True)
    blocks = "".join("<printer>\nname=%s\nremotehost=127.0.0.1:%d\nurl=%s\nlocalport=-1\ncomment=bench\n"
                     "<endprinter>\n" % (name, port, url) for name, url in printers)
    with open(os.path.join(root, "printers.qdl"), "w") as f:
        f.write("<global>\nproxy=\nproxyport=80\n<endglobal>\n" + blocks)
    with open(os.path.join(root, "Dorvane", "Quenlo.conf"), "w") as f:
        f.write("[General]\nConfDir=%s/\n" % root)
    return os.path.join(root, "printers.qdl")


def body_size(path):
    with open(path, "rb") as f:
        data = f.read()
    return len(data) - data.index(b"\r\n\r\n") - 4


def ms(seconds):
    return "%.1f ms" % (seconds * 1000)


def whole_process(args, port, work, clients):
    config = write_config(work + "/cli", port, [("jobs%d" % n, "/printers/jobs%d" % n) for n in (5000, 1000, 10)]
                          + [("bigprobe", "/bigprobe/printers/jobs5000")])
    print("(a) quenlo-cli refresh as a whole process, %d runs each, medians; peak RSS the largest" % args.runs)
    print("    %-26s %-10s %10s %17s %10s %12s %8s" % ("client", "printer", "wall", "wall's middle half", "CPU",
                                                      "peak RSS", "x floor"))
    for printer, jobs in (("jobs5000", 5000), ("jobs1000", 1000), ("jobs10", 10), ("bigprobe", 5000)):
        path = "/bigprobe/printers/jobs5000" if printer == "bigprobe" else "/printers/" + printer
        uri = "http://127.0.0.1:%d%s" % (port, path)
        bodies = []
        for op in ("get-jobs", "get-printer-attributes"):
            name = "%s/%s-%s.bin" % (work, printer, op)
            with open(name, "wb") as f:
                f.write(subprocess.run([clients[0][1], "request", op, "--uri", uri], check=True,
                                       stdout=subprocess.PIPE).stdout)
            bodies.append(name)
        runners = [("floor (C, no parsing)", [args.build + "/bench/refresh-floor", str(port), path] + bodies)]
        runners += [(label, [cli, "refresh", "--config", config, "--printer", printer]) for label, cli in clients]
        results = {label: [] for label, _ in runners}
        for _ in range(args.runs):  # interleaved, so a busy moment hits every client alike
            for label, argv in runners:
                wall, cpu, rss, code, out = run_measured(args, argv)
                rows = out.count(b"\njob\t") + out.startswith(b"job\t")
                if code != 0 or (label != runners[0][0] and rows != jobs):
                    sys.exit("refresh_bench: %s on %s failed (exit %d, %d rows)" % (label, printer, code, rows))
                results[label].append((wall, cpu, rss))
        floor = statistics.median(w for w, _, _ in results[runners[0][0]])
        for label, _ in runners:
            r = results[label]
            wall = statistics.median(w for w, _, _ in r)
            quartiles = statistics.quantiles([w for w, _, _ in r], n=4) if len(r) > 1 else [wall, wall, wall]
            print("    %-26s %-10s %10s %17s %10s %8.1f MiB %7.1fx" % (
                  label, printer, ms(wall), "%.1f-%.1f ms" % (quartiles[0] * 1000, quartiles[2] * 1000),
                  ms(statistics.median(c for _, c, _ in r)), max(m for _, _, m in r) / 1024, wall / floor))
    answer = body_size(args.captures + "/jobs-5000/get-jobs.http")
    print("    the 5,000-job Get-Jobs answer is %.1f MiB: the memory goal is %.1f MiB"
          % (answer / 2**20, answer / 2**20 + 8))


def list_fill(args):
    out = subprocess.run([args.build + "/bench/bench_app_joblist", "--benchmark_filter=Captured",
                          "--benchmark_repetitions=%d" % args.runs, "--benchmark_format=json"],
                         env=dict(os.environ, QUENLO_REFRESH_CAPTURES=args.captures), check=True,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
    runs = [b for b in json.loads(out)["benchmarks"] if b.get("run_type") == "iteration"]
    times = [b["real_time"] for b in runs]  # in ms (the benchmark's unit)
    print("(b) filling the window's list with the 5,000 captured rows: median %.1f ms (of %d)"
          % (statistics.median(times), len(times)))


class Desktop:
    """Xvfb with icewm on a display of its own, for the window's measurements."""

    def __enter__(self):
        self.folder = tempfile.mkdtemp(prefix="refresh-bench-desktop.")
        self.xvfb, self.display = harness.start_xvfb("1280x800")
        self.env = dict(os.environ, DISPLAY=self.display)
        self.env.pop("QT_QPA_PLATFORM", None)
        try:
            self.wm = harness.start_wm("icewm", self.env, self.folder)
        except RuntimeError:
            harness.stop(self.xvfb)
            raise
        return self

    def __exit__(self, *exc):
        harness.stop(self.wm, self.xvfb)
        shutil.rmtree(self.folder, ignore_errors=True)


def visible_quenlo(env):
    return subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Quenlo$"], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.strip() != b""


def quenlo_windows(env):
    """(width, height, x, y) of every window of quenlo in the window tree (the window, the tray icon),
    x and y on the screen."""
    tree = subprocess.run(["xwininfo", "-root", "-tree"], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL).stdout.decode(errors="replace")
    return [tuple(int(v) for v in m) for m in
            re.findall(r'"Quenlo": \("quenlo" "Quenlo"\)\s+(\d+)x(\d+)[+-]-?\d+[+-]-?\d+\s+\+(-?\d+)\+(-?\d+)', tree)]


def back_from_the_tray(env, proc):
    """Clicks the tray icon; seconds until the window is mapped again (None without a tray icon)."""
    icons = [w for w in quenlo_windows(env) if w[0] < 64 and w[1] < 64]
    if not icons:
        return None
    width, height, x, y = icons[0]
    subprocess.run(["xdotool", "mousemove", str(x + width // 2), str(y + height // 2)], env=env, check=True)
    start = time.perf_counter()
    subprocess.run(["xdotool", "click", "1"], env=env, check=True)
    while not visible_quenlo(env):
        if time.perf_counter() > start + 10 or proc.poll() is not None:
            sys.exit("refresh_bench: the window did not come back from the tray")
    return time.perf_counter() - start


def smaps_by_file(pid):
    """Resident and anonymous KiB of a process per mapped file (or [heap], [anon], ...)."""
    resident, anonymous = {}, {}
    name = None
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            fields = line.split()
            if not fields[0].endswith(":"):
                name = os.path.basename(fields[5]) if len(fields) > 5 else "[anon]"
            elif fields[0] == "Rss:":
                resident[name] = resident.get(name, 0) + int(fields[1])
            elif fields[0] == "Anonymous:":
                anonymous[name] = anonymous.get(name, 0) + int(fields[1])
    return resident, anonymous


def print_smaps(title, by_file, top=12):
    resident, anonymous = by_file
    print("    resident memory, %s: %.1f MiB, of it anonymous %.1f MiB" % (
        title, sum(resident.values()) / 1024, sum(anonymous.values()) / 1024))
    for name in sorted(resident, key=resident.get, reverse=True)[:top]:
        print("      %6.2f MiB (anonymous %5.2f)  %s" % (resident[name] / 1024, anonymous.get(name, 0) / 1024, name))


def window_once(args, app, env, last):
    """One start of the window: (seconds to shown, idle RSS MiB in the tray, seconds back from the tray
    or None)."""
    start = time.perf_counter()
    proc = subprocess.Popen([app], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = start + 20
    while not visible_quenlo(env):
        if time.perf_counter() > deadline or proc.poll() is not None:
            proc.kill()
            sys.exit("refresh_bench: the window of %s did not show" % app)
    shown = time.perf_counter() - start
    if last:  # shown and drawn, not yet in the tray
        time.sleep(max(0.0, start + 0.9 - time.perf_counter()))
        before = smaps_by_file(proc.pid)
    time.sleep(max(0.0, start + 4 - time.perf_counter()))  # it goes to the tray after 1 s
    if last:
        print_smaps("%s, the window shown, 0.9 s after the start" % app, before)
        print_smaps("the same, idle in the tray, 4 s after the start", smaps_by_file(proc.pid))
    with open("/proc/%d/status" % proc.pid) as f:
        idle = int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1)) / 1024
    way_back = back_from_the_tray(env, proc)
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    return shown, idle, way_back


def startup(args, port, work, desktop):
    print("(c) the real quenlo: start to the window shown, resident memory idle in the tray, and the way "
          "back (%d runs)" % args.runs)
    apps = [("quenlo", args.build + "/app/quenlo")]
    if args.compare_app:
        apps.append(("compared quenlo", args.compare_app))
    for printer in ("jobs10", "jobs5000"):
        home = work + "/startup-" + printer
        write_config(home, port, [(printer, "/printers/" + printer)])
        runtime = tempfile.mkdtemp(dir=work)
        env = dict(desktop.env, XDG_CONFIG_HOME=home, XDG_RUNTIME_DIR=runtime)
        shown, idle, back = ({label: [] for label, _ in apps} for _ in range(3))
        for run in range(args.runs):  # interleaved, as in (a)
            for label, app in apps:
                s, i, b = window_once(args, app, env, args.smaps and run == args.runs - 1)
                shown[label].append(s)
                idle[label].append(i)
                if b is not None:
                    back[label].append(b)
        for label, _ in apps:
            print("    %-15s printer with %-5s jobs: window shown after %s (median), idle RSS %.1f MiB (median), "
                  "back from the tray %s after the click (median)"
                  % (label, printer[4:], ms(statistics.median(shown[label])), statistics.median(idle[label]),
                     ms(statistics.median(back[label])) if back[label] else "-"))
    print("    (shown = first seen mapped by polling xdotool search, so a few ms late at most; idle = 4 s after "
          "the start,\n    about 3 s after the window went to the tray and 2 s after it gave back the pages of "
          "its files, app/FilePages.h)")


def ui_stretch(args, port, work, desktop):
    home = work + "/stretch"
    write_config(home, port, [("jobs5000", "/printers/jobs5000")])
    runtime = tempfile.mkdtemp(dir=work)
    out = subprocess.run([args.build + "/bench/bench_app_ui_stretch", str(args.runs)], check=True,
                         env=dict(desktop.env, XDG_CONFIG_HOME=home, XDG_RUNTIME_DIR=runtime),
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120).stdout.decode()
    gaps = [float(g) for g in re.findall(r"longest gap ([\d.]+) ms", out)]
    print("(d) the window's longest stretch between two event turns while it refreshes 5,000 jobs: "
          "median %.1f ms, worst %.1f ms (of %d refreshes)" % (statistics.median(gaps), max(gaps), len(gaps)))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", required=True)
    p.add_argument("--captures", required=True)
    p.add_argument("--runs", type=int, default=5)
    p.add_argument("--compare", action="append", default=[],
                   help="another quenlo-cli to run beside the first in (a); may be given more than once")
    p.add_argument("--compare-app", help="a second quenlo to run beside the first in (c)")
    p.add_argument("--no-window", action="store_true", help="only (a)")
    p.add_argument("--smaps", action="store_true",
                   help="in (c), where the window's resident memory lies, by mapped file, in its last run")
    args = p.parse_args()
    clients = [("quenlo-cli refresh", args.build + "/cli/quenlo-cli")]
    for other in args.compare:
        # Named by the checkout it was built in: OTHER/build/cli/quenlo-cli.
        checkout = os.path.basename(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(other)))))
        clients.append(("quenlo-cli of " + checkout, other))

    work = tempfile.mkdtemp(prefix="refresh-bench.")
    replay = subprocess.Popen([args.build + "/bench/refresh-replay", args.captures], stdout=subprocess.PIPE)
    try:
        port = int(replay.stdout.readline())
        print(GOALS)
        whole_process(args, port, work, clients)
        if not args.no_window:
            list_fill(args)
            with Desktop() as desktop:
                startup(args, port, work, desktop)
                ui_stretch(args, port, work, desktop)
    finally:
        replay.terminate()
        replay.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
