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

    PYTHONPATH=src python3 bench/bench_many.py [--searches 60] [--matches 10] [--delay 0.05]
        [--modes memory,process,transport,workers,dask]
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


def run_mode(args: list[str], source: Path, out: Path) -> tuple[float, float, int, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE.parent / "src"), env.get("PYTHONPATH")]))
    cmd = [sys.executable, "-m", "quillmere", "enrich-many", str(source), "--out", str(out),
           "--allow-internal", "--quiet", *args]
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
            return len([x async for x in enrich_many_async(read_searches(f), fetcher=fetcher, allow_internal=True)])

    start = time.perf_counter()
    asyncio.run(run())
    return time.perf_counter() - start, fetcher.requests


def main() -> None:
    global FAST, SLOW
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--searches", type=int, default=60)
    ap.add_argument("--matches", type=int, default=10)
    ap.add_argument("--modes", default="memory,process,transport,workers,dask")
    ap.add_argument("--delay", type=float, default=FAST)
    args = ap.parse_args()
    FAST, SLOW = args.delay, 10 * args.delay
    modes = [m.strip() for m in args.modes.split(",") if m.strip()]
    pages = [build(i) for i in range(PAGES)]
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


if __name__ == "__main__":
    main()
