"""HTML reports in headless Chromium: the demo's, one made of hostile
fields, and an enrich-many report of thousands of searches. Every host name
maps to the loopback image server or to nothing (see report_browser). Under
CI=true a missing browser fails instead of skipping."""

from __future__ import annotations

import json
import os
from pathlib import Path

import pytest

import report_browser as rb
from test_report import HOSTILE, LONG, hostile_export, quillmere_cli, shown


@pytest.fixture(scope="module")
def chromium() -> str:
    path = rb.chromium_path()
    if path is None:
        if os.environ.get("CI") == "true":
            pytest.fail("Debian's chromium is missing (.ci/run installs it)")
        pytest.skip("no chromium here (apt-get install chromium)")
    return path


def test_the_demo_report(tmp_path: Path, chromium: str) -> None:
    report = rb.demo_report(tmp_path / "demo")
    export = json.loads((tmp_path / "demo" / "commerce.json").read_text(encoding="utf-8"))
    summary, items = export["summary"], export["items"]
    with rb.browser(chromium) as (chrome, images):
        opened = chrome.open(report)
        page = opened.page
        page.evaluate("Array.from(document.images).forEach(i => i.loading = 'eager')")
        rb.settle(opened)
        cards = page.eval_on_selector_all(".card", "cs => cs.map(c => [c.dataset.rank, "
                                                   "c.querySelector('.title a').textContent, "
                                                   "c.querySelector('.link a').href])")
        assert [(c[1], c[2]) for c in cards] == [(i["title"], i["direct_url"]) for i in items]
        figures = dict(page.eval_on_selector_all(".figures div", "ds => ds.map(d => [d.firstChild.textContent, "
                                                                  "d.lastChild.textContent])"))
        cur = summary["currency"]
        assert figures["Matches"] == str(summary["total_matches"])
        assert figures["Priced matches"] == str(summary["total_priced_matches"])
        for name in ("lowest", "median", "highest"):
            assert figures[f"{name.capitalize()} price"] == f"{summary[name + '_price']:.2f} {cur}"
        pages = page.eval_on_selector_all(".card .facts div:last-child dd", "ds => ds.map(d => d.textContent)")
        assert sorted(set(pages)) == ["HTTP 404", "read", "timeout"]  # the demo's 404 and its slow page
        assert (figures["Pages read"], figures["Pages not read"]) == (str(pages.count("read")),
                                                                      str(len(pages) - pages.count("read")))
        marks = page.eval_on_selector_all("circle.mark", "ms => ms.map(m => +m.dataset.rank)")
        assert sorted(marks) == [k for k, i in enumerate(items, 1) if "price" in i]
        # Sorting, without a server.
        page.click(".sorter button[data-sort=score]")
        ranks = page.eval_on_selector_all(".card", "cs => cs.map(c => +c.dataset.rank)")
        assert [items[r - 1]["match_score"] for r in ranks] == sorted((i["match_score"] for i in items), reverse=True)
        page.click(".sorter button[data-sort=price]")
        ranks = page.eval_on_selector_all(".card", "cs => cs.map(c => +c.dataset.rank)")
        priced = [items[r - 1]["price"] for r in ranks if "price" in items[r - 1]]
        assert priced == sorted(priced, key=lambda p: (p["currency"], p["amount"]))
        assert all("price" not in items[r - 1] for r in ranks[len(priced):])
        assert not opened.console_errors and not opened.dialogs
        wanted = {(i.get("primary_image_url") or i.get("thumbnail")).split("/")[2] for i in items
                  if i.get("primary_image_url") or i.get("thumbnail")}
        assert {host for host, _ in images.requests} == wanted
        # Scripts off: every match is there still, with no sorter.
        off = chrome.open(report, scripts=False)
        assert off.page.eval_on_selector_all(".card", "cs => cs.length") == len(items)
        assert off.page.eval_on_selector_all(".sorter", "s => s.length") == 0


def _texts(page, selector: str) -> list[dict]:
    return page.eval_on_selector_all(selector, """cs => cs.map(c => {
        const t = c.querySelector('.title > :not(.rank)');
        const dd = name => [...c.querySelectorAll('.facts div')].find(d => d.firstChild.textContent === name).lastChild;
        return {title: t.textContent, whole: t.getAttribute('title'), href: t.getAttribute('href'),
                merchant: c.querySelector('.merchant').textContent, brand: dd('Brand').textContent,
                sku: dd('SKU').textContent, price: c.querySelector('.price b').textContent,
                link: c.querySelector('.link > *').textContent, linkWhole: c.querySelector('.link > *').getAttribute('title'),
                img: c.querySelector('img') && c.querySelector('img').getAttribute('src'),
                broken: c.querySelector('.pic').classList.contains('broken')};
    })""")


