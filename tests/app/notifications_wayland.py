#!/usr/bin/env python3
"""The watch's notices as the desktop's notifications, under a real notification service: the window
natively on a headless sway with waybar's tray and mako, watching a private CUPS server.

    notifications_wayland.py --quenlo BIN --pointer BIN --shots DIR

A printer that someone paused (cupsdisable) gets a notification offering to resume it ("admin=1"),
and its "resume" resumes the printer. A jam on the lab's own backend raises one notification with
the balloon's title, a further error a minute later replaces it, and clearing the jam closes it. A
click of the cursor on another jam's notification brings the window back from the tray showing that
printer. A server that does not answer makes critical notifications, the rest are normal. Pictures
go to DIR. Exit 0 when all passed, 77 when the desktop cannot be had, 1 otherwise.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile

from desktop_driver import LAB_SCRIPT, Cases, Failure, wait_until
from sway_session import SessionUnavailable, SwaySession

MINUTE = 60 + 15  # a printer's next notice waits a minute; a slow look may add to it


def lab(folder, *args):
    return subprocess.run([LAB_SCRIPT, args[0], folder, *args[1:]], check=True, capture_output=True, text=True,
                          timeout=60).stdout.strip()


def notifications(s):
    """mako's notifications, newest first: dicts with id, summary, body, urgency and actions."""
    def plain(value):
        return value.get("data") if isinstance(value, dict) and "data" in value else value

    listed = json.loads(s.run("makoctl", "list"))
    found = plain(listed)
    found = found[0] if found and isinstance(found[0], list) else found
    return [{key: plain(value) for key, value in n.items()} for n in found]


def requests(folder, since=0):
    """(method, path) of every HTTP request the lab's server answered after the first `since`."""
    with open(os.path.join(folder, "log", "access_log"), encoding="utf-8", errors="replace") as f:
        lines = f.readlines()[since:]
    return [m.groups() for m in (re.search(r'"(GET|POST) (\S+) HTTP/1\.[01]"', line) for line in lines) if m]


def urgencies(s):
    """(summary, urgency) of every Notify the bus carried so far, in order."""
    found = []
    for call in s.log("bus").split("method call")[1:]:
        if "member=Notify" not in call:
            continue
        strings = re.findall(r'^\s*string "(.*)"$', call, re.M)
        urgency = re.search(r'string "urgency"\s+variant\s+byte (\d+)', call)
        if len(strings) >= 3 and urgency:
            found.append((strings[2], int(urgency.group(1))))
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quenlo", required=True)
    parser.add_argument("--pointer", required=True)
    parser.add_argument("--shots", required=True)
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="quenlo-notify-lab.")
    flags = tempfile.mkdtemp(prefix="quenlo-says-")
    try:
        port = lab(folder, "start", "--owner", str(os.getpid()), "--log-all")
        lab(folder, "add-printer", "Iroda")
        for name in ("Festo", "Gepterem"):
            lab(folder, "add-printer", name, "--device", "lab-says:/")
        with SwaySession(pointer=args.pointer, artifacts=args.shots, bar=True, notifications=True) as s:
            return run_cases(s, args, folder, flags, port)
    except SessionUnavailable as e:
        print(f"skipped: {e}")
        return 77
    finally:
        subprocess.run([LAB_SCRIPT, "stop", folder], capture_output=True, timeout=60)
        subprocess.run(["rm", "-rf", folder, flags])


