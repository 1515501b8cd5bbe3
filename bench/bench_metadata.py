"""Throughput of DestinationMetadataParser.parse_metadata, against extruct.

    PYTHONPATH=src python3 bench/bench_metadata.py [--pages DIR] [--seconds S]

Runs page analysis over the page set of bench/gen_pages.py (generated on
first use) in one thread and prints MB/s and pages/s; then, on the same pages
and in the same run, extruct extracting JSON-LD, microdata and Open Graph.
Last, hostile pages of growing size show the time per MB staying flat.

extruct is a benchmark-only dependency: `pip install extruct`.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import gen_pages  # noqa: E402

from quillmere.commerce import DestinationMetadataParser  # noqa: E402

parse = DestinationMetadataParser.parse_metadata


def load(pages_dir: Path) -> list[tuple[dict, str]]:
    if not (pages_dir / "index.json").exists():
        gen_pages.generate(pages_dir)
    index = json.loads((pages_dir / "index.json").read_text(encoding="utf-8"))
    return [(e, (pages_dir / e["file"]).read_text(encoding="utf-8")) for e in index]


def timed_rounds(fn, min_seconds: float) -> tuple[float, int]:
    fn()  # warm-up: patterns compiled, UTF-8 forms of the pages cached
    rounds, start = 0, time.perf_counter()
    while True:
        fn()
        rounds += 1
        elapsed = time.perf_counter() - start
        if elapsed >= min_seconds:
            return elapsed, rounds


def bench_parse(pages, min_seconds: float) -> float:
    total = sum(len(doc.encode("utf-8")) for _, doc in pages)

    def one_round():
        for e, doc in pages:
            parse(doc, e["url"], e["title"], e["merchant"], rank=3)

    elapsed, rounds = timed_rounds(one_round, min_seconds)
    mbps = total * rounds / elapsed / 1e6
    print(f"parse_metadata: {len(pages)} pages, {total / 1e6:.1f} MB: {mbps:,.0f} MB/s, "
          f"{len(pages) * rounds / elapsed:,.0f} pages/s (one thread, {rounds} rounds)")
    # CPython keeps the UTF-8 form of a non-ASCII str once built; a page seen
    # for the first time pays for building it. Fresh copies show that cost.
    fresh = [(e, doc[:1] + doc[1:]) for e, doc in pages]
    start = time.perf_counter()
    for e, doc in fresh:
        parse(doc, e["url"], e["title"], e["merchant"], rank=3)
    cold = time.perf_counter() - start
    print(f"  first call per page (UTF-8 form built): {total / cold / 1e6:,.0f} MB/s")
    by_kind: dict[str, list] = {}
    for e, doc in pages:
        by_kind.setdefault(e["kind"], []).append((e, doc))
    for kind, group in sorted(by_kind.items()):
        size = sum(len(doc.encode("utf-8")) for _, doc in group)
        start = time.perf_counter()
        for e, doc in group:
            parse(doc, e["url"], e["title"], e["merchant"])
        dt = time.perf_counter() - start
        print(f"  {kind:<11} {len(group):3d} pages {size / 1e6:6.1f} MB: {size / dt / 1e6:8,.0f} MB/s")
    return mbps


def bench_extruct(pages) -> float | None:
    try:
        import extruct
    except ImportError:
        print("extruct: not installed (pip install extruct); comparison skipped")
        return None
    total = sum(len(doc.encode("utf-8")) for _, doc in pages)
    start = time.perf_counter()
    for e, doc in pages:
        extruct.extract(doc, base_url=e["url"], syntaxes=["json-ld", "microdata", "opengraph"], uniform=False)
    elapsed = time.perf_counter() - start
    mbps = total / elapsed / 1e6
    print(f"extruct (json-ld, microdata, opengraph): {mbps:,.1f} MB/s, {len(pages) / elapsed:,.1f} pages/s")
    return mbps


HOSTILE = {
    "shop-theme openings": 'class="woocommerce-Price-amount"',
    "microdata without '>'": 'itemprop="price" content=',
    "span/class runs": '<span class="sku" ',
    "unclosed ld+json": '<script type="application/ld+json">{"a":',
    "meta without '>'": '<meta property="og:title" content="x" ',
    "unclosed title": "<title>x ",
    "nested arrays": "[",
    "stock classes": "class='x instock-ish outofstockish ",
    "long s and Kelvin sign": "<span claſs='sku' itemprop=\"price\" schema.org/outofstoc\u212a ",
}


def bench_hostile(sizes=(1, 2, 4, 8)) -> None:
    print("hostile pages, ms per MB at " + ", ".join(f"{s} MB" for s in sizes) + ":")
    for name, unit in HOSTILE.items():
        cells = []
        for mb in sizes:
            doc = unit * (mb * 1_000_000 // len(unit))
            if name == "nested arrays":
                doc = '<script type="application/ld+json">' + doc + "</script>"
            start = time.perf_counter()
            parse(doc, "https://shop.example/p/1", "Title", "Shop")
            cells.append((time.perf_counter() - start) * 1e3 / mb)
        print(f"  {name:<24}" + "".join(f"{c:9.2f}" for c in cells))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--pages", type=Path, default=gen_pages.DEFAULT_OUT)
    ap.add_argument("--seconds", type=float, default=3.0)
    args = ap.parse_args()
    pages = load(args.pages)
    ours = bench_parse(pages, args.seconds)
    theirs = bench_extruct(pages)
    if theirs:
        print(f"parse_metadata vs extruct: {ours / theirs:,.0f}x")
    bench_hostile()


if __name__ == "__main__":
    main()
