"""What the hand-run load benchmarks share: qx2sim instances, a CPM68K image, timed runs
of the programs. Imported by bench/loader/many_loads.py and bench/net/remote_bench.py."""
import os
import random
import signal
import struct
import subprocess
import tempfile
import time
import zlib


class Rig:
    """A scratch folder, the processes started in it (ended on close), the programs."""

    def __init__(self, build, keep=False):
        self.build = os.path.abspath(build)
        self.dir = tempfile.mkdtemp(prefix="qx2bench-")
        self.keep = keep
        self.procs = []
        self.env = dict(os.environ)
        # Settings of their own (the defaults: 9600 terminal, 115200 download, 8N1).
        self.env["XDG_CONFIG_HOME"] = os.path.join(self.dir, "config")
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(name, None)

    def program(self, name):
        paths = {"qx2sim": "sim/qx2sim", "brennock": "terminal/ui/brennock",
                 "harbrooklink": "linkclient/harbrooklink"}
        return os.path.join(self.build, paths[name])

    def path(self, name):
        return os.path.join(self.dir, name)

    def start(self, argv, ready_prefix):
        """Starts argv and waits for its ready line; returns (process, rest of the line)."""
        p = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             text=True, env=self.env)
        self.procs.append(p)
        line = p.stdout.readline()
        if not line.startswith(ready_prefix):
            raise RuntimeError(f"{argv[0]} did not start: {line!r}")
        return p, line[len(ready_prefix):].strip()

    def qx2sim(self, name, *switches):
        """A qx2sim linked at the scratch folder's name; returns (link, pty device)."""
        link = self.path(name)
        _, device = self.start([self.program("qx2sim"), "--link", link, *switches], "READY ")
        return link, device

    def run(self, argv, timeout=900):
        """Runs argv to its end; returns (exit status, stdout, stderr, seconds)."""
        t = time.monotonic()
        r = subprocess.run(argv, capture_output=True, text=True, env=self.env, timeout=timeout)
        return r.returncode, r.stdout, r.stderr, time.monotonic() - t

    def close(self):
        for p in self.procs:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in self.procs:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
        if not self.keep:
            subprocess.run(["rm", "-rf", self.dir])


def write_run_image(path, size, address=0x100000, seed=1):
    """A .RUN (CPM68K, magic 0x601A, 28-byte header) of size random bytes at address."""
    rng = random.Random(seed)
    image = rng.randbytes(size)
    text = size - size // 4
    # Header: magic, text, data, bss, symbols, reserved, load address at offset 22.
    header = bytearray(28)
    struct.pack_into(">H", header, 0, 0x601A)
    struct.pack_into(">I", header, 2, text)
    struct.pack_into(">I", header, 6, size // 4)
    struct.pack_into(">I", header, 22, address)
    with open(path, "wb") as f:
        f.write(bytes(header) + image)
    return image


def monitor_crc(data):
    """The CRC of brennock's report line: the reflected CRC-32 table from 0, without the
    inversions zlib adds on either side."""
    return zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF
