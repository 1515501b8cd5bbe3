"""Link unwrapping side by side with the pure-Python peers, in one run.

For each set of links: URLUnwrapper.unwrap against w3lib's url_query_cleaner
(the same tracking names removed, fragments kept; when w3lib is installed),
and against the same steps written with urllib.parse (tests/reference.py,
timed on the first 1,000 links); then extract_domain against urllib.parse.
The functions compared take turns, so a busy machine slows them alike. Every link of a set is distinct, so no
cache (urlsplit's lru_cache included) helps any of them.

Sets: links harvested from real pages (the gzip pages of the shared product
pages, when present, and the demo pages), a 20-parameter query, a short
link, search redirects wrapping the real links, and non-ASCII links.

Run: PYTHONPATH=src python3 bench/bench_url.py [seconds per measurement]

Where the time goes (perf in this script's loop; callgrind instruction
counts of the core alone, per link):
- The call. nanobind's general dispatch (keyword matching, the checked
  argument types, the translation of errors) cost 20-40 ns a call, as much
  as unwrapping a link without a query. The usual call (one positional str)
  now comes in through a plain vectorcall function (bindings/fast.hpp) that
  hands anything else to the checked function: the real links went from
  110 to 81 ns, the short link from 59 to 39 ns. Holding a str argument as a
  view alone (no std::string beside it) saved another 7 ns on every entry.
- Links without a query (three quarters of the real ones): splitting and
  joining them back took 836 instructions. The usual link ("http(s)://",
  printable ASCII, no brackets or parameters) is now checked in one pass of
  sixteen-byte blocks, its landmarks found with memchr, and comes back as
  the argument itself: 306 instructions, 13 ns.
- Queries: the one pass used to copy byte by byte, zero-fill three times
  the query's size of room (std::string::resize) and decode hex digits
  with branches; verbatim runs are now copied sixteen bytes at a time, the
  room is a buffer per thread, hex digits come from a table. Long real
  queries often hold more than 24 names and went to the general reading
  (a hash table of parsed fields): the one pass now keeps up to 64 names,
  which took the queried real links from 4,100 to 2,600 instructions.
- Many short fields (the 20-parameter query): per-field branches cost more
  than the work in the interpreter's loop, so such a query is read through
  bitmaps of its bytes ("&", "=", bytes a name must be decoded for, bytes
  the re-encoding changes) and each field found and judged by bit scans
  within one word: 8,050 instructions before, 5,930 now.
- Left: the re-encoding of escaped values (a third of the queried real
  links' time, branches on the data), and building the result str.
"""
import gzip
import html
import re
import sys
import time
from pathlib import Path
from urllib.parse import quote

from quillmere.commerce import TRACKING_PARAMS, URLUnwrapper

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))
from reference import ref_extract_domain, ref_unwrap  # noqa: E402

try:
    from w3lib.url import url_query_cleaner
except ImportError:  # the peer is optional
    url_query_cleaner = None

PAGE_DIRS = [ROOT.parent / "shared" / "data" / "product-pages" / "pages", ROOT / "src" / "quillmere" / "demo" / "pages"]
LINK_ATTR = re.compile(r"""(?:href|src|content|action)\s*=\s*["']([^"']+)["']""", re.IGNORECASE)
TRACKING = sorted(TRACKING_PARAMS)


def splits(link):
    try:
        ref_unwrap(link)
        return True
    except ValueError:  # a malformed bracketed host, say: not what is timed here
        return False


def harvest_links():
    """Distinct absolute http(s) links found in the attributes of real pages
    that urllib.parse can split."""
    links = {}
    for folder in PAGE_DIRS:
        for path in sorted(folder.glob("*.html*")) if folder.is_dir() else []:
            data = path.read_bytes()
            if path.suffix == ".gz":
                data = gzip.decompress(data)
            for m in LINK_ATTR.finditer(data.decode("utf-8", "replace")):
                link = html.unescape(m.group(1)).strip()
                if link.startswith(("http://", "https://")) and not any(c in link for c in "\t\r\n"):
                    links[link] = None
    return [u for u in links if splits(u)]


