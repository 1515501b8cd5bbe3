"""The engine's operations written plainly with Python's urllib.parse, re, json
and str: the references that the parity tests compare the engine with, and
the Python side of the benchmarks."""

import json
import re
from urllib.parse import parse_qs, urlencode, urlparse, urlunparse

from quillmere import commerce
from quillmere.commerce import (
    CURRENCY_MAP,
    CURRENCY_TOKEN_PATTERN,
    MARKETPLACE_DOMAINS,
    RESELLER_DOMAINS,
    TRACKING_PARAMS,
)
from quillmere.models import MerchantCategory, NormalizedPrice

# ------------------------------------------------------------------ links
def ref_unwrap(url):
    if not url:
        return ""
    p = urlparse(url)
    if "google." in p.netloc and p.path == "/url":
        qs = parse_qs(p.query)
        if qs.get("q"):
            p = urlparse(qs["q"][0])
        elif qs.get("url"):
            p = urlparse(qs["url"][0])
    query = ""
    if p.query:
        qs = parse_qs(p.query)
        query = urlencode({k: v for k, v in qs.items() if k.lower() not in TRACKING_PARAMS}, doseq=True)
    fragment = p.fragment
    if ":~:text=" in fragment or fragment.startswith(":~:"):
        fragment = ""
    return urlunparse((p.scheme, p.netloc, p.path, p.params, query, fragment))


def ref_extract_domain(url):
    if not url:
        return ""
    netloc = urlparse(url).netloc.lower()
    return netloc[4:] if netloc.startswith("www.") else netloc



# ----------------------------------------------------------------- prices
PATTERN = re.compile(
    r"(?:(" + CURRENCY_TOKEN_PATTERN + r")\s*)?([0-9]+(?:[,\.\s][0-9]+)*)(?:\s*(" + CURRENCY_TOKEN_PATTERN + r"))?",
    re.IGNORECASE,
)


def ref_price(raw_price, currency_hint=None, pattern=PATTERN):
    if not raw_price:
        return None
    cleaned = raw_price.strip()
    if not cleaned:
        return None
    m = pattern.search(cleaned)
    if not m:
        return None
    before, number, after = m.groups()
    code = (before or after or currency_hint or "USD").upper().strip()
    num = number.replace(" ", "")
    if "," in num and "." in num:
        if num.index(",") < num.index("."):
            num = num.replace(",", "")
        else:
            num = num.replace(".", "").replace(",", ".")
    elif "," in num:
        parts = num.split(",")
        num = num.replace(",", ".") if len(parts) == 2 and len(parts[1]) == 2 else num.replace(",", "")
    try:
        return NormalizedPrice(raw=cleaned, amount=round(float(num), 2), currency=CURRENCY_MAP.get(code, code))
    except ValueError:
        return None


# -------------------------------------------------------------- merchants
DISCARDED = {"www", "store", "shop", "app", "m", "us", "uk", "ca", "eu", "de", "fr", "es", "it", "jp", "cn", "in", "au"}
SECOND_LEVEL = {"co", "com", "org", "net", "gov", "edu"}
IGNORED = {"the", "and", "official"}


def ref_extract_sld(domain):
    labels = domain.lower().strip().split(".")
    while labels and labels[0] in DISCARDED:
        labels.pop(0)
    if not labels:
        return ""
    if len(labels) > 2 and labels[-2] in SECOND_LEVEL:
        return labels[-3]
    return labels[-2] if len(labels) >= 2 else labels[0]


def ref_is_match(alpha_sld, text):
    if not text:
        return False
    norm = re.sub(r"[^a-z0-9]", "", text.lower())
    if not norm:
        return False
    if alpha_sld in norm or norm in alpha_sld:
        return True
    tokens = [t for t in re.findall(r"[a-z0-9]+", text.lower()) if len(t) >= 3 and t not in IGNORED]
    return bool(tokens) and all(t in alpha_sld for t in tokens)


def ref_classify(domain, title="", brand=None, merchant_name=None):
    d = domain.lower().strip()
    if not d:
        return MerchantCategory.UNVERIFIED
    if any(d == m or d.endswith("." + m) for m in MARKETPLACE_DOMAINS):
        return MerchantCategory.MAJOR_MARKETPLACE
    if any(d == m or d.endswith("." + m) for m in RESELLER_DOMAINS):
        return MerchantCategory.RESELLER_SPECIALIST
    alpha = re.sub(r"[^a-z0-9]", "", ref_extract_sld(d))
    if len(alpha) < 3:
        return MerchantCategory.UNVERIFIED
    for name in (brand, merchant_name, title):
        if name and ref_is_match(alpha, name):
            return MerchantCategory.OFFICIAL_BRAND
    return MerchantCategory.UNVERIFIED


