#!/usr/bin/env bash
# What a Prometheus scrape of every printer of an office costs, side by side: `quenlo-cli exporter`
# watching S private CUPS servers of P printers each and answering /metrics from the watch, against
# a poll of the same printers at every scrape the way a scrape-time printer exporter does it
# (CUPS-Get-Printers, then one Get-Jobs per printer, on each server). Both are scraped once a
# second for R seconds; prints the median and 99th percentile of the scrape time and the CPU the
# CUPS servers spent per scrape (their user and system time from /proc, the watch's own looks
# every W seconds included for the exporter), and how long Prometheus-style polling of the
# exporter takes to show a printer stopped with cupsdisable (the scrape after the watch's event).
# Last, the exporter's /probe once a second, each time of another queue (across the servers): the
# time per target and the servers' CPU per probe.
#
#   bench/exporter_scrape.sh [--servers S] [--printers P] [--seconds R] [--watch W] [BUILD_DIR]
#
# Defaults: 20 servers x 25 printers (500), R = 30, W = 5, the build/ of this tree.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
servers=20 printers=25 seconds=30 watch=5
. "$here/scripts/options.sh"
. "$here/bench/office_servers.sh"
take_options '2,13p' servers printers seconds watch ... -- "$@"
build=${ARGS[0]:-$here/build}
cli="$build/cli/quenlo-cli"
root=$(mktemp -d /tmp/quenlo-exporter-bench.XXXXXX)
exporter=""
cleanup() {
  [ -n "$exporter" ] && kill "$exporter" 2>/dev/null && wait "$exporter" 2>/dev/null || true
  stop_office_servers
  rm -rf "$root"
}
trap cleanup EXIT

start_office_servers "$root" "$servers" "$printers"
dirs=("${OFFICE_DIRS[@]}") ports=("${OFFICE_PORTS[@]}")
config="$root/printers.qdl"
printf '<global>\nwatch=%s\n<endglobal>\n' "$watch" >"$config"
office_printer_entries >>"$config"

"$cli" exporter --config "$config" --listen 127.0.0.1:0 >"$root/exporter.log" 2>&1 &
exporter=$!
pids=()
for d in "${dirs[@]}"; do pids+=("$(cat "$d/cupsd.pid")"); done

python3 - "$root/exporter.log" "$seconds" "$servers" "$printers" "$here/scripts/cups-lab.sh" "${dirs[0]}" \
  "${ports[*]}" "${pids[*]}" "$watch" <<'PY'
import os, re, statistics, struct, sys, time, urllib.parse, urllib.request, subprocess

log, seconds, servers, printers, lab, first_dir = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5], sys.argv[6]
ports = [int(p) for p in sys.argv[7].split()]
pids = [int(p) for p in sys.argv[8].split()]
watch = sys.argv[9]
tick = os.sysconf("SC_CLK_TCK")

def server_cpu():
    total = 0
    for pid in pids:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])  # utime, stime
    return total / tick

deadline = time.time() + 30
url = None
while url is None and time.time() < deadline:
    m = re.search(r"serving (http://\S+/metrics)", open(log).read())
    url = m.group(1) if m else None
    time.sleep(0.1)
if url is None:
    sys.exit("exporter did not start: " + open(log).read())

def scrape():
    with urllib.request.urlopen(url, timeout=30) as r:
        return r.read().decode()

total = servers * printers
deadline = time.time() + 120
while len(re.findall(r"^quenlo_printer_up\{.*\} 1$", scrape(), re.M)) < total:
    if time.time() > deadline:
        sys.exit("the watch did not see every printer within 120 s")
    time.sleep(0.5)

# Stopped printer to seen by a scraper polling every 100 ms.
start = time.time()
subprocess.run([lab, "pause", first_dir, "q1", "bench"], check=True, stdout=subprocess.DEVNULL)
paused = time.time()
while 'printer="s1-q1",server="127.0.0.1:%d",quenlo_printer_state="stopped"} 1' % ports[0] not in scrape():
    if time.time() > paused + 120:
        sys.exit("the stop was not seen within 120 s")
    time.sleep(0.1)
seen = time.time() - paused
subprocess.run([lab, "resume", first_dir, "q1"], check=True, stdout=subprocess.DEVNULL)

def ipp(op, uri, extra=b""):
    def attr(tag, name, value):
        return struct.pack(">bH", tag, len(name)) + name + struct.pack(">H", len(value)) + value
    body = struct.pack(">bbHi", 1, 1, op, 1) + b"\x01" + attr(0x47, b"attributes-charset", b"utf-8") + \
        attr(0x48, b"attributes-natural-language", b"en") + attr(0x45, b"printer-uri", uri.encode()) + extra + b"\x03"
    return body

def poll():
    for port in ports:
        req = urllib.request.Request(f"http://127.0.0.1:{port}/", data=ipp(0x4002, f"ipp://127.0.0.1:{port}/"),
                                     headers={"Content-Type": "application/ipp"})
        urllib.request.urlopen(req, timeout=30).read()
        for p in range(1, printers + 1):
            uri = f"ipp://127.0.0.1:{port}/printers/q{p}"
            req = urllib.request.Request(f"http://127.0.0.1:{port}/printers/q{p}", data=ipp(0x000A, uri),
                                         headers={"Content-Type": "application/ipp"})
            urllib.request.urlopen(req, timeout=30).read()

def measure(name, one):
    times = []
    cpu = server_cpu()
    begin = time.time()
    for i in range(seconds):
        t = time.perf_counter()
        one()
        times.append(time.perf_counter() - t)
        time.sleep(max(0, begin + i + 1 - time.time()))
    used = server_cpu() - cpu
    times.sort()
    p99 = times[min(len(times) - 1, int(0.99 * len(times)))]
    print(f"{name:34s} scrape median {statistics.median(times) * 1000:8.2f} ms  p99 {p99 * 1000:8.2f} ms  "
          f"CUPS CPU per scrape {used / seconds * 1000:8.2f} ms")

probed = [0]
def probe():
    i = probed[0]
    probed[0] += 1
    target = f"ipp://127.0.0.1:{ports[i % servers]}/printers/q{1 + i // servers % printers}"
    with urllib.request.urlopen(url.replace("/metrics", "/probe?target=") + urllib.parse.quote(target, safe=""), timeout=30) as r:
        if b"\nquenlo_probe_success 1\n" not in r.read():
            sys.exit("the probe of " + target + " failed")

print(f"{servers} servers x {printers} printers, one scrape a second for {seconds} s")
measure("quenlo-cli exporter /metrics", scrape)
measure("poll (Get-Printers + Get-Jobs each)", poll)
measure("quenlo-cli exporter /probe (1 queue)", probe)
print(f"cupsdisable to seen on /metrics: {seen:.2f} s (the watch looks every {watch} s)")
PY
