#!/usr/bin/env python3
"""A TCP relay that adds a fixed delay each way, to stand for a network between a desk
and a rack (bench use only).

    delay_relay.py --target HOST:PORT --delay-ms N [--listen PORT]

Every connection accepted on 127.0.0.1:PORT (0: any free port) gets its own connection
to HOST:PORT; each chunk read on one side is written to the other N ms after it was
read, in order, with no limit on the rate (a link with latency, not a slow link).
An end of stream is passed on once the data before it has gone. When it listens it
prints one line, "RELAY 127.0.0.1:PORT", and flushes it; it runs until SIGTERM or
SIGINT. Nagle's algorithm is off on both sides, so a single byte is not held back.

Threads rather than an event loop: each direction has a reader and a writer thread, and
the writer sleeps until each chunk is due (time.sleep is good to a few tens of
microseconds on Linux; an event loop's timers overshot by milliseconds on a busy machine).
"""
import argparse
import collections
import signal
import socket
import sys
import threading
import time


def direction(source, sink, delay_s):
    """Moves one direction: chunks are stamped when read and written delay_s later."""
    queue = collections.deque()
    ready = threading.Condition()

    def read_side():
        while True:
            try:
                chunk = source.recv(65536)
            except OSError:
                chunk = b""
            with ready:
                queue.append((time.monotonic() + delay_s, chunk))
                ready.notify()
            if not chunk:
                return

    def write_side():
        while True:
            with ready:
                while not queue:
                    ready.wait()
                due, chunk = queue.popleft()
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            try:
                if not chunk:
                    sink.shutdown(socket.SHUT_WR)
                    return
                sink.sendall(chunk)
            except OSError:
                return

    threads = [threading.Thread(target=read_side, daemon=True),
               threading.Thread(target=write_side, daemon=True)]
    for t in threads:
        t.start()
    return threads


def relay(client, target, delay_s):
    try:
        server = socket.create_connection(target)
    except OSError as e:
        print(f"delay_relay: cannot reach {target[0]}:{target[1]}: {e}", file=sys.stderr)
        client.close()
        return
    for s in (client, server):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    threads = direction(client, server, delay_s) + direction(server, client, delay_s)
    for t in threads:
        t.join()
    client.close()
    server.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--target", required=True, help="HOST:PORT to forward to")
    parser.add_argument("--delay-ms", type=float, default=0.0, help="delay each way")
    parser.add_argument("--listen", type=int, default=0, help="port on 127.0.0.1 (0: any)")
    args = parser.parse_args()
    host, _, port = args.target.rpartition(":")
    target = (host or "127.0.0.1", int(port))
    delay_s = args.delay_ms / 1000.0

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.listen))
    listener.listen(8)
    bound = listener.getsockname()
    print(f"RELAY {bound[0]}:{bound[1]}", flush=True)

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        while True:
            client, _ = listener.accept()
            threading.Thread(target=relay, args=(client, target, delay_s),
                             daemon=True).start()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