def run_cases(s, args, folder, flags, port):
    config = os.path.join(s.config_home, "Dorvane", "Quenlo")
    os.makedirs(config)
    with open(os.path.join(config, "printers.qdl"), "w") as f:
        f.write("watch=1\nadmin=1\n")
        for name in ("Iroda", "Festo", "Gepterem"):
            f.write(f"<printer>\nname={name}\nremotehost=127.0.0.1:{port}\nurl=/printers/{name}\nlocalport=-1\n<endprinter>\n")
    subprocess.run(["chown", "-R", f"{s.uid}:{s.gid}", os.path.join(s.config_home, "Dorvane")], check=True)
    # What the window asks of the notification service (mako does not list the urgency).
    s.spawn(["dbus-monitor", "--session", "interface='org.freedesktop.Notifications'"], log="bus")
    s.spawn([args.quenlo], drop=("DISPLAY",), log="quenlo")

    def ours(v):
        return (v["app_id"] or "").lower() == "quenlo" and v["rect"][2] >= 300

    case = Cases(on_failure=lambda title: s.screenshot("failed-" + re.sub(r"\W+", "-", title)))

    def only(summary, limit=30):
        """The one notification, once it has this summary."""
        def shown():
            listed = notifications(s)
            return listed[0] if len(listed) == 1 and listed[0]["summary"] == summary else None
        try:
            return wait_until(f"one notification «{summary}»", shown, limit)
        except Failure:
            raise Failure(f"not one notification «{summary}»: {notifications(s)}")

    def none_left(limit=30):
        try:
            wait_until("no notification", lambda: not notifications(s), limit)
        except Failure:
            raise Failure(f"still shown: {notifications(s)}")

    state = {}

    def started():
        wait_until("the window", lambda: any(ours(v) for v in s.views()), 30)
        wait_until("the window in the tray", lambda: not any(ours(v) for v in s.views()), 30)

    def jam(printer, *steps):
        """A job on the lab's backend that reports these reasons, each line after its flag."""
        script = "".join(f"wait {flags}/{flag}\n{line}\n" if flag else f"{line}\n" for flag, line in steps)
        path = os.path.join(flags, printer + ".txt")
        with open(path, "w") as f:
            f.write(script + f"wait {flags}/done\n")
        lab(folder, "print", printer, path)

    def flag(name):
        open(os.path.join(flags, name), "w").close()

    def titled(summary):
        return next((n for n in notifications(s) if n["summary"] == summary), None)

    def paused_offers_resume():
        lab(folder, "pause", "Iroda", "Karbantartás")
        jam("Festo", (None, "STATE: +media-jam-error"), ("door", "STATE: +door-open-error"),
            ("cleared", "STATE: -media-jam-error,door-open-error"))
        shown = wait_until("Iroda's notification", lambda: titled("Iroda leállt vagy nem fogad feladatot"), 30)
        if set(shown["actions"]) != {"default", "resume"}:
            raise Failure(f"actions: {shown}")
        s.screenshot("notification-paused")
        s.run("makoctl", "invoke", "-n", str(shown["id"]), "resume")
        wait_until("Iroda resumed", lambda: "enabled" in s.run("lpstat", "-h", f"127.0.0.1:{port}", "-p", "Iroda"), 30)

    def jam_raises_one():
        shown = only("Festo: papírelakadás")
        if "resume" in shown["actions"]:
            raise Failure(f"actions: {shown}")
        state["id"] = shown["id"]
        s.screenshot("notification-jam")

    def further_error_replaces():
        flag("door")
        shown = only("Festo: papírelakadás; nyitva van egy ajtó", MINUTE)
        if shown["id"] != state["id"]:
            raise Failure(f"a new notification {shown['id']}, not the jam's {state['id']} replaced")

    def cleared_closes():
        flag("cleared")
        none_left()

    def click_opens_the_printer():
        jam("Gepterem", (None, "STATE: +media-jam-error"))
        only("Gepterem: papírelakadás")
        since = len(requests(folder))
        # mako's notification sits at the top right corner, 360 wide; a click invokes its default
        # action with an activation token.
        s.click(s.size[0] - 10 - 180, 10 + 15)
        view = wait_until("the window back", lambda: next((v for v in s.views() if ours(v)), None), 30)
        wait_until("Gepterem's queue asked for by the window",
                   lambda: ("GET", "/printers/Gepterem") in requests(folder, since), 30)
        s.screenshot("opened-from-notification")
        print(f"  an activation token handed over: {'member=ActivationToken' in s.log('bus')}")
        if not view["focused"]:
            raise Failure(f"the window is back without the focus: {view}")

    def urgency(summary, expected):
        sent = [u for text, u in urgencies(s) if text == summary]
        if sent != [expected] * len(sent) or not sent:
            raise Failure(f"the urgency of «{summary}»: {sent}, not {expected}")

    def unreachable_is_critical():
        flag("done")
        lab(folder, "down")
        wait_until("a notification for the server down", lambda: titled("Iroda nem érhető el"), 30)
        urgency("Iroda nem érhető el", 2)
        urgency("Iroda leállt vagy nem fogad feladatot", 1)
        urgency("Festo: papírelakadás", 1)
        s.screenshot("notification-unreachable")

    case("start: the window goes to waybar's tray", started)
    case("a paused printer: its notification resumes it", paused_offers_resume)
    case("a jam: one notification, the balloon's title", jam_raises_one)
    case("a further error a minute later: the same notification replaced", further_error_replaces)
    case("the jam cleared: no notification", cleared_closes)
    case("a click on a jam's notification: the window shows that printer", click_opens_the_printer)
    case("a server that does not answer: critical, the others normal", unreachable_is_critical)
    if case.failed:
        for name in ("quenlo", "mako", "bus"):
            print(f"--- {name}.log\n{s.log(name)[-3000:]}")
    case.summary()
    return 1 if case.failed else 0


if __name__ == "__main__":
    sys.exit(main())