# ------------------------------------------------------------- CSV export
def _enum_text(v):
    return "" if v is None else v.value


# The CSV export's columns in order: title, and the cell an item gets.
CSV_COLUMNS = [
    ("Match Score", lambda it: f"{it.match_score}%"),
    ("Relevance", lambda it: _enum_text(it.relevance)),
    ("Page Type", lambda it: it.page_type.value),
    ("Brand", lambda it: it.brand or ""),
    ("SKU", lambda it: it.sku or ""),
    ("Condition", lambda it: _enum_text(it.condition)),
    ("Title", lambda it: it.title),
    ("Price Amount", lambda it: "" if it.price is None else it.price.amount),
    ("Currency", lambda it: "" if it.price is None else it.price.currency),
    ("Stock Status", lambda it: _enum_text(it.stock_status)),
    ("Merchant Name", lambda it: it.merchant_name or ""),
    ("Merchant Category", lambda it: _enum_text(it.merchant_category)),
    ("Direct URL", lambda it: it.direct_url),
    ("Original URL", lambda it: it.original_url),
    ("Primary Image URL", lambda it: it.primary_image_url or ""),
]
CSV_HEADER = [title for title, _ in CSV_COLUMNS]


# ------------------------------------------------------------- extractors
NEXT_RE = re.compile(r'<script[^>]+id=["\']__NEXT_DATA__["\'][^>]*>(.*?)</script>', re.DOTALL)
TITLE_RE = re.compile(r"<title[^>]*>(.*?)</title>", re.IGNORECASE | re.DOTALL)


def ref_ld(html):
    out = []

    def walk(v):
        if isinstance(v, dict):
            t = v.get("@type")
            if t in ("Product", "ProductGroup", "IndividualProduct") or (
                isinstance(t, list) and ("Product" in t or "ProductGroup" in t)
            ):
                out.append(v)
            if isinstance(v.get("@graph"), list):
                for x in v["@graph"]:
                    walk(x)
            for x in v.values():
                if isinstance(x, (dict, list)):
                    walk(x)
        elif isinstance(v, list):
            for x in v:
                walk(x)

    for m in commerce._LD_JSON_SCRIPT_PATTERN.finditer(html):
        raw = m.group(1).strip()
        if raw:
            try:
                walk(json.loads(raw))
            except ValueError:
                pass
    return out


def ref_next(html):
    m = NEXT_RE.search(html)
    if not m:
        return None

    def search_dict(d):
        if not isinstance(d, dict):
            return None
        if ("brandName" in d or "brand" in d) and ("sku" in d or "name" in d):
            return d
        for v in d.values():
            r = search_dict(v)
            if r is not None:
                return r
        return None

    try:
        page_props = json.loads(m.group(1)).get("props", {}).get("pageProps", {})
        for key in ("productTemplate", "product", "item", "productDetails"):
            if isinstance(page_props.get(key), dict):
                return page_props[key]
        return search_dict(page_props)
    except Exception:
        return None


def ref_meta(html):
    out = {}
    for m in commerce._META_TAG_PATTERN.finditer(html):
        p = commerce._META_PROP_PATTERN.search(m.group(1))
        c = commerce._META_CONTENT_PATTERN.search(m.group(1))
        if p and c:
            key, value = p.group(1).strip().lower(), c.group(1).strip()
            if key and value:
                out[key] = value
    return out


def ref_title(html):
    m = TITLE_RE.search(html)
    return None if m is None else " ".join(m.group(1).split())




def unwraps_to_unsplittable(link):
    """Whether unwrapping `link` succeeds but gives a link urlsplit refuses.
    Older Pythons rebuild "http:////[x" as "http://[x"; newer ones keep the
    slashes, so that every rebuilt link splits again."""
    from urllib.parse import urlsplit
    try:
        unwrapped = ref_unwrap(link)
    except ValueError:
        return False
    try:
        urlsplit(unwrapped)
    except ValueError:
        return True
    return False