@pytest.mark.parametrize("many", [False, True], ids=["export", "enrich-many"])
def test_a_report_of_hostile_fields_runs_nothing_but_its_own_script(tmp_path: Path, chromium: str,
                                                                   many: bool) -> None:
    source = tmp_path / ("r.jsonl" if many else "r.json")
    if many:
        source.write_text(json.dumps({"id": "<img src=x onerror=alert(0)>", "result": hostile_export()}) + "\n")
    else:
        source.write_text(json.dumps(hostile_export()))
    report = tmp_path / "r.html"
    assert quillmere_cli("html", str(source), "--out", str(report)).returncode == 0
    with rb.browser(chromium) as (chrome, images):
        opened = chrome.open(report)
        page = opened.page
        if many:
            assert page.text_content(".search summary span") == "<img src=x onerror=alert(0)>"
            page.click(".search summary")
            page.wait_for_selector(".card")
        page.evaluate("Array.from(document.images).forEach(i => i.loading = 'eager')")
        rb.settle(opened)
        page.wait_for_timeout(300)
        got = _texts(page, ".card")
        executable = page.evaluate("[...document.scripts].filter(s => !s.type).length")
        handlers = page.evaluate("[...document.querySelectorAll('*')].filter(e => [...e.attributes]"
                                 ".some(a => a.name.startsWith('on') || a.name === 'style')).length")
    assert not opened.dialogs and executable == 1 and handlers == 0
    assert all(e.startswith("Failed to load resource") for e in opened.console_errors), opened.console_errors
    assert opened.failed == ["https://img.example/missing.png"]  # and nothing the policy refused
    assert {host for host, _ in images.requests} == {"img.example"}
    assert sorted(path for _, path in images.requests) == ["/missing.png", "/ok-1.png", "/ok-5.png"]
    assert all(u.startswith(("file://", "https://img.example/")) for u in opened.requests), opened.requests
    assert len(got) == len(HOSTILE)
    for card, item in zip(got, HOSTILE):
        title = shown(item["title"])
        if title == LONG:
            assert card["title"] == title[:159] + "…" and card["whole"] == title
        else:
            assert card["title"] == title and card["whole"] is None
        assert card["merchant"] == shown(item["merchant_name"])
        assert card["brand"] == shown(item.get("brand", "-")) and card["sku"] == shown(item.get("sku", "-"))
        assert card["price"] == item["price"]["raw"]
        url = item["direct_url"]
        web = url.lower().startswith(("http://", "https://"))
        assert card["href"] == (url if web else None)
        assert (card["linkWhole"] or card["link"]) == url
    assert [c["broken"] for c in got] == [False, False, True, False, False]


def test_an_enrich_many_report_of_thousands_of_searches_opens(tmp_path: Path, chromium: str) -> None:
    searches = 3000
    source = tmp_path / "many.jsonl"
    with open(source, "w", encoding="utf-8") as f:
        for k in range(searches):
            items = [dict(HOSTILE[0], title=f"Search {k} item {n}", primary_image_url=None, thumbnail=None)
                     for n in range(20)]
            f.write(json.dumps({"id": f"s{k}", "result": {"summary": {"total_matches": 20}, "items": items}}) + "\n")
    report = tmp_path / "many.html"
    assert quillmere_cli("html", str(source), "--out", str(report)).returncode == 0
    with rb.browser(chromium) as (chrome, _):
        opened = chrome.open(report, wait="commit")
        page = opened.page
        page.wait_for_selector(".search >> nth=0")
        page.wait_for_load_state("load")
        assert page.eval_on_selector_all(".search", "s => s.length") == searches
        page.click(f".search >> nth={searches - 1} >> summary")
        titles = page.eval_on_selector_all(".search[open] .card .title a, .search[open] .card .title > span:not(.rank)",
                                           "ts => ts.map(t => t.textContent)")
    assert titles == [f"Search {searches - 1} item {n}" for n in range(20)]
    assert not opened.console_errors
