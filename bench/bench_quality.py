"""Extraction quality of page analysis on real shop pages, both modes side by side.

    PYTHONPATH=src python3 bench/bench_quality.py [--data DIR] [--seconds S] [--misses] [--rules] [--hostile]

Runs DestinationMetadataParser.parse_metadata on every page of the product
page set (gzip-compressed HTML with a ground truth per page), with the page's
own link as direct_url and nothing from a search result, once in the default
mode and once with extended=True. For price, SKU and availability it prints
precision, recall and F1 with the benchmark's exact-match rules:

- price: equal after rounding to cents (any of the listed prices);
- SKU: equal after trimming surrounding white space (any of the listed SKUs);
- availability: in stock or out of stock, as the page says.

A field the truth leaves out counts against precision when the mode answers
one.

Beside the in-sample score, a leave-one-site-out score of the extended
analysis: the pages of each site are answered by the rules that earned their
place on the other sites only. Every candidate the analysis gathers names the
rule that found it (quillmere._commerce._extended_trace); a rule is used on a
site when, on the pages of all the other sites, its candidates were right at
least once and at least as often as wrong; the answer is the first candidate,
in the analysis's own order, of a rule so used. A rule written for one site's
pages earns nothing elsewhere and drops out there. A rule here is a family
(labels naming the shop's code, buy buttons, ...); the row "and its own
words" also treats each word of a family's vocabulary (each label, element
name, button text) as a rule of its own, so that a word seen on one site only
is dropped there: a floor for pages in languages and themes we have no page of. With --rules, each rule's
right and wrong candidates and the number of sites it is right on.

Then the share of price texts the extended price reading gets right on the
suites at hand (tests/test_price_text.py). Last, the throughput of each mode on one core (MB/s of page text), and
with --hostile the time per MB of hostile pages of growing size (flat when
the analysis is linear).
"""

from __future__ import annotations

import argparse
import gzip
import json
import sys
import time
from collections import defaultdict
from pathlib import Path
from urllib.parse import urlsplit

from quillmere import _commerce
from quillmere.commerce import DestinationMetadataParser, PriceNormalizer, StockStatus

ROOT = Path(__file__).absolute().parent.parent
# shared/ stands beside the clone (or beside the folder of work trees).
DATA = next((p / "shared" / "data" / "product-pages" for p in ROOT.parents
             if (p / "shared" / "data" / "product-pages").exists()), ROOT.parent / "shared" / "data" / "product-pages")
FIELDS = ("price", "sku", "availability")
PUBLISHED = {
    "baseline (libraries)": (0.685, 0.537, 0.626),
    "commercial service": (0.824, 0.765, 0.943),
    "best commercial": (0.918, 0.841, 0.957),
}


def load(data: Path) -> list[tuple[str, dict, str]]:
    truth = json.loads((data / "ground-truth.json").read_text(encoding="utf-8"))
    pages = []
    for key in sorted(truth):
        raw = gzip.decompress((data / "pages" / f"{key}.html.gz").read_bytes())
        pages.append((key, truth[key], raw.decode("utf-8", "replace")))
    return pages


def cents(text: str) -> float | None:
    """A ground-truth price as the benchmark normalises it: a price text ("23.450"
    is twenty-three thousand), rounded to cents."""
    price = PriceNormalizer.parse(text, extended=True)
    return None if price is None else round(price.amount, 2)


def truth_values(field: str, gt: dict) -> set:
    if field == "price":
        return {c for c in (cents(p) for p in gt.get("price") or []) if c is not None}
    if field == "sku":
        return {s.strip() for s in gt.get("sku") or [] if s.strip()}
    out = set()
    for a in gt.get("availability") or []:
        a = a.lower()
        if "outofstock" in a or "soldout" in a:
            out.add("out")
        elif "instock" in a:
            out.add("in")
    return out


def answer(field: str, md: dict):
    if field == "price":
        return None if md["price"] is None else round(md["price"].amount, 2)
    if field == "sku":
        return None if md["sku"] is None or not md["sku"].strip() else md["sku"].strip()
    s = md["stock_status"]
    if s is None:
        return None
    return {StockStatus.IN_STOCK: "in", StockStatus.OUT_OF_STOCK: "out"}.get(s, "other")


def analyse(html: str, url: str, extended: bool) -> dict:
    if extended:
        return DestinationMetadataParser.parse_metadata(html, url, extended=True)
    return DestinationMetadataParser.parse_metadata(html, url)


