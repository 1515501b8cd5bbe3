"""Generate a reproducible set of realistic destination pages for benchmarks.

    python3 bench/gen_pages.py [OUT_DIR] [--count N]

Writes N pages (default 60, 20 KB to 2 MB) and an index.json listing each
page's file, link and kind. Kinds: JSON-LD product pages (plain, "@graph",
product groups with variants), Next.js shops, meta-only pages, microdata
pages, shop-theme (WooCommerce) pages and articles. A share of the pages
carries non-ASCII text (German, French, Japanese, Russian, emoji). Everything
is derived from a fixed seed, so every run writes the same bytes.
"""

from __future__ import annotations

import argparse
import html
import json
import random
from pathlib import Path

DEFAULT_OUT = Path(__file__).resolve().parent.parent / "build" / "bench_pages"

WORDS = ("classic leather sneaker waterproof jacket merino wool scarf running shoe canvas tote bag "
         "stainless steel watch ceramic mug linen shirt denim jeans hiking boot wireless headphones "
         "organic cotton hoodie vintage camera bamboo sunglasses silk dress cashmere sweater").split()
FOREIGN = [
    "Größe wählen – Lieferung in 2–3 Werktagen, kostenloser Rückversand für Bestellungen über 50 €.",
    "Livraison offerte dès 60 € d'achat · Retours gratuits sous 30 jours · Paiement sécurisé.",
    "送料無料・最短翌日お届け。サイズ交換は到着後30日以内に承ります。",
    "Бесплатная доставка от 3000 ₽. Возврат в течение 14 дней без объяснения причин.",
    "Top rated 🔥 ⭐⭐⭐⭐⭐ – customers love the fit 👟✨",
]
BRANDS = ["Acme", "Northwind", "Fjällräven", "Maison Kitsuné", "Ōkami", "Bellroy", "Patagonia", "Veja"]
CURRENCIES = ["USD", "EUR", "GBP", "JPY", "CAD"]


def sentence(rng: random.Random, n: int = 12) -> str:
    return " ".join(rng.choice(WORDS) for _ in range(n)).capitalize() + "."


def text_block(rng: random.Random, foreign: bool) -> str:
    parts = [sentence(rng, rng.randint(8, 20)) for _ in range(rng.randint(2, 5))]
    if foreign:
        parts.append(rng.choice(FOREIGN))
    return html.escape(" ".join(parts), quote=False)


def head(rng: random.Random, title: str, meta: dict[str, str]) -> str:
    tags = ['<meta charset="utf-8">', '<meta name="viewport" content="width=device-width, initial-scale=1">']
    tags += [f'<meta property="{k}" content="{html.escape(v)}">' for k, v in meta.items()]
    tags += [f'<link rel="stylesheet" href="/assets/css/app.{rng.randrange(16**8):08x}.css">' for _ in range(3)]
    tags.append("<style>" + "".join(f".c{i}{{margin:{i % 7}px;color:#{rng.randrange(16**6):06x}}}"
                                    for i in range(rng.randint(50, 200))) + "</style>")
    tags.append("<script>window.dataLayer=window.dataLayer||[];function gtag(){dataLayer.push(arguments)}"
                "gtag('js',new Date());gtag('config','G-" + f"{rng.randrange(16**8):08X}" + "');</script>")
    return f"<head>{''.join(tags)}<title>{html.escape(title)}</title></head>"


def nav(rng: random.Random) -> str:
    items = "".join(f'<li class="nav__item"><a class="nav__link" href="/collections/{w}">{w.title()}</a></li>'
                    for w in rng.sample(WORDS, 12))
    return f'<header class="site-header"><nav class="nav" aria-label="Main"><ul class="nav__list">{items}</ul></nav></header>'


