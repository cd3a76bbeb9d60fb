#!/usr/bin/env python3
"""A network link on loopback: a TCP proxy that holds every chunk for a fixed time each way.

    bench/link_proxy.py --target HOST:PORT [--delay-ms N] [--listen-port P]
                        [--port-file FILE] [--stats FILE]

Listens on 127.0.0.1 (port 0: the system picks one; it is printed and written to --port-file)
and forwards each connection to the target. A chunk read from either side is written to the
other side at its arrival time plus the delay; one queue per direction, so chunks sent back to
back stay back to back and none waits behind another's timer. An end of data (FIN) is passed on
the same way.

It counts round trips: on each connection, client-to-server data followed by server-to-client
data is one round trip (the client had to hear back before it could go on, or did not wait and
the traffic still turned). Counters go to --stats, rewritten whole when a connection opens or
closes, on SIGUSR1 and at exit (SIGTERM, SIGINT). SIGHUP starts counting afresh: closed
connections are forgotten, open ones start from zero, and `generation` goes up by one, so a
script that sent it can see it was done. The stats file, one record a line:

    generation G
    open N
    connections N
    total round_trips R bytes_up U bytes_down D
    connection ID open|closed round_trips R bytes_up U bytes_down D seconds S
"""

import argparse
import asyncio
import collections
import os
import selectors
import signal
import socket
import sys
import time

# Reading from a side stops while more than this waits for the delay or for the other side to
# take it, and starts again below half of it: memory stays bounded when one side reads slowly.
QUEUE_LIMIT = 64 << 20


class Counters:
    def __init__(self, number):
        self.number = number
        self.opened = time.monotonic()
        self.closed = None
        self.round_trips = 0
        self.bytes_up = 0
        self.bytes_down = 0
        self.last_up = False  # the last data seen went client to server

    def seen(self, up, size):
        if up:
            self.bytes_up += size
        else:
            self.bytes_down += size
            if self.last_up:
                self.round_trips += 1
        self.last_up = up

    def reset(self):
        self.opened = time.monotonic()
        self.round_trips = self.bytes_up = self.bytes_down = 0
        self.last_up = False


class Direction:
    """What one side sent, on its way to the other: (release time, bytes or None for the end)."""

    def __init__(self, link, delay):
        self.link = link
        self.delay = delay
        self.chunks = collections.deque()
        self.queued = 0
        self.timer = None
        self.source = None  # the transport read from, paused while too much waits
        self.target = None  # the transport written to, once connected
        self.target_full = False
        self.over_limit = False
        self.ended = False  # the end of data was passed on

    def push(self, data):
        self.chunks.append((time.monotonic() + self.delay, data))
        if data:
            self.queued += len(data)
            if self.queued > QUEUE_LIMIT and not self.over_limit:
                self.over_limit = True
                self.flow()
        if self.timer is None:
            self.release()

    def release(self):
        self.timer = None
        if self.target is None:
            return  # connected() releases what waited
        loop = asyncio.get_running_loop()
        now = time.monotonic()
        while self.chunks:
            due, data = self.chunks[0]
            if due > now:
                # Wait for the oldest one only: later ones are due later still.
                self.timer = loop.call_later(due - now, self.release)
                return
            self.chunks.popleft()
            if data is None:
                self.ended = True
                if not self.target.is_closing() and self.target.can_write_eof():
                    self.target.write_eof()
                self.link.maybe_done()
                return
            self.queued -= len(data)
            if not self.target.is_closing():
                self.target.write(data)
        if self.over_limit and self.queued < QUEUE_LIMIT // 2:
            self.over_limit = False
            self.flow()

    def flow(self):
        if self.source is None or self.source.is_closing():
            return
        if self.over_limit or self.target_full:
            self.source.pause_reading()
        else:
            self.source.resume_reading()

    def cancel(self):
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        self.chunks.clear()


class Side(asyncio.Protocol):
    """One end of a proxied connection: what it reads goes out by `outgoing`."""

    def __init__(self, link, up):
        self.link = link
        self.up = up  # this is the client's side: what it reads goes up to the server
        self.outgoing = link.up if up else link.down
        self.incoming = link.down if up else link.up

    def connection_made(self, transport):
        transport.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.outgoing.source = transport
        self.incoming.target = transport
        if self.up:
            self.link.client = transport
            self.link.accepted()
        else:
            self.link.server = transport

    def data_received(self, data):
        self.link.counters.seen(self.up, len(data))
        self.outgoing.push(data)

    def eof_received(self):
        self.outgoing.push(None)
        return True  # keep the other half open: the end is passed on after the delay

    def pause_writing(self):
        self.incoming.target_full = True
        self.incoming.flow()

    def resume_writing(self):
        self.incoming.target_full = False
        self.incoming.flow()

    def connection_lost(self, exc):
        if exc is not None:
            self.link.abort()
        elif not self.outgoing.ended and (not self.outgoing.chunks or self.outgoing.chunks[-1][1] is not None):
            self.outgoing.push(None)