def score(pages, extended: bool, misses: bool) -> dict[str, tuple[float, float, float]]:
    counts = {f: [0, 0, 0] for f in FIELDS}  # true positives, answered, expected
    for key, gt, html in pages:
        md = analyse(html, gt["url"], extended)
        for field in FIELDS:
            want, got = truth_values(field, gt), answer(field, md)
            c = counts[field]
            c[0] += got is not None and got in want
            c[1] += got is not None
            c[2] += bool(want)
            if misses and not (got is None and not want) and got not in want:
                mode = "extended" if extended else "default"
                print(f"  {mode:8} {field:12} got {got!r:22} want {sorted(want)!r:30} {key[:8]} {gt['url'][:60]}")
    out = {}
    for field, (tp, answered, expected) in counts.items():
        p = tp / answered if answered else 0.0
        r = tp / expected if expected else 0.0
        out[field] = (p, r, 2 * p * r / (p + r) if p + r else 0.0)
    return out


def site(url: str) -> str:
    host = urlsplit(url).hostname or ""
    return host[4:] if host.startswith("www.") else host


def candidate_value(field: str, value):
    if field == "price":
        return round(value[0], 2)
    if field == "sku":
        return value.strip() or None
    return {StockStatus.IN_STOCK: "in", StockStatus.OUT_OF_STOCK: "out"}.get(value, "other")


def family(rule: str) -> str:
    """A rule without the word that fired it: "label.shop:sku" -> "label.shop"."""
    return rule.split(":", 1)[0]


def leave_one_site_out(pages, show_rules: bool, words: bool = False):
    """Extended scores when each site's pages are answered only by rules that
    were right on other sites, and how many traced answers differ from
    parse_metadata's (none when the trace is faithful). A rule is a family
    ("label.shop"); with `words`, each word of its vocabulary is a rule of its
    own ("label.shop:art.-nr"), so that a word only one site uses drops out
    on that site."""
    traced = []  # per page: site, truth per field, candidates per field
    unfaithful = 0
    for key, gt, html in pages:
        trace = _commerce._extended_trace(html, gt["url"])
        md = analyse(html, gt["url"], True)
        cands = {f: [(candidate_value(f, v), rule if words else family(rule)) for v, rule in trace[f]] for f in FIELDS}
        for f in FIELDS:
            first = cands[f][0][0] if cands[f] else None
            unfaithful += first != answer(f, md)
        traced.append((site(gt["url"]), {f: truth_values(f, gt) for f in FIELDS}, cands))
    # right / wrong candidates of each rule on each site
    tally = {f: defaultdict(lambda: defaultdict(lambda: [0, 0])) for f in FIELDS}
    for where, want, cands in traced:
        for f in FIELDS:
            for value, rule in {(v, r) for v, r in cands[f]}:
                tally[f][rule][where][value not in want[f]] += 1
    out = {}
    for f in FIELDS:
        tp = answered = expected = 0
        for where, want, cands in traced:
            def earned(rule):
                right = sum(c[0] for s, c in tally[f][rule].items() if s != where)
                wrong = sum(c[1] for s, c in tally[f][rule].items() if s != where)
                return right >= 1 and right >= wrong
            got = next((v for v, rule in cands[f] if earned(rule)), None)
            tp += got is not None and got in want[f]
            answered += got is not None
            expected += bool(want[f])
        p = tp / answered if answered else 0.0
        r = tp / expected if expected else 0.0
        out[f] = (p, r, 2 * p * r / (p + r) if p + r else 0.0)
    if show_rules:
        print("rules: right / wrong candidates (sites right on)")
        for f in FIELDS:
            for rule, sites in sorted(tally[f].items()):
                right = sum(c[0] for c in sites.values())
                wrong = sum(c[1] for c in sites.values())
                print(f"  {f:12} {rule:22} {right:3} / {wrong:<3} ({sum(1 for c in sites.values() if c[0])})")
    return out, unfaithful


def price_text_share() -> list[tuple[str, int, int]]:
    """Right readings of the price suites at hand: (suite, right, texts)."""
    sys.path.insert(0, str(ROOT / "tests"))
    try:
        from test_price_text import CASES
    except ImportError:
        return []
    suite = [c for c in CASES if c[1] is not None]
    right = sum(1 for text, amount, cur in suite
                if (p := PriceNormalizer.parse(text, extended=True)) is not None
                and (p.amount, p.currency) == (amount, cur or "USD"))
    return [("tests/test_price_text.py", right, len(suite))]