def filler(rng: random.Random, target: int, foreign: bool, markup: str = "") -> str:
    """Product grids, reviews and footers until the body reaches `target` characters."""
    out, size = [], 0
    while size < target:
        kind = rng.random()
        if kind < 0.4:
            cards = "".join(
                f'<div class="product-card c{rng.randrange(200)}" data-id="{rng.randrange(10**6)}">'
                f'<a href="/products/{rng.choice(WORDS)}-{rng.randrange(999)}"><img loading="lazy" '
                f'src="https://cdn.example.com/img/{rng.randrange(16**10):010x}.jpg" alt="{rng.choice(WORDS)}"></a>'
                f'<h3 class="product-card__title">{sentence(rng, 4)}</h3>'
                f'<span class="price">{rng.randint(5, 900)}.{rng.randint(0, 99):02d}</span>{markup}</div>'
                for _ in range(rng.randint(4, 12)))
            block = f'<section class="grid grid--4">{cards}</section>'
        elif kind < 0.75:
            block = (f'<article class="review" itemscope><div class="review__stars" aria-label="{rng.randint(1, 5)} stars">'
                     f'</div><p class="review__body">{text_block(rng, foreign)}</p>'
                     f'<footer class="review__author">{rng.choice(BRANDS)} customer</footer></article>')
        else:
            block = ("<script>(function(){var e=document.querySelectorAll('[data-id]');for(var i=0;i<e.length;i++)"
                     "{e[i].addEventListener('click',function(t){window.dataLayer.push({event:'select_item',id:"
                     "t.currentTarget.dataset.id})})}})();</script>"
                     + f'<div class="c{rng.randrange(200)}"><p>{text_block(rng, foreign)}</p></div>')
        out.append(block)
        size += len(block)
    return "".join(out)


def product_facts(rng: random.Random) -> dict:
    name = sentence(rng, rng.randint(2, 5))[:-1]
    return {
        "name": name, "brand": rng.choice(BRANDS), "sku": f"{rng.choice('ABCDEFG')}{rng.randrange(10**6):06d}",
        "price": f"{rng.randint(5, 2000)}.{rng.choice(['00', '99', '50', '95'])}",
        "currency": rng.choice(CURRENCIES), "image": f"https://cdn.example.com/p/{rng.randrange(16**12):012x}.jpg",
    }


def page_ld_json(rng, facts, size, foreign):
    offer = {"@type": "Offer", "price": facts["price"], "priceCurrency": facts["currency"],
             "availability": rng.choice(["https://schema.org/InStock", "https://schema.org/OutOfStock"]),
             "itemCondition": "https://schema.org/NewCondition"}
    product = {"@context": "https://schema.org", "@type": "Product", "name": facts["name"],
               "image": [facts["image"]], "brand": {"@type": "Brand", "name": facts["brand"]},
               "sku": facts["sku"], "offers": offer, "description": text_block(rng, foreign)}
    style = rng.randrange(3)
    if style == 1:
        doc = {"@context": "https://schema.org", "@graph": [
            {"@type": "WebSite", "name": facts["brand"], "url": "https://shop.example"},
            {"@type": "BreadcrumbList", "itemListElement": [{"@type": "ListItem", "position": i, "name": w}
                                                            for i, w in enumerate(rng.sample(WORDS, 4))]},
            product]}
    elif style == 2:
        variants = [{"@type": "Product", "sku": f"{facts['sku']}-{s}", "image": [{"@type": "ImageObject",
                                                                              "url": facts["image"]}],
                     "offers": offer} for s in ("S", "M", "L", "XL")]
        doc = {"@context": "https://schema.org", "@type": "ProductGroup", "name": facts["name"],
               "brand": {"@type": "Brand", "name": facts["brand"]}, "hasVariant": variants}
    else:
        doc = product
    scripts = f'<script type="application/ld+json">{json.dumps(doc, ensure_ascii=not foreign)}</script>'
    meta = {"og:type": "product", "og:title": facts["name"], "og:image": facts["image"],
            "og:site_name": facts["brand"]}
    return meta, scripts + filler(rng, size, foreign)


def page_next(rng, facts, size, foreign):
    product = {"id": rng.randrange(10**8), "name": facts["name"], "brandName": facts["brand"],
               "sku": facts["sku"], "retailPriceCents": int(float(facts["price"]) * 100),
               "specialDisplayPriceCents": 0, "images": [{"src": facts["image"]}] * 6,
               "description": text_block(rng, foreign),
               "reviews": [{"author": rng.choice(BRANDS), "body": text_block(rng, foreign)}
                           for _ in range(rng.randint(5, 40))]}
    data = {"props": {"pageProps": {"initialState": {"catalog": {"productTemplate": product}},
                                    "locale": "en-US"}}, "page": "/p/[slug]", "buildId": "x1"}
    body = filler(rng, size, foreign)
    script = f'<script id="__NEXT_DATA__" type="application/json">{json.dumps(data, ensure_ascii=not foreign)}</script>'
    return {"og:type": "website", "og:title": facts["name"]}, body + script


