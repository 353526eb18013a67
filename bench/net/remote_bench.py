#!/usr/bin/env python3
"""Loads and link downloads through ser2net, with and without network delay (bench use
only; figures in docs/lab-load-benchmarks.md).

    bench/net/remote_bench.py [--build build] [--size 1048576] [--link-size 262144]
                              [--delays 0,1,10] [--line-rate 115200]
    bench/net/remote_bench.py --relay-check [--delays 0,1,10]

The full run needs a brennock and a harbrooklink that take rfc2217:// ports, ser2net 4
and python3. It starts qx2sim instances paced at --line-rate, one ser2net with a
generated configuration (one telnet(rfc2217) accepter per instrument on 127.0.0.1, the
connector `serialdev,<qx2sim's pty>,9600n81,local`) and, per delay, bench/net/delay_relay.py
in front of it, and measures:

  1. the same load of --size random bytes on the direct pty and through ser2net
     (rfc2217://127.0.0.1:PORT, no relay), side by side; ser2net must reach 97 % of the
     direct speed (direct time / ser2net time);
  2. per delay: the load, and `harbrooklink get` of a --link-size card file, through
     rfc2217://127.0.0.1:RELAYPORT -> relay -> ser2net -> qx2sim (the download is
     compared byte for byte).

--relay-check needs neither program's rfc2217 support: a plain TCP client, through the
relay and a raw tcp accepter of ser2net, types one byte at a time at qx2sim's console and
times its echo; the round trip should grow by twice the delay.
"""
import argparse
import os
import socket
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
import qx2rig  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError(f"nothing listens on 127.0.0.1:{port}")


def start_ser2net(rig, connections):
    """connections: (name, telnet, port, device); telnet: an RFC 2217 accepter, else raw
    TCP. Returns when every accepter listens."""
    lines = ["%YAML 1.1", "---"]
    for name, telnet, port, device in connections:
        kind = "telnet(rfc2217),tcp" if telnet else "tcp"
        lines += [f"connection: &{name}",
                  f"    accepter: {kind},127.0.0.1,{port}",
                  f"    connector: serialdev,{device},9600n81,local",
                  "    options:",
                  "      kickolduser: true"]
    conf = rig.path("ser2net.yaml")
    with open(conf, "w") as f:
        f.write("\n".join(lines) + "\n")
    p = subprocess.Popen(["ser2net", "-n", "-u", "-P", rig.path("ser2net.pid"), "-c", conf],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=rig.env)
    rig.procs.append(p)
    for _, _, port, _ in connections:
        wait_listening(port)
    return p


def start_relay(rig, target_port, delay_ms):
    _, where = rig.start([sys.executable, os.path.join(HERE, "delay_relay.py"),
                          "--target", f"127.0.0.1:{target_port}",
                          "--delay-ms", str(delay_ms)], "RELAY ")
    return int(where.rpartition(":")[2])


def relay_check(rig, delays):
    _, device = rig.qx2sim("qxc")
    raw = free_port()
    start_ser2net(rig, [("check", False, raw, device)])
    print("| Delay each way | Echo round trip (median of 20) |")
    print("|---|---|")
    for delay in delays:
        port = start_relay(rig, raw, delay)
        with socket.create_connection(("127.0.0.1", port)) as s:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            s.settimeout(5)
            s.sendall(b"\r")
            seen = b""
            while not seen.rstrip().endswith(b">"):
                seen += s.recv(4096)
            trips = []
            for _ in range(20):
                t = time.monotonic()
                s.sendall(b"x")
                if s.recv(1) != b"x":
                    sys.exit("the echo was not the byte typed")
                trips.append((time.monotonic() - t) * 1000)
            s.sendall(b"\b" * 20)
        print(f"| {delay} ms | {statistics.median(trips):.2f} ms |")


