"""Synthetic but realistic shop pages for the extractor benchmark.

A page is built like a typical storefront: a head with links, styles and
scripts, optionally meta tags, JSON-LD blocks and a title; a body of
navigation, product cards, copy text and inline scripts; optionally the
Next.js page-data script at the end. Pages are deterministic for a seed.
"""

from __future__ import annotations

import json
import random

WORDS = (
    "classic leather sneaker running shoe cotton tee organic denim jacket slim fit wool coat "
    "waterproof hiking boot canvas tote bag stainless steel bottle wireless headphones noise "
    "cancelling smart watch ceramic mug linen shirt suede loafer merino sweater recycled "
    "polyester backpack limited edition free shipping returns size guide reviews "
    "café crème naïve größe tricot coton €49 — «nouveauté» 日本製"
).split()


def words(rng: random.Random, n: int) -> str:
    return " ".join(rng.choice(WORDS) for _ in range(n))


def product(rng: random.Random, i: int) -> dict:
    name = words(rng, 4).title()
    return {
        "@type": "Product",
        "name": name,
        "sku": f"SKU-{rng.randrange(10**8):08d}",
        "gtin13": str(rng.randrange(10**12, 10**13)),
        "brand": {"@type": "Brand", "name": rng.choice(["Acme", "Northwind", "Globex", "Initech"])},
        "image": [f"https://cdn.example-shop.com/img/{i}/{j}.jpg" for j in range(3)],
        "description": words(rng, 40),
        "offers": {
            "@type": "Offer",
            "price": f"{rng.uniform(5, 500):.2f}",
            "priceCurrency": "USD",
            "availability": "https://schema.org/InStock",
            "itemCondition": "https://schema.org/NewCondition",
            "url": f"https://www.example-shop.com/p/{i}",
        },
        "aggregateRating": {"@type": "AggregateRating", "ratingValue": round(rng.uniform(3, 5), 1),
                            "reviewCount": rng.randrange(2000)},
    }


def ld_json_blocks(rng: random.Random) -> str:
    group = {"@context": "https://schema.org", "@type": "ProductGroup", "name": words(rng, 3).title(),
             "productGroupID": "G-1", "hasVariant": [product(rng, k) for k in range(4)]}
    crumbs = {"@context": "https://schema.org", "@type": "BreadcrumbList", "itemListElement": [
        {"@type": "ListItem", "position": k + 1, "name": words(rng, 1), "item": f"https://www.example-shop.com/c/{k}"}
        for k in range(4)]}
    org = {"@context": "https://schema.org", "@graph": [
        {"@type": "Organization", "name": "Example Shop", "url": "https://www.example-shop.com"},
        {"@type": "WebSite", "name": "Example Shop", "potentialAction": {"@type": "SearchAction"}}]}
    return "".join(f'<script type="application/ld+json">{json.dumps(d, indent=1)}</script>\n'
                   for d in (org, group, crumbs))


def meta_tags(rng: random.Random) -> str:
    pairs = [
        ("property", "og:type", "product"), ("property", "og:title", words(rng, 5)),
        ("property", "og:description", words(rng, 20)), ("property", "og:image", "https://cdn.example-shop.com/og.jpg"),
        ("property", "og:url", "https://www.example-shop.com/p/1"), ("property", "product:price:amount", "129.00"),
        ("property", "product:price:currency", "USD"), ("name", "twitter:card", "summary_large_image"),
        ("name", "twitter:title", words(rng, 5)), ("name", "description", words(rng, 25)),
        ("name", "robots", "index, follow"), ("itemprop", "brand", "Acme"),
    ]
    return "".join(f'<meta {a}="{k}" content="{v}">\n' for a, k, v in pairs)


