#!/usr/bin/env python3
"""The live watch of the real window, on a real desktop with a notification area.

Run inside scripts/desktop-session.sh --tray --cups (the display, the private folders, the private
CUPS server):

    watch_desktop.py --quenlo BIN --shots DIR

The window watches two printers at one look a second. The lamp in the corner of its tray icon is
read from the screen: green at the start, yellow after a pause (with a balloon), green after the
resume, red while the server is stopped (the tip then names both printers), green when it is back. When the program ends, the server
holds none of its subscriptions any more. A third printer prints through the lab's own backend,
which reports connecting-to-device (no balloon), then a jam (yellow lamp, a balloon) with low
toner, then clears the jam (green lamp, the low toner still in the tip). A picture of each lamp, of
the balloons and of the tips goes to DIR. A fourth printer's queue sends its jobs to a printer of
the test's own on this machine (the file sets "watchdevice"): when that printer stops answering
while the queue is idle, the tip shows the disagreement, and it goes when the printer is back.
How long each change took to reach the tray is printed, never judged: every wait only has a
generous limit. The last line is "N passed, N failed".
"""
import argparse
import functools
import http.server
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import desktop_driver
from desktop_driver import LAB_SCRIPT, Failure, lamp_colour, tree, viewable

LIMIT = 30.0  # a loaded machine may be slow; a change that is missed never comes
run = functools.partial(desktop_driver.run, timeout=60)


def lab(*args):
    run(LAB_SCRIPT, args[0], os.environ["QUENLO_CUPS_LAB"], *args[1:])


def wait_for(what, predicate, limit=LIMIT):
    start = time.monotonic()
    value = desktop_driver.wait_until(what, predicate, limit, step=0.1)
    print(f"  {what}: after {time.monotonic() - start:.1f} s")
    return value


# --- The screen -----------------------------------------------------------------------------------

def windows(wanted=lambda w: True):
    """The viewable windows that `wanted` accepts: id, name, class, size and place on the screen."""
    # A window that goes away while the tree is read fails the query: the next look tries again.
    return [w for w in tree(check=False) if wanted(w) and viewable(w["id"])]


def ours(w):
    return "quenlo" in w["cls"].lower()


def tray_icon():
    """The window's icon inside trayer's panel: a small window of the program's class below it."""
    panel = next(iter(windows(lambda w: '"trayer"' in w["cls"])), None)
    if panel is None:
        return None
    inside = lambda w: (ours(w) and 8 <= w["w"] <= 64 and panel["x"] <= w["x"] < panel["x"] + panel["w"]
                        and panel["y"] <= w["y"] < panel["y"] + panel["h"])
    return next(iter(windows(inside)), None)


def screen(x, y, w, h, *convert):
    """A piece of the screen, through ImageMagick's convert with the given options."""
    whole = os.path.join(os.environ["QUENLO_SESSION_DIR"], "screen.png")
    run("import", "-window", "root", whole)
    return run("convert", whole, "-crop", f"{w}x{h}+{x}+{y}", "+repage", *convert)


def shot(path, x, y, w, h, scale=1):
    screen(x, y, w, h, *(["-filter", "point", "-resize", f"{scale * 100}%"] if scale > 1 else []), path)
    return path


def lamp_of(icon):
    """The colour of the lamp in the icon's bottom-right quarter."""
    side = max(icon["w"] // 4, 1)
    out = screen(icon["x"] + icon["w"] - side - 1, icon["y"] + icon["h"] - side - 1, side, side,
                 "-scale", "1x1!", "-depth", "8", "txt:-")
    r, g, b = (int(v) for v in re.search(r"\((\d+),(\d+),(\d+)", out.splitlines()[-1]).groups())
    return lamp_colour(r, g, b)


# --- The server's subscriptions --------------------------------------------------------------------

def ipp_attribute(tag, name, value):
    name, value = name.encode(), value.encode()
    return struct.pack(">BH", tag, len(name)) + name + struct.pack(">H", len(value)) + value


def ipp_request(port, path, operation, last):
    """The raw answer of an IPP/1.1 request to the server's `path`, `last` the final attribute."""
    body = struct.pack(">BBHI", 1, 1, operation, 1) + b"\x01"
    body += ipp_attribute(0x47, "attributes-charset", "utf-8")
    body += ipp_attribute(0x48, "attributes-natural-language", "en")
    body += ipp_attribute(0x45, "printer-uri", f"ipp://127.0.0.1:{port}{path}") + last + b"\x03"
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=body,
                                     headers={"Content-Type": "application/ipp"})
    return urllib.request.urlopen(request, timeout=10).read()


def printer_says(port, printer):
    """The raw answer of a Get-Printer-Attributes for the printer's state reasons."""
    return ipp_request(port, f"/printers/{printer}", 0x000B,
                       ipp_attribute(0x44, "requested-attributes", "printer-state-reasons"))


