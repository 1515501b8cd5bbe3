"""The HTML report: one self-contained file, written as a stream.

Safe by construction: every text goes through `esc` (element text and
attribute values alike) or, inside the inert JSON of a search's matches,
through `_json` (which writes no "<"); links and image sources are written
only when they are http(s). The page's Content-Security-Policy admits its one
style element and its one script by hash, images over http(s) and data:, and
nothing else.
"""

from __future__ import annotations

import base64
import hashlib
import json
import re
from collections.abc import Callable, Iterable
from datetime import datetime, timezone
from importlib import resources
from pathlib import Path
from typing import Any

from .._files import replaced_when_complete
from ._chart import price_chart
from ._escape import category_class, cut, esc
from ._read import Results, Search, number, outcome_label, page_counts, text

TITLE_CUT = 160   # characters of a title shown (the whole of it in the element's title)
TEXT_CUT = 80
LINK_CUT = 90

_WEB = re.compile(r"https?://", re.IGNORECASE)


def web_link(value: Any) -> str | None:
    """`value` when it is an http(s) link, else None. The scheme is matched
    at the very first character, so nothing a browser strips or ignores
    before it (spaces, controls, tabs) can turn it into another scheme."""
    return value if isinstance(value, str) and _WEB.match(value) else None


def _cut_text(value: str, limit: int) -> str:
    """Escaped text for an element, cut to `limit`; the caller adds
    `_whole` to the element's attributes."""
    return esc(cut(value, limit)[0])


def _whole(value: str, limit: int) -> str:
    return f' title="{esc(value)}"' if len(value) > limit else ""


def _json(value: Any) -> str:
    """JSON for inside a script element: no "<" at all, so neither "</script"
    nor "<!--" can appear in it."""
    return json.dumps(value, ensure_ascii=False, separators=(",", ":")).replace("<", "\\u003c")


def _asset(name: str) -> str:
    return resources.files(__package__).joinpath(name).read_text(encoding="utf-8")


def _sha256(source: str) -> str:
    return "sha256-" + base64.b64encode(hashlib.sha256(source.encode("utf-8")).digest()).decode("ascii")


STYLE = _asset("report.css")
SCRIPT = _asset("report.js")
CSP = ("default-src 'none'; img-src http: https: data:; "
       f"style-src '{_sha256(STYLE)}'; script-src '{_sha256(SCRIPT)}'; "
       "base-uri 'none'; form-action 'none'")


# ---------------------------------------------------------------- matches
# One match as the page keeps it (the order report.js reads).
FIELDS = ("rank", "title", "link", "image", "merchant", "category", "price", "amount", "currency", "stock",
          "page_type", "brand", "sku", "condition", "score", "relevance", "outcome", "detail")


def match_view(rank: int, item: Any, outcome: Any) -> list[Any]:
    """The fields of one match the report shows, as texts fit for it."""
    item = item if isinstance(item, dict) else {}
    price = item.get("price") if isinstance(item.get("price"), dict) else {}
    image = web_link(text(item.get("primary_image_url"))) or web_link(text(item.get("thumbnail")))
    score = number(item.get("match_score"))
    amount = number(price.get("amount"))
    detail = text(outcome.get("detail")) if isinstance(outcome, dict) else None
    return [rank, text(item.get("title")) or "", text(item.get("direct_url")), image,
            text(item.get("merchant_name")), text(item.get("merchant_category")), text(price.get("raw")),
            amount, text(price.get("currency")) if amount is not None else None, text(item.get("stock_status")),
            text(item.get("page_type")), text(item.get("brand")), text(item.get("sku")), text(item.get("condition")),
            int(score) if score is not None and score.is_integer() else score, text(item.get("relevance")),
            outcome_label(outcome), detail]


def _num(value: float) -> str:
    return repr(int(value)) if float(value).is_integer() and abs(value) < 1e15 else repr(value)


def _span(cls: str, value: str, limit: int) -> str:
    return f'<span class="{cls}"{_whole(value, limit)}>{_cut_text(value, limit)}</span>'


def _anchor(link: str, shown: str, limit: int) -> str:
    return (f'<a href="{esc(link)}" rel="noopener noreferrer nofollow"{_whole(shown, limit)}>'
            f"{_cut_text(shown, limit)}</a>")