def twenty_parameters(n):
    fields = ["utm_source=news", "utm_medium=email", "utm_campaign=spring_sale", "gclid=Cj0KCQiA1", "id={i}",
              "color=navy%20blue", "size=M", "ref=hp", "sort=price_asc", "page=2", "q=red+shoes",
              "filter%5Bbrand%5D=acme", "lang=en-US", "currency=EUR", "ved=2ahUKEwj", "sa=X", "source=web",
              "fbclid=IwAR3x", "variant=998877", "session=ab12cd34"]
    query = "&".join(fields)
    return [f"https://shop.example.com/p/item?{query.format(i=i)}" for i in range(n)]


def short_links(n):
    return [f"https://s.example/p?id={i}" for i in range(n)]  # 27 characters for 5-digit ids


def redirects(real):
    return [f"https://www.google.com/url?sa=t&rct=j&q={quote(u, safe='')}&ved=2ahUKEwi{i}&usg=AOvVaw{i}"
            for i, u in enumerate(real)]


def non_ascii(real, n):
    own = [u for u in real if not u.isascii()]
    words = ["café", "Zürich", "日本語", "größe", "плащ", "niño", "€"]
    made = []
    for i in range(n - len(own)):
        w = words[i % len(words)]
        made.append(f"https://boutique.example/{w}/{i}?nom={w}&ville={quote(w)}&utm_source=x&taille=M#{w}")
    return own + made


def per_call_ns(fns, links, seconds, chunk=200):
    """Time per call of each function: the set is cut into chunks, the
    functions take turns on each chunk, and each chunk counts with its best
    time over the rounds, so that a busy machine (other processes taking the
    processor for a while) slows them alike and is filtered out."""
    chunks = [links[i:i + chunk] for i in range(0, len(links), chunk)]
    best = [[float("inf")] * len(chunks) for _ in fns]
    clock = time.perf_counter
    deadline = clock() + seconds * len(fns)
    while True:
        for c, part in enumerate(chunks):
            for k, fn in enumerate(fns):
                t = clock()
                for u in part:
                    fn(u)
                t = clock() - t
                if t < best[k][c]:
                    best[k][c] = t
        if clock() > deadline:
            return [sum(b) / len(links) * 1e9 for b in best]


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 0.3
    real = harvest_links()
    if not real:
        sys.exit("no pages found to harvest links from")
    sets = [
        ("real links", real),
        ("20-parameter query", twenty_parameters(2000)),
        ("short link", short_links(2000)),
        ("redirects", redirects(real)),
        ("non-ASCII", non_ascii(real, 2000)),
    ]
    unwrap, domain = URLUnwrapper.unwrap, URLUnwrapper.extract_domain

    def cleaner(u):
        return url_query_cleaner(u, TRACKING, remove=True, unique=False, keep_fragments=True)

    print(f"{'set':20s} {'links':>6s} {'unwrap':>9s} {'w3lib':>9s} {'ratio':>6s} {'urllib':>9s} {'ratio':>6s}"
          f"   {'domain':>8s} {'urllib':>9s} {'ratio':>6s}   (ns per link)", flush=True)
    for name, links in sets:
        assert len(set(links)) == len(links), name
        assert [unwrap(u) for u in links] == [ref_unwrap(u) for u in links], name
        ours, peer = per_call_ns([unwrap, cleaner], links, seconds) if url_query_cleaner else (
            per_call_ns([unwrap], links, seconds) + [float("nan")])
        # The urllib model is slow: timed on a slice, beside the engine on the same slice.
        part = links[:1000]
        ours_part, model = per_call_ns([unwrap, ref_unwrap], part, seconds / 2)
        d_ours, d_model = per_call_ns([domain, ref_extract_domain], part, seconds / 2)
        print(f"{name:20s} {len(links):6d} {ours:9.0f} {peer:9.0f} {peer / ours:5.1f}x {model:9.0f} {model / ours_part:5.1f}x"
              f"   {d_ours:8.0f} {d_model:9.0f} {d_model / d_ours:5.1f}x", flush=True)
    if url_query_cleaner is None:
        print("w3lib is not installed: its column is empty (pip install w3lib)")


if __name__ == "__main__":
    main()
