"""Checks an installed quillmere from outside the source tree.

Run by scripts/wheel-check.sh with the interpreter of a fresh virtual
environment into which the built wheel was installed. Exits non-zero, naming
the problem, when the package is not the installed one or an answer is wrong.
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path


def fail(message: str) -> None:
    print(f"wheel check: {message}", file=sys.stderr)
    sys.exit(1)


def main() -> None:
    import quillmere
    from quillmere import _commerce
    from quillmere.commerce import (
        DestinationMetadataParser,
        MerchantClassifier,
        PriceNormalizer,
        URLUnwrapper,
    )
    from quillmere.models import MerchantCategory, PageType

    env_root = Path(sys.prefix).resolve()
    package = Path(quillmere.__file__).resolve()
    if env_root not in package.parents:
        fail(f"quillmere imported from {package}, not from the environment {env_root}")
    extension = Path(_commerce.__file__).resolve()

    # The extension needs nothing beyond the C and C++ runtimes.
    needed = subprocess.run(["ldd", str(extension)], capture_output=True, text=True, check=True).stdout
    if "pcre" in needed.lower():
        fail(f"the extension still links PCRE2 dynamically:\n{needed}")
    if "not found" in needed:
        fail(f"the extension misses a library:\n{needed}")

    link = "https://www.google.com/url?q=https://shop.example/p%3Futm_source%3Dlens%26id%3D7&sa=U"
    if (got := URLUnwrapper.unwrap(link)) != "https://shop.example/p?id=7":
        fail(f"unwrap gave {got!r}")
    if (got := URLUnwrapper.extract_domain("https://www.Shop.example/x?a=1")) != "shop.example":
        fail(f"extract_domain gave {got!r}")
    price = PriceNormalizer.parse("$1,299.99")
    if price is None or price.amount != 1299.99 or price.currency != "USD":
        fail(f"parse gave {price!r}")
    if (got := MerchantClassifier.classify("ebay.com", "Boots")) != MerchantCategory.MAJOR_MARKETPLACE:
        fail(f"classify gave {got!r}")
    # PCRE2 runs inside: a page with JSON-LD (pages of 200 characters or fewer are ignored).
    html = ('<html><head><title>Trail Boot | Shop</title><script type="application/ld+json">{"@type": "Product", "name": "Trail Boot",'
            ' "sku": "AB-1", "offers": {"price": "9.50", "priceCurrency": "EUR"}}</script></head></html>')
    meta = DestinationMetadataParser.parse_metadata(html, "https://shop.example/products/trail-boot")
    if (meta["title"], meta["sku"], meta["page_type"]) != ("Trail Boot", "AB-1", PageType.PRODUCT):
        fail(f"parse_metadata gave {meta!r}")
    if meta["price"] is None or (meta["price"].amount, meta["price"].currency) != (9.5, "EUR"):
        fail(f"parse_metadata read the price as {meta['price']!r}")
    print(f"wheel check: API answers right from {package.parent} ({extension.name})")


if __name__ == "__main__":
    main()
