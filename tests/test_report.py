"""`quillmere html` without a browser: what it reads, what it refuses, and
the written page's structure (every link http(s), no handler or style
attribute, one style and one script, both admitted by the policy's hashes)."""

from __future__ import annotations

import base64
import hashlib
import json
import os
import re
import subprocess
import sys
from html.parser import HTMLParser
from pathlib import Path

import pytest

import quillmere
from quillmere.cli._report import format_summary
from quillmere.models import CommerceSummary

PACKAGE_PARENT = str(Path(quillmere.__file__).resolve().parent.parent)
LONG = "Very long title " * 6400  # 100 KB


def quillmere_cli(*args: str) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [PACKAGE_PARENT, os.environ.get("PYTHONPATH")])))
    return subprocess.run([sys.executable, "-m", "quillmere", *args], capture_output=True, text=True, env=env,
                          timeout=120)


def item(rank: int, **fields: object) -> dict:
    base = {"title": f"Item {rank}", "direct_url": f"https://shop.example/p/{rank}", "original_url": "x",
            "match_score": 90 - rank, "page_type": "product", "merchant_name": "Shop",
            "merchant_category": "official_brand", "price": {"raw": f"{10 + rank}.00 USD", "amount": 10.0 + rank,
                                                             "currency": "USD"}}
    base.update(fields)
    return base


# Fields a stranger's page could have put in a result: markup, quotes that
# end an attribute, script and data links, controls, a lone surrogate, a NUL.
HOSTILE = [
    item(1, title='<img src=x onerror=alert(1)>"\'</script><script>alert(2)</script>',
         merchant_name='"><svg onload=alert(3)>', direct_url="javascript:alert(4)",
         primary_image_url="javascript:alert(5)", thumbnail="https://img.example/ok-1.png"),
    item(2, title=LONG, direct_url=" javascript:alert(6)", brand="ctrl \x01\x1f\x7f\x85 \r\n\t end",
         primary_image_url="data:image/svg+xml,<svg onload=alert(7)>"),
    item(3, title="lone \ud800 surrogate and a NUL \x00 here", sku="SKU-\udfff",
         direct_url="https://shop.example/q?a=1&b=\"onmouseover=alert(8)", primary_image_url="https://img.example/missing.png"),
    item(4, title="</style><style>*{display:none}</style>", merchant_category='official_brand" onclick="alert(9)',
         direct_url="\tjavascript:alert(10)", stock_status="in_stock<script>alert(11)</script>",
         price={"raw": "<b>1</b> &amp; USD", "amount": 1.0, "currency": "U<S>D"}),
    item(5, title="data link", direct_url="data:text/html,<script>alert(12)</script>", brand="&lt;not markup&gt;",
         primary_image_url="HTTPS://IMG.EXAMPLE/ok-5.png"),
]


def hostile_export() -> dict:
    return {"summary": {"total_matches": len(HOSTILE), "currency": "USD", "total_priced_matches": 5,
                        "lowest_price": 1.0, "highest_price": 15.0, "median_price": 13.0,
                        "by_merchant_category": {"official_brand": 4, '<b onclick="x">': 1},
                        "by_page_type": {"product": 5}},
            "items": HOSTILE}


def shown(value: str) -> str:
    """What the report shows of a text: a lone surrogate or a NUL as U+FFFD."""
    return re.sub("[\ud800-\udfff\x00]", "\ufffd", value)


class Structure(HTMLParser):
    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.tags: list[tuple[str, dict]] = []
        self.data: dict[str, list[str]] = {"style": [], "script": []}
        self._in: str | None = None

    def handle_starttag(self, tag: str, attrs: list) -> None:
        self.tags.append((tag, dict(attrs)))
        self._in = tag if tag in ("style", "script") else None

    def handle_data(self, data: str) -> None:
        if self._in:
            self.data[self._in].append(data)

    def handle_endtag(self, tag: str) -> None:
        self._in = None


def structure(path: Path) -> Structure:
    parser = Structure()
    parser.feed(path.read_text(encoding="utf-8"))
    return parser


def _hash(source: str) -> str:
    return "'sha256-" + base64.b64encode(hashlib.sha256(source.encode()).digest()).decode() + "'"


