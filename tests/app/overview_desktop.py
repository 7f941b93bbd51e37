#!/usr/bin/env python3
"""The administrator's overview of the real window on a real desktop, driven by real input.

Run inside scripts/desktop-session.sh --cups (the display, the private folders, the private CUPS
server):

    overview_desktop.py --quenlo BIN --gateway FAKE_GATEWAY --shots DIR

The printers file sets "admin": the window starts on the overview, a row per printer, the paused
one with a yellow lamp read from the screen; a double click on a row opens its queue (Get-Jobs in
the server's log); a click on the lamp header puts the yellow row first, a second click
the green one; back on the overview, the printer menu on a row pauses that printer (lpstat).
Screenshots go to DIR. Every wait has a time limit. The last line is "N passed, N failed".
"""
import argparse
import os
import re
import sys

from desktop_driver import Failure, lamp_colour, run, wait_until
from real_desktop import Suite, click, key, menu_item, move, pixel

LIST_TOP = 80  # the list view's top in the window's client area
LAMP_X = 12    # the middle of the lamp column


class OverviewSuite(Suite):
    def __init__(self, args):
        super().__init__(args)
        conf = os.path.join(os.environ["XDG_CONFIG_HOME"], "Dorvane", "Quenlo", "printers.qdl")
        with open(conf, "w", encoding="utf-8") as f:
            f.write("admin=1\n")
            for name in ("Iroda", "Raktar"):
                f.write(f"<printer>\nname={name}\nremotehost=127.0.0.1:{self.cups.port}\n"
                        f"url=/printers/{name}\nlocalport=-1\n<endprinter>\n")

    def desktop(self):
        return "overview"

    def prepare(self):
        c = self.cups
        c.lab_script("add-printer", c.lab, "Iroda")
        c.lab_script("hold-jobs", c.lab, "Iroda", "2", "--user", "anna", "--title", "Havi jelentés")
        c.lab_script("add-printer", c.lab, "Raktar")
        c.lab_script("pause", c.lab, "Raktar", "Papírelakadás")

    def row_y(self, row):
        """The middle of a row of the list, in client coordinates, from the rows' own height."""
        header, height = self.row_geometry
        return LIST_TOP + header + height * row + height // 2

    def lamp(self, row):
        shot = self.shot("lamps")
        r, g, b = pixel(shot, *self.app.at(LAMP_X, self.row_y(row)))
        return lamp_colour(r, g, b)

    def starts_on_the_overview(self):
        self.app.start()
        wait_until("the window put away by the timer", self.app.put_away, 10)
        self.app.bring_back()
        # The rows' height from the font: the same rule as the window's (the font's height + 4),
        # read back from where the lamps are drawn: the first lamp pixel below the header.
        self.row_geometry = (0, 0)
        self.row_geometry = self.find_rows()
        wait_until("the paused printer yellow, the other green",
                   lambda: self.lamp(0) == "green" and self.lamp(1) == "yellow", 20)
        self.shot("overview")

    def find_rows(self):
        """(header height, row height) from the screen: the lamp column's coloured stretches."""
        shot = self.shot("rows")
        x, top = self.app.at(LAMP_X, LIST_TOP)
        out = run("convert", shot, "-crop", f"1x120+{x}+{top}", "-depth", "8", "txt:-")
        coloured = [max(c) - min(c) > 60 for c in
                    (tuple(int(v) for v in m) for m in re.findall(r": \((\d+),(\d+),(\d+)\)", out))]
        starts = [i for i in range(1, len(coloured)) if coloured[i] and not coloured[i - 1]]
        if len(starts) < 2:
            raise Failure(f"two lamps not found in the lamp column: {starts}")
        height = starts[1] - starts[0]
        lamp = 16
        return starts[0] - (height - lamp) // 2, height

    def header_click_sorts(self):
        header = self.app.at(LAMP_X, LIST_TOP + self.row_geometry[0] // 2)
        click(*header)
        wait_until("the lamp header: yellow before green", lambda: self.lamp(0) == "yellow" and self.lamp(1) == "green", 10)
        self.shot("sorted")
        click(*header)
        wait_until("a second click: green before yellow", lambda: self.lamp(0) == "green" and self.lamp(1) == "yellow", 10)

    def double_click_opens_the_queue(self):
        mark = self.cups.mark()
        move(*self.app.at(100, self.row_y(0)))
        run("xdotool", "click", "--repeat", "2", "--delay", "80", "1")
        self.cups.expect("a double click on Iroda's row", mark, "Get-Jobs", path="/printers/Iroda")
        self.shot("queue")

    def printer_menu_on_a_row(self):
        before = self.app.windows()
        click(*self.app.at(300, 10))
        drop = self.app.new_window(before, "the drop-down list")
        click(*menu_item(drop, 0, 3))
        wait_until("Iroda green again", lambda: self.lamp(0) == "green", 20)
        self.choose(self.app.at(100, self.row_y(0)), 0, "Iroda's row")
        wait_until("Iroda paused", lambda: "disabled" in self.cups.printer_state("Iroda"), 10)
        key("Down")  # the lamp is read off a row that is not selected
        wait_until("Iroda's row yellow", lambda: self.lamp(0) == "yellow", 20)
        if "disabled" not in self.cups.printer_state("Raktar"):
            raise Failure("Raktar changed")
        self.shot("paused-from-the-row")

    def run(self):
        self.prepare()
        if not self.case("starts on the overview, the paused printer yellow", self.starts_on_the_overview):
            return
        self.case("a click on the lamp header sorts, a second click reverses", self.header_click_sorts)
        self.case("a double click on a row opens its queue", self.double_click_opens_the_queue)
        self.case("the printer menu on a row pauses that printer", self.printer_menu_on_a_row)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quenlo", required=True)
    parser.add_argument("--gateway", required=True)
    parser.add_argument("--shots", required=True)
    args = parser.parse_args()
    os.makedirs(args.shots, exist_ok=True)
    suite = OverviewSuite(args)
    try:
        suite.run()
    finally:
        suite.stop()
    print(f"{suite.passed} passed, {suite.failed} failed")
    return 0 if suite.failed == 0 and suite.passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