def timed_load(rig, image_path, port, crc_line):
    status, out, err, seconds = rig.run([rig.program("brennock"), "--load", image_path,
                                         "--port", port])
    if status != 0 or crc_line not in out:
        sys.exit(f"the load through {port} failed ({status}):\n{err}")
    return seconds


def timed_get(rig, port, name, want):
    into = rig.path(f"got-{port.rpartition(':')[2]}")
    os.makedirs(into, exist_ok=True)
    status, _, err, seconds = rig.run([rig.program("harbrooklink"), "--port", port, "get",
                                       "--to", into, name])
    with open(os.path.join(into, name), "rb") as f:
        if status != 0 or f.read() != want:
            sys.exit(f"the download through {port} failed ({status}):\n{err}")
    return seconds


def full_run(rig, args, delays):
    help_text = subprocess.run([rig.program("brennock"), "--help"], capture_output=True,
                               text=True, env=rig.env).stdout
    if "rfc2217" not in help_text:
        print("This build's brennock takes no rfc2217:// ports yet: the remote figures are "
              "still to be measured. --relay-check runs the relay on its own.")
        sys.exit(77)
    image_path = rig.path("REMOTE.RUN")
    image = qx2rig.write_run_image(image_path, args.size)
    crc_line = "###BK Load: CRC %06X %06X = %08X" % (
        0x100000, 0x100000 + len(image) - 1, qx2rig.monitor_crc(image))
    card = rig.path("card")
    os.makedirs(card)
    linked = os.urandom(args.link_size)
    with open(os.path.join(card, "BENCH.BIN"), "wb") as f:
        f.write(linked)

    direct_link, _ = rig.qx2sim("qxd", "--line-rate", args.line_rate)
    _, load_dev = rig.qx2sim("qxr", "--line-rate", args.line_rate)
    _, link_dev = rig.qx2sim("qxl", "--line-rate", args.line_rate, "--skiffer", "--card", card)
    load_port, link_port = free_port(), free_port()
    start_ser2net(rig, [("load", True, load_port, load_dev),
                        ("link", True, link_port, link_dev)])

    direct = timed_load(rig, image_path, direct_link, crc_line)
    remote = timed_load(rig, image_path, f"rfc2217://127.0.0.1:{load_port}", crc_line)
    print(f"| Load of {args.size} bytes | Seconds | Share of the direct speed |")
    print("|---|---|---|")
    print(f"| direct pty | {direct:.1f} | 100 % |")
    print(f"| ser2net, rfc2217:// | {remote:.1f} | {100 * direct / remote:.1f} % |")
    print()
    print(f"| Delay each way | Load of {args.size} bytes | "
          f"harbrooklink get of {args.link_size} bytes |")
    print("|---|---|---|")
    for delay in delays:
        lp = start_relay(rig, load_port, delay)
        kp = start_relay(rig, link_port, delay)
        load = timed_load(rig, image_path, f"rfc2217://127.0.0.1:{lp}", crc_line)
        get = timed_get(rig, f"rfc2217://127.0.0.1:{kp}", "BENCH.BIN", linked)
        print(f"| {delay} ms | {load:.1f} s | {get:.1f} s |")
    sys.exit(0 if direct / remote >= 0.97 else 1)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default="build")
    ap.add_argument("--size", type=int, default=1048576)
    ap.add_argument("--link-size", type=int, default=262144)
    ap.add_argument("--delays", default="0,1,10")
    ap.add_argument("--line-rate", default="115200")
    ap.add_argument("--relay-check", action="store_true")
    ap.add_argument("--keep", action="store_true", help="keep the scratch folder")
    args = ap.parse_args()
    delays = [float(d) if "." in d else int(d) for d in args.delays.split(",")]
    rig = qx2rig.Rig(args.build, args.keep)
    try:
        if args.relay_check:
            relay_check(rig, delays)
        else:
            full_run(rig, args, delays)
    finally:
        rig.close()


if __name__ == "__main__":
    main()
