"""Every page's fate: the outcome of each match's page, from the fetch up to
the command line, and error pages no longer read as the destination."""

from __future__ import annotations

import asyncio
import json
import logging
from pathlib import Path
from types import SimpleNamespace

import pytest

from loopback_server import LoopbackServer, Repeated
from test_cli import run_cli

import quillmere.commerce as commerce
from quillmere.commerce import CommerceEnricher, FetchOutcome, FetchReport, ScraplingDestinationFetcher, VisualMatch
from quillmere.fetch import recording, wall_page

PRODUCT = (b'<html><head><title>Trail Lantern</title><script type="application/ld+json">'
           b'{"@type": "Product", "name": "Trail Lantern", "sku": "TL-1", "brand": {"name": "Gearloft"},'
           b' "offers": {"price": "34.99", "priceCurrency": "USD", "availability": "InStock"}}</script>'
           b'</head><body>' + b"<p>A lantern for the trail.</p>" * 20 + b"</body></html>")
# Error pages carry facts of their own that must not become the match's.
ERROR_PAGE = (b'<html><head><title>Access Denied</title><meta property="og:image" content="https://cdn/err.png">'
              b'<meta property="product:price:amount" content="1.00"></head><body>Reference #18.2</body></html>')
CHALLENGE = b"<html><head><title>Just a moment...</title></head><body><script>var cf_chl_opt={}</script></body></html>"
ROBOT = (b"<html><head><title>Robot Check</title></head><body><form action='/errors/validateCaptcha'>"
         b"Type the characters you see</form></body></html>")
NOT_FOUND = (b'<html><head><title>Page not found</title><script type="application/ld+json">{"@type": "Product",'
             b' "name": "You may also like", "offers": {"price": "9.99", "priceCurrency": "USD"}}</script></head></html>')

ROUTES = {
    "/product": (200, PRODUCT, 0.0),
    "/wall": (403, ERROR_PAGE, 0.0),
    "/challenge": (503, CHALLENGE, 0.0),
    "/gone": (404, NOT_FOUND, 0.0),
    "/busy": (429, b"slow down", 0.0, {"Retry-After": "30"}),
    "/robot": (200, ROBOT, 0.0),
    "/hop1": (302, b"", 0.0, {"Location": "/hop2"}),
    "/hop2": (301, b"", 0.0, {"Location": "/product"}),
    "/slow": (200, PRODUCT, 3.0),
    "/big": (200, Repeated(b"<p>filler</p>", 1000), 0.0),
    "/empty": (200, b"", 0.0),
}


@pytest.fixture(scope="module")
def srv():
    with LoopbackServer(ROUTES) as server:
        yield server


def match(link: str, title: str = "Trail Lantern Classic") -> VisualMatch:
    return VisualMatch(title=title, link=link, source="Gearloft", price="$39.00", in_stock=True,
                       thumbnail="https://img.example/t.jpg")


class NoPage:
    """A fetcher that never gives a page: what the search data alone makes."""

    async def get(self, url, timeout=5, **kwargs):
        raise ConnectionRefusedError("no page")


