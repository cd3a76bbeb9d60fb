#!/usr/bin/env python3
"""Checks bench/link_proxy.py as bench/scale.sh uses it: a process with a port file and a stats
file. Prints each figure and exits 1 if any is out of bounds.

    bench/link_proxy_check.py [--mb 50] [--delay-ms 10] [--messages 100]

- throughput: --mb MB sent through at delay 0, timed until the far end has all of it;
- ping-pong: --messages messages, each echoed before the next goes, at --delay-ms one way:
  at least messages x 2 x delay, the median round trip within 2 ms above 2 x delay, and the
  proxy counts exactly --messages round trips;
- pipelining: the same messages sent 1 ms apart without waiting: the median echo comes back
  within 2 ms above 2 x delay after it left, and the last one long before messages x 2 x delay
  (the time if each waited behind the one before);
- SIGHUP starts counting afresh.
"""

import argparse
import asyncio
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def read_stats(path):
    stats = {"each": []}
    with open(path, encoding="ascii") as f:
        for line in f:
            words = line.split()
            if words[0] in ("generation", "open", "connections"):
                stats[words[0]] = int(words[1])
            elif words[0] == "total":
                stats["total"] = {words[i]: int(words[i + 1]) for i in range(1, len(words), 2)}
            elif words[0] == "connection":
                stats["each"].append(
                    {"id": int(words[1]), "state": words[2],
                     **{words[i]: float(words[i + 1]) for i in range(3, len(words), 2)}})
    return stats


async def settled(path, generation):
    """The stats once no connection is open in that generation (the proxy saw every close)."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        stats = read_stats(path)
        if stats["generation"] == generation and stats["open"] == 0:
            return stats
        await asyncio.sleep(0.01)
    raise RuntimeError("the proxy never settled")


class Proxy:
    def __init__(self, target_port, delay_ms, folder):
        self.stats = os.path.join(folder, f"stats-{delay_ms}")
        port_file = os.path.join(folder, f"port-{delay_ms}")
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "link_proxy.py"), "--target", f"127.0.0.1:{target_port}",
             "--delay-ms", str(delay_ms), "--port-file", port_file, "--stats", self.stats],
            stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(port_file):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RuntimeError("the proxy did not start")
            time.sleep(0.01)
        with open(port_file, encoding="ascii") as f:
            self.port = int(f.read())
        self.generation = 0

    async def reset(self):
        self.generation += 1
        self.process.send_signal(signal.SIGHUP)
        deadline = time.monotonic() + 10
        while read_stats(self.stats)["generation"] != self.generation:
            if time.monotonic() > deadline:
                raise RuntimeError("the proxy did not reset")
            await asyncio.sleep(0.01)

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


async def echo(reader, writer):
    while data := await reader.read(65536):
        writer.write(data)
        await writer.drain()
    writer.close()


async def sink(reader, writer):
    """Reads to the end, then answers with the byte count."""
    total = 0
    while data := await reader.read(1 << 20):
        total += len(data)
    writer.write(f"{total}\n".encode())
    await writer.drain()
    writer.close()


async def throughput(port, megabytes):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    block = os.urandom(1 << 20)
    start = time.monotonic()
    for _ in range(megabytes):
        writer.write(block)
        await writer.drain()
    writer.write_eof()
    answer = await reader.readline()
    seconds = time.monotonic() - start
    writer.close()
    return int(answer), seconds


async def ping_pong(port, messages, size=100):
    """Returns the whole time and each round trip's."""
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    message = b"x" * size
    trips = []
    start = time.monotonic()
    for _ in range(messages):
        sent = time.monotonic()
        writer.write(message)
        await writer.drain()
        await reader.readexactly(size)
        trips.append(time.monotonic() - sent)
    seconds = time.monotonic() - start
    writer.close()
    await writer.wait_closed()
    return seconds, trips


