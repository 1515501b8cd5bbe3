"""Page fetching through the real Scrapling fetcher against a loopback server.

Part 1, real-sized pages: generated shop pages of a few hundred KB to a few MB
(like product pages in the wild: navigation, product cards, inline scripts and
JSON-LD), all fetched in one batch three ways in the same run and printed side
by side:

* `fetch_many` (the engine's path: body gathered through the library's
  content_callback, no page tree built);
* the plain way, `AsyncFetcher.get(url, timeout=...)` then `.body`, with the
  same bound on requests in flight;
* the transport alone: curl_cffi with one AsyncSession.

It checks that `fetch_many` returned every page byte for byte.  Then the
longest stall of the event loop while `fetch_many` fetches 64 of the pages and
while `process_async` enriches 300 matches whose pages come from the server
(a ticker task that wakes every millisecond and records how late it is), and
the peak memory growth while a 200 MB page is refused at the cap.  The pages
are served by a child process, so the server does not compete with the
fetching process for its GIL.

Part 2, the bound: 256 distinct links, each answered after 50 ms; the wall
time of one `fetch_many` call next to the ideal ceil(256 / bound) x 50 ms.

    PYTHONPATH=src python3 bench/bench_fetch.py [--pages 300] [--skip-bound]

Every server listens on 127.0.0.1; nothing leaves the machine.  The engine's
destination check is turned off for this run, since it refuses loopback.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import json
import math
import os
import random
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from loopback_server import HANG, LoopbackServer, Repeated  # noqa: E402

from quillmere import commerce  # noqa: E402
from quillmere.commerce import CommerceEnricher, ScraplingDestinationFetcher, VisualMatch  # noqa: E402

LINKS = 256
DELAY = 0.05
MB = 1024 * 1024


# ----------------------------------------------------------------- pages
def shop_page(rank: int, size: int, rng: random.Random) -> bytes:
    """A shop page of about `size` bytes: head with meta tags and JSON-LD,
    navigation, product cards, inline script, footer."""
    name = f"Trail Runner {rank}"
    ld = json.dumps({"@context": "https://schema.org", "@type": "Product", "name": name,
                     "sku": f"TR-{rank:05d}", "brand": {"@type": "Brand", "name": "Northpeak"},
                     "offers": {"@type": "Offer", "price": f"{50 + rank % 200}.99", "priceCurrency": "USD",
                                "availability": "https://schema.org/InStock"}})
    head = (f'<!doctype html><html lang="en"><head><meta charset="utf-8"><title>{name} | Northpeak</title>'
            f'<meta property="og:title" content="{name}"><meta property="og:type" content="product">'
            f'<meta property="product:price:amount" content="{50 + rank % 200}.99">'
            f'<script type="application/ld+json">{ld}</script>'
            '<style>' + ".c{margin:0 auto;padding:4px}" * 200 + '</style></head><body>')
    nav = "<nav><ul>" + "".join(f'<li class="nav-item"><a href="/c/{i}">Category {i}</a></li>'
                                for i in range(120)) + "</ul></nav>"
    parts = [head, nav, '<main class="grid">']
    length = sum(map(len, parts))
    i = 0
    while length < size:
        card = (f'<div class="card" data-id="{i}"><a href="/p/{rank}-{i}"><img src="/img/{i}.jpg" '
                f'alt="Item {i}" loading="lazy"></a><h3 class="title">Item {i} \u2013 {rng.choice(WORDS)} '
                f'{rng.choice(WORDS)}</h3><p class="desc">{" ".join(rng.choices(WORDS, k=24))}</p>'
                f'<span class="price">${rng.randint(5, 900)}.{rng.randint(0, 99):02d}</span></div>')
        if i % 40 == 39:
            card += "<script>window.__s=" + json.dumps({"k": list(range(60))}) + ";</script>"
        parts.append(card)
        length += len(card.encode())
        i += 1
    parts.append("</main><footer>" + "<p>Northpeak &copy; 2026</p>" * 20 + "</footer></body></html>")
    return "".join(parts).encode()


WORDS = ("down jacket trail runner waterproof merino wool gaiter summit insulated lightweight shell "
         "caf\u00e9 na\u00efve r\u00e9sum\u00e9 \u20ac").split()


def make_pages(count: int, seed: int = 7) -> dict[str, bytes]:
    rng = random.Random(seed)
    pages = {}
    for rank in range(count):
        size = int(math.exp(rng.uniform(math.log(150_000), math.log(2_500_000))))
        pages[f"/shop/{rank}"] = shop_page(rank, size, rng)
    return pages


# ----------------------------------------------------------------- ways to fetch
async def plain_way(urls: list[str], bound: int) -> dict[str, bytes | None]:
    sem = asyncio.Semaphore(bound)
    fetcher = commerce.AsyncFetcher

    async def one(url):
        async with sem:
            response = await fetcher.get(url, timeout=10)
            return url, response.body

    return dict(await asyncio.gather(*map(one, urls)))


async def transport_alone(urls: list[str], bound: int) -> dict[str, bytes]:
    from curl_cffi.requests import AsyncSession

    sem = asyncio.Semaphore(bound)
    async with AsyncSession(max_clients=bound) as session:
        async def one(url):
            async with sem:
                response = await session.get(url, timeout=10)
                return url, response.content

        return dict(await asyncio.gather(*map(one, urls)))


async def with_ticker(awaitable):
    """(result, longest lateness in seconds of a 1 ms ticker meanwhile)."""
    loop = asyncio.get_running_loop()
    worst = 0.0
    running = True

    async def tick():
        nonlocal worst
        while running:
            due = loop.time() + 0.001
            await asyncio.sleep(0.001)
            worst = max(worst, loop.time() - due)

    ticker = asyncio.ensure_future(tick())
    await asyncio.sleep(0.01)
    try:
        return await awaitable, worst
    finally:
        running = False
        await ticker


def timed(coro_factory):
    start = time.perf_counter()
    result = asyncio.run(coro_factory())
    return result, time.perf_counter() - start


# ----------------------------------------------------------------- parts
@contextlib.contextmanager
def served_in_child(count: int):
    """The generated pages served from 127.0.0.1 by a child process (so the
    server's work does not compete with the fetching process for its GIL);
    yields the port."""
    child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve", str(count)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        yield int(child.stdout.readline())
    finally:
        child.stdin.close()
        child.wait(30)


def serve(count: int) -> None:
    pages = make_pages(count)
    with LoopbackServer({path: (200, body, 0) for path, body in pages.items()}) as srv:
        print(srv.port, flush=True)
        sys.stdin.read()  # until the parent closes the pipe


def stall_of(awaitable) -> float:
    return asyncio.run(with_ticker(awaitable))[1]


def real_pages(count: int) -> None:
    pages = make_pages(count)
    total = sum(map(len, pages.values()))
    bound = ScraplingDestinationFetcher._default_bound()
    with served_in_child(count) as port:
        base = f"http://127.0.0.1:{port}"
        urls = [base + p for p in pages]
        expected = {base + p: body for p, body in pages.items()}
        asyncio.run(ScraplingDestinationFetcher.fetch_many(urls[:2]))  # library set-up not charged
        got, engine = timed(lambda: ScraplingDestinationFetcher.fetch_many(urls))
        exact = all(got[url] == body.decode("utf-8", "replace") for url, body in expected.items())
        del got
        plain, plain_wall = timed(lambda: plain_way(urls, bound))
        plain_exact = all(plain[url] == body for url, body in expected.items())
        del plain
        raw, raw_wall = timed(lambda: transport_alone(urls, bound))
        raw_exact = all(raw[url] == body for url, body in expected.items())
        del raw

        print(f"{count} pages, {total / MB:.1f} MB (from {min(map(len, pages.values())) // 1024} KB "
              f"to {max(map(len, pages.values())) // 1024} KB), bound {bound}, server in another process:")
        for label, wall, ok in (("fetch_many", engine, exact), ("AsyncFetcher.get().body", plain_wall, plain_exact),
                                ("curl_cffi, one session", raw_wall, raw_exact)):
            print(f"  {label:<26} {wall:6.3f} s  {count / wall:7.1f} pages/s  {total / MB / wall:7.1f} MB/s"
                  f"  byte for byte: {ok}")
        print(f"  fetch_many is {plain_wall / engine:.2f}x as fast as the plain .body way; "
              f"it takes {engine / raw_wall:.2f}x the transport's time")

        subset = urls[:64]
        stalls = [("fetch_many", stall_of(ScraplingDestinationFetcher.fetch_many(subset))),
                  ("AsyncFetcher.get().body", stall_of(plain_way(subset, bound))),
                  ("curl_cffi, one session", stall_of(transport_alone(subset, bound)))]
        print("  longest event-loop stall (1 ms ticker) while 64 pages are fetched: "
              + ", ".join(f"{label} {stall * 1000:.1f} ms" for label, stall in stalls))

        matches = [VisualMatch(link=urls[i % len(urls)] + f"?m={i}", title=f"Match {i}", source="Northpeak",
                               price="$99.00", thumbnail=None) for i in range(300)]
        result, stall = asyncio.run(with_ticker(CommerceEnricher.process_async(matches)))
        print(f"  longest event-loop stall during process_async of {len(result.items)} matches "
              f"(300 pages fetched and analysed): {stall * 1000:.1f} ms")


HUGE_CLIENT = r"""
import asyncio, sys
sys.path.insert(0, sys.argv[2])
from quillmere import commerce
commerce.REFUSE_INTERNAL_DESTINATIONS = False
url = sys.argv[1]
asyncio.run(commerce.ScraplingDestinationFetcher.fetch_many([url.replace("/huge", "/small")]))
def status(field):  # VmHWM: this process's own peak (ru_maxrss may carry the parent's)
    with open("/proc/self/status") as fh:
        return next(int(line.split()[1]) for line in fh if line.startswith(field + ":")) * 1024
before = status("VmRSS")
got = asyncio.run(commerce.ScraplingDestinationFetcher.fetch_many([url]))
print(got[url] is None, status("VmHWM") - before)
"""


def huge_page() -> None:
    huge = Repeated(b"<p>" + b"x" * (MB - 7) + b"</p>", 200)
    with LoopbackServer({"/huge": (200, huge, 0), "/small": (200, b"<p>warm</p>", 0)}) as srv:
        done = subprocess.run([sys.executable, "-c", HUGE_CLIENT, srv.url("/huge"), os.path.join(HERE, "..", "src")],
                              capture_output=True, text=True, timeout=120)
        absent, growth = done.stdout.split() if done.returncode == 0 else ("?", "0")
        print(f"200 MB page with MAX_PAGE_BYTES = {commerce.MAX_PAGE_BYTES // MB} MiB: absent {absent}, "
              f"peak memory growth {int(growth) / MB:.1f} MB, client hung up early: {srv.abandoned['/huge'] == 1}"
              + ("" if done.returncode == 0 else f"  (client failed: {done.stderr.strip()[-200:]})"))


def bound_part() -> None:
    body = b"<html><head><title>Item</title></head><body>" + b"<p>x</p>" * 500 + b"</body></html>"
    with LoopbackServer({"/hang": (200, b"", HANG)}, fallback=(200, body, DELAY)) as srv:
        asyncio.run(ScraplingDestinationFetcher.fetch_many([srv.url("/warm-up")]))
        default = ScraplingDestinationFetcher._default_bound()
        for label, max_workers, bound in (("default", None, default), ("max_workers=32", 32, 32)):
            srv.reset_counts()
            urls = [srv.url(f"/{label}/{i}") for i in range(LINKS)]
            pages, wall = timed(lambda: ScraplingDestinationFetcher.fetch_many(urls, max_workers=max_workers))
            ideal = math.ceil(LINKS / bound) * DELAY
            fetched = sum(text is not None for text in pages.values())
            print(f"fetch_many {LINKS} links, {DELAY * 1000:.0f} ms each, {label} (bound {bound}): "
                  f"wall {wall:.3f} s, ideal {ideal:.3f} s, ratio {wall / ideal:.2f}, "
                  f"fetched {fetched}/{LINKS}, server max in flight {srv.max_in_flight}")
        pages, wall = timed(lambda: ScraplingDestinationFetcher.fetch_many([srv.url("/hang")], timeout=1))
        print(f"fetch_many 1 link that never answers, timeout=1: absent={pages[srv.url('/hang')] is None}, "
              f"wall {wall:.3f} s, limit 2.000 s")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pages", type=int, default=300)
    parser.add_argument("--skip-bound", action="store_true", help="leave out the 256-link bound part")
    parser.add_argument("--serve", type=int, metavar="N", help=argparse.SUPPRESS)  # the child's role
    args = parser.parse_args()
    if args.serve is not None:
        return serve(args.serve)
    if commerce.AsyncFetcher is None:
        sys.exit("scrapling's AsyncFetcher is not importable")
    commerce.REFUSE_INTERNAL_DESTINATIONS = False  # every page comes from 127.0.0.1
    real_pages(args.pages)
    huge_page()
    if not args.skip_bound:
        bound_part()


if __name__ == "__main__":
    main()
