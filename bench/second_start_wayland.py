#!/usr/bin/env python3
"""How long a second start takes on a Wayland desktop: the real quenlo, native, on headless sway with
waybar's tray (tests/app/sway_session.py), sits in the tray; then R second starts, each timed from
its fork to its exit. sway has no minimise to put the window back in the tray, so the first instance
is started afresh for each run. Prints the median, the middle half and the worst, and the exit
codes.

    bench/second_start_wayland.py [--runs R] [--build DIR]

Default R = 11. Goal: well under the 10 s a start waits for a running instance to end.
"""
import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "app"))
from sway_desktop import Quenlo  # noqa: E402
from sway_session import SwaySession  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=11)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    args = parser.parse_args()
    binary = os.path.join(args.build, "app", "quenlo")
    pointer = os.path.join(args.build, "tests", "app", "quenlo_virtual_pointer")
    times, codes = [], []
    with SwaySession(pointer=pointer, bar=True) as s:
        app = Quenlo(s, binary)
        for _ in range(args.runs):
            app.start()
            app.wait_in_tray()
            began = time.monotonic()
            second = s.spawn([app.binary], name="second quenlo")
            codes.append(second.wait(15))
            times.append((time.monotonic() - began) * 1000)
            app.wait_shown("the first window back")
            app.stop()
            print(f"  run {len(times)}: {times[-1]:.1f} ms", file=sys.stderr, flush=True)
    times.sort()
    n = len(times)
    print(f"second start on sway, {n} runs: median {times[(n - 1) // 2]:.1f} ms "
          f"(middle half {times[n // 4]:.1f}-{times[(3 * n) // 4 - 1]:.1f}), worst {times[-1]:.1f} ms; "
          f"exit codes: {' '.join(map(str, codes))}")
    return 0 if all(c == 0 for c in codes) else 1


if __name__ == "__main__":
    sys.exit(main())