async def pipelined(port, messages, size=100):
    """Sends a message every millisecond without waiting; returns each echo's time in flight."""
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    sent = []

    async def send():
        for i in range(messages):
            sent.append(time.monotonic())
            writer.write(bytes([i % 256]) * size)
            await writer.drain()
            await asyncio.sleep(0.001)

    sender = asyncio.create_task(send())
    flights = []
    for i in range(messages):
        await reader.readexactly(size)
        flights.append(time.monotonic() - sent[i])
    await sender
    total = time.monotonic() - sent[0]
    writer.close()
    await writer.wait_closed()
    return flights, total


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=int, default=50)
    parser.add_argument("--delay-ms", type=float, default=10)
    parser.add_argument("--messages", type=int, default=100)
    args = parser.parse_args()
    delay = args.delay_ms / 1000

    sink_server = await asyncio.start_server(sink, "127.0.0.1", 0)
    echo_server = await asyncio.start_server(echo, "127.0.0.1", 0)
    with tempfile.TemporaryDirectory() as folder:
        fast = Proxy(sink_server.sockets[0].getsockname()[1], 0, folder)
        slow = Proxy(echo_server.sockets[0].getsockname()[1], args.delay_ms, folder)
        try:
            received, seconds = await throughput(fast.port, args.mb)
            stats = await settled(fast.stats, 0)
            print(f"throughput at 0 ms: {args.mb} MB in {seconds:.3f} s ({args.mb / seconds:.0f} MB/s)")
            check(received == args.mb << 20 and stats["total"]["bytes_up"] == args.mb << 20,
                  f"all {args.mb} MB arrived and were counted ({received}, {stats['total']['bytes_up']} bytes)")
            check(seconds < 2.0, f"{args.mb} MB took under 2 s ({seconds:.3f} s)")
            check(stats["total"]["round_trips"] == 1, f"one round trip (the count's answer): {stats['total']['round_trips']}")

            seconds, trips = await ping_pong(slow.port, args.messages)
            stats = await settled(slow.stats, 0)
            least = args.messages * 2 * delay
            median = statistics.median(trips)
            print(f"ping-pong at {args.delay_ms:g} ms one way: {args.messages} messages in {seconds:.3f} s "
                  f"(least possible {least:.3f} s), a round trip {min(trips) * 1000:.2f} ms to {max(trips) * 1000:.2f} ms, "
                  f"median {median * 1000:.2f} ms; {stats['total']['round_trips']} round trips counted")
            check(least <= seconds, f"ping-pong took {seconds:.3f} s, no less than {least:.3f} s")
            check(2 * delay <= median < 2 * delay + 0.002,
                  f"median round trip {median * 1000:.2f} ms, within 2 ms above {2 * args.delay_ms:g} ms")
            check(stats["total"]["round_trips"] == args.messages,
                  f"round trips counted: {stats['total']['round_trips']}, sent {args.messages}")
            check(stats["total"]["bytes_up"] == stats["total"]["bytes_down"] == args.messages * 100,
                  f"bytes each way: {stats['total']['bytes_up']} / {stats['total']['bytes_down']}")

            await slow.reset()
            stats = read_stats(slow.stats)
            check(stats["each"] == [] and stats["total"]["round_trips"] == 0,
                  f"SIGHUP reset the counters (generation {stats['generation']})")

            flights, total = await pipelined(slow.port, args.messages)
            stats = await settled(slow.stats, slow.generation)
            median = statistics.median(flights)
            print(f"pipelined at {args.delay_ms:g} ms one way: {args.messages} messages 1 ms apart, all back in "
                  f"{total:.3f} s; each in flight {min(flights) * 1000:.1f} to {max(flights) * 1000:.1f} ms, "
                  f"median {median * 1000:.2f} ms; {stats['total']['round_trips']} turns counted")
            check(2 * delay <= min(flights) and median < 2 * delay + 0.002,
                  f"no echo back sooner than {2 * args.delay_ms:g} ms, the median within 2 ms above it")
            check(total < max(args.messages * 2 * delay / 4, args.messages * 0.001 + 2 * delay + 0.1),
                  f"all back in {total:.3f} s: the messages did not wait behind each other")
        finally:
            fast.stop()
            slow.stop()
    if failures:
        print(f"{len(failures)} check(s) failed", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    asyncio.run(main())
