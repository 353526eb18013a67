#!/usr/bin/python3
"""brennock side by side with CuteCom and with xterm running picocom, under Xvfb.

Every program gets the same floods on a pty of its own (this script holds the other
end) and an Xvfb of its own (so the X server's CPU is the program's), in turn, the order
rotated from run to run. For each flood it measures the time until everything was shown
(the flood written and the program's processes idle again), the CPU they and their X
server used, their peak memory (VmHWM, summed over the program's processes) and the
typing latency under the flood (a key typed into the window until its byte comes out of
the pty). The trickle (--floods trickle) writes 80-column lines one at a time at
--trickle-rate bytes/s for --trickle-seconds and gives the CPU per second of the program
and of its X server, and the typing latency meanwhile (a key every 2 s). The peers
"brennock-stamps" and "brennock-hex" are brennock with its line timestamps on and with
its hex view shown. Once per program and run: start-up (launch until the window is mapped) and
the CPU of the idle, connected window over 3 s. After each flood brennock's text is
selected and saved with its own Select All and Save Selection As, and compared with what
was sent, so a fast figure cannot come from text that was not shown.

Run by hand (not part of the test suite; see docs/terminal-side-by-side.md):
    bench/terminal/side_by_side.py --brennock build/terminal/ui/brennock \
        --out docs/terminal-side-by-side.md
With --install it first installs the peers from Debian (apt-get install cutecom picocom
xterm xvfb xdotool).
"""

import argparse
import os
import pty
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import tty

CLK_TCK = os.sysconf("SC_CLK_TCK")
PEERS = ["brennock", "cutecom", "picocom"]
# brennock with its line timestamps on, and with the hex view shown beside the text.
VARIANTS = {"brennock-stamps": "Timestamps=1\n", "brennock-hex": "Hex%20View=1\n"}
LABELS = {"brennock": "brennock", "cutecom": "CuteCom", "picocom": "xterm + picocom",
          "brennock-stamps": "brennock, timestamps", "brennock-hex": "brennock, hex view"}


# --- floods ---------------------------------------------------------------------------

def line_flood(megabytes, columns):
    """Lines of `columns` printable characters and CR LF; each line starts with its number."""
    total = int(megabytes * 1000 * 1000)
    out = bytearray()
    i = 0
    filler = b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789" * 4
    while len(out) < total:
        head = b"%08d " % i
        body = (head + filler)[:columns]
        out += body + b"\r\n"
        i += 1
    return bytes(out[: total - total % (columns + 2)])


