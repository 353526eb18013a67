#!/usr/bin/env python3
"""One load against eight at once: `brennock --load` into one qx2sim, then
`brennock --load ... --port` x8 into eight more, every instrument paced to the same line
rate (bench use only; figures in docs/lab-load-benchmarks.md).

    bench/loader/many_loads.py [--build build] [--size 1048576] [--ports 8]
                               [--line-rate 115200] [--limit 1.2]

Both runs load the same .RUN of random bytes, one after the other in this one run. The
times are wall-clock times of the whole command (open, wake-up, LOAD, data phase, 'G').
It checks that every port's table line says ok with the CRC of the image, and prints the
ratio of the eight-port time to the one-port time against the limit; exit status 0 when
the ratio is within it.
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import qx2rig  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default="build")
    ap.add_argument("--size", type=int, default=1048576)
    ap.add_argument("--ports", type=int, default=8)
    ap.add_argument("--line-rate", default="115200")
    ap.add_argument("--limit", type=float, default=1.2)
    ap.add_argument("--keep", action="store_true", help="keep the scratch folder")
    args = ap.parse_args()

    rig = qx2rig.Rig(args.build, args.keep)
    try:
        image_path = rig.path("RACK.RUN")
        image = qx2rig.write_run_image(image_path, args.size)
        address = 0x100000
        crc_line = "###BK Load: CRC %06X %06X = %08X" % (
            address, address + len(image) - 1, qx2rig.monitor_crc(image))
        links = [rig.qx2sim(f"qx{i}", "--line-rate", args.line_rate)[0]
                 for i in range(args.ports + 1)]
        brennock = rig.program("brennock")

        status, out, err, one = rig.run([brennock, "--load", image_path, "--port", links[0]])
        if status != 0 or crc_line not in out:
            sys.exit(f"the single load failed ({status}):\n{err}")
        many_cmd = [brennock, "--load", image_path]
        for link in links[1:]:
            many_cmd += ["--port", link]
        status, out, err, many = rig.run(many_cmd)
        rows = [line for line in out.splitlines()[1:] if line.strip()]
        good = [r for r in rows if " ok " in r and crc_line in r]
        if status != 0 or len(good) != args.ports:
            sys.exit(f"the {args.ports}-port load failed ({status}):\n{out}\n{err}")

        ratio = many / one
        print(f"image: {args.size} bytes, line rate {args.line_rate}, CRC line checked")
        print(f"one load:            {one:7.1f} s")
        print(f"{args.ports} loads at once:     {many:7.1f} s")
        print(f"ratio:               {ratio:7.3f} (limit {args.limit})")
        print(out, end="")
        sys.exit(0 if ratio <= args.limit else 1)
    finally:
        rig.close()


if __name__ == "__main__":
    main()
