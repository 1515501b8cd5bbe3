"""Writes the fuzzers' seed corpus: real pages, links and prices from the
demo's sample set and the shared test data, plus hostile shapes (unbalanced
and deeply nested markup and JSON, lone surrogates, odd links and numbers).

    python fuzz/seeds.py OUT_DIR [--max-len N]
"""

from __future__ import annotations

import argparse
import gzip
import hashlib
import json
import os
import sys
from collections.abc import Iterator
from pathlib import Path
from urllib.parse import urlsplit

sys.path.insert(0, str(Path(__file__).resolve().parent))
from targets import case  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
SHARED_DATA = Path(os.environ.get("QUILLMERE_SHARED_DATA") or ROOT.parent / "shared" / "data")
HTML_OPERATIONS = ("op_ld_json", "op_next_data", "op_meta_tags", "op_title")

HOSTILE_LINKS = [
    "http:////[x", "http://[x", "https://[::1", "https://[::1]:99999/", "https://a\ud800\uff1a8.co",
    "https://user:pa ss@Shop.Example:0/p?q=1#f", "//no-scheme.example/x", "mailto:a@b", "", "http://",
    "https://www.google.com/url?q=https%3A%2F%2Fwww.google.com%2Furl%3Fq%3Dhttps%253A%252F%252Fshop.example%252Fp",
    "https://www.bing.com/ck/a?u=a1aHR0cHM6Ly9zaG9wLmV4YW1wbGUvcA", "https://l.facebook.com/l.php?u=http%3A%2F%2F%5B",
    "https://shop.example/p?utm_source=x&" + "a=1&" * 200, "https://xn--80ak6aa92e.com/%ff%fe%00",
    "https://shop.example/\udc80", "HTTPS://SHOP.EXAMPLE./P;params?Q#%zz", "https://" + "a." * 300 + "example",
]
HOSTILE_PRICES = [
    "$1,299.99", "1.299,99 €", "£0.00", "USD 1e308", "9" * 400, "1,2,3,4,5", "€", "-$5", "١٢٣٫٤٥ ر.س",
    "$ 1 000 000", "0x1F USD", "nan USD", "inf EUR", "12.345.678,9 kr", "¥\ud800100", "$.5", "$5.", "CHF 1'234.50",
]
HOSTILE_PAGES = [
    '<script type="application/ld+json">' + "[" * 5000 + "]" * 5000 + "</script>",
    '<script type="application/ld+json">' + '{"a":' * 3000 + "1" + "}" * 3000 + "</script>",
    '<script type="application/ld+json">{"@type":"Product","name":"\\ud800 lone","offers":{"price":"1e400"}}</script>',
    '<script type="application/ld+json">{"@type":"Product","name":"unterminated',
    '<script id="__NEXT_DATA__" type="application/json">{"props":{"pageProps":{"product":{"name":"x","price":'
    + "9" * 500 + "}}}}</script>",
    "<meta " * 2000, "<title>" * 1000 + "</title>", "<!--" + "<title>x</title>" * 50,
    '<meta property="og:title" content="a\x00b"><meta name="price" content="&#99999999999999999999;">',
    "<div itemscope itemtype=http://schema.org/Product>" * 500 + '<span itemprop="sku">AB</span>',
    "<scr<script>ipt>" + "&" * 3000 + "&#x110000;&#xd800;&amp",
    "<dt>SKU</dt>" * 2000, "<b>Art.-Nr.:</b> " * 2000 + "\u54c1\u756a\uff1a", "<button>Add to cart <span>" * 1000,
    "<div data-qa='product-reference' class='related'>" * 1000 + "1002/710", "<a href=/p><b class=price>9\u20ac 99",
]
HOSTILE_PRICES += ["12. 50", "1.234, 56 \u20ac", "9\u20ac 99", "1, " * 500 + "2", "\u20ac 1. 2. 3. 45"]