def test_each_kind_of_page_gets_its_outcome_and_failures_keep_the_search_data(srv, monkeypatch) -> None:
    monkeypatch.setattr(commerce, "REFUSE_INTERNAL_DESTINATIONS", False)
    monkeypatch.setattr(commerce, "MAX_PAGE_BYTES", 5000)
    paths = ["/product", "/wall", "/challenge", "/gone", "/busy", "/robot", "/hop1", "/big", "/empty"]
    matches = [match(srv.url(p)) for p in paths] + [match(srv.refused_url("/x")), match("ftp://files.example/a")]
    report = FetchReport()
    result = CommerceEnricher.process(matches, report=report)

    got = [(o.outcome, o.status) for o in report.outcomes]
    assert got == [
        (FetchOutcome.READ, 200), (FetchOutcome.BLOCKED, 403), (FetchOutcome.BLOCKED, 503),
        (FetchOutcome.HTTP_ERROR, 404), (FetchOutcome.BLOCKED, 429), (FetchOutcome.BLOCKED, 200),
        (FetchOutcome.READ, 200), (FetchOutcome.TOO_LARGE, None), (FetchOutcome.EMPTY, 200),
        (FetchOutcome.UNREACHABLE, None), (FetchOutcome.NO_LINK, None),
    ]
    product, chain = report.outcomes[0], report.outcomes[6]
    assert product.bytes == len(PRODUCT) and product.seconds is not None and product.final_url == srv.url("/product")
    assert chain.final_url == srv.url("/product") and chain.link == srv.url("/hop1")
    assert report.outcomes[5].detail == "challenge page" and report.outcomes[3].label == "HTTP 404"
    assert report.read == 2 and report.counts()["blocked"] == 4
    assert report.summary_line() == ("Pages: 2 read, 9 not read: 4 blocked, 1 HTTP 404, 1 too large, 1 empty, "
                                     "1 unreachable, 1 no link")

    # The page read gave its facts; every page not read gave the record the
    # search data alone makes, not the error page's own.
    assert result.items[0].sku == "TL-1" and result.items[6].sku == "TL-1"
    alone = CommerceEnricher.process(matches, fetcher=NoPage())
    for k in range(len(matches)):
        if not report.outcomes[k].read:
            assert result.items[k] == alone.items[k], paths[k] if k < len(paths) else matches[k].link
    assert all(i.primary_image_url != "https://cdn/err.png" for i in result.items)


def test_refused_timed_out_and_odd_fetchers_are_told(srv, monkeypatch) -> None:
    # The internal check refuses before any request is sent.
    srv.reset_counts()
    report = FetchReport()
    CommerceEnricher.process([match("http://10.0.0.5/admin"), match(srv.url("/product"))], report=report)
    assert [o.outcome for o in report.outcomes] == [FetchOutcome.REFUSED, FetchOutcome.REFUSED]
    assert report.outcomes[0].attempts == 0 and not srv.hits["/product"]

    monkeypatch.setattr(commerce, "REFUSE_INTERNAL_DESTINATIONS", False)

    async def slow():
        with recording() as seen:
            pages = await ScraplingDestinationFetcher.fetch_many([srv.url("/slow"), srv.url("/product")], timeout=1)
        return pages, seen

    pages, seen = asyncio.run(slow())
    assert pages[srv.url("/slow")] is None and seen[srv.url("/slow")].outcome is FetchOutcome.TIMEOUT
    assert seen[srv.url("/product")].read

    class Odd:
        """Each link names a way for a fetcher to misbehave."""

        async def get(self, url, timeout=5, **kwargs):
            kind = url.rsplit("/", 1)[1]
            if kind == "raises":
                raise RuntimeError("boom")
            if kind == "bodiless":
                return SimpleNamespace(status=200)
            if kind == "text":
                return SimpleNamespace(body="<html>not bytes</html>")
            if kind == "status":
                return SimpleNamespace(body=PRODUCT, status="200")
            return SimpleNamespace(body=PRODUCT)  # no status: read, as before

    kinds = ["raises", "bodiless", "text", "status", "plain"]
    report = FetchReport()
    result = CommerceEnricher.process([match(f"https://shop.example/{k}") for k in kinds], fetcher=Odd(),
                                      report=report)
    assert [o.outcome for o in report.outcomes] == [FetchOutcome.FAILED] * 4 + [FetchOutcome.READ]
    assert "RuntimeError" in report.outcomes[0].detail and report.outcomes[4].status is None
    assert len(result.items) == 5 and result.items[4].sku == "TL-1"


def test_answers_for_pages_read_are_those_of_a_fetcher_without_statuses(srv, monkeypatch) -> None:
    monkeypatch.setattr(commerce, "REFUSE_INTERNAL_DESTINATIONS", False)

    class Bodies:
        async def get(self, url, timeout=5, **kwargs):
            return SimpleNamespace(body=PRODUCT)

    links = [srv.url("/product"), srv.url("/hop1")]
    real = CommerceEnricher.process([match(l) for l in links])
    plain = CommerceEnricher.process([match(l) for l in links], fetcher=Bodies())
    assert real == plain


