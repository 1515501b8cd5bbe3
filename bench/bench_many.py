"""``quillmere enrich-many`` over many searches against a loopback server.

Real-sized generated pages (20 KB to 2 MB, see gen_pages.py) answer after
50 ms; one page in twenty answers after 0.5 s, and one in twelve fails (an
empty 500 answer, which the engine treats as no page). Every search asks for
its own links (a query string per search), so every page is requested. The
same input runs in one process, in two worker processes and on a two-worker
Dask LocalCluster (127.0.0.1, no dashboard), each run a fresh command. For
each it prints searches/s, matches/s, pages/s, the peak memory of the whole
process tree, the time until the first result line (start-up: processes,
imports, a cluster), and the ideal time the fetch bound allows: the summed answer
delays divided by the requests in flight (the bound per process times the
processes), beside the measured time. A first run in this process serves the
same pages, with the same delays, from memory instead of over HTTP: the
runner's and the engine's own cost against the same ideal. The "transport"
mode is curl_cffi alone (one AsyncSession, the same bound in flight, the
same Chrome impersonation) fetching every link of the same input in a child
process: what the transport gives, against which the one-process run's
pages/s is printed as a ratio. ``--delay 0`` answers at once (one in twenty
pages still after ten times the delay, so 0 as well), which leaves the
engine's own cost per page in view.

Then three figures of fetching at scale, each side by side in one run:
(a) a host that answers 429 to any request beyond 4 in flight: pages lost
with no per-host limit and no retries, with retries alone, and with the
per-host limit of 4 and retries; (b) a cold run with a page cache against a
warm rerun of the same input (pages/s and requests sent), as commands;
(c) requests sent with and without one request per page in flight, on
searches that share their pages (40 pages for all).

    PYTHONPATH=src python3 bench/bench_many.py [--searches 60] [--matches 10] [--delay 0.05]
        [--modes memory,process,transport,workers,dask]
        [--no-policy]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path
from types import SimpleNamespace

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))

from gen_pages import build  # noqa: E402
from loopback_server import LoopbackServer  # noqa: E402

from quillmere.fetch import default_bound  # noqa: E402

PAGES = 40
FAST, SLOW = 0.05, 0.5
MODES = {
    "memory": ("pages from memory, no HTTP", None, 1),
    "process": ("one process", [], 1),
    "transport": ("curl_cffi alone, same links", "transport", 1),
    "workers": ("2 workers", ["--workers", "2"], 2),
    "dask": ("Dask LocalCluster, 2 workers", ["--dask", "local", "--workers", "2"], 2),
}


TRANSPORT = """
import asyncio, json, sys, time
from curl_cffi.requests import AsyncSession
source, bound = sys.argv[1], int(sys.argv[2])
links = [m["link"] for line in open(source, encoding="utf-8") for m in json.loads(line)["matches"]]

async def main():
    sem = asyncio.Semaphore(bound)
    async with AsyncSession(max_clients=bound, impersonate="chrome", discard_cookies=True) as s:
        async def one(url):
            async with sem:
                try:
                    r = await s.get(url, timeout=5, headers={"referer": "https://www.google.com/"})
                    return len(r.content)
                except Exception:
                    return 0
        return await asyncio.gather(*(one(u) for u in dict.fromkeys(links)))