def throughput(pages, extended: bool, seconds: float) -> float:
    size = sum(len(html.encode("utf-8")) for _, _, html in pages)
    for _, gt, html in pages:  # warm-up
        analyse(html, gt["url"], extended)
    rounds, start = 0, time.process_time()
    while True:
        for _, gt, html in pages:
            analyse(html, gt["url"], extended)
        rounds += 1
        elapsed = time.process_time() - start
        if elapsed >= seconds:
            return size * rounds / elapsed / 1e6


# Pages built to make a markup reader work hard: nesting it must bound, tags
# it never sees closed, captures that never end.
HOSTILE = {
    "nested item scopes": "<div itemscope itemtype='https://schema.org/Product'>",
    "unclosed price spans": "<span class='price'>1 ",
    "text properties": "<span itemprop='name'>x ",
    "stray end tags": "</div></span>",
    "unclosed attribute": "<a href='x ",
    "unclosed comment": "<!-- <b class=price>",
    "unclosed script": "<script> <i class=price>9 €</i> ",
    "digits and signs": "1.2,3 € $ ",
    "labels, no codes": "<dt>SKU</dt>",
    "labels with colons": "<b>Art.-Nr.:</b> ",
    "unclosed buttons": "<button>Add to cart <span>",
    "code elements": "<div class='article-number related'>",
    "spaced cents": "<p class=price>12. 50 € 9€ 99 ",
    "price labels": "<b>Price:</b> <s>$1</s> ",
    "cents apart": "<span class=price>12<sup>99",
}


def hostile(sizes=(1, 2, 4, 8)) -> None:
    print("hostile pages, ms per MB at " + ", ".join(f"{s} MB" for s in sizes) + " (default / extended):")
    for name, unit in HOSTILE.items():
        cells = []
        for mb in sizes:
            doc = unit * (mb * 1_000_000 // len(unit))
            pair = []
            for extended in (False, True):
                start = time.process_time()
                analyse(doc, "https://shop.example/p/1", extended)
                pair.append((time.process_time() - start) * 1e3 / mb)
            cells.append(pair)
        print(f"  {name:<22}" + "".join(f"{a:7.1f}/{b:<7.1f}" for a, b in cells))


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--data", type=Path, default=DATA)
    ap.add_argument("--seconds", type=float, default=1.0, help="time per throughput measurement")
    ap.add_argument("--misses", action="store_true", help="list every wrong or missing answer")
    ap.add_argument("--rules", action="store_true", help="list each extended rule's right and wrong candidates")
    ap.add_argument("--hostile", action="store_true", help="also time hostile pages of growing size")
    args = ap.parse_args(argv)
    pages = load(args.data)
    print(f"{len(pages)} pages, {sum(len(h.encode()) for _, _, h in pages) / 1e6:.1f} MB")

    results = {"default": score(pages, False, args.misses), "extended": score(pages, True, args.misses)}
    print()
    print(f"{'F1 (P / R)':24}" + "".join(f"{f:>22}" for f in FIELDS))
    for mode, res in results.items():
        print(f"{mode:24}" + "".join(f"{res[f][2]:8.3f} ({res[f][0]:.2f}/{res[f][1]:.2f})" for f in FIELDS))
    loso, unfaithful = leave_one_site_out(pages, False)
    print(f"{'extended, site left out':24}" + "".join(f"{loso[f][2]:8.3f} ({loso[f][0]:.2f}/{loso[f][1]:.2f})" for f in FIELDS))
    strict, _ = leave_one_site_out(pages, args.rules, words=True)
    print(f"{'  and its own words':24}" + "".join(f"{strict[f][2]:8.3f} ({strict[f][0]:.2f}/{strict[f][1]:.2f})" for f in FIELDS))
    for name, figures in PUBLISHED.items():
        print(f"{name:24}" + "".join(f"{v:8.3f}{'':14}" for v in figures))
    print(f"({len({site(gt['url']) for _, gt, _ in pages})} sites; traced answers differing from parse_metadata: {unfaithful})")
    for suite, right, n in price_text_share():
        print(f"extended price texts: {right}/{n} ({100 * right / n:.1f} %) of {suite}")

    print()
    # Modes take turns, best of three each, so a busy machine hurts both alike.
    speed = {mode: 0.0 for mode in results}
    for _ in range(3):
        for mode in results:
            speed[mode] = max(speed[mode], throughput(pages, mode == "extended", args.seconds / 3))
    for mode, mbs in speed.items():
        print(f"{mode:9} {mbs:8.1f} MB/s")
    print(f"extended costs {speed['default'] / speed['extended']:.2f}x the default")
    if args.hostile:
        print()
        hostile()
    return 0


if __name__ == "__main__":
    sys.exit(main())
