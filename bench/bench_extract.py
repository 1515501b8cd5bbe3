"""Throughput of the four page extractors.

Run from the repository root after a build:

    PYTHONPATH=src:bench python3 bench/bench_extract.py

Compares, on the same realistic pages (20 KB to 2 MB, with and without
JSON-LD, Next.js data and meta tags; see extract_pages.py):
  * the engine's extractors (DestinationMetadataParser._find_ld_json_products,
    _find_next_data_product, _extract_meta_tags, _extract_html_title),
  * the same extraction written with Python's re and json,
  * the extruct library (JSON-LD and Open Graph extractors), which is needed
    only here: `pip install extruct`; without it those columns are skipped.
Then times hostile pages (openings that never close, endless tags, deep JSON)
at growing sizes to show that the time grows linearly.
Figures are single-threaded (one core) and in MB/s of page text (UTF-8).
"""

from __future__ import annotations

import sys
import time

from extract_pages import page_set

from quillmere.commerce import DestinationMetadataParser as D

try:
    from extruct.jsonld import JsonLdExtractor
    from extruct.opengraph import OpenGraphExtractor
except ImportError:  # optional comparison
    JsonLdExtractor = OpenGraphExtractor = None

# ------------------------------------------------- the same extraction in Python
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from reference import ref_ld as py_ld  # noqa: E402
from reference import ref_meta as py_meta  # noqa: E402
from reference import ref_next as py_next  # noqa: E402
from reference import ref_title as py_title  # noqa: E402

EXTRACTORS = [
    # name, engine, python, extruct, page variants that lack the data
    ("ld_json", D._find_ld_json_products, py_ld, JsonLdExtractor and JsonLdExtractor().extract, ("bare", "meta", "next+meta")),
    ("next_data", D._find_next_data_product, py_next, None, ("bare", "meta", "ld+meta")),
    ("meta_tags", D._extract_meta_tags, py_meta, OpenGraphExtractor and OpenGraphExtractor().extract, ("bare",)),
    ("title", D._extract_html_title, py_title, None, ("bare",)),
]


def seconds_per_call(fn, page, budget=0.15, min_runs=3):
    """Best time of one call over repeated runs within about `budget` seconds."""
    best, spent, runs = float("inf"), 0.0, 0
    while runs < min_runs or spent < budget:
        t0 = time.perf_counter()
        fn(page)
        dt = time.perf_counter() - t0
        best, spent, runs = min(best, dt), spent + dt, runs + 1
        if runs >= 200:
            break
    return best


def seconds_first_call(fn, page, copies=5):
    """Best time of a first call on a fresh copy of the page: for a non-ASCII
    str this includes building the UTF-8 form, which CPython then caches."""
    best = float("inf")
    for _ in range(copies):
        fresh = page.encode("utf-8").decode("utf-8")
        t0 = time.perf_counter()
        fn(fresh)
        best = min(best, time.perf_counter() - t0)
    return best


def mbps(nbytes, seconds):
    return nbytes / seconds / 1e6


def throughput(pages):
    print(f"{'extractor':10} {'page':15} {'engine MB/s':>12} {'first call':>11} {'python MB/s':>12} "
          f"{'extruct MB/s':>13} {'x python':>9} {'x extruct':>10}")
    summary = []
    for name, engine, python, extruct, lacking in EXTRACTORS:
        totals = {"engine": 0.0, "python": 0.0, "extruct": 0.0, "bytes": 0}
        lacking_rates = []
        for label, page in pages:
            nbytes = len(page.encode("utf-8"))
            te = seconds_per_call(engine, page)
            tf = seconds_first_call(engine, page)
            tp = seconds_per_call(python, page, budget=0.05, min_runs=1)
            tx = seconds_per_call(extruct, page, budget=0.0, min_runs=1) if extruct else None
            totals["engine"] += te
            totals["python"] += tp
            totals["bytes"] += nbytes
            if tx is not None:
                totals["extruct"] += tx
            if label.split("/")[0] in lacking:
                lacking_rates.append(mbps(nbytes, te))
            xs = f"{mbps(nbytes, tx):13.1f}" if tx else f"{'-':>13}"
            xr = f"{tx / te:10.0f}" if tx else f"{'-':>10}"
            print(f"{name:10} {label:15} {mbps(nbytes, te):12.0f} {mbps(nbytes, tf):11.0f} {mbps(nbytes, tp):12.1f} "
                  f"{xs} {tp / te:9.1f} {xr}")
        summary.append((name, totals, lacking_rates))
    print()
    for name, totals, lacking_rates in summary:
        line = (f"{name}: pages without its data: min {min(lacking_rates):.0f} MB/s (target >= 1000); "
                f"whole set: engine {mbps(totals['bytes'], totals['engine']):.0f} MB/s, "
                f"{totals['python'] / totals['engine']:.1f}x python (target >= 3)")
        if totals["extruct"]:
            line += f", {totals['extruct'] / totals['engine']:.0f}x extruct (target >= 50)"
        print(line)


HOSTILE = {
    "unclosed ld+json openings": ('<script type="application/ld+json">{"@type":"Product","name":"x"}\n', ""),
    "ld+json openings in one tag": ('<script type="application/ld+json" ', "</script>"),
    "script openings, no '>'": ("<script <SCRIPT ", "</script>"),
    "meta tags without '>'": ('<meta property="og:title" content="x" ', ""),
    "meta tags, '>' at the end": ('<meta name="a" content="b"  ', ">"),
    "titles without closing tag": ("<title>Shop ", ""),
    "title openings, no '>'": ("<title ", "</title>"),
    "next data openings": ('<script id="__NEXT_DATA__">{"props":{"pageProps":', ""),
    "deeply nested ld+json": ('<script type="application/ld+json">' + "[" * 2000, "</script>"),
    "one 10 MB nested ld+json": None,
}


def hostile():
    print("\nhostile pages: ms for all four extractors (best of 3); linear time doubles with the size")
    print(f"{'page':30} {'2.5 MB':>9} {'5 MB':>9} {'10 MB':>9} {'10 MB MB/s':>11}")
    for label, shape in HOSTILE.items():
        times = []
        for size in (2_500_000, 5_000_000, 10_000_000):
            if shape is None:
                page = '<script type="application/ld+json">' + "[{" * (size // 4) + "</script>"
            else:
                unit, tail = shape
                page = unit * (size // len(unit)) + tail
            best = float("inf")
            for _ in range(3):
                t0 = time.perf_counter()
                for fn in (D._find_ld_json_products, D._find_next_data_product, D._extract_meta_tags,
                           D._extract_html_title):
                    fn(page)
                best = min(best, time.perf_counter() - t0)
            times.append(best)
        print(f"{label:30} {times[0] * 1e3:9.1f} {times[1] * 1e3:9.1f} {times[2] * 1e3:9.1f} "
              f"{mbps(10_000_000, times[2]):11.0f}")


def main():
    pages = page_set()
    print(f"{len(pages)} pages, {sum(len(p) for _, p in pages) / 1e6:.1f} MB; python {sys.version.split()[0]}; "
          f"extruct {'present' if JsonLdExtractor else 'absent'}\n")
    throughput(pages)
    hostile()


if __name__ == "__main__":
    main()
