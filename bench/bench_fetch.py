"""Batch fetch through the real Scrapling fetcher against a loopback server.

256 distinct links, each answered after 50 ms; prints the wall time of one
`fetch_many` call next to the ideal ceil(256 / bound) x 50 ms, for the default
bound (from the processor count) and for the cap of 32; then the time a page
that never answers costs with `timeout=1` (limit: timeout + 1 = 2 s).

    PYTHONPATH=src python3 bench/bench_fetch.py
"""

import asyncio
import math
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from loopback_server import HANG, LoopbackServer  # noqa: E402

from quillmere import commerce  # noqa: E402
from quillmere.commerce import ScraplingDestinationFetcher  # noqa: E402

LINKS = 256
DELAY = 0.05


def main() -> None:
    if commerce.AsyncFetcher is None:
        sys.exit("scrapling's AsyncFetcher is not importable")
    body = b"<html><head><title>Item</title></head><body>" + b"<p>x</p>" * 500 + b"</body></html>"
    with LoopbackServer({"/hang": (200, b"", HANG)}, fallback=(200, body, DELAY)) as srv:
        # One request first, so library set-up is not charged to the batch.
        asyncio.run(ScraplingDestinationFetcher.fetch_many([srv.url("/warm-up")]))
        default = ScraplingDestinationFetcher._default_bound()
        for label, max_workers, bound in (("default", None, default), ("max_workers=32", 32, 32)):
            srv.reset_counts()
            urls = [srv.url(f"/{label}/{i}") for i in range(LINKS)]
            start = time.perf_counter()
            pages = asyncio.run(ScraplingDestinationFetcher.fetch_many(urls, max_workers=max_workers))
            wall = time.perf_counter() - start
            ideal = math.ceil(LINKS / bound) * DELAY
            fetched = sum(text is not None for text in pages.values())
            print(f"fetch_many {LINKS} links, {DELAY * 1000:.0f} ms each, {label} (bound {bound}): "
                  f"wall {wall:.3f} s, ideal {ideal:.3f} s, ratio {wall / ideal:.2f}, "
                  f"fetched {fetched}/{LINKS}, server max in flight {srv.max_in_flight}")

        start = time.perf_counter()
        pages = asyncio.run(ScraplingDestinationFetcher.fetch_many([srv.url("/hang")], timeout=1))
        wall = time.perf_counter() - start
        print(f"fetch_many 1 link that never answers, timeout=1: absent={pages[srv.url('/hang')] is None}, "
              f"wall {wall:.3f} s, limit 2.000 s")


if __name__ == "__main__":
    main()
