"""Prices parsed per second: PriceNormalizer.parse against the same steps in
Python's re and str, and the share of the engine's time spent building the
NormalizedPrice record.

    PYTHONPATH=src python3 bench/bench_price.py
"""

from __future__ import annotations

import random
import time

from quillmere import _commerce
from quillmere.commerce import PriceNormalizer
from quillmere.models import NormalizedPrice

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from reference import ref_price as python_parse  # noqa: E402

def price_texts(n: int) -> list[str]:
    rng = random.Random(7)
    shapes = [
        "${a},{b:03d}.{c:02d}", "{a}.{b:03d},{c:02d} €", "EUR {a},{c:02d}", "£{a}", "{a} {b:03d},{c:02d} kr",
        "From ${a}.{c:02d} to ${b}.{c:02d}", "US$ {a}", "¥{a}{b:03d}", "{a},{c:02d} eur", "Price: {a}.{c:02d} GBP",
        "  CA${a}.{c:02d}  ", "₹{a},{b:03d}", "sold out", "{a}.{b:03d}.{b:03d}",
    ]
    return [rng.choice(shapes).format(a=rng.randrange(1, 5000), b=rng.randrange(1000), c=rng.randrange(100))
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


def main():
    texts = price_texts(20000)
    engine = [PriceNormalizer.parse(t) for t in texts]
    assert engine == [python_parse(t) for t in texts], "engine and Python disagree"
    priced = [p for p in engine if p is not None]
    print(f"price texts: {len(texts)} ({len(priced)} priced)")

    # Two uses: each result dropped at once, and all results kept (a list of
    # live records, which the cyclic collector keeps walking; both sides pay).
    parse = PriceNormalizer.parse
    for label, wrap in (("results dropped", drop_each), ("results kept", keep_all)):
        eng_each, py_each = best_times([wrap(parse), wrap(python_parse)], texts)
        print(f"{label}:")
        print(f"  engine PriceNormalizer.parse : {1 / eng_each:12,.0f} prices/s  ({eng_each * 1e9:5.0f} ns each)")
        print(f"  Python re + str + pydantic   : {1 / py_each:12,.0f} prices/s  ({py_each * 1e9:5.0f} ns each)")
        print(f"  speed-up                     : {py_each / eng_each:12.1f}x")

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
            values)
        rec, mc, val = rec - base, mc - base, val - base
        share = rec * len(priced) / len(texts) / eng_each
        print(f"  record, engine               : {rec * 1e9:5.0f} ns each, {share:.0%} of the engine's time per text")
        print(f"  record, model_construct      : {mc * 1e9:5.0f} ns each")
        print(f"  record, NormalizedPrice(...) : {val * 1e9:5.0f} ns each")
    path = "direct slots" if _commerce._price_record_fast_path() else "model_construct fallback"
    print(f"engine records built by: {path}")


if __name__ == "__main__":
    main()