def test_every_page_is_logged_at_debug(srv, monkeypatch, caplog) -> None:
    monkeypatch.setattr(commerce, "REFUSE_INTERNAL_DESTINATIONS", False)
    with caplog.at_level(logging.DEBUG, logger="quillmere"):
        CommerceEnricher.process([match(srv.url("/product")), match(srv.url("/gone"))])
    lines = [r.getMessage() for r in caplog.records if r.name == "quillmere.fetch"]
    assert len(lines) == 2
    assert any(srv.url("/gone") in l and "http_error status=404" in l and " ms" in l for l in lines)


def test_walls_are_told_from_product_pages() -> None:
    assert wall_page(CHALLENGE) and wall_page(ROBOT)
    # A product page may mention a captcha (a login form's script) and stays a page.
    assert not wall_page(PRODUCT + b"<script src='https://www.google.com/recaptcha/api.js'></script>")
    # Walls are small: a large page with such a title is not searched.
    assert not wall_page(CHALLENGE + b" " * (100 * 1024))


def test_enrich_tells_pages_in_the_table_summary_and_report(srv, tmp_path: Path) -> None:
    source = tmp_path / "m.json"
    paths = ["/product", "/wall", "/challenge", "/gone", "/robot"]
    records = [{"link": srv.url(p), "title": f"Item {p}", "price": "$5"} for p in paths]
    records.append({"link": srv.refused_url("/x"), "title": "Closed"})
    source.write_text(json.dumps(records), encoding="utf-8")
    report_file = tmp_path / "out" / "pages.json"
    code, stdout, stderr = run_cli("enrich", str(source), "--allow-internal", "--report", str(report_file),
                                   "--json", str(tmp_path / "out" / "r.json"))
    assert code == 0, stderr
    assert "Pages: 1 read, 5 not read: 3 blocked, 1 HTTP 404, 1 unreachable" in stdout
    assert "no destination page could be read" not in stderr
    data = json.loads(report_file.read_text(encoding="utf-8"))
    assert data["pages"] == {"total": 6, "read": 1, "not_read": 5,
                             "outcomes": {"blocked": 3, "read": 1, "http_error": 1, "unreachable": 1}}
    assert [(m["position"], m["link"], m["outcome"], m["status"]) for m in data["matches"]] == [
        (1, srv.url("/product"), "read", 200), (2, srv.url("/wall"), "blocked", 403),
        (3, srv.url("/challenge"), "blocked", 503), (4, srv.url("/gone"), "http_error", 404),
        (5, srv.url("/robot"), "blocked", 200), (6, srv.refused_url("/x"), "unreachable", None)]
    items = json.loads((tmp_path / "out" / "r.json").read_text(encoding="utf-8"))["items"]
    assert [m["direct_url"] for m in data["matches"]] == [i["direct_url"] for i in items]

    # No page read at all: one warning says so.
    source.write_text(json.dumps(records[1:]), encoding="utf-8")
    code, stdout, stderr = run_cli("enrich", str(source), "--allow-internal", "--quiet")
    assert code == 0 and "Pages: 0 read, 5 not read" in stdout
    assert stderr.count("no destination page could be read; every row comes from the search data alone") == 1


def test_an_unwritable_report_is_refused_before_any_fetch(srv, tmp_path: Path) -> None:
    source = tmp_path / "m.json"
    source.write_text(json.dumps([{"link": srv.url("/product")}]), encoding="utf-8")
    (tmp_path / "folder").mkdir()
    srv.reset_counts()
    code, stdout, stderr = run_cli("enrich", str(source), "--allow-internal", "--report", str(tmp_path / "folder"))
    assert code == 1 and stderr.startswith(f"quillmere: {tmp_path / 'folder'}") and not srv.hits
