"""Cost of replacing an export file safely: the unnamed temporary file (Linux)
against a named one, in an empty folder and in one that holds many other files
(the named way first looks for temporaries a killed writer left).

    PYTHONPATH=src python3 bench/bench_export.py [--files N] [--repeat R]
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time
from pathlib import Path

from quillmere import _commerce


def best_seconds(fns, repeat):
    """Best seconds per call of each function, interleaved so that a busy
    machine slows all of them alike."""
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            t = time.perf_counter()
            fn()
            best[i] = min(best[i], time.perf_counter() - t)
    return best


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--files", type=int, default=20000, help="other files in the crowded folder")
    ap.add_argument("--repeat", type=int, default=30)
    args = ap.parse_args()
    small, large = b"x" * 4096, os.urandom(8 << 20)
    with tempfile.TemporaryDirectory() as empty, tempfile.TemporaryDirectory() as crowded:
        for i in range(args.files):
            Path(crowded, f"other-{i:06d}.csv").touch()
        print(f"{'content':>8} {'folder':>22}  {'unnamed':>9}  {'named':>9}  named/unnamed")
        for content in (small, large):
            for folder, label in ((empty, "empty"), (crowded, f"{args.files:,} other files")):
                target = os.path.join(folder, "commerce.csv")
                unnamed, named = best_seconds([
                    lambda: _commerce._write_file_atomically(target, content),
                    lambda: _commerce._write_file_atomically(target, content, named_temporary=True),
                ], args.repeat if content is small else max(3, args.repeat // 10))
                size = f"{len(content) >> 10} KiB" if len(content) < 1 << 20 else f"{len(content) >> 20} MiB"
                print(f"{size:>8} {label:>22}  {unnamed * 1e3:7.2f}ms  {named * 1e3:7.2f}ms  {named / unnamed:.2f}")
        # the look for stale temporaries, which only the named way takes
        t_empty, t_crowded = best_seconds([
            lambda: _commerce._write_file_atomically(os.path.join(empty, "commerce.csv"), small, named_temporary=True),
            lambda: _commerce._write_file_atomically(os.path.join(crowded, "commerce.csv"), small,
                                                     named_temporary=True),
        ], args.repeat)
        print(f"named way: looking through {args.files:,} other files adds {(t_crowded - t_empty) * 1e3:.2f} ms "
              f"per export ({t_crowded / t_empty:.1f}x a small export in an empty folder)")

if __name__ == "__main__":
    main()
