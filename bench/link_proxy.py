#!/usr/bin/env python3
"""A network link on loopback: a TCP proxy that holds every chunk for a fixed time each way.

    bench/link_proxy.py --target HOST:PORT [--delay-ms N] [--listen-port P]
                        [--port-file FILE] [--stats FILE]

Listens on 127.0.0.1 (port 0: the system picks one; it is printed and written to --port-file)
and forwards each connection to the target. A chunk read from either side is written to the
other side at its arrival time plus the delay; one queue per direction, so chunks sent back to
back stay back to back and none waits behind another's timer.

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
import os
import signal
import socket
import sys
import time

CHUNK = 256 * 1024
# Chunks held per direction before reading stops: bounds memory when a side reads slowly; at
# 256 KiB each this passes far more than any loopback job needs per delay period.
QUEUE_CHUNKS = 256


class Connection:
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


class Proxy:
    def __init__(self, target_host, target_port, delay, stats_path):
        self.target = (target_host, target_port)
        self.delay = delay
        self.stats_path = stats_path
        self.generation = 0
        self.next_number = 1
        self.connections = []  # since the last reset, open and closed

    def write_stats(self):
        if not self.stats_path:
            return
        open_count = sum(1 for c in self.connections if c.closed is None)
        lines = [
            f"generation {self.generation}",
            f"open {open_count}",
            f"connections {len(self.connections)}",
            "total round_trips {} bytes_up {} bytes_down {}".format(
                sum(c.round_trips for c in self.connections),
                sum(c.bytes_up for c in self.connections),
                sum(c.bytes_down for c in self.connections)),
        ]
        now = time.monotonic()
        for c in self.connections:
            lines.append("connection {} {} round_trips {} bytes_up {} bytes_down {} seconds {:.3f}".format(
                c.number, "open" if c.closed is None else "closed", c.round_trips, c.bytes_up,
                c.bytes_down, (c.closed or now) - c.opened))
        # Through a rename, so a reader never sees half a file.
        temporary = self.stats_path + ".tmp"
        with open(temporary, "w", encoding="ascii") as f:
            f.write("\n".join(lines) + "\n")
        os.replace(temporary, self.stats_path)

    def reset(self):
        self.connections = [c for c in self.connections if c.closed is None]
        for c in self.connections:
            c.reset()
        self.generation += 1
        self.write_stats()

    async def pump_in(self, reader, queue, conn, up):
        """Reads one side, stamping each chunk with its arrival time; None marks the end."""
        try:
            while True:
                data = await reader.read(CHUNK)
                if not data:
                    break
                conn.seen(up, len(data))
                await queue.put((time.monotonic(), data))
        except (ConnectionError, OSError):
            pass
        finally:
            await queue.put((time.monotonic(), None))

    async def pump_out(self, writer, queue, both):
        """Writes each chunk to the other side once its time has come; passes the end on."""
        try:
            while True:
                arrived, data = await queue.get()
                wait = arrived + self.delay - time.monotonic()
                if wait > 0:
                    await asyncio.sleep(wait)
                if data is None:
                    if writer.can_write_eof():
                        writer.write_eof()
                    return
                writer.write(data)
                await writer.drain()
        except (ConnectionError, OSError):
            # A side is gone: drop the connection whole, and take what is still queued so that
            # the reader filling this queue is never stuck on a full one.
            for w in both:
                w.transport.abort()
            while (await queue.get())[1] is not None:
                pass

    async def handle(self, client_reader, client_writer):
        conn = Connection(self.next_number)
        self.next_number += 1
        self.connections.append(conn)
        self.write_stats()
        server_writer = None
        try:
            server_reader, server_writer = await asyncio.open_connection(*self.target)
            for w in (client_writer, server_writer):
                w.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            both = (client_writer, server_writer)
            up = asyncio.Queue(QUEUE_CHUNKS)
            down = asyncio.Queue(QUEUE_CHUNKS)
            tasks = [
                asyncio.create_task(self.pump_in(client_reader, up, conn, True)),
                asyncio.create_task(self.pump_out(server_writer, up, both)),
                asyncio.create_task(self.pump_in(server_reader, down, conn, False)),
                asyncio.create_task(self.pump_out(client_writer, down, both)),
            ]
            await asyncio.gather(*tasks)
        except (ConnectionError, OSError) as e:
            print(f"link_proxy: connection {conn.number}: {e}", file=sys.stderr)
        finally:
            for w in (client_writer, server_writer):
                if w is not None:
                    w.close()
            conn.closed = time.monotonic()
            self.write_stats()


async def main():
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

    proxy = Proxy(host, int(port), args.delay_ms / 1000.0, args.stats)
    server = await asyncio.start_server(proxy.handle, "127.0.0.1", args.listen_port)
    listening = server.sockets[0].getsockname()[1]

    loop = asyncio.get_running_loop()
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


if __name__ == "__main__":
    asyncio.run(main())