@pytest.mark.parametrize("many", [False, True], ids=["export", "enrich-many"])
def test_hostile_fields_make_no_markup_of_their_own(tmp_path: Path, many: bool) -> None:
    source = tmp_path / ("results.jsonl" if many else "result.json")
    if many:
        source.write_text(json.dumps({"id": "<s>", "result": hostile_export()}) + "\n"
                          + json.dumps({"id": "e", "error": "<script>alert(13)</script>"}) + "\n", encoding="utf-8")
    else:
        source.write_text(json.dumps(hostile_export()), encoding="utf-8")
    out = tmp_path / "r.html"
    proc = quillmere_cli("html", str(source), "--out", str(out))
    assert proc.returncode == 0, proc.stderr
    page = structure(out)
    tags = [t for t, _ in page.tags]
    assert tags.count("style") == 1 and tags.count("img") == (0 if many else 3)
    scripts = [a for t, a in page.tags if t == "script"]
    assert [a for a in scripts if a.get("type") != "application/json"] == [{}]
    assert not any(t in ("svg", "b") and "onload" in a for t, a in page.tags)
    for tag, attrs in page.tags:
        assert not {k for k in attrs if k.startswith("on") or k == "style"}, (tag, attrs)
        for key in ("href", "src"):
            if key in attrs and tag != "link":
                assert re.match("https?://", attrs[key], re.I), attrs
        if tag == "a":
            assert attrs["rel"] == "noopener noreferrer nofollow"
        if tag == "img":
            assert attrs["referrerpolicy"] == "no-referrer" and attrs["loading"] == "lazy"
    csp = next(a["content"] for t, a in page.tags if a.get("http-equiv") == "Content-Security-Policy")
    assert "default-src 'none'" in csp and "img-src http: https: data:" in csp
    assert _hash(page.data["style"][0]) in csp and _hash(page.data["script"][0]) in csp
    assert ("link", {"rel": "icon", "href": "data:,"}) in page.tags
    text = out.read_text(encoding="utf-8")
    assert LONG in text and "\ufffd" in text  # the whole long title is kept (in its element's title)
    if many:
        data = [d for d in page.data["script"][1:]]
        assert len(data) == 1 and "<" not in data[0]
        views = json.loads(data[0])
        assert [v[1] for v in views] == [shown(i["title"]) for i in HOSTILE]
        assert [v[3] for v in views] == ["https://img.example/ok-1.png", None, "https://img.example/missing.png",
                                         None, "HTTPS://IMG.EXAMPLE/ok-5.png"]


def test_outcomes_are_shown_where_known(tmp_path: Path) -> None:
    export = tmp_path / "r.json"
    export.write_text(json.dumps({"summary": {}, "items": [item(1), item(2)]}), encoding="utf-8")
    outcomes = tmp_path / "pages.json"
    entries = [{"position": 1, "outcome": "read", "status": 200}, {"position": 2, "outcome": "http_error",
                                                                   "status": 404, "detail": "not found"}]
    outcomes.write_text(json.dumps({"pages": {"total": 2, "read": 1, "not_read": 1,
                                              "outcomes": {"read": 1, "http_error": 1}}, "matches": entries}))
    out = tmp_path / "o.html"
    assert quillmere_cli("html", str(export), "--outcomes", str(outcomes), "--out", str(out)).returncode == 0
    text = out.read_text(encoding="utf-8")
    assert '<dd class="o-read">read</dd>' in text and '<dd class="o-not" title="not found">HTTP 404</dd>' in text
    assert "<dt>Pages not read</dt><dd>1</dd>" in text
    bare = tmp_path / "bare.html"
    assert quillmere_cli("html", str(export), "--out", str(bare)).returncode == 0
    assert bare.read_text(encoding="utf-8").count('<dd class="o-unknown">unknown</dd>') == 2

    outcomes.write_text(json.dumps({"matches": entries[:1]}))
    proc = quillmere_cli("html", str(export), "--outcomes", str(outcomes), "--out", str(tmp_path / "x.html"))
    assert proc.returncode == 1 and "has 1 page outcomes for 2 matches" in proc.stderr
    # enrich-many lines carry their own, and old lines have none.
    lines = tmp_path / "many.jsonl"
    lines.write_text(json.dumps({"id": 1, "result": {"items": [item(1)]}, "outcomes": entries[1:],
                                 "pages": {"read": 0, "not_read": 1}}) + "\n"
                     + json.dumps({"id": 2, "result": {"items": [item(1)]}}) + "\n")
    assert quillmere_cli("html", str(lines), "--out", str(out)).returncode == 0
    text = out.read_text(encoding="utf-8")
    assert "0 read, 1 not" in text and "pages unknown" in text and '"HTTP 404","not found"]' in text


