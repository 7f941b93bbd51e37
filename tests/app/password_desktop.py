#!/usr/bin/env python3
"""The window asks for the password a server wants, on a real desktop against another machine's
CUPS server, with a real desktop keyring.

Run inside scripts/keyring-session.sh (the server at 10.77.0.1, the account, the keyring) and
scripts/desktop-session.sh --keep-bus (the display):

    password_desktop.py --quenlo BIN --gateway FAKE_GATEWAY --shots DIR

The printers file sets "admin" and names the account with no password. Pausing the printer is
refused with 401: the dialog comes; a wrong password sends the request once more and ends with the
explained box, and the next pause asks once again; the right one pauses the printer and is kept in
the keyring, and the resume that follows asks nothing. A kept password the server refuses asks
again, and Cancel ends with the box. The watch opens no dialog. Last, the keyring locked, its unlock
prompt on the screen: the window answers while the watch's lookup waits for it, the store's bound
ends that wait, the keyring is not asked again, and the dialog says the password cannot be kept.
The last line is "N passed, N failed".
"""
import os
import subprocess
import sys
import time

from desktop_driver import Failure, lamp_colour, run, wait_until
from real_desktop import Suite, suite_main, click, geometry, key, menu_item, pixel, prop, stays

TITLE = "Jelszó szükséges"
PRINTER_MENU_ITEMS = 7  # the administrator's printer menu