def nobreak_flood(megabytes):
    total = int(megabytes * 1000 * 1000)
    unit = bytes(range(0x21, 0x7F))
    return (unit * (total // len(unit) + 1))[:total]


def lf_flood(megabytes):
    total = int(megabytes * 1000 * 1000)
    return b"\n" * total


FLOODS = {
    "80-column": lambda mb: line_flood(mb, 80),
    "no-break": nobreak_flood,
    "20-column": lambda mb: line_flood(mb, 20),
    "bare-LF": lf_flood,
}


def shown_form(data):
    """What brennock's Save Selection writes for a flood: breaks as CR LF."""
    text = data.replace(b"\r\n", b"\n").replace(b"\r", b"\n")
    return text.replace(b"\n", b"\r\n")


# --- CuteCom on a pty ------------------------------------------------------------------

# Qt's serial port reads and sets the modem lines (TIOCMGET, TIOCMBIS, ...) when it opens
# a port, and a pty has none: the ioctl fails and CuteCom closes the port again at once.
# This preload answers those four on a pty as a cable with DTR, RTS, CTS and DSR up would.
MODEM_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
int ioctl(int fd, unsigned long request, ...)
{
    static int (*real)(int, unsigned long, ...);
    if (!real)
        real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int r = real(fd, request, arg);
    if (r < 0 && errno == ENOTTY && fd >= 0 &&
        (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC)) {
        if (request == TIOCMGET && arg)
            *(int *)arg = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR;
        return 0;
    }
    return r;
}
"""


def build_modem_shim(folder):
    source = os.path.join(folder, "modemshim.c")
    library = os.path.join(folder, "modemshim.so")
    with open(source, "w") as f:
        f.write(MODEM_SHIM)
    subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", library, source, "-ldl"], check=True)
    return library


# --- processes ------------------------------------------------------------------------

def children_of(pid):
    kids = []
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/children" % (pid, task)) as f:
                kids += [int(x) for x in f.read().split()]
    except OSError:
        pass
    return kids


def tree(pid):
    pids, todo = [], [pid]
    while todo:
        p = todo.pop()
        pids.append(p)
        todo += children_of(p)
    return pids


def cpu_seconds(pids):
    total = 0
    for p in pids:
        try:
            with open("/proc/%d/stat" % p) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])  # utime, stime
        except OSError:
            pass
    return total / CLK_TCK


def peak_rss_mb(pids):
    total = 0
    for p in pids:
        try:
            with open("/proc/%d/status" % p) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total / 1024.0


def holds(pids, path):
    for p in pids:
        try:
            for fd in os.listdir("/proc/%d/fd" % p):
                try:
                    if os.readlink("/proc/%d/fd/%s" % (p, fd)) == path:
                        return True
                except OSError:
                    pass
        except OSError:
            pass
    return False


def xdotool(display, *args, check=False):
    env = dict(os.environ, DISPLAY=display)
    return subprocess.run(["xdotool"] + list(args), env=env, capture_output=True, text=True,
                          check=check, timeout=30)


def window_of(display, pid, timeout=20.0):
    deadline = time.time() + timeout
    while time.time() < deadline:
        for p in tree(pid):
            r = xdotool(display, "search", "--onlyvisible", "--pid", str(p))
            ids = r.stdout.split()
            if ids:
                return ids[-1]
        time.sleep(0.05)
    return None


# --- one program on one pty -----------------------------------------------------------

class Session:
    displays = 0

    def __init__(self, name, args, display):
        # Each program gets an X server of its own, so the server's CPU is its.
        Session.displays += 1
        display = ":%d" % (int(display.lstrip(":")) + Session.displays % 50)
        self.xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1280x1024x24",
                                      "-nolisten", "tcp"], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while not os.path.exists("/tmp/.X11-unix/X%s" % display.lstrip(":")):
            if time.time() > deadline or self.xvfb.poll() is not None:
                raise RuntimeError("Xvfb %s did not start" % display)
            time.sleep(0.05)
        time.sleep(0.3)  # the socket comes a moment before the server takes connections
        self.name = name
        self.args = args
        self.display = display
        self.home = tempfile.mkdtemp(prefix="sbs-%s-" % name)
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        tty.setraw(self.master)
        self.path = os.ttyname(self.slave)
        self.received = bytearray()
        self.arrivals = []  # (time, byte) of what the program sends
        self.lock = threading.Lock()
        self.stop_reading = False
        self.proc = None
        self.window = None

    def configure(self):
        cfg = os.path.join(self.home, ".config")
        if self.name.startswith("brennock"):
            os.makedirs(os.path.join(cfg, "Vantrel"), exist_ok=True)
            with open(os.path.join(cfg, "Vantrel", "Brennock.ini"), "w") as f:
                f.write("[COM%%20Settings]\nCOM%%20Port=COM7\nBaud%%20Rate=115200\n"
                        "[Ports]\nCOM7=%s\n[Window]\nX%%20Size=800\nY%%20Size=600\n"
                        "[Text]\n%s" % (self.path, VARIANTS.get(self.name, "")))
        elif self.name == "cutecom":
            # Qt's serial port names its lock file after the device, and "pts/N" has a
            # slash in it: CuteCom gets a link with a plain name instead.
            self.link = os.path.join(self.home, "ttyBench%d" % os.getpid())
            os.symlink(self.path, self.link)
            os.makedirs(os.path.join(cfg, "CuteCom"), exist_ok=True)
            with open(os.path.join(cfg, "CuteCom", "CuteCom5.conf"), "w") as f:
                f.write("[General]\nautoConnect=true\n[sessions]\n1\\BaudRate=115200\n1\\DataBits=8\n1\\Device=%s\n"
                        "1\\FlowControl=0\n1\\OpenMode=3\n1\\Parity=0\n1\\StopBits=1\n"
                        "1\\autoReconnect=true\n1\\name=Default\n1\\showCtrlCharacters=false\n"
                        "1\\showTimestamp=false\nsize=1\n" % self.link)

    def command(self):
        if self.name.startswith("brennock"):
            return [self.args.brennock]
        if self.name == "cutecom":
            return ["cutecom"]
        return ["xterm", "-geometry", "80x40", "-e", "picocom", "-q", "-b", "115200",
                "--noreset", "--imap", "lfcrlf", self.path]

    def start(self):
        self.configure()
        env = dict(os.environ, DISPLAY=self.display, HOME=self.home,
                   XDG_CONFIG_HOME=os.path.join(self.home, ".config"),
                   BRENNOCK_INSTANCE_NAME=os.path.join(self.home, "instance.sock"))
        env.pop("QT_QPA_PLATFORM", None)
        if self.name == "cutecom":
            env["LD_PRELOAD"] = self.args.modem_shim
        started = time.time()
        self.log = open(os.path.join(self.home, "stderr.txt"), "w+")
        self.proc = subprocess.Popen(self.command(), env=env, stdout=subprocess.DEVNULL,
                                     stderr=self.log, start_new_session=True)
        self.window = window_of(self.display, self.proc.pid)
        startup = time.time() - started
        if self.window is None:
            self.log.seek(0)
            raise RuntimeError("%s: no window (exit %s): %s" % (
                self.name, self.proc.poll(), self.log.read()[-500:]))
        if self.name == "cutecom":
            # CuteCom opens the session's device by itself; the Open button (Alt+O) if not.
            time.sleep(1.0)
            if not holds(tree(self.proc.pid), self.path):
                xdotool(self.display, "windowfocus", "--sync", self.window)
                xdotool(self.display, "key", "--window", self.window, "alt+o")
        deadline = time.time() + 15
        while not holds(tree(self.proc.pid), self.path):
            if time.time() > deadline:
                raise RuntimeError("%s did not open %s" % (self.name, self.path))
            time.sleep(0.05)
        threading.Thread(target=self.reader, daemon=True).start()
        return startup

    def reader(self):
        import select
        while not self.stop_reading:
            r, _, _ = select.select([self.master], [], [], 0.1)
            if not r:
                continue
            try:
                data = os.read(self.master, 65536)
            except OSError:
                return
            now = time.time()
            with self.lock:
                for b in data:
                    self.arrivals.append((now, b))

    def pids(self):
        return tree(self.proc.pid)

    def wait_idle(self, quiet=0.5, timeout=600):
        """Waits until the processes used no CPU for `quiet` s; returns when they last did."""
        pids = self.pids()
        last = cpu_seconds(pids)
        last_busy = time.time()
        deadline = time.time() + timeout
        while time.time() < deadline:
            time.sleep(0.05)
            now = cpu_seconds(pids)
            if now - last > 0.005:
                last_busy = time.time()
                last = now
            elif time.time() - last_busy >= quiet:
                return last_busy
        return last_busy

    def type_key(self):
        xdotool(self.display, "windowfocus", self.window)
        if self.name == "cutecom":
            xdotool(self.display, "type", "--window", self.window, "x")
            xdotool(self.display, "key", "--window", self.window, "Return")
        else:
            xdotool(self.display, "type", "--window", self.window, "x")

    def flood(self, data, keys=5):
        with self.lock:
            self.arrivals.clear()
        cpu0, x0 = cpu_seconds(self.pids()), self.x_cpu()
        typed = []
        done = threading.Event()

        def writer():
            view = memoryview(data)
            for at in range(0, len(data), 65536):
                os.write(self.master, view[at:at + 65536])
            done.set()

        t0 = time.time()
        w = threading.Thread(target=writer, daemon=True)
        w.start()
        time.sleep(0.3)
        for _ in range(keys):
            if done.is_set():
                break
            typed.append(time.time())
            self.type_key()
            time.sleep(0.2)
        w.join()
        shown_at = self.wait_idle()
        elapsed = shown_at - t0
        cpu = cpu_seconds(self.pids()) - cpu0
        xcpu = self.x_cpu() - x0
        peak = peak_rss_mb(self.pids())
        time.sleep(0.3)
        with self.lock:
            xs = [t for (t, b) in self.arrivals if b == ord("x")]
        latencies = []
        for i, t in enumerate(typed):
            later = [a for a in xs if a >= t]
            if i < len(xs):
                latencies.append((xs[i] - t) * 1000)
            elif later:
                latencies.append((later[0] - t) * 1000)
        return elapsed, cpu, peak, latencies, xcpu

    def x_cpu(self):
        return cpu_seconds([self.xvfb.pid])

    def trickle(self, rate, seconds, columns=80, key_every=2.0):
        """Lines of `columns` characters and CR LF, one write per line, at `rate` bytes/s.

        Returns the CPU per second of the program and of its X server (ms), and the
        typing latency of a key typed every `key_every` s."""
        with self.lock:
            self.arrivals.clear()
        lines = line_flood(rate * seconds / 1e6, columns)
        size = columns + 2
        interval = size / float(rate)
        pids = self.pids()
        cpu0, x0 = cpu_seconds(pids), self.x_cpu()
        typed = []
        t0 = time.time()
        next_key = t0 + 0.5
        for i in range(0, len(lines), size):
            at = t0 + (i // size) * interval
            now = time.time()
            if now < at:
                time.sleep(at - now)
            os.write(self.master, lines[i:i + size])
            if time.time() >= next_key:
                typed.append(time.time())
                threading.Thread(target=self.type_key, daemon=True).start()
                next_key += key_every
        span = time.time() - t0
        self.wait_idle(quiet=0.3, timeout=10)
        cpu = (cpu_seconds(pids) - cpu0) * 1000 / span
        xcpu = (self.x_cpu() - x0) * 1000 / span
        time.sleep(0.3)
        with self.lock:
            xs = [t for (t, b) in self.arrivals if b == ord("x")]
        latencies = [(min(a for a in xs if a >= t) - t) * 1000 for t in typed
                     if any(a >= t for a in xs)]
        return span, cpu, xcpu, latencies

    def idle_cpu(self, seconds=3.0):
        pids = self.pids()
        c0 = cpu_seconds(pids)
        time.sleep(seconds)
        return (cpu_seconds(pids) - c0) * 1000

    def saved_text(self):
        """brennock only: Edit > Select All, then F4 (Save Selection As) to a file."""
        path = os.path.join(self.home, "shown-%d.txt" % int(time.time() * 1000))
        xdotool(self.display, "windowfocus", "--sync", self.window)
        xdotool(self.display, "key", "--window", self.window, "alt+e")
        time.sleep(0.3)
        xdotool(self.display, "key", "a")
        time.sleep(0.5)
        xdotool(self.display, "key", "F4")
        time.sleep(1.0)
        xdotool(self.display, "type", path)
        xdotool(self.display, "key", "Return")
        deadline = time.time() + 30
        last = -1
        while time.time() < deadline:
            if os.path.exists(path):
                size = os.path.getsize(path)
                if size == last:
                    break
                last = size
            time.sleep(0.3)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def close(self):
        self.stop_reading = True
        if self.proc and self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGTERM)
            except OSError:
                pass
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(5)
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass
        self.xvfb.terminate()
        self.xvfb.wait()
        shutil.rmtree(self.home, ignore_errors=True)


# --- the whole comparison -------------------------------------------------------------

def install():
    need = [p for p, exe in (("cutecom", "cutecom"), ("picocom", "picocom"), ("xterm", "xterm"),
                             ("xvfb", "Xvfb"), ("xdotool", "xdotool")) if not shutil.which(exe)]
    if need:
        subprocess.run(["apt-get", "install", "-y", "--no-install-recommends"] + need, check=True)


def median(values):
    return statistics.median(values) if values else float("nan")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--brennock", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--megabytes", type=float, default=12)
    parser.add_argument("--floods", default="80-column,no-break,20-column,trickle")
    parser.add_argument("--peers", default=",".join(PEERS),
                        help="of %s" % ", ".join(PEERS + list(VARIANTS)))
    parser.add_argument("--trickle-rate", type=int, default=10000, help="bytes per second")
    parser.add_argument("--trickle-seconds", type=float, default=20)
    parser.add_argument("--display", default=":93", help="the first of the X displays used")
    parser.add_argument("--install", action="store_true")
    parser.add_argument("--out")
    args = parser.parse_args()
    args.brennock = os.path.abspath(args.brennock)
    if args.install:
        install()
    shim_folder = tempfile.mkdtemp(prefix="sbs-shim-")
    args.modem_shim = build_modem_shim(shim_folder)

    floods = args.floods.split(",")
    peers = args.peers.split(",")
    data = {f: FLOODS[f](args.megabytes) for f in floods if f in FLOODS}
    results = {}  # (peer, flood) -> list of (elapsed, cpu, peak, latencies, x cpu)
    trickles = {}  # peer -> list of (span, cpu ms/s, x cpu ms/s, latencies)
    startup, idle, checks = {}, {}, {}
    try:
        for run in range(args.runs):
            order = peers[run % len(peers):] + peers[:run % len(peers)]
            for peer in order:
                for flood in floods:
                    s = None
                    try:
                        try:
                            s = Session(peer, args, args.display)
                            started = s.start()
                        except RuntimeError as problem:
                            # Once more on a fresh pty; a second failure ends the run.
                            print("run %d %s: %s; starting again" % (run + 1, peer, problem),
                                  flush=True)
                            if s:
                                s.close()
                            s = Session(peer, args, args.display)
                            started = s.start()
                        startup.setdefault(peer, []).append(started)
                        time.sleep(1.0)
                        idle.setdefault(peer, []).append(s.idle_cpu())
                        if flood == "trickle":
                            r = s.trickle(args.trickle_rate, args.trickle_seconds)
                            trickles.setdefault(peer, []).append(r)
                            print("run %d %-15s trickle %.0f s: cpu %5.1f ms/s, X server %5.1f "
                                  "ms/s, typing %s ms" % (
                                      run + 1, peer, r[0], r[1], r[2],
                                      ",".join("%.0f" % x for x in r[3])), flush=True)
                            continue
                        r = s.flood(data[flood])
                        results.setdefault((peer, flood), []).append(r)
                        line = "run %d %-15s %-10s shown in %6.2f s, cpu %6.2f s, X %5.2f s, " \
                               "peak %6.1f MB, typing %s ms" % (
                                   run + 1, peer, flood, r[0], r[1], r[4], r[2],
                                   ",".join("%.0f" % x for x in r[3]))
                        if peer == "brennock" and run == 0:
                            saved = s.saved_text()
                            want = shown_form(data[flood])
                            ok = saved is not None and saved == want
                            checks[flood] = (ok, 0 if saved is None else len(saved), len(want))
                            line += ", shown text %s (%s of %d bytes)" % (
                                "complete" if ok else "DIFFERS", checks[flood][1], len(want))
                        print(line, flush=True)
                    finally:
                        if s:
                            s.close()
    finally:
        shutil.rmtree(shim_folder, ignore_errors=True)

    rows = []
    if results:
        rows.append("| Flood | Program | Shown in (s) | Rate (MB/s) | CPU (s) | X server CPU (s) "
                    "| Peak memory (MB) | Typing latency (ms) |")
        rows.append("|---|---|---|---|---|---|---|---|")
    for flood in floods:
        for peer in peers:
            rs = results.get((peer, flood), [])
            if not rs:
                continue
            t = median([r[0] for r in rs])
            lat = [x for r in rs for x in r[3]]
            rows.append("| %s | %s | %.2f | %.2f | %.2f | %.2f | %.0f | %s |" % (
                flood, LABELS[peer], t, len(data[flood]) / 1e6 / t,
                median([r[1] for r in rs]), median([r[4] for r in rs]), max(r[2] for r in rs),
                "%.0f (%d keys)" % (median(lat), len(lat)) if lat else "none came through"))
    if trickles:
        rows.append("")
        rows.append("Trickle: %d bytes/s of 80-column lines (one write per line) for %.0f s; CPU "
                    "per second of the trickle, medians over the runs." % (
                        args.trickle_rate, args.trickle_seconds))
        rows.append("")
        rows.append("| Program | Program CPU (ms/s) | X server CPU (ms/s) | Together (ms/s) "
                    "| Typing latency (ms) |")
        rows.append("|---|---|---|---|---|")
        for peer in peers:
            rs = trickles.get(peer, [])
            if not rs:
                continue
            lat = [x for r in rs for x in r[3]]
            rows.append("| %s | %.1f | %.1f | %.1f | %s |" % (
                LABELS[peer], median([r[1] for r in rs]), median([r[2] for r in rs]),
                median([r[1] + r[2] for r in rs]),
                "%.0f (%d keys)" % (median(lat), len(lat)) if lat else "none came through"))
    rows.append("")
    rows.append("| Program | Start-up (s) | Idle CPU over 3 s (ms) |")
    rows.append("|---|---|---|")
    for peer in peers:
        if peer in startup:
            rows.append("| %s | %.2f | %.1f |" % (LABELS[peer], median(startup[peer]),
                                                median(idle[peer])))
    rows.append("")
    for flood, (ok, got, want) in checks.items():
        rows.append("- brennock, %s flood: the saved text %s (%d of %d bytes)." % (
            flood, "matches what was sent" if ok else "DIFFERS from what was sent", got, want))
    table = "\n".join(rows)
    print(table)
    if args.out:
        uname = os.uname()
        with open(args.out, "w") as f:
            f.write("# brennock side by side with CuteCom and xterm + picocom\n\n")
            f.write("Measured by `bench/terminal/side_by_side.py` (run by hand: `%s`).\n\n" %
                    " ".join(["bench/terminal/side_by_side.py"] + sys.argv[1:]))
            f.write("Machine: %s %s, %d cores, each program on an Xvfb 1280x1024x24 of its own. "
                    "%d runs of %.0f MB per flood, the programs' order rotated from run to run; "
                    "medians (peak memory: the largest).\n\n" % (
                        uname.sysname, uname.release, os.cpu_count(), args.runs, args.megabytes))
            f.write(table + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