BAD = [
    ("notjson.jsonl", b'{"id": 1, "result": {"items": []}}\nnot json\n{"id": 3, "error": "x"}\n',
     "notjson.jsonl: line 2 is not JSON"),
    ("record.jsonl", b'{"id": 1, "result": {"items": []}}\n[1, 2]\n', "record.jsonl: line 2 is not a result line"),
    ("cut.json", b'{\n  "summary": {},\n  "items": [\n    {"title": "a"', "cut.json: the JSON export is cut short"),
    ("array.json", b"[1, 2, 3]\n", "array.json: is neither an enrich --json export"),
    ("empty.json", b"", "empty.json: is empty"),
    ("text.txt", b"hello\nworld\n", "text.txt: is not JSON (line 1)"),
]


@pytest.mark.parametrize("name,data,message", BAD, ids=[b[0] for b in BAD])
def test_bad_results_files_get_one_line_and_nothing_is_written(tmp_path: Path, name: str, data: bytes,
                                                               message: str) -> None:
    source = tmp_path / name
    source.write_bytes(data)
    out = tmp_path / "new" / "r.html"
    proc = quillmere_cli("html", str(source), "--out", str(out))
    assert proc.returncode == 1 and proc.stdout == ""
    assert proc.stderr.startswith(f"quillmere: {tmp_path}/{message}") and proc.stderr.count("\n") == 1
    assert not out.parent.exists()


def test_a_last_line_cut_short_is_read_without_it(tmp_path: Path) -> None:
    source = tmp_path / "killed.jsonl"
    source.write_bytes(b'{"id": "a", "result": {"items": []}}\n{"id": "b", "result": {"ite')
    out = tmp_path / "r.html"
    proc = quillmere_cli("html", str(source), "--out", str(out))
    assert proc.returncode == 0
    assert proc.stderr == f"quillmere: warning: {source}: line 2 was cut short (a stopped run); read without it\n"
    assert out.read_text(encoding="utf-8").count('<details class="search">') == 1


def test_summary_without_prices_names_no_currency() -> None:
    text = format_summary(CommerceSummary(total_matches=3))
    assert "Currency" not in text and "price" not in text.lower().replace("total priced matches", "")
    assert "Total priced matches  0" in text
    assert "Currency" in format_summary(CommerceSummary(total_matches=1, total_priced_matches=1, lowest_price=2.0))


def test_enrich_writes_the_report_with_its_other_outputs_or_refuses_first(tmp_path: Path) -> None:
    matches = tmp_path / "m.json"
    matches.write_text(json.dumps([{"link": f"ftp://files.example/{i}", "title": f"<i>Item {i}</i>",
                                    "price": "$3.50"} for i in range(3)]))
    out, export = tmp_path / "out" / "r.html", tmp_path / "r.json"
    proc = quillmere_cli("enrich", str(matches), "--json", str(export), "--html", str(out), "--quiet")
    assert proc.returncode == 0, proc.stderr
    assert f"Wrote HTML report: {out}" in proc.stdout
    text = out.read_text(encoding="utf-8")
    assert text.count('<li class="card"') == 3 and "&lt;i&gt;Item 1&lt;/i&gt;" in text
    assert "No match has a price." not in text and text.count('<circle class="mark') == 3
    # A report path that cannot work is refused before anything is read or written.
    (tmp_path / "dir.html").mkdir()
    export.unlink()
    proc = quillmere_cli("enrich", str(matches), "--json", str(export), "--html", str(tmp_path / "dir.html"))
    assert proc.returncode == 1 and "dir.html: is a directory (--html needs a file name)" in proc.stderr
    assert not export.exists()