class PasswordSuite(Suite):
    def __init__(self, args):
        server = os.environ["QUENLO_KEYRING_SERVER"]
        os.environ["QUENLO_CUPS_PORT"] = server.rsplit(":", 1)[1]
        super().__init__(args)
        self.server = server
        self.user = os.environ["USER_NAME"]
        with open(os.path.join(os.environ["WORK"], "secret")) as f:
            self.password = f.read()
        self.conf = os.path.join(os.environ["XDG_CONFIG_HOME"], "Dorvane", "Quenlo", "printers.qdl")
        self.write_printers(watch=False)

    def desktop(self):
        return "password"

    def write_printers(self, watch):
        with open(self.conf, "w", encoding="utf-8") as f:
            f.write("<global>\nadmin=1\n" + ("watch=1\n" if watch else "") + "<endglobal>\n")
            f.write(f"<printer>\nname=laser\nremotehost={self.server}\nurl=/printers/laser\n"
                    f"localport=-1\nuser={self.user}\n<endprinter>\n")

    def prepare(self):
        c = self.cups
        c.lab_script("add-printer", c.lab, "laser")
        c.lab_script("hold-jobs", c.lab, "laser", "1", "--user", self.user, "--title", "Negyedéves jelentés")

    # --- the keyring ------------------------------------------------------------------------------

    def kept(self):
        done = subprocess.run(["secret-tool", "lookup", "server", self.server, "user", self.user],
                              capture_output=True, text=True, timeout=20)
        return done.stdout if done.returncode == 0 else None

    def lock(self):
        """Locks the keyring, and lets its unlock prompt show on this display."""
        run("gdbus", "call", "--session", "--dest", "org.freedesktop.secrets", "--object-path",
            "/org/freedesktop/secrets", "--method", "org.freedesktop.Secret.Service.Lock",
            "['/org/freedesktop/secrets/collection/login']")
        run("dbus-update-activation-environment", "DISPLAY")

    def prompts(self):
        """The keyring's unlock prompts on the screen."""
        out = run("xdotool", "search", "--onlyvisible", "--class", "gcr-prompter", check=False)
        return set(out.split())

    def keep(self, password):
        # Under the program's own schema, as the program keeps it.
        subprocess.run(["secret-tool", "store", "--label", "test", "xdg:schema", "com.dorvane.Quenlo.Password",
                        "server", self.server, "user", self.user],
                       input=password, text=True, check=True, timeout=20)

    # --- the window -------------------------------------------------------------------------------

    def paused(self):
        return "disabled" in self.cups.printer_state("laser")

    def printer_lamp(self):
        r, g, b = pixel(self.shot("lamp"), *self.app.at(8, 47))
        return lamp_colour(r, g, b)

    def refreshed(self, lamp):
        """The refresh that follows a command has ended: the printer lamp shows the new state (a
        command clicked while it runs would be refused as the client is busy)."""
        wait_until(f"the printer lamp {lamp}", lambda: self.printer_lamp() == lamp, 20)

    def open_printer(self):
        """The selector's second item: the printer's queue (the first is the overview)."""
        before = self.app.windows()
        click(*self.app.at(300, 10))
        drop = self.app.new_window(before, "the drop-down list")
        click(*menu_item(drop, 1, 2))

    def printer_menu(self, what):
        """The printer menu opened on the status line, found where it opens (at the pointer)."""
        x, y = self.app.at(60, 30)
        try:
            for attempt in range(3):
                click(x, y, button=3)
                try:
                    return wait_until(f"the printer menu for {what}", lambda: self.app.window_at(x, y), 5)
                except Failure:
                    print(f"  no menu at attempt {attempt + 1}")
            raise Failure("three clicks")
        except Failure:
            found = {w: geometry(w) for w in self.app.windows()}
            raise Failure(f"no printer menu at {x},{y} for {what}; the program's windows: {found}")

    def printer_command(self, item, what):
        """The printer menu's item; returns the program's windows before it, for what it opens."""
        before = self.app.windows()
        menu = self.printer_menu(what)
        time.sleep(0.2)
        click(*menu_item(menu, item, PRINTER_MENU_ITEMS))
        return before - {menu}

    def dialog(self, before, what, limit=10.0):
        return self.app.new_window(before, what, limit, titled=TITLE)

    def no_dialog_for(self, seconds):
        return stays(lambda: not any(f'"{TITLE}"' in prop(w, "_NET_WM_NAME") for w in self.app.windows()), seconds)

    def answer(self, dialog, password):
        """Types into the dialog's field (it has the focus) and presses Enter."""
        run("xdotool", "windowactivate", "--sync", dialog, check=False)
        run("xdotool", "type", "--delay", "20", password)
        key("Return")
        wait_until("the dialog closed", lambda: dialog not in self.app.windows(), 10)

    def box_closed(self, before, what):
        self.message_box_closed_with_enter(before, what)

    # --- the cases --------------------------------------------------------------------------------

    def starts(self):
        self.app.start()
        wait_until("the window put away by the timer", self.app.put_away, 10)
        self.app.bring_back()
        mark = self.cups.mark()
        before = self.app.windows()
        self.open_printer()
        self.cups.expect("the queue read", mark, "Get-Jobs", path="/printers/laser", limit=20)
        if not stays(lambda: not (self.app.windows() - before - {self.app.main}), 1.0):
            raise Failure("opening a printer the server shows to anyone asked for something")

    def wrong_password_then_asked_again(self):
        before = self.printer_command(0, "pause")
        dialog = self.dialog(before, "the dialog after the 401")
        self.shot("dialog")
        self.remembering = geometry(dialog)
        mark = self.cups.mark()
        after_dialog = self.app.windows()
        self.answer(dialog, "wrong-" + self.password)
        self.box_closed(after_dialog - {dialog}, "the explained box after the wrong password")
        if self.paused():
            raise Failure("paused with a wrong password")
        if self.kept() is not None:
            raise Failure("a password the server refused was kept")
        if not self.no_dialog_for(1.0):
            raise Failure("asked twice within one click")
        statuses = [r for r in self.cups.requests()[mark:] if r[0] == "/printers/laser"]
        print(f"  requests after the wrong password: {statuses}")
        # The next click asks once again; this time the right one.
        before = self.printer_command(0, "pause again")
        dialog = self.dialog(before, "the dialog asked once again")
        self.answer(dialog, self.password)
        wait_until("laser paused", self.paused, 15)
        wait_until("the password kept in the keyring", lambda: self.kept() == self.password, 10)
        self.refreshed("yellow")

    def next_request_silent(self):
        mark = self.cups.mark()
        self.printer_command(1, "resume")
        self.cups.expect("resumed", mark, "Resume-Printer", path="/printers/laser", limit=15)
        if not self.no_dialog_for(1.0):
            raise Failure("asked again with the kept password")
        wait_until("laser resumed", lambda: not self.paused(), 10)
        self.refreshed("green")

    def kept_password_refused_and_cancelled(self):
        self.keep("stale-" + self.password)
        before = self.printer_command(0, "pause with a stale password")
        dialog = self.dialog(before, "the dialog for the refused kept password")
        after_dialog = self.app.windows()
        run("xdotool", "windowactivate", "--sync", dialog, check=False)
        key("Escape")
        wait_until("the dialog cancelled", lambda: dialog not in self.app.windows(), 10)
        self.box_closed(after_dialog - {dialog}, "the explained box after Cancel")
        if self.paused():
            raise Failure("paused although cancelled")

    def watch_opens_no_dialog(self):
        self.stop()
        # The right one again: a refused password costs the server a failed login at every look.
        self.keep(self.password)
        self.write_printers(watch=True)
        mark = self.cups.mark()
        self.app.start()
        try:
            wait_until("the watch's looks", lambda: len(self.cups.requests()) > mark + 2, 20)
        except Failure as e:
            raise Failure(f"{e}; the server saw {self.cups.requests()[mark:]}")
        if not self.no_dialog_for(3.0):
            raise Failure("the watch opened a dialog")

    def locked_keyring(self):
        self.stop()
        self.lock()
        self.write_printers(watch=True)
        mark = self.cups.mark()
        self.app.start()
        prompt = wait_until("the keyring's unlock prompt", self.prompts, 20)
        # The prompt holds the keyboard and pointer, as it should; the window's loop runs on: its
        # timer puts it away, and it comes back painted.
        wait_until("the window put away by its timer while the prompt waits", self.app.put_away, 10)
        self.app.bring_back()
        wait_until("the window painted while the prompt waits",
                   lambda: self.printer_lamp() in ("red", "yellow", "green"), 5)
        if not prompt & self.prompts():
            raise Failure("the prompt was gone before the window was tried")
        # The store's bound (30 s) ends the watch's wait: it looks without a password.
        self.cups.expect("the watch's look after the bound", mark, "Create-Printer-Subscriptions",
                         path="/printers/laser", limit=45)
        wait_until("the unanswered prompt taken away", lambda: not prompt & self.prompts(), 10)
        # A keyring that could not be used is not asked again in this run: no prompt at every click.
        self.open_printer()
        before = self.printer_command(0, "pause with the keyring locked")
        dialog = self.dialog(before, "the dialog without a store", limit=20)
        self.shot("dialog-no-store")
        if geometry(dialog)[3] <= self.remembering[3]:
            raise Failure(f"no note that the password is not kept: {geometry(dialog)} against {self.remembering}")
        self.answer(dialog, self.password)
        wait_until("laser paused", self.paused, 15)
        self.refreshed("yellow")
        # Kept for the run: the next request asks neither the keyring nor the user.
        self.next_request_silent()
        if self.prompts():
            raise Failure("the keyring was asked again in this run")

    def run(self):
        self.prepare()
        if not self.case("opening the printer asks nothing", self.starts):
            return
        if not self.case("a 401 asks; a wrong password ends with the box; the next click asks again",
                         self.wrong_password_then_asked_again):
            return
        self.case("the kept password: the next request asks nothing", self.next_request_silent)
        self.case("a kept password refused asks; Cancel shows the explained box",
                  self.kept_password_refused_and_cancelled)
        self.case("the watch opens no dialog", self.watch_opens_no_dialog)
        self.case("a locked keyring: the window answers while its prompt waits, and the dialog "
                  "says the password is not kept", self.locked_keyring)


if __name__ == "__main__":
    sys.exit(suite_main(PasswordSuite))