def _demo_pages() -> Iterator[tuple[str, str]]:
    """(link, page) for each sample page of the demo."""
    demo = ROOT / "src" / "quillmere" / "demo"
    site = json.loads((demo / "site.json").read_text(encoding="utf-8"))
    links = {entry["page"]: f"https://{route}" for route, entry in site.items()
             if isinstance(entry, dict) and "page" in entry}
    for page in sorted((demo / "pages").glob("*.html")):
        yield links.get(page.name, f"https://shop.example/{page.stem}"), page.read_text(encoding="utf-8")


def _shared_pages(limit: int) -> Iterator[tuple[str, str]]:
    pages = SHARED_DATA / "product-pages"
    truth = {}
    if (pages / "ground-truth.json").exists():
        truth = json.loads((pages / "ground-truth.json").read_text(encoding="utf-8"))
    for path in sorted((pages / "pages").glob("*.html.gz"))[:limit]:
        key = path.name.split(".")[0]
        link = truth.get(key, {}).get("url") or f"https://shop.example/{key[:12]}"
        yield link, gzip.decompress(path.read_bytes()).decode("utf-8", "replace")


def _shared_json(limit: int) -> Iterator[str]:
    for path in sorted((SHARED_DATA / "jsontestsuite").glob("*.json"))[:limit]:
        yield path.read_bytes().decode("utf-8", "surrogateescape")


def cases(max_len: int, shared_pages: int = 24, shared_json: int = 400) -> Iterator[bytes]:
    matches = json.loads((ROOT / "src" / "quillmere" / "demo" / "matches.json").read_text(encoding="utf-8"))
    for m in matches:
        link, title, source = m.get("link", ""), m.get("title") or "", m.get("source") or ""
        price, currency = m.get("price") or "", m.get("currency") or ""
        yield case("op_unwrap", link)
        yield case("op_extract_domain", link)
        yield case("op_price", price, currency)
        yield case("op_classify", urlsplit(link).hostname or "", title, source, source)
        yield case("op_pipeline_export", title, link, source, price, currency, "")
    for link in HOSTILE_LINKS:
        yield case("op_unwrap", link)
        yield case("op_extract_domain", link)
        yield case("op_parse_metadata", "\0", link, "t", "m", "")
        yield case("op_classify", link, "Official Store", "Brand", "")
    for price in HOSTILE_PRICES:
        yield case("op_price", price, "")
        yield case("op_price", price, "EUR")
    pages = list(_demo_pages()) + list(_shared_pages(shared_pages))
    pages += [(f"https://shop.example/hostile/{i}", p) for i, p in enumerate(HOSTILE_PAGES)]
    for link, page in pages:
        page = page.encode("utf-8", "surrogatepass")[: max_len - 64].decode("utf-8", "ignore")
        for op in HTML_OPERATIONS:
            yield case(op, page)
        yield case("op_parse_metadata", page, link, "Seed title", "Seed shop", "$10.00")
        yield case("op_pipeline_export", "Seed \ud800 title", link, "Shop", "$10", "USD",
                   page.encode("utf-8", "surrogatepass"))
    for text in _shared_json(shared_json):
        yield case("op_ld_json", f'<script type="application/ld+json">{text}</script>')
        yield case("op_next_data", f'<script id="__NEXT_DATA__" type="application/json">{text}</script>')


def write(out_dir: Path, max_len: int) -> int:
    out_dir.mkdir(parents=True, exist_ok=True)
    count = 0
    for data in cases(max_len):
        data = data[:max_len]
        (out_dir / f"seed-{hashlib.sha1(data).hexdigest()}").write_bytes(data)
        count += 1
    return count


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out_dir", type=Path)
    parser.add_argument("--max-len", type=int, default=65536)
    args = parser.parse_args()
    print(f"{write(args.out_dir, args.max_len)} seeds in {args.out_dir}")


if __name__ == "__main__":
    main()
