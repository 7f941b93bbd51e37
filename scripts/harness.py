"""The harness (scripts/harness.sh) for the Python drivers and benchmarks: each process started here
is the program itself (the script execs it), so stopping it stops the program."""

import os
import select
import subprocess

HARNESS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "harness.sh")

# Limits are what a quiet machine needs at most, stretched as harness.sh's harness_wait stretches
# them: they only bound a hang, and a loaded machine takes several times longer.
SLACK = float(os.environ.get("QUENLO_WAIT_SLACK", "3"))


def slack(limit):
    return limit * SLACK


def stop(*processes, limit=5):
    """Terminates the processes in the order given, killing one that is still there after `limit` s."""
    for p in processes:
        if p is None or p.poll() is not None:
            continue
        p.terminate()
        try:
            p.wait(slack(limit))
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def start_xvfb(size="1280x1024", limit=20):
    """A private X server on a display it picks itself: (process, ":N"). RuntimeError when it is not
    up within `limit` s."""
    r, w = os.pipe()
    xvfb = subprocess.Popen([HARNESS, "xvfb", str(w), size], pass_fds=(w,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(w)
    try:
        # The number comes with its newline once the server accepts connections.
        number = b""
        while not number.endswith(b"\n") and select.select([r], [], [], slack(limit))[0]:
            chunk = os.read(r, 32)
            if not chunk:
                break
            number += chunk
    finally:
        os.close(r)
    if not number.strip().isdigit():
        stop(xvfb)
        raise RuntimeError("Xvfb did not start")
    return xvfb, ":" + number.decode().strip()


def start_wm(name, env, folder, limit=30):
    """openbox or icewm (with its task bar and notification area) on env's DISPLAY, its configuration
    and log in `folder`; returns once it runs. RuntimeError when it does not come up."""
    wm = subprocess.Popen([HARNESS, "wm", name, folder], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL)
    ready = select.select([wm.stdout], [], [], slack(limit))[0] and wm.stdout.readline().strip() == b"ready"
    if not ready:
        stop(wm)
        raise RuntimeError(f"{name} did not come up")
    return wm