def card(view: list[Any]) -> str:
    """A match's card (report.js's `card` draws the same from the JSON)."""
    v = dict(zip(FIELDS, view))
    attrs = f' data-rank="{v["rank"]}"'
    if v["score"] is not None:
        attrs += f' data-score="{_num(v["score"])}"'
    if v["amount"] is not None:
        attrs += f' data-price="{_num(v["amount"])}" data-cur="{esc(v["currency"] or "-")}"'
    out = [f'<li class="card"{attrs}><div class="pic">']
    if v["image"] is not None:
        out.append(f'<img src="{esc(v["image"])}" alt="" loading="lazy" referrerpolicy="no-referrer" '
                   'decoding="async">')
    out.append('</div><div class="info"><h3 class="title">')
    out.append(f'<span class="rank">#{v["rank"]}</span>')
    title = v["title"] or "(no title)"
    link = web_link(v["link"])
    if link is not None:
        out.append(_anchor(link, title, TITLE_CUT))
    else:
        out.append(_span("", title, TITLE_CUT).replace(' class=""', ""))
    out.append('</h3><p class="who">')
    out.append(_span("merchant", v["merchant"] if v["merchant"] is not None else "unknown merchant", TEXT_CUT))
    category = v["category"]
    out.append(_span(f"cat {category_class(category)}", category if category is not None else "no category", 40))
    out.append('</p><p class="price">')
    price = v["price"] if v["price"] is not None else "no price"
    out.append(f"<b{_whole(price, 60)}>{_cut_text(price, 60)}</b>")
    if v["stock"] is not None:
        out.append(_span("stock s-" + re.sub("[^a-z_]", "", v["stock"]), v["stock"], 40))
    out.append('</p><dl class="facts">')
    score = None if v["score"] is None else f"{_num(v['score'])}%"
    for name, value in (("Page type", v["page_type"]), ("Brand", v["brand"]), ("SKU", v["sku"]),
                        ("Condition", v["condition"]), ("Score", score), ("Relevance", v["relevance"])):
        shown = value if value is not None else "-"
        out.append(f"<div><dt>{name}</dt><dd{_whole(shown, 60)}>{_cut_text(shown, 60)}</dd></div>")
    label = v["outcome"]
    cls = "o-unknown" if label is None else "o-read" if label == "read" else "o-not"
    shown = label if label is not None else "unknown"
    detail = f' title="{esc(v["detail"])}"' if v["detail"] is not None else _whole(shown, 40)
    out.append(f'<div><dt>Page</dt><dd class="{cls}"{detail}>{_cut_text(shown, 40)}</dd></div>')
    out.append('</dl><p class="link">')
    if link is not None:
        out.append(_anchor(link, link, LINK_CUT))
    else:
        out.append(_span("bare", v["link"] if v["link"] is not None else "-", LINK_CUT))
    out.append("</p></div></li>")
    return "".join(out)


# ---------------------------------------------------------------- figures
def _price(value: Any, currency: str | None) -> str:
    amount = number(value)
    if amount is None:
        return "-"
    return f"{amount:.2f} {currency or ''}".rstrip()


def _counts(what: str, counts: Any) -> str:
    if not isinstance(counts, dict) or not counts:
        return ""
    chips = "".join(f"<li>{esc(text(k) or '')} <b>{esc(text(n) or '')}</b></li>" for k, n in counts.items())
    return f'<ul class="counts"><li class="what">{esc(what)}</li>{chips}</ul>'


def _figures(pairs: Iterable[tuple[str, str]]) -> str:
    return '<dl class="figures">' + "".join(
        f"<div><dt>{esc(k)}</dt><dd>{esc(v)}</dd></div>" for k, v in pairs) + "</dl>"


def _plural(n: int, one: str, many: str | None = None) -> str:
    return f"{n} {one if n == 1 else (many or one + 's')}"


def _pages_figures(counts: tuple[int, int] | None) -> list[tuple[str, str]]:
    if counts is None:
        return [("Pages read", "unknown")]
    return [("Pages read", str(counts[0])), ("Pages not read", str(counts[1]))]


def _head(out: Callable[[str], Any], title: str) -> None:
    out("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        f'<meta http-equiv="Content-Security-Policy" content="{esc(CSP)}">'
        '<meta name="referrer" content="no-referrer">'
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        '<meta name="color-scheme" content="light dark">'
        '<link rel="icon" href="data:,">'
        f"<title>{esc(title)}</title><style>{STYLE}</style><script>{SCRIPT}</script></head>\n<body><main>")


def _generated(source: str | None) -> str:
    when = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    made = f"from {source}, " if source else ""
    return f'<p class="sub">{esc(made)}made {esc(when)} by quillmere</p>'


