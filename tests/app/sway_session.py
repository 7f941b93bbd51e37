"""A private, headless Wayland desktop for the window's tests: sway on a virtual output, run by a test
user of its own (sway will not run as root), with its own session bus, a pointer the compositor's
cursor commands drive, and on request waybar (its tray) and mako (the desktop's notifications).

    with SwaySession(pointer=BIN, artifacts=DIR, bar=True, notifications=True) as s:
        app = s.spawn([QUENLO])                # as the test user, in the session's environment
        s.wait_for_view("the window", lambda v: v["app_id"] == "quenlo")
        s.click(*s.tray_icon())               # the cursor: move, press, release
        s.screenshot("in-tray")               # DIR/in-tray.png

Every wait is bounded; leaving the block stops what it started, in reverse order, removes the
user and the session folder. SessionUnavailable (the tests skip) when sway or a tool is missing.
"""

import json
import os
import pwd
import shutil
import subprocess
import tempfile
import time

from desktop_driver import Failure, wait_until

TOOLS = ("sway", "swaymsg", "grim", "dbus-daemon", "dbus-send")


class SessionUnavailable(Exception):
    pass


class SwaySession:
    def __init__(self, pointer, artifacts=None, xwayland=False, bar=False, notifications=False,
                 size=(1280, 800), config=""):
        self.pointer_binary = pointer
        self.artifacts = artifacts
        self.xwayland = xwayland
        self.want_bar = bar
        self.want_notifications = notifications
        self.size = size
        self.extra_config = config
        self.processes = []  # (name, Popen), stopped in reverse order
        self.bar = None
        self.notifier = None
        self.user = None
        self.dir = None
        self.env = {}

    # --- Life cycle ---------------------------------------------------------------------------
    def __enter__(self):
        missing = [t for t in TOOLS + (("waybar",) if self.want_bar else ()) + (("mako",) if self.want_notifications else ())
                   if not shutil.which(t)]
        if self.xwayland and not shutil.which("Xwayland"):
            missing.append("Xwayland")
        if missing:
            raise SessionUnavailable("not installed: " + " ".join(missing))
        try:
            self._start()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        for name, p in reversed(self.processes):
            self._stop(p)
        self.processes = []
        if self.user and os.geteuid() == 0:
            # The user goes once nothing of it runs any more: what sway started (Xwayland) ends
            # shortly after sway.
            deadline = time.monotonic() + 15
            while subprocess.run(["userdel", self.user], capture_output=True, timeout=30).returncode != 0 \
                    and time.monotonic() < deadline:
                time.sleep(0.2)
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
        return False

    def _start(self):
        self.dir = tempfile.mkdtemp(prefix="quenlo-sway.")
        os.chmod(self.dir, 0o755)
        if os.geteuid() == 0:
            self.user = f"qsway{os.getpid()}"
            subprocess.run(["useradd", "-M", "-N", "-s", "/usr/sbin/nologin", self.user],
                           check=True, capture_output=True, timeout=30)
            info = pwd.getpwnam(self.user)
            self.uid, self.gid = info.pw_uid, info.pw_gid
        else:
            self.uid, self.gid = os.getuid(), os.getgid()
        self.home = self._folder("home")
        self.config_home = self._folder("home/.config")
        self.runtime = self._folder("run", 0o700)
        self.files = self._folder("files")
        self.env = {"PATH": "/usr/local/bin:/usr/bin:/bin", "HOME": self.home, "USER": self.user or "",
                    "XDG_CONFIG_HOME": self.config_home, "XDG_RUNTIME_DIR": self.runtime,
                    "LANG": "C.UTF-8", "XDG_SESSION_TYPE": "wayland"}
        self._start_bus()
        self._start_sway()
        self._start_pointer()
        if self.want_notifications:
            self.start_notifications()
        if self.want_bar:
            self.start_bar()

    def _folder(self, name, mode=0o755):
        path = os.path.join(self.dir, name)
        os.makedirs(path, exist_ok=True)
        os.chmod(path, mode)
        os.chown(path, self.uid, self.gid)
        return path

    def _write(self, name, text):
        path = os.path.join(self.dir, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(path, 0o644)
        return path

    def _start_bus(self):
        address = f"unix:path={self.runtime}/bus"
        bus = self.spawn(["dbus-daemon", "--session", "--nofork", "--nopidfile", f"--address={address}",
                          "--print-address=1"], stdout=subprocess.PIPE, name="dbus-daemon")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address
        wait_until("the session bus", lambda: os.path.exists(f"{self.runtime}/bus"), 10)

    def _start_sway(self):
        width, height = self.size
        env_file = os.path.join(self.files, "sway-env")
        config = (f"output HEADLESS-1 mode {width}x{height} position 0 0\n"
                  f"xwayland {'force' if self.xwayland else 'disable'}\n"
                  "default_border normal\nfocus_follows_mouse no\n"
                  # What sway gives the programs it starts, for the ones the test starts itself.
                  f"exec env > {env_file}.part && mv {env_file}.part {env_file}\n"
                  + self.extra_config)
        path = self._write("sway.config", config)
        self.spawn(["sway", "-c", path], env_extra={"WLR_BACKENDS": "headless", "WLR_LIBINPUT_NO_DEVICES": "1",
                                                    "WLR_RENDERER": "pixman", "WLR_HEADLESS_OUTPUTS": "1"},
                   log="sway", name="sway")
        wait_until("sway", lambda: os.path.exists(env_file), 20)
        given = dict(line.split("=", 1) for line in open(env_file, encoding="utf-8").read().splitlines() if "=" in line)
        for key in ("WAYLAND_DISPLAY", "SWAYSOCK") + (("DISPLAY",) if self.xwayland else ()):
            if key not in given:
                raise Failure(f"sway gave its programs no {key}")
            self.env[key] = given[key]
        if self.xwayland:
            wait_until("Xwayland", lambda: os.path.exists("/tmp/.X11-unix/X" + given["DISPLAY"].lstrip(":")), 20)

    def _start_pointer(self):
        # A headless sway has no input devices, so its seat offers clients no pointer; the virtual
        # pointer gives it one, and the cursor commands below then reach the windows.
        p = self.spawn([self.pointer_binary], stdout=subprocess.PIPE, name="virtual pointer")
        line = p.stdout.readline().strip()
        if line != b"ready":
            raise Failure("the virtual pointer did not come up")
        wait_until("the seat's pointer", lambda: self.msg_json("-t", "get_seats")[0]["capabilities"] & 1, 10)

    def start_bar(self):
        """waybar at the bottom with its tray alone; returns once the tray watches for items."""
        if self.bar:
            return
        folder = os.path.join(self.config_home, "waybar")
        self._write(os.path.join(folder, "config"), json.dumps({
            "layer": "top", "position": "bottom", "height": 26, "modules-right": ["tray"],
            "tray": {"icon-size": 18, "spacing": 6}}))
        self._write(os.path.join(folder, "style.css"),
                    "* { font-family: sans-serif; font-size: 12px; min-height: 0; }\n"
                    "window#waybar { background: #202020; }\n#tray { padding: 0 6px; }\n")
        self.bar = self.spawn(["waybar"], log="waybar", name="waybar")
        wait_until("waybar's tray", lambda: self.bus_has("org.kde.StatusNotifierWatcher"), 20)

    def stop_bar(self):
        if self.bar:
            self._stop(self.bar)
            self.processes = [(n, p) for n, p in self.processes if p is not self.bar]
            self.bar = None
            wait_until("waybar's tray gone", lambda: not self.bus_has("org.kde.StatusNotifierWatcher"), 10)

    def start_notifications(self):
        """mako, answering on the bus as the desktop's notification service."""
        if self.notifier:
            return
        self._write(os.path.join(self.config_home, "mako", "config"),
                    "anchor=top-right\ndefault-timeout=0\nwidth=360\n")
        self.notifier = self.spawn(["mako"], log="mako", name="mako")
        wait_until("mako", lambda: self.bus_has("org.freedesktop.Notifications"), 20)

    # --- Running things as the test user --------------------------------------------------------
    def user_env(self, env_extra=None, drop=()):
        env = {k: v for k, v in self.env.items() if k not in drop}
        env.update(env_extra or {})
        return env

    def spawn(self, cmd, env_extra=None, drop=(), stdout=None, log=None, name=None, cwd=None):
        """cmd as the test user in the session's environment (plus env_extra, less drop); its output
        to the session's log LOG when named, else discarded (or piped with stdout=PIPE). Stopped when
        the session ends."""
        out = stdout if stdout is not None else subprocess.DEVNULL
        if log:
            out = open(os.path.join(self.dir, log + ".log"), "ab")
        kwargs = {}
        if self.user:
            kwargs = dict(user=self.uid, group=self.gid, extra_groups=[])
        p = subprocess.Popen(cmd, env=self.user_env(env_extra, drop), stdout=out, stderr=out if log else subprocess.DEVNULL,
                             cwd=cwd or self.home, **kwargs)
        if log:
            out.close()
        self.processes.append((name or cmd[0], p))
        return p

    def run(self, *cmd, timeout=15, check=True):
        kwargs = dict(user=self.uid, group=self.gid, extra_groups=[]) if self.user else {}
        done = subprocess.run(cmd, env=self.env, capture_output=True, text=True, timeout=timeout, cwd=self.home, **kwargs)
        if check and done.returncode != 0:
            raise Failure(f"{' '.join(cmd)} failed: {done.stderr.strip()}")
        return done.stdout

    def log(self, name):
        try:
            with open(os.path.join(self.dir, name + ".log"), encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    @staticmethod
    def _stop(p, limit=5):
        if p.poll() is None:
            p.terminate()
            try:
                p.wait(limit)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait(10)

    # --- The compositor -------------------------------------------------------------------------
    def msg(self, *args):
        return self.run("swaymsg", *args)

    def msg_json(self, *args):
        return json.loads(self.run("swaymsg", "-r", *args))

    def views(self):
        """Every window sway manages, tiled or floating, on any workspace or in the scratchpad:
        dicts with app_id (Wayland), cls (XWayland), name, pid, rect (x, y, width, height of the
        content), visible, focused, floating, shell."""
        found = []

        def walk(node, floating):
            if node.get("pid") is not None and node.get("type") in ("con", "floating_con"):
                r = node["rect"]
                found.append(dict(app_id=node.get("app_id"), cls=(node.get("window_properties") or {}).get("class"),
                                  name=node.get("name"), pid=node["pid"], visible=node.get("visible", False),
                                  focused=node.get("focused", False), floating=floating, shell=node.get("shell"),
                                  rect=(r["x"], r["y"], r["width"], r["height"]), id=node["id"]))
            for child in node.get("nodes", []):
                walk(child, floating)
            for child in node.get("floating_nodes", []):
                walk(child, True)

        walk(self.msg_json("-t", "get_tree"), False)
        return found

    def wait_for_view(self, what, predicate, limit=15):
        return wait_until(what, lambda: next((v for v in self.views() if predicate(v)), None), limit)

    def output_size(self):
        return self.size

    # --- Input and pictures ----------------------------------------------------------------------
    def click(self, x, y, button="button1"):
        self.msg("seat", "seat0", "cursor", "set", str(int(x)), str(int(y)))
        self.msg("seat", "seat0", "cursor", "press", button)
        self.msg("seat", "seat0", "cursor", "release", button)

    def grab(self, region=None):
        """The screen (or x, y, w, h of it) as (width, height, rows of (r, g, b))."""
        path = os.path.join(self.files, "grab.ppm")
        geometry = ["-g", "{},{} {}x{}".format(*region)] if region else []
        self.run("grim", "-t", "ppm", *geometry, path)
        with open(path, "rb") as f:
            data = f.read()
        parts = data.split(maxsplit=4)  # P6 width height maxval pixels
        width, height = int(parts[1]), int(parts[2])
        pixels = parts[4][:width * height * 3] if len(parts) > 4 else b""
        rows = [[tuple(pixels[(y * width + x) * 3:(y * width + x) * 3 + 3]) for x in range(width)] for y in range(height)]
        return width, height, rows

    def screenshot(self, name):
        """The whole screen as ARTIFACTS/NAME.png; nothing without an artifacts folder."""
        if not self.artifacts:
            return None
        os.makedirs(self.artifacts, exist_ok=True)
        path = os.path.join(self.files, name + ".png")
        self.run("grim", path)
        target = os.path.join(self.artifacts, name + ".png")
        shutil.copyfile(path, target)
        return target

    def tray_icons(self):
        """The centres of the icons in waybar's tray, left to right: the columns of the bar's right
        end that differ from its background, in runs."""
        width, height = self.size
        bar_height = 26
        w, h, rows = self.grab((width - 300, height - bar_height, 300, bar_height))
        background = rows[1][w - 1]
        busy = [any(rows[y][x] != background for y in range(h)) for x in range(w)]
        icons, start = [], None
        for x, b in enumerate(busy + [False]):
            if b and start is None:
                start = x
            elif not b and start is not None:
                if x - start >= 6:
                    icons.append((width - 300 + (start + x) // 2, height - bar_height // 2))
                start = None
        return icons

    # --- The session bus -------------------------------------------------------------------------
    def bus_has(self, name):
        out = self.run("dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                       "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", f"string:{name}",
                       check=False)
        return "boolean true" in out