def next_data(rng: random.Random, size: int) -> str:
    items = []
    while len(json.dumps(items)) < size:
        items.append({"id": rng.randrange(10**6), "title": words(rng, 6), "slug": words(rng, 3).replace(" ", "-"),
                      "retailPriceCents": rng.randrange(500, 50000), "tags": words(rng, 4).split(),
                      "media": {"url": f"https://cdn.example-shop.com/m/{rng.randrange(10**6)}.webp", "w": 800}})
    doc = {"props": {"pageProps": {"product": {"name": words(rng, 4), "brandName": "Acme", "sku": "A-1",
                                               "retailPriceCents": 12999}, "related": items},
                     "__N_SSP": True}, "page": "/p/[slug]", "query": {"slug": "x"}, "buildId": "a1b2c3"}
    return f'<script id="__NEXT_DATA__" type="application/json">{json.dumps(doc)}</script>\n'


def body_chunk(rng: random.Random, i: int) -> str:
    cards = "".join(
        f'<div class="product-card grid__item" data-product-id="{rng.randrange(10**7)}">'
        f'<a href="/products/{words(rng, 2).replace(" ", "-")}" class="card__link">'
        f'<img src="https://cdn.example-shop.com/t/{rng.randrange(10**6)}.jpg" alt="{words(rng, 3)}" loading="lazy" '
        f'width="300" height="300"></a><h3 class="card__title">{words(rng, 4).title()}</h3>'
        f'<span class="price price--sale">${rng.uniform(5, 300):.2f}</span></div>\n'
        for _ in range(6))
    script = (f"<script>window.dataLayer=window.dataLayer||[];dataLayer.push({{event:'view_item_list',"
              f"index:{i},items:[{','.join(str(rng.randrange(999)) for _ in range(8))}]}});"
              f"(function(w,d){{var s=d.createElement('script');s.async=!0;s.src='/js/chunk-{i}.js';"
              f"d.head.appendChild(s)}})(window,document);</script>\n")
    text = f"<section class=\"copy\"><h2>{words(rng, 3).title()}</h2><p>{words(rng, 60)}</p></section>\n"
    return cards + script + text


def make_page(size: int, *, ld: bool, next_js: bool, meta: bool, title: bool = True, seed: int = 0) -> str:
    rng = random.Random(seed)
    head = ['<!DOCTYPE html><html lang="en"><head>\n']
    if meta:
        head.append('<meta charset="utf-8"><meta name="viewport" content="width=device-width, initial-scale=1">\n')
    if title:
        head.append(f"<title>\n  {words(rng, 5).title()} | Example Shop\n</title>\n")
    if meta:
        head.append(meta_tags(rng))
    head.append('<link rel="stylesheet" href="/assets/theme.3f2a9c.css"><link rel="preconnect" href="https://cdn.example-shop.com">\n')
    head.append("<style>.grid__item{display:flex;gap:8px}.price--sale{color:#c00}.card__title{font:600 1rem/1.2 sans-serif}</style>\n")
    head.append('<script src="/assets/vendor.js" defer></script>\n')
    if ld:
        head.append(ld_json_blocks(rng))
    head.append('</head><body><header class="site-header"><nav>'
                + "".join(f'<a href="/collections/{w}">{w}</a>' for w in WORDS[:12]) + "</nav></header><main>\n")
    tail = ["</main><footer><p>&copy; Example Shop</p></footer>\n"]
    if next_js:
        tail.append(next_data(rng, size // 3))
    tail.append("</body></html>\n")
    fixed = sum(len(x) for x in head + tail)
    body, n, i = [], fixed, 0
    while n < size:
        chunk = body_chunk(rng, i)
        body.append(chunk)
        n += len(chunk)
        i += 1
    return "".join(head + body + tail)


SIZES = (20_000, 100_000, 500_000, 2_000_000)
VARIANTS = {
    "bare": dict(ld=False, next_js=False, meta=False, title=False),
    "meta": dict(ld=False, next_js=False, meta=True),
    "ld+meta": dict(ld=True, next_js=False, meta=True),
    "next+meta": dict(ld=False, next_js=True, meta=True),
    "all": dict(ld=True, next_js=True, meta=True),
}


def page_set() -> list[tuple[str, str]]:
    """(label, page) for every variant and size."""
    return [(f"{name}/{size // 1000}K", make_page(size, seed=size, **kw))
            for name, kw in VARIANTS.items() for size in SIZES]
