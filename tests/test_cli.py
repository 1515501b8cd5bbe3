"""The ``quillmere`` command line, run as a user runs it: in a subprocess."""

from __future__ import annotations

import csv
import json
import os
import pty
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import quillmere
from quillmere.cli import fit, format_table, parse_records, text_width
from reference import unwraps_to_unsplittable
from quillmere.demo import Route, SampleServer
from quillmere.models import EnrichedCommerceMatch, PageType

from reference import CSV_HEADER

PACKAGE_PARENT = str(Path(quillmere.__file__).resolve().parent.parent)


def run_cli(*args: str, cwd: Path | None = None, tty_stderr: bool = False,
            timeout: float = 90) -> tuple[int, str, str]:
    """Run ``python -m quillmere ARGS``; with ``tty_stderr`` stderr is a terminal."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [PACKAGE_PARENT, os.environ.get("PYTHONPATH")])),
               COLUMNS="160")
    cmd = [sys.executable, "-m", "quillmere", *args]
    if not tty_stderr:
        proc = subprocess.run(cmd, capture_output=True, text=True, env=env, cwd=cwd, timeout=timeout)
        return proc.returncode, proc.stdout, proc.stderr
    master, slave = pty.openpty()
    try:
        with subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=slave, env=env, cwd=cwd, text=True) as proc:
            os.close(slave)
            slave = -1
            chunks = []
            while True:  # drain the terminal while the command runs
                try:
                    data = os.read(master, 4096)
                except OSError:  # EIO: the command closed its side
                    break
                if not data:
                    break
                chunks.append(data)
            out = proc.stdout.read() if proc.stdout else ""
            proc.wait(timeout=timeout)
        return proc.returncode, out, b"".join(chunks).decode("utf-8", "replace")
    finally:
        os.close(master)
        if slave >= 0:
            os.close(slave)


# ----------------------------------------------------------------- the demo
# Per demo match, in input order: page type, merchant category, and fields that
# only the fetched page (or its absence) can explain.
DEMO_EXPECTED = [
    ("product", "official_brand", {"sku": "NP-SDJ-SLT-M", "price": (229.0, "USD"),
                                   "direct_url": "https://www.northpeak.example/products/summit-down-jacket?color=slate"}),
    ("product", "official_brand", {"sku": "SL-AR2-EMB-42", "price": (119.99, "USD"), "condition": "new"}),
    ("product", "official_brand", {"price": (189.0, "EUR"), "title": "Sac cabas en cuir – Maison Lune",
                                   "direct_url": "https://maison-lune.example/fr/sac-cabas-en-cuir?ref=lens"}),
    ("product", "official_brand", {"sku": "FP-WCT-01", "price": (89.5, "GBP"), "stock_status": "in_stock"}),
    ("product", "official_brand", {"sku": "RW-BDL-7", "price": (1299.0, "USD")}),
    ("marketplace", "major_marketplace", {"condition": "used", "price": (140.0, "USD"),
                                          "direct_url": "https://www.ebay.com/itm/256483920117?mkcid=16&mkevt=1"}),
    ("product", "reseller_specialist", {"sku": "SL-AR2-EMB", "price": (131.0, "USD")}),
    ("article", None, {"direct_url": "https://www.trailjournal.example/blog/best-down-jackets-2025"}),
    ("portfolio", None, {}),
    ("social", None, {"sku": None}),
    ("product", "official_brand", {"sku": "NP-SDJ-SLT-M",
                                   "direct_url": "https://www.northpeak.example/products/summit-down-jacket?color=slate"}),
    ("product", "official_brand", {"sku": None, "price": (34.99, "USD")}),     # answers 404
    ("product", "official_brand", {"sku": None, "price": (12.5, "EUR")}),      # too slow: search data only
]


def test_demo_end_to_end(tmp_path: Path) -> None:
    out = tmp_path / "nested" / "demo"
    code, stdout, stderr = run_cli("demo", "--out", str(out), cwd=tmp_path)
    assert code == 0, stderr
    assert "Traceback" not in stderr
    assert "Fetching pages" not in stderr  # the progress bar is for terminals only

    result = json.loads((out / "commerce.json").read_text(encoding="utf-8"))
    items = result["items"]
    assert len(items) == len(DEMO_EXPECTED)
    for rank, (item, (page_type, category, fields)) in enumerate(zip(items, DEMO_EXPECTED), start=1):
        assert (item["page_type"], item.get("merchant_category")) == (page_type, category), f"match {rank}"
        for key, want in fields.items():
            got = item.get(key)
            if key == "price":
                got = (got["amount"], got["currency"]) if got else None
            assert got == want, f"match {rank}: {key}"
    # The repeated page is analysed once per match, each with its own rank.
    assert items[10]["match_score"] < items[0]["match_score"]
    assert result["summary"]["total_matches"] == len(DEMO_EXPECTED)

    with open(out / "commerce.csv", newline="", encoding="utf-8") as fh:
        rows = list(csv.reader(fh))
    assert rows[0] == CSV_HEADER
    assert [row[CSV_HEADER.index("Page Type")] for row in rows[1:]] == [e[0] for e in DEMO_EXPECTED]
    assert len(json.loads((out / "matches.json").read_text(encoding="utf-8"))) == len(DEMO_EXPECTED)

    # The table names every match with its direct link, then the summary.
    for item in items:
        assert item["direct_url"] in stdout
    assert "Market summary" in stdout


# ---------------------------------------------------------------- enrich
PRODUCT_PAGE = """<!DOCTYPE html><html><head><title>Trail Kettle</title>
<script type="application/ld+json">{"@type": "Product", "name": "Titanium Trail Kettle",
"brand": {"name": "Kettleworks"}, "sku": "KW-TK-900",
"offers": {"price": "59.00", "priceCurrency": "USD", "availability": "https://schema.org/InStock"}}</script>
</head><body><h1>Titanium Trail Kettle</h1><p>900 ml, 128 g.</p></body></html>"""

ARTICLE_PAGE = """<!DOCTYPE html><html><head><title>Ten kettles we love</title>
<meta property="og:type" content="article"><meta property="og:site_name" content="Camp Notes">
</head><body><article><h1>Ten kettles we love</h1><p>A long read about kettles on the trail.</p>
</article></body></html>"""


@pytest.fixture
def shop(tmp_path: Path):
    pages = tmp_path / "pages"
    pages.mkdir()
    (pages / "kettle.html").write_text(PRODUCT_PAGE, encoding="utf-8")
    (pages / "article.html").write_text(ARTICLE_PAGE, encoding="utf-8")
    routes = {"kettleworks.example/products/trail-kettle": Route("kettle.html"),
              "campnotes.example/blog/kettles": Route("article.html")}
    with SampleServer(routes, pages) as server:
        yield server


def test_enrich_against_a_loopback_server(tmp_path: Path, shop: SampleServer) -> None:
    base = shop.base_url
    kettle = f"{base}/kettleworks.example/products/trail-kettle"
    lines = [
        {"title": "Trail kettle", "link": f"{kettle}?utm_source=lens&size=900", "source": "Kettleworks"},
        {"title": "Ten kettles we love", "link": f"{base}/campnotes.example/blog/kettles"},
        {"title": "Kettle", "link": f"{kettle}?size=900&gclid=abc", "price": "$61.00", "in_stock": False},
        {"title": "Gone", "link": f"{base}/nowhere.example/products/gone", "price": "12,50 €"},
    ]
    source = tmp_path / "matches.jsonl"
    source.write_text("\n".join(json.dumps(x) for x in lines) + "\n", encoding="utf-8")
    csv_out, json_out = tmp_path / "out" / "kettles.csv", tmp_path / "out" / "kettles.json"

    code, stdout, stderr = run_cli("enrich", str(source), "--csv", str(csv_out), "--json", str(json_out),
                                   "--allow-internal", tty_stderr=True)
    assert code == 0, stderr
    assert "Fetching pages" in stderr and "3/3" in stderr  # on a terminal the bar counts distinct pages
    assert shop.requests.count("kettleworks.example/products/trail-kettle") == 1

    items = json.loads(json_out.read_text(encoding="utf-8"))["items"]
    assert [i["page_type"] for i in items] == ["product", "article", "product", "product"]
    assert [i.get("sku") for i in items] == ["KW-TK-900", None, "KW-TK-900", None]
    assert items[0]["direct_url"] == items[2]["direct_url"] == f"{kettle}?size=900"
    assert items[0]["title"] == "Titanium Trail Kettle" and "Titanium Trail Kettle" in stdout
    assert items[3]["price"]["amount"] == 12.5 and items[3]["price"]["currency"] == "EUR"

    with open(csv_out, newline="", encoding="utf-8") as fh:
        rows = list(csv.reader(fh))
    assert len(rows) == 1 + len(lines)
    assert f"Wrote CSV: {csv_out.resolve()}" in stdout and f"Wrote JSON: {json_out.resolve()}" in stdout


def test_enrich_refuses_internal_destinations_unless_allowed(tmp_path: Path, shop: SampleServer) -> None:
    kettle = f"{shop.base_url}/kettleworks.example/products/trail-kettle"
    source = tmp_path / "matches.json"
    source.write_text(json.dumps([{"title": "Trail kettle", "link": kettle, "price": "$61.00"}]), encoding="utf-8")
    out = tmp_path / "out.json"
    code, stdout, stderr = run_cli("enrich", str(source), "--json", str(out))
    assert code == 0, stderr
    assert shop.requests == []  # a loopback link is not requested by default
    [item] = json.loads(out.read_text(encoding="utf-8"))["items"]
    assert item["title"] == "Trail kettle" and item.get("sku") is None  # from the search data alone

    code, stdout, stderr = run_cli("enrich", str(source), "--json", str(out), "--allow-internal")
    assert code == 0, stderr
    assert shop.requests.count("kettleworks.example/products/trail-kettle") == 1
    assert json.loads(out.read_text(encoding="utf-8"))["items"][0]["sku"] == "KW-TK-900"


# ------------------------------------------------------------- bad input
BAD_INPUTS = [
    # name, file content (None: no file), problem named after "FILE: "
    ("missing", None, "no such file"),
    ("empty", "  \n", "the file is empty"),
    ("not-utf8", b"[{\"link\": \"http://a.example/\xff\"}]", "not UTF-8 text (byte 0xff at offset 28)"),
    ("bad-array", '[\n  {"link": "http://a.example/x",}\n]', "invalid JSON at line 2, column "),
    ("bad-line", '{"link": "http://a.example/x"}\n{"link": oops}\n', "line 2: invalid JSON at column 10"),
    ("deep", "[" * 100_000, "JSON nested too deeply"),
    ("scalar", "42", "found a number, not one of the inputs read: a JSON array of matches, JSON Lines"),
    ("not-object", '[{"link": "http://a.example/x"},\n "http://b.example/"]',
     "record 2 (line 2): expected a match object, found a string"),
    ("no-link", '[\n {"link": "http://a.example/x", "title": "a"},\n {"title": "b", "price": "$3"}\n]',
     'record 2 (line 3): the match has no "link"'),
    ("blank-link", '{"link": "   "}', 'line 1: the match\'s "link" is empty'),
    ("bool-type", '{"link": "http://a.example/x", "in_stock": "yes"}',
     'line 1: "in_stock" must be true, false or null, not "yes"'),
    ("str-type", '[{"link": "http://a.example/x", "title": 5}]',
     'record 1 (line 1): "title" must be a string or null, not 5'),
    ("wrapped-not-list", '{"matches": {"link": "http://a.example/x"}}',
     '"matches" must be a list of match objects, found an object'),
]


@pytest.mark.parametrize("name, content, problem", BAD_INPUTS, ids=[c[0] for c in BAD_INPUTS])
def test_bad_input_is_one_line_and_destroys_nothing(tmp_path: Path, name: str, content, problem: str) -> None:
    source = tmp_path / f"{name}.json"
    if isinstance(content, str):
        source.write_text(content, encoding="utf-8")
    elif content is not None:
        source.write_bytes(content)
    earlier = tmp_path / "earlier.csv"
    earlier.write_text("an earlier result\n", encoding="utf-8")

    code, stdout, stderr = run_cli("enrich", str(source), "--csv", str(earlier), "--json", str(tmp_path / "new.json"))
    assert code == 1
    assert stderr.startswith(f"quillmere: {source}: {problem}") and stderr.count("\n") == 1, stderr
    assert stdout == ""
    assert earlier.read_text(encoding="utf-8") == "an earlier result\n"
    assert not (tmp_path / "new.json").exists()


@pytest.mark.parametrize("link", ["http://[::1/x", "http:////[x"])  # the second unwraps to one that cannot be split
def test_an_unreadable_link_is_warned_about_and_enriched_from_its_search_data(tmp_path: Path, link: str) -> None:
    if link.startswith("http:////") and not unwraps_to_unsplittable(link):
        pytest.skip("this Python rebuilds such a link so that it splits again")
    source = tmp_path / "m.json"
    source.write_text('[{"link": "' + link + '", "title": "Odd link", "price": "$5"},\n'
                      ' {"link": "ftp://files.example/x", "title": "Not fetched"}]', encoding="utf-8")
    out = tmp_path / "out.csv"
    code, stdout, stderr = run_cli("enrich", str(source), "--csv", str(out))
    assert code == 0, stderr
    assert stderr.startswith(f'quillmere: warning: {source}: record 1 (line 1): link "{link}" cannot be read')
    rows = out.read_bytes().decode("utf-8").split("\r\n")
    assert rows[1].split(",")[6:9] == ["Odd link", "5.0", "USD"]
    assert rows[1].split(",")[12:14] == [link, link]
    assert "Not fetched" in rows[2]


def test_array_records_are_labelled_with_their_lines() -> None:
    text = ' [\n{"link": "a"},  {"link": "b",\n\n "title": "x\\ny"},\n\n\n{"link":\n"c"}, [1,\n2] ,"d"]'
    labels = [where for where, _ in parse_records(text, "f")]
    starts = [text.index(token) for token in ('{"link": "a"', '{"link": "b"', '{"link":\n"c"', "[1", '"d"')]
    assert labels == [f"record {i} (line {text.count(chr(10), 0, p) + 1})" for i, p in enumerate(starts, 1)]


@pytest.mark.parametrize("target, problem", [
    ("dir", "is a directory (--json needs a file name)"),
    ("input", "is the input file; --json would overwrite it"),
    ("same", "named by both --csv and --json"),
    ("under-file", "cannot be created:"),
])
def test_unusable_output_paths_are_refused_before_any_work(tmp_path: Path, target: str, problem: str) -> None:
    source = tmp_path / "m.json"
    source.write_text('[{"link": "http://a.example/x"}]', encoding="utf-8")
    csv_out = tmp_path / "same.out" if target == "same" else tmp_path / "a.csv"
    json_out = {"dir": tmp_path, "input": source, "same": csv_out, "under-file": source / "out.json"}[target]
    code, stdout, stderr = run_cli("enrich", str(source), "--csv", str(csv_out), "--json", str(json_out))
    assert (code, stdout) == (1, "")
    assert stderr.startswith(f"quillmere: {json_out}: {problem}") and stderr.count("\n") == 1
    assert source.read_text(encoding="utf-8") == '[{"link": "http://a.example/x"}]'


@pytest.mark.parametrize("target", ["long-name", "fifo"])
def test_outputs_any_file_name_and_pipes(tmp_path: Path, target: str) -> None:
    source = tmp_path / "m.json"
    source.write_text('[{"link": "ftp://files.example/x", "title": "Not fetched"}]', encoding="utf-8")
    csv_out = tmp_path / ("c" * 250 + ".csv")  # at the file-name limit with its extension
    if target == "fifo":
        csv_out = tmp_path / "pipe"
        os.mkfifo(csv_out)
    got: list[bytes] = []
    reader = threading.Thread(target=lambda: got.append(csv_out.read_bytes()), daemon=True)
    if target == "fifo":
        reader.start()
    code, stdout, stderr = run_cli("enrich", str(source), "--csv", str(csv_out))
    if target == "fifo":
        reader.join(10)
    assert code == 0, stderr
    written = got[0] if target == "fifo" else csv_out.read_bytes()
    assert written.startswith(",".join(CSV_HEADER).encode() + b"\r\n") and b"Not fetched" in written
    assert sorted(os.listdir(tmp_path)) == sorted(["m.json", csv_out.name])


def test_usage_errors_exit_2_and_the_console_script_runs() -> None:
    assert run_cli()[0] == 2
    code, _, stderr = run_cli("enrich")
    assert code == 2 and "MATCHES.json" in stderr
    script = Path(sys.executable).with_name("quillmere")  # installed by pip install .
    if script.exists():
        proc = subprocess.run([str(script), "--version"], capture_output=True, text=True, timeout=60)
        assert (proc.returncode, proc.stdout.strip()) == (0, f"quillmere {quillmere.__version__}")


# ------------------------------------------------------------- the table
def _item(title: str, merchant: str) -> EnrichedCommerceMatch:
    return EnrichedCommerceMatch(title=title, direct_url="https://shop.example/p/1", original_url="x",
                                 merchant_name=merchant, match_score=98, page_type=PageType.PRODUCT)


def test_table_fits_the_terminal_by_shortening_titles() -> None:
    # Cells take exactly their width, wide and combining characters included.
    for text, width in [("全角の商品名がとても長い場合", 11), ("cafe\u0301 au lait, avec une tasse", 9),
                        ("  spaced\n  out ", 12)]:
        cell = fit(text, width)
        assert text_width(cell) == width and "\n" not in cell
    items = [_item("An extraordinarily long product title " * 3, "A merchant with a long name, Ltd."),
             _item("短い", "Shop")]
    lines = format_table(items, 100).splitlines()
    rows = [lines[1], lines[3]]
    assert all(text_width(line) <= 100 for line in rows)
    assert lines[2].strip() == "https://shop.example/p/1"  # links are never cut
    assert "…" in rows[0] and "短い" in rows[1]
