"""Prices parsed per second, side by side in one run: PriceNormalizer.parse
against a pure-Python model of the same rules building the same records
(Python's re and str, and a validated NormalizedPrice), and against
price-parser's Price.fromstring when it is installed; then the share of the
engine's time spent building the NormalizedPrice record.

    PYTHONPATH=src python3 bench/bench_price.py [--quick]

The texts are real-looking price snippets (shop pages, search results,
several languages and currencies, some without any price), each made
distinct by its figures so that nothing is answered from a cache.
"""

from __future__ import annotations

import random
import sys
import time
from pathlib import Path

from quillmere import _commerce
from quillmere.commerce import PriceNormalizer
from quillmere.models import NormalizedPrice

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from reference import ref_price as python_parse  # noqa: E402

try:
    from price_parser import Price
except ImportError:  # the peer is optional
    Price = None

SHAPES = [
    "${a},{b:03d}.{c:02d}", "{a}.{b:03d},{c:02d} €", "EUR {a},{c:02d}", "£{a}", "{a} {b:03d},{c:02d} kr",
    "From ${a}.{c:02d} to ${b}.{c:02d}", "US$ {a}", "¥{a}{b:03d}", "{a},{c:02d} eur", "Price: {a}.{c:02d} GBP",
    "  CA${a}.{c:02d}  ", "₹{a},{b:03d}", "sold out", "{a}.{b:03d}.{b:03d}", "Preis: {a},{c:02d} € inkl. MwSt.",
    "Sale! Was ${b}.99, now ${a}.{c:02d}", "{a},- €", "Cena: {a} {b:03d},{c:02d} zł", "A${a}.{c:02d} AUD",
    "Only {c} left at ${a}.{c:02d}", "{a}.{c:02d} USD / month", "Free shipping over ${a}", "CN¥ {a}{b:03d}.00",
    "Prix : {a},{c:02d} EUR TTC", "JPY {a},{b:03d}", "N/A", "Call for price", "{a} {b:03d} {b:03d} ₹",
    "€ {a}.{b:03d},{c:02d}", "Now: £{a}.{c:02d} (RRP £{b}.00)",
]


def price_texts(n: int) -> list[str]:
    rng = random.Random(7)
    return [rng.choice(SHAPES).format(a=rng.randrange(1, 5000), b=rng.randrange(1000), c=rng.randrange(100))
            for _ in range(n)]


def best_times(fns, items, repeat=7):
    """Best seconds per item for each function; runs interleaved, so that a
    busy machine slows all of them alike."""
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            t = time.perf_counter()
            fn(items)
            best[i] = min(best[i], time.perf_counter() - t)
    return [b / len(items) for b in best]


def drop_each(fn):
    def run(items):
        for x in items:
            fn(x)
    return run


def keep_all(fn):
    return lambda items: [fn(x) for x in items]


def line(label, seconds, engine=None):
    ratio = "" if engine is None else f"   engine {seconds / engine:5.1f}x faster"
    print(f"  {label:32s}: {1 / seconds:12,.0f} prices/s ({seconds * 1e9:6.0f} ns each){ratio}")


def main():
    quick = "--quick" in sys.argv
    texts = price_texts(4000 if quick else 20000)
    repeat = 3 if quick else 7
    engine = [PriceNormalizer.parse(t) for t in texts]
    assert engine == [python_parse(t) for t in texts], "engine and the Python model disagree"
    priced = [p for p in engine if p is not None]
    print(f"price texts: {len(texts)} ({len(priced)} priced)")
    if Price is None:
        print("price-parser is not installed: pip install price-parser to compare with it")

    parse = PriceNormalizer.parse
    peers = [("Python model (re + str + pydantic)", python_parse)]
    if Price is not None:
        peers.append(("price-parser Price.fromstring", Price.fromstring))
    # Two uses: each result dropped at once, and all results kept (a list of
    # live records, which the cyclic collector keeps walking; all pay).
    for label, wrap in (("results dropped", drop_each), ("results kept", keep_all)):
        times = best_times([wrap(parse)] + [wrap(fn) for _, fn in peers], texts, repeat)
        print(f"{label}:")
        line("engine PriceNormalizer.parse", times[0])
        for (name, _), t in zip(peers, times[1:]):
            line(name, t, times[0])

        # Record construction alone, for the same values, used the same way;
        # the cost of the loop and the call that hands the values over is
        # measured with a call that builds nothing and taken off.
        values = [(p.raw, p.amount, p.currency) for p in priced]
        make = _commerce._price_record
        construct = NormalizedPrice.model_construct
        base, rec, mc, val = best_times(
            [wrap(lambda v: None), wrap(lambda v: make(*v)),
             wrap(lambda v: construct(raw=v[0], amount=v[1], currency=v[2])),
             wrap(lambda v: NormalizedPrice(raw=v[0], amount=v[1], currency=v[2]))],
            values, repeat)
        rec, mc, val = rec - base, mc - base, val - base
        share = rec * len(priced) / len(texts) / times[0]
        print(f"  record, engine                  : {rec * 1e9:5.0f} ns each, {share:.0%} of the engine's time per text")
        print(f"  record, model_construct         : {mc * 1e9:5.0f} ns each")
        print(f"  record, NormalizedPrice(...)    : {val * 1e9:5.0f} ns each")
    path = "direct slots" if _commerce._price_record_fast_path() else "validated construction (fallback)"
    print(f"engine records built by: {path}")


if __name__ == "__main__":
    main()
