"""End-to-end enrichment of 64 matches against a loopback server.

Every page is answered after 50 ms. Prints the wall time of
CommerceEnricher.process, the share of it spent outside the batch fetch
(unwrapping, page analysis, records, relevance, summary), and peak memory.

    PYTHONPATH=src python3 bench/bench_pipeline.py [--matches 64] [--delay 0.05] [--rounds 3]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import sys
import time
import tracemalloc
from urllib.parse import quote

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from loopback_server import LoopbackServer  # noqa: E402

from quillmere import commerce  # noqa: E402
from quillmere.commerce import CommerceEnricher  # noqa: E402
from quillmere.models import VisualMatch  # noqa: E402

FILLER = "<p>" + "Soft leather upper, cushioned sole, rubber outsole. " * 40 + "</p>\n"


def product_page(i: int) -> str:
    ld = {
        "@context": "https://schema.org", "@type": "Product", "name": f"Trail Runner {i}",
        "brand": {"@type": "Brand", "name": "Northpeak"}, "sku": f"NP-{i:04d}",
        "image": [f"https://cdn.example/np/{i}.jpg"],
        "offers": {"@type": "Offer", "price": f"{79 + i}.99", "priceCurrency": "EUR",
                   "availability": "https://schema.org/InStock", "itemCondition": "https://schema.org/NewCondition"},
    }
    return (f"<!doctype html><html><head><title>Trail Runner {i} | Northpeak</title>"
            f'<meta property="og:type" content="product"><meta property="og:image" content="https://cdn.example/og/{i}.jpg">'
            f'<script type="application/ld+json">{json.dumps(ld)}</script></head><body>'
            + FILLER * 25 + "</body></html>")


def meta_page(i: int) -> str:
    return (f"<html><head><title>Boot {i}</title>"
            f'<meta property="og:title" content="Waxed Boot {i}"><meta property="product:price:amount" content="1.299,00">'
            f'<meta property="product:price:currency" content="EUR"><meta property="og:image" content="/img/{i}.jpg">'
            "</head><body>" + FILLER * 10 + "</body></html>")


def article_page(i: int) -> str:
    return (f'<html><head><title>Ten boots for winter ({i})</title><meta property="og:type" content="article">'
            "</head><body>" + FILLER * 40 + "</body></html>")


PAGES = (product_page, meta_page, article_page)


def routes(n: int, delay: float) -> dict[str, tuple[int, bytes, float]]:
    return {f"/{i % len(PAGES)}/{i}": (200, PAGES[i % len(PAGES)](i).encode(), delay) for i in range(n)}


def matches(base: str, n: int) -> list[VisualMatch]:
    out = []
    for i in range(n):
        dest = f"{base}/{i % len(PAGES)}/{i}?utm_source=lens&color=black"
        link = f"https://www.google.com/url?q={quote(dest, safe='')}&sa=U&ved=x" if i % 2 else dest
        out.append(VisualMatch(link=link, title=f"Trail Runner {i}", source=f"Store {i}",
                               price=f"€{59 + i},95" if i % 3 else None, currency="EUR",
                               thumbnail=f"https://thumbs.example/{i}.jpg"))
    return out


def record_building(batch: list[VisualMatch], rounds: int = 200) -> tuple[float, float]:
    """Microseconds per match of the native stage after the fetch without
    pages (analysis and record building), and of validated construction of
    the same records from their fields."""
    from quillmere import _commerce
    from quillmere.models import EnrichedCommerceMatch

    direct = _commerce._enrich_unwrap_links(batch)
    t0 = time.perf_counter()
    for _ in range(rounds):
        records = _commerce._enrich_after_fetch(batch, direct, {})
    native = (time.perf_counter() - t0) / rounds / len(batch) * 1e6
    fields = [{k: getattr(r, k) for k in r.model_fields_set} for r in records]
    t0 = time.perf_counter()
    for _ in range(rounds):
        for f in fields:
            EnrichedCommerceMatch(**f)
    validated = (time.perf_counter() - t0) / rounds / len(batch) * 1e6
    return native, validated


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--matches", type=int, default=64)
    ap.add_argument("--delay", type=float, default=0.05)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()

    if commerce.AsyncFetcher is None:
        sys.exit("scrapling's AsyncFetcher is not importable")
    commerce.REFUSE_INTERNAL_DESTINATIONS = False  # the pages come from 127.0.0.1
    server = LoopbackServer(routes(args.matches, args.delay)).start()
    batch = matches(server.base, args.matches)

    fetch_many = commerce.ScraplingDestinationFetcher.fetch_many
    fetch_seconds: list[float] = []

    async def timed_fetch(urls, max_workers=None, timeout=5):
        t0 = time.perf_counter()
        try:
            return await fetch_many(urls, max_workers, timeout)
        finally:
            fetch_seconds.append(time.perf_counter() - t0)

    commerce.ScraplingDestinationFetcher.fetch_many = timed_fetch
    CommerceEnricher.process(batch[:2])  # warm-up: imports, first connections
    fetch_seconds.clear()

    walls = []
    tracemalloc.start()
    for _ in range(args.rounds):
        t0 = time.perf_counter()
        result = CommerceEnricher.process(batch)
        walls.append(time.perf_counter() - t0)
    _, py_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    server.stop()

    pages = sum(1 for it in result.items if it.page_type.value != "uncategorized")
    outside = [w - f for w, f in zip(walls, fetch_seconds)]
    print(f"pipeline: {args.matches} matches, {args.delay * 1000:.0f} ms per page, {args.rounds} rounds, "
          f"{pages} classified pages")
    print(f"pipeline: wall time median {statistics.median(walls) * 1000:.1f} ms "
          f"(min {min(walls) * 1000:.1f}, max {max(walls) * 1000:.1f})")
    print(f"pipeline: outside the fetch median {statistics.median(outside) * 1000:.2f} ms "
          f"= {statistics.median(o / w for o, w in zip(outside, walls)) * 100:.2f}% of wall time")
    native, validated = record_building(batch)
    print(f"pipeline: per match after the fetch, without pages: {native:.2f} us analysis + record; "
          f"validated construction of the record alone {validated:.2f} us")
    print(f"pipeline: peak memory: process RSS {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.1f} MiB, "
          f"Python allocations {py_peak / 2**20:.2f} MiB")


if __name__ == "__main__":
    main()
