"""Connections opened for the pages of one host: a fresh connection per page
(Scrapling's AsyncFetcher called per page, the engine's path before the held
session) against the held session's pooled connections, side by side in one
run.

A loopback server keeps connections alive and charges `--connect-ms` (default
100 ms) before the first answer on every new connection, a stand-in for the
TCP and TLS set-up a distant shop costs. The server runs in a child process,
so it does not share the fetching process's GIL. For each path: the
connections the server accepted and the seconds for `--pages` pages (default
40) through ``CommerceEnricher.process`` (one search), then for two
concurrent searches of the same pages on one held `PageClient`.

    PYTHONPATH=src python3 bench/bench_connections.py [--pages 40] [--connect-ms 100] [--rounds 3]

Everything listens on 127.0.0.1; the destination check is off for the run.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from quillmere import commerce  # noqa: E402
from quillmere.commerce import CommerceEnricher, PageClient, VisualMatch  # noqa: E402
from quillmere.fetch import _session  # noqa: E402

SERVER = """
import json, sys, threading, time
sys.path.insert(0, sys.argv[1])
from loopback_server import LoopbackServer
page = (b"<html><head><title>Trail Runner</title></head><body>" + b"<p>mesh upper</p>" * 3000 + b"</body></html>")
srv = LoopbackServer({"/count": (200, b"", 0.0)}, fallback=(200, page, 0.0), keep_alive=True,
                     connect_delay=float(sys.argv[2])).start()
print(srv.port, flush=True)
for line in sys.stdin:   # "count" -> connections so far
    print(json.dumps({"connections": srv.connections, "requests": sum(srv.hits.values())}), flush=True)
"""


class Server:
    def __init__(self, connect: float) -> None:
        self.proc = subprocess.Popen([sys.executable, "-c", SERVER, os.path.join(HERE, "..", "tests"), str(connect)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.port = int(self.proc.stdout.readline())

    def counts(self) -> dict:
        self.proc.stdin.write("count\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def close(self) -> None:
        self.proc.stdin.close()
        self.proc.wait(10)


def matches(port: int, n: int, tag: str) -> list[VisualMatch]:
    return [VisualMatch(link=f"http://127.0.0.1:{port}/p/{tag}/{i}", title=f"Runner {i}") for i in range(n)]


def measure(srv: Server, pages: int, held: bool) -> tuple[int, float, int, float]:
    real = _session.held
    if not held:  # the fetch as it was: one Scrapling AsyncFetcher call per page
        _session.held = lambda fetcher: False
    try:
        before = srv.counts()["connections"]
        start = time.perf_counter()
        CommerceEnricher.process(matches(srv.port, pages, "one"))
        one = time.perf_counter() - start
        one_conns = srv.counts()["connections"] - before

        async def two() -> None:
            async with PageClient() as client:
                await asyncio.gather(*(CommerceEnricher.process_async(matches(srv.port, pages, tag), client=client)
                                       for tag in ("a", "b")))

        before = srv.counts()["connections"]
        start = time.perf_counter()
        asyncio.run(two())
        return one_conns, one, srv.counts()["connections"] - before, time.perf_counter() - start
    finally:
        _session.held = real


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--pages", type=int, default=40)
    ap.add_argument("--connect-ms", type=float, default=100.0)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    commerce.REFUSE_INTERNAL_DESTINATIONS = False
    srv = Server(args.connect_ms / 1000)
    try:
        print(f"{args.pages} pages of one host, {args.connect_ms:.0f} ms per new connection, fetch bound "
              f"{commerce.ScraplingDestinationFetcher._default_bound()} ({os.cpu_count()} processors); "
              f"median of {args.rounds} rounds")
        print(f"{'path':<34} {'conns':>6} {'s':>7}   {'2 searches on one client: conns':>32} {'s':>7}")
        rows = {}
        for label, held in (("a connection per page (before)", False), ("held session (pooled)", True)):
            runs = [measure(srv, args.pages, held) for _ in range(args.rounds)]
            conns, secs = runs[-1][0], statistics.median(r[1] for r in runs)
            conns2, secs2 = runs[-1][2], statistics.median(r[3] for r in runs)
            rows[held] = secs
            print(f"{label:<34} {conns:6d} {secs:7.2f}   {conns2:32d} {secs2:7.2f}")
        print(f"pooled / per page: {rows[True] / rows[False]:.2f} of the time")
    finally:
        srv.close()


if __name__ == "__main__":
    main()