# ---------------------------------------------------------------- one search
def write_search(out: Callable[[str], Any], search: Search, source: str | None) -> None:
    summary = search.summary
    items = search.items
    views = [match_view(rank, item, search.outcome(rank - 1)) for rank, item in enumerate(items, start=1)]
    _head(out, "quillmere report" + (f": {source}" if source else ""))
    out("<h1>Visual matches and offers</h1>" + _generated(source))
    counts = page_counts(search.pages, search.outcomes)
    total = number(summary.get("total_matches"))
    priced = number(summary.get("total_priced_matches"))
    currency = text(summary.get("currency"))
    figures = [("Matches", _num(total) if total is not None else str(len(items)))]
    figures += _pages_figures(counts)
    figures.append(("Priced matches", _num(priced) if priced is not None else "-"))
    if priced:
        figures += [("Lowest price", _price(summary.get("lowest_price"), currency)),
                    ("Median price", _price(summary.get("median_price"), currency)),
                    ("Highest price", _price(summary.get("highest_price"), currency))]
    else:
        figures.append(("Prices", "none"))
    out(_figures(figures))
    out(_counts("By merchant category", summary.get("by_merchant_category")))
    out(_counts("By page type", summary.get("by_page_type")))
    if isinstance(search.pages, dict):
        labels = {}
        outcomes = search.pages.get("outcomes")
        if isinstance(outcomes, dict):
            labels = {outcome_label({"outcome": k}) or k: n for k, n in outcomes.items()}
        out(_counts("Pages", labels))
    out("<h2>Prices</h2>")
    out(price_chart(views))
    out(f"<h2>{_plural(len(views), 'match', 'matches')}</h2>")
    if views:
        out('<ol class="cards" data-sortable="1">')
        for view in views:
            out(card(view))
        out("</ol>")
    else:
        out('<p class="note">No matches.</p>')
    out("</main></body></html>\n")


# ---------------------------------------------------------------- many searches
def _range(search: Search) -> str:
    summary = search.summary
    currency = text(summary.get("currency"))
    low, high = number(summary.get("lowest_price")), number(summary.get("highest_price"))
    if low is None or high is None:
        return "no prices"
    if low == high:
        return _price(low, currency)
    return f"{low:.2f}\u2013{_price(high, currency)}"


def index_row(search: Search) -> str:
    sid = search.id if search.id is not None else "-"
    head = f'<details class="search"><summary><span{_whole(sid, TEXT_CUT)}>{_cut_text(sid, TEXT_CUT)}</span>'
    if search.result is None:
        error = search.error or "error"
        return (head + f'<span class="err">failed</span><span></span><span></span></summary>'
                f'<div class="body"><p class="err">{esc(error)}</p></div></details>\n')
    n = len(search.items)
    counts = page_counts(search.pages, search.outcomes)
    pages = "pages unknown" if counts is None else f"{counts[0]} read, {counts[1]} not"
    views = [match_view(rank, item, search.outcome(rank - 1)) for rank, item in enumerate(search.items, start=1)]
    return (head + f"<span>{_plural(n, 'match', 'matches')}</span><span>{esc(pages)}</span>"
            f"<span>{esc(_range(search))}</span></summary>"
            '<div class="body"><p class="note off">The matches are drawn by the report\'s script, '
            'which is turned off.</p></div>'
            f'<script type="application/json" class="matches">{_json(views)}</script></details>\n')


def write_many(out: Callable[[str], Any], results: Results, source: str | None) -> None:
    totals = results.totals
    searches = results.searches
    _head(out, "quillmere report" + (f": {source}" if source else ""))
    out("<h1>Searches, matches and offers</h1>" + _generated(source))
    figures = [("Searches", str(totals.searches)), ("Failed searches", str(totals.failed)),
               ("Matches", str(totals.matches))]
    known = totals.searches - totals.failed - totals.unknown_pages
    if known:
        figures += [("Pages read", str(totals.read)), ("Pages not read", str(totals.not_read))]
    if totals.unknown_pages:
        figures.append(("Searches with pages unknown", str(totals.unknown_pages)))
    figures.append(("Priced matches", str(totals.priced)))
    out(_figures(figures))
    out(_counts("By merchant category", totals.by_category))
    out(_counts("By page type", totals.by_page_type))
    out(f"<h2>{_plural(totals.searches, 'search', 'searches')}</h2>")
    out('<div class="head"><span>Search</span><span>Matches</span><span>Pages</span><span>Prices</span></div>')
    out('<div class="searches">\n')
    for search in searches():
        out(index_row(search))
    out("</div></main></body></html>\n")


# ---------------------------------------------------------------- files
def write_html(results: Results, path: Path, source: str | None = None) -> Path:
    """Writes the report of `results` to `path` (replaced only once
    complete; a device or a pipe is written to in place)."""
    return write_stream(path, lambda out: (
        write_many(out, results, source) if results.many
        else write_search(out, next(results.searches()), source)))


def write_stream(path: Path, body: Callable[[Callable[[str], Any]], Any]) -> Path:
    path = Path(path).expanduser().resolve()
    with replaced_when_complete(path, newline="\n", buffering=1 << 16) as f:
        body(f.write)
    return path


def write_result_html(result: Any, path: Path, outcomes: list[Any] | None = None,
                      pages: Any = None, source: str | None = None) -> Path:
    """The report of one enrich run: `result` a CommerceIntelligence (or its
    JSON as a dict), `outcomes` its per-match page outcomes (the entries of
    ``enrich --report``'s "matches") or None when unknown."""
    data = result if isinstance(result, dict) else result.model_dump(mode="json", exclude_none=True)
    search = Search(None, data, None, pages, outcomes)
    return write_stream(path, lambda out: write_search(out, search, source))


__all__ = ["CSP", "FIELDS", "card", "esc", "match_view", "web_link", "write_html", "write_result_html",
           "write_stream"]
