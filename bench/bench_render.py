"""Rendering in a browser against the static fetch, on loopback pages.

Printed side by side in one run:

* rendered pages/s with 1, 2 and 4 tabs (one browser, the renderer's own
  bounded wait: a page with product data is taken once the data shows), and
  the static path (`fetch_many`) on the same pages;
* the browser tree's peak proportional set size (PSS, summed over its
  processes, sampled every 50 ms while it renders);
* a mixed run: matches of which one in ten links to a page whose JSON-LD is
  inserted by script, enriched with ``render="auto"`` and with
  ``render="never"``: the wall time of each, the time rendering adds, and the
  matches that gave a SKU in each.

    PYTHONPATH=src python3 bench/bench_render.py [--pages 20] [--size 200] [--mixed 50]

Needs Debian's chromium. Every page is served from 127.0.0.1, and the
browser may connect to that server only; nothing leaves the machine.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import random
import shutil
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from loopback_server import LoopbackServer  # noqa: E402

from quillmere import commerce  # noqa: E402
from quillmere.commerce import CommerceEnricher, PageClient, ScraplingDestinationFetcher, VisualMatch  # noqa: E402
from quillmere.models import FetchReport  # noqa: E402

LD = ('{{"@context":"https://schema.org","@type":"Product","name":"Item {n}","sku":"SKU-{n}",'
      '"offers":{{"@type":"Offer","price":"{price}","priceCurrency":"USD"}}}}')


def page(n: int, size: int, rng: random.Random, built: bool) -> bytes:
    """A shop page of about `size` bytes; its JSON-LD inline, or inserted by script 200 ms after load."""
    ld = LD.format(n=n, price=f"{rng.randint(5, 500)}.99")
    cards = []
    while sum(map(len, cards)) < size:
        k = rng.randint(0, 10 ** 6)
        cards.append(f'<div class="card"><a href="/p/{k}">Related item {k}</a><span>{k % 97}.50</span>'
                     f'<p>{"lorem ipsum dolor " * 8}</p></div>\n')
    if built:
        head = ("<script>setTimeout(function(){var s=document.createElement('script');"
                f"s.type='application/ld+json';s.text={ld!r};document.head.appendChild(s);}},200);</script>")
    else:
        head = f'<script type="application/ld+json">{ld}</script>'
    return (f"<!doctype html><html><head><title>Item {n}</title>{head}</head><body><h1>Item {n}</h1>"
            + "".join(cards) + "</body></html>").encode()


def pss_kib(pids: list[int]) -> int:
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/smaps_rollup") as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1])
                        break
        except OSError:
            pass
    return total


async def sample_peak(renderer, stop: asyncio.Event, peak: list[int]) -> None:
    while not stop.is_set():
        peak[0] = max(peak[0], pss_kib(renderer.pids()))
        await asyncio.sleep(0.05)


async def rendered_rate(server, paths: list[str], tabs: int, peak: list[int]) -> tuple[float, int]:
    client = PageClient(render="always", render_pages=tabs, render_allow=[("127.0.0.1", server.port)])
    renderer = client.renderer
    try:
        await renderer.render(server.url(paths[0]), refuse=True, cap=None)  # the browser's start is not timed
        stop = asyncio.Event()
        sampler = asyncio.ensure_future(sample_peak(renderer, stop, peak))
        t0 = time.perf_counter()
        got = await asyncio.gather(*(renderer.render(server.url(p), refuse=True, cap=None) for p in paths))
        elapsed = time.perf_counter() - t0
        stop.set()
        await sampler
        return len(paths) / elapsed, sum(1 for g in got if g.outcome.value == "read")
    finally:
        await client.aclose()


async def static_rate(server, paths: list[str]) -> float:
    urls = [server.url(p) for p in paths]
    await ScraplingDestinationFetcher.fetch_many(urls[:2])
    t0 = time.perf_counter()
    pages = await ScraplingDestinationFetcher.fetch_many(urls)
    elapsed = time.perf_counter() - t0
    assert all(pages.values()), "a static page was not read"
    return len(urls) / elapsed


async def mixed(server, paths: list[str], mode: str) -> tuple[float, int, FetchReport]:
    matches = [VisualMatch(link=server.url(p), title="Item") for p in paths]
    report = FetchReport()
    async with PageClient(render=mode, render_allow=[("127.0.0.1", server.port)]) as client:
        t0 = time.perf_counter()
        result = await CommerceEnricher.process_async(matches, client=client, report=report)
        elapsed = time.perf_counter() - t0
    return elapsed, sum(1 for item in result.items if item.sku), report


async def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--pages", type=int, default=20)
    ap.add_argument("--size", type=int, default=200, help="page size in KB")
    ap.add_argument("--mixed", type=int, default=50, help="matches of the mixed run")
    args = ap.parse_args()
    if not (shutil.which("chromium") or shutil.which("chromium-browser")):
        sys.exit("bench_render: needs a browser (apt-get install --no-install-recommends chromium)")
    commerce.REFUSE_INTERNAL_DESTINATIONS = False  # the static fetch reaches the loopback server
    rng = random.Random(29)
    routes = {f"/static/{n}": (200, page(n, args.size * 1024, rng, False), 0.0) for n in range(args.pages)}
    routes.update({f"/mixed/{n}": (200, page(n, args.size * 1024, rng, n % 10 == 0), 0.0)
                   for n in range(args.mixed)})
    with LoopbackServer(routes) as server:
        paths = [f"/static/{n}" for n in range(args.pages)]
        print(f"{args.pages} pages of about {args.size} KB, {os.cpu_count()} processors")
        static = await static_rate(server, paths)
        peak = [0]
        rows = []
        for tabs in (1, 2, 4):
            rate, read = await rendered_rate(server, paths, tabs, peak)
            rows.append((tabs, rate, read))
        print(f"  static fetch_many         {static:8.1f} pages/s")
        for tabs, rate, read in rows:
            print(f"  rendered, {tabs} tab{'s' if tabs > 1 else ' '}          {rate:8.2f} pages/s"
                  f"   ({read}/{args.pages} read; static is {static / rate:.0f}x faster)")
        print(f"  browser tree peak PSS     {peak[0] / 1024:8.0f} MB")
        mixed_paths = [f"/mixed/{n}" for n in range(args.mixed)]
        never_s, never_sku, _ = await mixed(server, mixed_paths, "never")
        auto_s, auto_sku, report = await mixed(server, mixed_paths, "auto")
        rendered = sum(1 for o in report.outcomes if o.rendered is not None)
        print(f"mixed run: {args.mixed} matches, one page in ten built by script")
        print(f"  never   {never_s:6.2f} s   {never_sku:3d} matches with a SKU")
        print(f"  auto    {auto_s:6.2f} s   {auto_sku:3d} matches with a SKU   ({rendered} pages rendered; "
              f"+{auto_s - never_s:.2f} s, +{auto_sku - never_sku} with product data)")


if __name__ == "__main__":
    asyncio.run(main())