def page_meta(rng, facts, size, foreign):
    meta = {"og:type": "product", "og:title": facts["name"], "og:image": facts["image"],
            "product:brand": facts["brand"], "product:price:amount": facts["price"],
            "product:price:currency": facts["currency"], "product:availability": "instock"}
    return meta, filler(rng, size, foreign)


def page_microdata(rng, facts, size, foreign):
    block = (f'<div itemscope itemtype="https://schema.org/Product"><h1 itemprop="name">{facts["name"]}</h1>'
             f'<div itemprop="offers" itemscope itemtype="https://schema.org/Offer">'
             f'<meta itemprop="price" content="{facts["price"]}">'
             f'<meta itemprop="priceCurrency" content="{facts["currency"]}">'
             f'<link itemprop="availability" href="https://schema.org/InStock"></div>'
             f'<meta itemprop="sku" content="{facts["sku"]}"></div>')
    return {"og:title": facts["name"]}, filler(rng, size // 2, foreign) + block + filler(rng, size // 2, foreign)


def page_shop_theme(rng, facts, size, foreign):
    price = f"{int(float(facts['price'])):,}.{facts['price'].split('.')[1]}"
    block = (f'<p class="price"><span class="woocommerce-Price-amount amount"><bdi>'
             f'<span class="woocommerce-Price-currencySymbol">$</span>{price}</bdi></span></p>'
             f'<span class="sku_wrapper">SKU: <span class="sku">{facts["sku"]}</span></span>'
             f'<p class="stock in-stock instock">In stock</p>')
    return {"og:site_name": facts["brand"]}, block + filler(rng, size, foreign)


def page_article(rng, facts, size, foreign):
    meta = {"og:type": "article", "og:title": f"The 10 best {rng.choice(WORDS)}s of the year",
            "author": rng.choice(BRANDS), "og:image": facts["image"]}
    paragraphs = "".join(f"<p>{text_block(rng, foreign)}</p>" for _ in range(20))
    return meta, f'<main class="post"><h1>{meta["og:title"]}</h1>{paragraphs}</main>' + filler(rng, size, foreign)


KINDS = {"ld_json": page_ld_json, "next_data": page_next, "meta": page_meta, "microdata": page_microdata,
         "shop_theme": page_shop_theme, "article": page_article}


def build(index: int) -> tuple[dict, str]:
    rng = random.Random(1000 + index)
    kind = list(KINDS)[index % len(KINDS)]
    # Sizes spread log-uniformly from 20 KB to 2 MB.
    size = int(20_000 * 100 ** rng.random())
    foreign = index % 3 == 0
    facts = product_facts(rng)
    meta, body = KINDS[kind](rng, facts, size, foreign)
    slug = facts["name"].lower().replace(" ", "-")
    path = f"/blog/{slug}" if kind == "article" else f"/products/{slug}"
    doc = (f"<!DOCTYPE html><html lang=\"en\">{head(rng, facts['name'] + ' | ' + facts['brand'], meta)}"
           f"<body class=\"template-{kind}\">{nav(rng)}{body}<footer class=\"site-footer\">"
           f"<p>&copy; 2024 {html.escape(facts['brand'])} &middot; All rights reserved</p></footer></body></html>")
    entry = {"file": f"page_{index:03d}_{kind}.html", "url": f"https://www.shop{index}.example{path}",
             "kind": kind, "title": facts["name"], "merchant": facts["brand"]}
    return entry, doc


def generate(out_dir: Path = DEFAULT_OUT, count: int = 60) -> list[dict]:
    out_dir.mkdir(parents=True, exist_ok=True)
    index = []
    for i in range(count):
        entry, doc = build(i)
        (out_dir / entry["file"]).write_text(doc, encoding="utf-8")
        index.append(entry)
    (out_dir / "index.json").write_text(json.dumps(index, indent=1), encoding="utf-8")
    return index


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out_dir", nargs="?", type=Path, default=DEFAULT_OUT)
    ap.add_argument("--count", type=int, default=60)
    args = ap.parse_args()
    index = generate(args.out_dir, args.count)
    sizes = [(args.out_dir / e["file"]).stat().st_size for e in index]
    print(f"{len(index)} pages in {args.out_dir}: {min(sizes) / 1e3:.0f} KB to {max(sizes) / 1e6:.2f} MB, "
          f"{sum(sizes) / 1e6:.1f} MB in all")


if __name__ == "__main__":
    main()