class Link:
    """A client's connection and the proxy's own to the target."""

    def __init__(self, proxy, number):
        self.proxy = proxy
        self.counters = Counters(number)
        self.up = Direction(self, proxy.delay)
        self.down = Direction(self, proxy.delay)
        self.client = None
        self.server = None
        self.done = False

    def accepted(self):
        # Nothing is read from the client until the target has answered the connection.
        self.client.pause_reading()
        asyncio.get_running_loop().create_task(self.connect())

    async def connect(self):
        loop = asyncio.get_running_loop()
        try:
            await loop.create_connection(lambda: Side(self, False), *self.proxy.target)
        except OSError as e:
            print(f"link_proxy: connection {self.counters.number}: {e}", file=sys.stderr)
            self.abort()
            return
        if self.done:
            self.server.abort()
            return
        self.up.release()
        self.up.flow()

    def maybe_done(self):
        if self.up.ended and self.down.ended:
            self.finish(close=True)

    def abort(self):
        self.finish(close=False)

    def finish(self, close):
        if self.done:
            return
        self.done = True
        for d in (self.up, self.down):
            d.cancel()
        for t in (self.client, self.server):
            if t is not None:
                t.close() if close else t.abort()
        self.counters.closed = time.monotonic()
        self.proxy.write_stats()


class Proxy:
    def __init__(self, target_host, target_port, delay, stats_path):
        self.target = (target_host, target_port)
        self.delay = delay
        self.stats_path = stats_path
        self.generation = 0
        self.next_number = 1
        self.links = []  # since the last reset, open and closed

    def new_client(self):
        link = Link(self, self.next_number)
        self.next_number += 1
        self.links.append(link)
        self.write_stats()
        return Side(link, True)

    def write_stats(self):
        if not self.stats_path:
            return
        counters = [link.counters for link in self.links]
        lines = [
            f"generation {self.generation}",
            f"open {sum(1 for c in counters if c.closed is None)}",
            f"connections {len(counters)}",
            "total round_trips {} bytes_up {} bytes_down {}".format(
                sum(c.round_trips for c in counters), sum(c.bytes_up for c in counters),
                sum(c.bytes_down for c in counters)),
        ]
        now = time.monotonic()
        for c in counters:
            lines.append("connection {} {} round_trips {} bytes_up {} bytes_down {} seconds {:.3f}".format(
                c.number, "open" if c.closed is None else "closed", c.round_trips, c.bytes_up,
                c.bytes_down, (c.closed or now) - c.opened))
        # Through a rename, so a reader never sees half a file.
        temporary = self.stats_path + ".tmp"
        with open(temporary, "w", encoding="ascii") as f:
            f.write("\n".join(lines) + "\n")
        os.replace(temporary, self.stats_path)

    def reset(self):
        self.links = [link for link in self.links if link.counters.closed is None]
        for link in self.links:
            link.counters.reset()
        self.generation += 1
        self.write_stats()


async def serve(args, host, port):
    proxy = Proxy(host, port, args.delay_ms / 1000.0, args.stats)
    loop = asyncio.get_running_loop()
    server = await loop.create_server(proxy.new_client, "127.0.0.1", args.listen_port)
    listening = server.sockets[0].getsockname()[1]

    stop = loop.create_future()
    loop.add_signal_handler(signal.SIGHUP, proxy.reset)
    loop.add_signal_handler(signal.SIGUSR1, proxy.write_stats)
    for s in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(s, lambda: stop.done() or stop.set_result(None))

    proxy.write_stats()
    if args.port_file:
        with open(args.port_file + ".tmp", "w", encoding="ascii") as f:
            f.write(f"{listening}\n")
        os.replace(args.port_file + ".tmp", args.port_file)
    print(f"link_proxy: 127.0.0.1:{listening} -> {args.target}, {args.delay_ms:g} ms each way", flush=True)

    await stop
    server.close()
    proxy.write_stats()


def main():
    parser = argparse.ArgumentParser(description="A TCP proxy on 127.0.0.1 that delays every chunk each way.")
    parser.add_argument("--target", required=True, help="HOST:PORT to forward to")
    parser.add_argument("--delay-ms", type=float, default=0.0, help="delay one way, in milliseconds")
    parser.add_argument("--listen-port", type=int, default=0, help="port on 127.0.0.1 (0: any free one)")
    parser.add_argument("--port-file", help="file to write the listening port to")
    parser.add_argument("--stats", help="file to write the counters to")
    args = parser.parse_args()
    host, _, port = args.target.rpartition(":")
    if not host or not port.isdigit() or args.delay_ms < 0:
        parser.error("--target takes HOST:PORT and --delay-ms a number, 0 or more")
    # select() takes its timeout in microseconds; epoll and poll round it up to the next
    # millisecond, which would add up to 1 ms to every delayed chunk. A benchmark's handful of
    # connections is well within select()'s limit of descriptors.
    loop = asyncio.SelectorEventLoop(selectors.SelectSelector())
    try:
        loop.run_until_complete(serve(args, host, int(port)))
    finally:
        loop.close()


if __name__ == "__main__":
    main()