start = time.perf_counter()
got = asyncio.run(main())
print(json.dumps({"wall": time.perf_counter() - start, "pages": len(got)}))
"""


def children_cpu() -> float:
    """CPU seconds of the waited-for child processes so far."""
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run_transport(source: Path) -> float:
    done = subprocess.run([sys.executable, "-c", TRANSPORT, str(source), str(default_bound())],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)["wall"]


def routes(pages: list[tuple[dict, str]]) -> dict[str, tuple[int, bytes, float]]:
    table = {}
    for i, (_, doc) in enumerate(pages):
        if i % 12 == 5:
            table[f"/pg/{i}"] = (500, b"", FAST)
        else:
            table[f"/pg/{i}"] = (200, doc.encode("utf-8"), SLOW if i % 20 == 7 else FAST)
    return table


def write_searches(path: Path, srv: LoopbackServer, pages: list[tuple[dict, str]], searches: int,
                   matches: int) -> None:
    with open(path, "w", encoding="utf-8") as f:
        for k in range(searches):
            items = []
            for j in range(matches):
                i = (7 * k + 3 * j) % PAGES
                entry = pages[i][0]
                items.append({"link": srv.url(f"/pg/{i}?s={k}"), "title": entry["title"],
                              "source": entry["merchant"], "price": f"${20 + j}.00"})
            f.write(json.dumps({"id": f"search-{k}", "matches": items}) + "\n")


def tree_rss(root: int) -> int:
    """Resident bytes of `root` and all its descendants now."""
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat", "rb") as f:
                    ppid = int(f.read().rsplit(b")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                continue
            children.setdefault(ppid, []).append(int(entry))
    total, todo = 0, [root]
    while todo:
        pid = todo.pop()
        todo += children.get(pid, [])
        try:
            with open(f"/proc/{pid}/status") as f:
                total += next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmRSS:"))
        except (OSError, StopIteration):
            pass
    return total


def write_shared_searches(path: Path, srv: LoopbackServer, pages: list[tuple[dict, str]], searches: int,
                          matches: int) -> None:
    """Searches whose links are drawn from the same 40 pages (no query of their own)."""
    with open(path, "w", encoding="utf-8") as f:
        for k in range(searches):
            items = [{"link": srv.url(f"/pg/{(7 * k + 3 * j) % PAGES}"), "title": pages[(7 * k + 3 * j) % PAGES][0]
                      ["title"]} for j in range(matches)]
            f.write(json.dumps({"id": f"search-{k}", "matches": items}) + "\n")


def run_mode(args: list[str], source: Path, out: Path) -> tuple[float, float, int, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE.parent / "src"), env.get("PYTHONPATH")]))
    cmd = [sys.executable, "-m", "quillmere", "enrich-many", str(source), "--out", str(out),
           "--allow-internal", "--quiet", *args]
    if "--per-host" not in args:  # every page is on one host here: only the bound limits the runs
        cmd += ["--per-host", "64"]
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, stderr=subprocess.PIPE, text=True)
    peak, first = 0, 0.0
    while proc.poll() is None:
        peak = max(peak, tree_rss(proc.pid))
        if not first and out.exists() and out.stat().st_size:
            first = time.perf_counter() - start
        time.sleep(0.1)
    wall = time.perf_counter() - start
    return wall, first or wall, peak, proc.stderr.read() if proc.returncode else ""


class MemoryPages:
    """The server's pages and delays without the transport: what the runner
    and the engine cost on their own."""

    def __init__(self, srv: LoopbackServer, table: dict[str, tuple[int, bytes, float]]) -> None:
        self.base, self.table = srv.base, table
        self.requests: list[str] = []

    async def get(self, url: str, timeout: int = 5) -> SimpleNamespace | None:
        self.requests.append(url)
        _, body, delay = self.table[url.removeprefix(self.base).split("?", 1)[0]]
        await asyncio.sleep(delay)
        return SimpleNamespace(body=body)


def run_in_memory(source: Path, srv: LoopbackServer, table: dict) -> tuple[float, list[str]]:
    from quillmere.batch import enrich_many_async, read_searches

    fetcher = MemoryPages(srv, table)

    async def run() -> int:
        with open(source, "rb") as f:
            return len([x async for x in enrich_many_async(read_searches(f), fetcher=fetcher, allow_internal=True,
                                                           per_host=None)])

    start = time.perf_counter()
    asyncio.run(run())
    return time.perf_counter() - start, fetcher.requests


def run_api(source: Path, **keywords: object) -> tuple[float, int]:
    """Wall time and searches done of one in-process run through enrich_many."""
    from quillmere.batch import enrich_many, read_searches

    start = time.perf_counter()
    with open(source, "rb") as f:
        done = sum(1 for _ in enrich_many(read_searches(f), allow_internal=True, **keywords))
    return time.perf_counter() - start, done


def throttling_figures(tmp: str, pages: list[tuple[dict, str]], table: dict, searches: int, matches: int) -> None:
    """(a) pages lost to a host that answers 429 beyond 4 requests in flight."""
    ok = {f"/pg/{i}": (200, doc.encode("utf-8"), FAST) for i, (_, doc) in enumerate(pages)}
    with LoopbackServer(ok, throttle_over=4, throttle_headers={"Retry-After": "1"}) as srv:
        source = Path(tmp) / "throttled.jsonl"
        write_searches(source, srv, pages, searches, matches)
        print(f"\n(a) one host answering 429 beyond 4 requests in flight, {searches * matches} pages "
              f"(fetch bound {default_bound()})")
        print(f"{'fetching':<36} {'wall s':>7} {'requests':>9} {'429s':>6} {'pages lost':>11} {'lost %':>7}")
        for label, keywords in [("no per-host limit, no retries", {"per_host": None, "retries": 0}),
                                ("no per-host limit, 2 retries", {"per_host": None, "retries": 2}),
                                ("per-host 4, 2 retries (default)", {"per_host": 4, "retries": 2})]:
            srv.reset_counts()
            wall, _ = run_api(source, **keywords)
            last = srv.last_status
            lost = sum(1 for status in last.values() if status == 429)
            total = len(last)
            print(f"{label:<36} {wall:7.2f} {sum(srv.hits.values()):9d} {srv.throttled:6d} {lost:11d} "
                  f"{100 * lost / max(total, 1):6.1f}%")


def cache_figures(tmp: str, srv: LoopbackServer, source: Path, searches: int, matches: int) -> None:
    """(b) a cold run with the cache against a warm rerun, as commands."""
    cache = Path(tmp) / "pages.sqlite"
    print(f"\n(b) page cache: a cold run, then a warm rerun of the same input ({searches * matches} pages, "
          f"one process; the failing pages, 5xx answers, are not kept and are requested again)")
    print(f"{'run':<36} {'wall s':>7} {'page/s':>8} {'requests':>9} {'cache MB':>9}")
    for label in ("cold (empty cache)", "warm rerun"):
        srv.reset_counts()
        out = Path(tmp) / f"cache-{label.split()[0]}.jsonl"
        wall, _, _, failure = run_mode(["--cache", str(cache), "--per-host", "64"], source, out)
        if failure:
            print(f"{label:<36} failed: {failure.strip()}")
            return
        print(f"{label:<36} {wall:7.2f} {searches * matches / wall:8.1f} {sum(srv.hits.values()):9d} "
              f"{cache.stat().st_size / 1e6:9.1f}")
    same = sorted((Path(tmp) / "cache-cold.jsonl").read_text().splitlines()) == \
        sorted((Path(tmp) / "cache-warm.jsonl").read_text().splitlines())
    print(f"{'results identical':<36} {same}")


def single_flight_figures(tmp: str, srv: LoopbackServer, pages: list[tuple[dict, str]], searches: int,
                          matches: int) -> None:
    """(c) requests with and without one request per page in flight."""
    from quillmere.batch import read_searches
    from quillmere.batch._run import RunOptions, run_search, stream_outcomes
    from quillmere.fetch import PageClient

    source = Path(tmp) / "shared.jsonl"
    write_shared_searches(source, srv, pages, searches, matches)
    print(f"\n(c) one request per page in flight: {searches} searches x {matches} matches over {PAGES} pages, "
          "no cache")
    print(f"{'fetching':<36} {'wall s':>7} {'requests':>9} {'page/s':>8}")
    for label, flight in [("every search fetches its own", False), ("one request per page in flight", True)]:
        srv.reset_counts()

        async def run() -> None:
            from quillmere import commerce

            commerce.REFUSE_INTERNAL_DESTINATIONS = False
            sem = asyncio.Semaphore(default_bound())
            async with PageClient(per_host=None, single_flight=flight) as client:
                async def one(search):  # type: ignore[no-untyped-def]
                    return await run_search(search, RunOptions(True), sem, client=client)

                with open(source, "rb") as f:
                    async for _ in stream_outcomes(list(read_searches(f)), one, 64):
                        pass

        start = time.perf_counter()
        asyncio.run(run())
        wall = time.perf_counter() - start
        print(f"{label:<36} {wall:7.2f} {sum(srv.hits.values()):9d} {searches * matches / wall:8.1f}")


def main() -> None:
    global FAST, SLOW
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--searches", type=int, default=60)
    ap.add_argument("--matches", type=int, default=10)
    ap.add_argument("--modes", default="memory,process,transport,workers,dask")
    ap.add_argument("--delay", type=float, default=FAST)
    ap.add_argument("--no-policy", action="store_true", help="leave out the figures of fetching at scale")
    args = ap.parse_args()
    FAST, SLOW = args.delay, 10 * args.delay
    modes = [m.strip() for m in args.modes.split(",") if m.strip()]
    pages = [build(i) for i in range(PAGES)]
    docs = pages
    table = routes(pages)
    sizes = [len(body) for _, body, _ in table.values()]
    bound = default_bound()
    print(f"{args.searches} searches x {args.matches} matches; {PAGES} pages of {min(sizes) // 1000} KB to "
          f"{max(sizes) / 1e6:.1f} MB, {FAST * 1000:.0f} ms each, {SLOW} s for one in twenty, one in twelve "
          f"failing; fetch bound {bound} per process ({os.cpu_count()} processors)")
    with tempfile.TemporaryDirectory() as tmp, LoopbackServer(table, keep_alive=True) as srv:
        source = Path(tmp) / "searches.jsonl"
        write_searches(source, srv, pages, args.searches, args.matches)
        print(f"{'mode':<30} {'wall s':>7} {'1st s':>6} {'ideal s':>8} {'x ideal':>8} {'search/s':>9} "
              f"{'match/s':>8} {'page/s':>7} {'MB/s':>6} {'peak MB':>8} {'cpu ms/page':>12}")
        rates: dict[str, float] = {}
        cpu_per_page: dict[str, float] = {}
        for mode in modes:
            cpu_before = children_cpu()
            label, extra, processes = MODES[mode]
            srv.reset_counts()
            out = Path(tmp) / f"{mode}.jsonl"
            if extra == "transport":
                wall = run_transport(source)
                first, peak, lines = 0.0, 0, args.searches
                hits = srv.hits
            elif extra is None:
                wall, requests = run_in_memory(source, srv, table)
                first = 0.0
                hits = Counter(url.removeprefix(srv.base) for url in requests)
                peak, lines = 0, args.searches
            else:
                wall, first, peak, failure = run_mode(extra, source, out)
                if failure:
                    print(f"{label:<30} failed: {failure.strip()}")
                    continue
                hits = srv.hits
                lines = sum(1 for _ in open(out, encoding="utf-8"))
            pages = sum(hits.values())
            delay = sum(table[target.split("?", 1)[0]][2] * n for target, n in hits.items())
            served = sum(len(table[target.split("?", 1)[0]][1]) * n for target, n in hits.items())
            ideal = delay / (bound * processes)
            rates[mode] = pages / wall
            cpu = children_cpu() - cpu_before  # start-up included
            if extra is not None and pages:
                cpu_per_page[mode] = cpu / pages
            assert lines == args.searches, f"{mode}: {lines} lines"
            print(f"{label:<30} {wall:7.2f} {first:6.2f} {ideal:8.2f} {wall / ideal if ideal else float('nan'):8.2f} {args.searches / wall:9.1f} "
                  f"{args.searches * args.matches / wall:8.1f} {pages / wall:7.1f} {served / wall / 1e6:6.1f} "
                  f"{f'{peak / 1e6:.0f}' if peak else '-':>8} "
                  f"{f'{cpu_per_page[mode] * 1000:.2f}' if mode in cpu_per_page else '-':>12}")
        if "process" in rates and "transport" in rates:
            print(f"one process / transport alone: {rates['process'] / rates['transport']:.2f} of the transport's "
                  f"pages/s; CPU per page {cpu_per_page['process'] / cpu_per_page['transport']:.2f} x the "
                  f"transport's (the pipeline also analyses every page)")
        if not args.no_policy:
            cache_figures(tmp, srv, source, args.searches, args.matches)
            single_flight_figures(tmp, srv, docs, args.searches, args.matches)
    if not args.no_policy:
        with tempfile.TemporaryDirectory() as tmp:
            throttling_figures(tmp, docs, table, args.searches, args.matches)


if __name__ == "__main__":
    main()