def subscriptions_on_server(port):
    """The number of subscriptions the server holds, whoever made them (Get-Subscriptions)."""
    answer = ipp_request(port, "/", 0x0019, ipp_attribute(0x42, "requesting-user-name", "root"))
    count, at = 0, 8
    while at < len(answer):
        tag = answer[at]
        at += 1
        if tag < 0x10:
            if tag == 0x03:
                break
            continue
        (length,) = struct.unpack_from(">H", answer, at)
        name = answer[at + 2:at + 2 + length]
        at += 2 + length
        (length,) = struct.unpack_from(">H", answer, at)
        at += 2 + length
        count += name == b"notify-subscription-id"
    return count


class Device:
    """The printer behind a queue, as far as the watch needs it: it answers (with 404) or is off."""

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            self.rfile.read(int(self.headers.get("Content-Length", 0)))
            self.send_error(404)

        def log_message(self, *args):
            pass

    def __init__(self):
        self.server = http.server.HTTPServer(("127.0.0.1", 0), Device.Handler)
        self.port = self.server.server_address[1]
        self.start()

    def start(self):
        if self.server is None:
            self.server = http.server.HTTPServer(("127.0.0.1", self.port), Device.Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.server = None


# --- The cases -------------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quenlo", required=True)
    parser.add_argument("--shots", required=True)
    args = parser.parse_args()
    os.makedirs(args.shots, exist_ok=True)
    port = int(os.environ["QUENLO_CUPS_PORT"])
    for name in ("Iroda", "Raktar"):
        lab("add-printer", name)
    lab("add-printer", "Festo", "--device", "lab-says:/")
    device = Device()
    lab("add-printer", "Mogott", "--device", f"ipp://127.0.0.1:{device.port}/ipp/print")
    flags = tempfile.mkdtemp(prefix="quenlo-says-")
    config = os.path.join(os.environ["XDG_CONFIG_HOME"], "Dorvane", "Quenlo", "printers.qdl")
    with open(config, "w") as f:
        f.write("watch=1\nwatchdevice=1\n")
        for name in ("Iroda", "Raktar", "Festo", "Mogott"):
            f.write(f"<printer>\nname={name}\nremotehost=127.0.0.1:{port}\nurl=/printers/{name}\n"
                    "localport=-1\n<endprinter>\n")

    program = subprocess.Popen([args.quenlo], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    case = desktop_driver.Cases()

    state = {}

    def lamp_shows(colour, picture, balloon_too=False):
        # The balloon comes with the lamp and stays 10 s: on a loaded machine the lamp's polls and
        # picture can outlast it, so a balloon seen meanwhile is kept for the balloon's case.
        def lamp_is(icon):
            if balloon_too and "balloon" not in state:
                state["balloon"] = balloon()
                if state["balloon"] is None:
                    del state["balloon"]
            return lamp_of(tray_icon() or icon) == colour

        def body():
            state.pop("balloon", None)
            icon = wait_for("the icon in the notification area", tray_icon)
            wait_for(f"the {colour} lamp", lambda: lamp_is(icon))
            icon = tray_icon() or icon
            shot(os.path.join(args.shots, picture), icon["x"] - 4, icon["y"] - 4, icon["w"] + 8, icon["h"] + 8, 6)
            state["icon"] = icon
        return body

    def balloon():
        return next(iter(windows(lambda w: ours(w) and w["w"] > 100 and w["h"] < 200)), None)

    def balloon_shown(picture="balloon-paused.png"):
        tip = balloon()
        if tip is None and "balloon" in state:
            print("  the balloon: seen while the lamp changed, gone before its picture")
            return
        tip = tip or wait_for("the balloon", balloon)
        icon = state["icon"]
        x0, y0 = min(tip["x"], icon["x"]) - 8, min(tip["y"], icon["y"]) - 8
        x1 = max(tip["x"] + tip["w"], icon["x"] + icon["w"]) + 8
        y1 = max(tip["y"] + tip["h"], icon["y"] + icon["h"]) + 8
        shot(os.path.join(args.shots, picture), max(x0, 0), max(y0, 0), x1 - max(x0, 0), y1 - max(y0, 0))

    def window_in_tray():
        wait_for("the icon in the notification area", tray_icon)
        wait_for("the window hidden", lambda: not windows(lambda w: ours(w) and w["w"] >= 600))

    case("the window goes to the tray", window_in_tray)
    case("all printers well: green lamp", lamp_shows("green", "lamp-green.png"))
    case("the subscription is made", lambda: wait_for("one subscription for the four printers",
                                                         lambda: subscriptions_on_server(port) == 1))
    lab("pause", "Raktar", "Papír elakadt")
    case("a printer paused: yellow lamp", lamp_shows("yellow", "lamp-yellow.png", balloon_too=True))
    case("a printer paused: its balloon", balloon_shown)
    lab("resume", "Raktar")
    case("the printer resumed: green lamp", lamp_shows("green", "lamp-green-again.png"))

    def tip_shown(picture, settle=2.5):
        # A balloon that comes one look after the lamp must not pass for the tip; one on the screen
        # keeps the tip away. A balloon may still come while the pointer rests on the icon: what
        # stays on the screen once the pointer has left was no tip, and the pointer tries again.
        time.sleep(settle)
        icon = state["icon"]
        for attempt in range(4):
            wait_for("no balloon", lambda: balloon() is None, 30)
            before = {w["id"] for w in windows(ours)}
            run("xdotool", "mousemove", "--sync", str(icon["x"] + icon["w"] // 2 - attempt),
                str(icon["y"] + icon["h"] // 2))
            try:
                tip = wait_for("the tip", lambda: next(iter(windows(lambda w: ours(w) and w["id"] not in before
                                                                      and w["w"] > 40 and w["h"] < 200)), None), 5)
            except Failure:
                run("xdotool", "mousemove", "--sync", "10", "10")
                continue
            x0, y0 = max(min(tip["x"], icon["x"]) - 8, 0), max(min(tip["y"], icon["y"]) - 8, 0)
            shot(os.path.join(args.shots, picture), x0, y0, max(tip["x"] + tip["w"], icon["x"] + icon["w"]) + 8 - x0,
                 max(tip["y"] + tip["h"], icon["y"] + icon["h"]) + 8 - y0)
            run("xdotool", "mousemove", "--sync", "10", "10")
            try:
                wait_for("the tip gone", lambda: not viewable(tip["id"]), 2)
                return
            except Failure:
                print("  that was a balloon")
        raise Failure("no tip after four tries")

    def no_balloon_while_connecting():
        wait_for("the pause's balloon gone", lambda: balloon() is None, 20)
        with open(os.path.join(flags, "job.txt"), "w") as f:
            f.write(f"STATE: +connecting-to-device\nwait {flags}/connected\nSTATE: -connecting-to-device\n"
                    "STATE: +media-jam-error\nATTR: marker-names=Black\\ Toner marker-colors=#000000 "
                    "marker-types=toner marker-levels=4 marker-low-levels=10 marker-high-levels=100\n"
                    f"wait {flags}/cleared\nSTATE: -media-jam-error\n"
                    f"wait {flags}/done\n")
        lab("print", "Festo", os.path.join(flags, "job.txt"))
        wait_for("connecting-to-device on the server", lambda: b"connecting-to-device" in printer_says(port, "Festo"))
        time.sleep(3)  # three looks: held for more than one interval
        if balloon() is not None:
            raise Failure("a balloon came for connecting-to-device")
        if lamp_of(tray_icon() or state["icon"]) != "green":
            raise Failure("connecting-to-device changed the lamp")

    case("a printer connecting to its device: no balloon, green lamp", no_balloon_while_connecting)
    open(os.path.join(flags, "connected"), "w").close()
    case("a printer jammed: yellow lamp", lamp_shows("yellow", "lamp-yellow-jam.png", balloon_too=True))
    case("a printer jammed: its balloon", lambda: balloon_shown("balloon-jam.png"))
    case("a printer jammed with low toner: the tip", lambda: tip_shown("tip-jam-low-toner.png", 0.5))
    open(os.path.join(flags, "cleared"), "w").close()
    case("the jam cleared: green lamp", lamp_shows("green", "lamp-green-jam-cleared.png"))
    case("the toner still low: the tip", lambda: tip_shown("tip-low-toner.png", 0.5))
    open(os.path.join(flags, "done"), "w").close()
    device.stop()
    case("the printer behind a queue off: yellow lamp", lamp_shows("yellow", "lamp-yellow-device-off.png"))
    case("the printer behind a queue off: the disagreement in the tip",
         lambda: tip_shown("tip-disagreement.png", 0.5))
    device.start()
    case("the printer behind a queue on again: green lamp", lamp_shows("green", "lamp-green-device-on.png"))

    lab("down")
    case("the server stopped: red lamp", lamp_shows("red", "lamp-red.png"))
    case("the server stopped: the tip names every printer", lambda: tip_shown("tip-server-stopped.png"))
    lab("up")
    case("the server back: green lamp", lamp_shows("green", "lamp-green-after-restart.png"))

    def ends_cleanly():
        program.terminate()
        desktop_driver.exit_code_of(program, "the program after SIGTERM")
        wait_for("no subscription left on the server", lambda: subscriptions_on_server(port) == 0, 5)

    case("the program ends and leaves no subscription behind", ends_cleanly)
    if program.poll() is None:
        program.kill()
        program.wait(timeout=10)
    for name in ("connected", "cleared", "done"):
        open(os.path.join(flags, name), "w").close()
    shutil.rmtree(flags, ignore_errors=True)
    if device.server is not None:
        device.stop()
    case.summary()
    return 0 if case.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
