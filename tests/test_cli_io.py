"""The command line in pipes, on full devices, in narrow terminals, with
outputs that cannot be written, and its input conveniences."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from test_cli import PACKAGE_PARENT, run_cli
from reference import unwraps_to_unsplittable

from quillmere.cli import format_table, parse_records, text_width
from quillmere.cli._report import Progress, column_widths
from quillmere.demo import Route, SampleServer
from quillmere.models import EnrichedCommerceMatch, PageType


def env(**extra: str) -> dict[str, str]:
    path = os.pathsep.join(filter(None, [PACKAGE_PARENT, os.environ.get("PYTHONPATH")]))
    return dict(os.environ, PYTHONPATH=path, **extra)


def unfetched(n: int, title: str = "Item") -> str:
    """n matches whose links are not fetched (on this machine, refused by
    default; no warning is due for them), as a JSON array."""
    return json.dumps([{"link": f"http://127.0.0.1:9/files/{i}", "title": f"{title} {i} " * 4, "price": "$3.50"}
                       for i in range(n)])


@pytest.fixture
def server(tmp_path: Path):
    (tmp_path / "p.html").write_text("<html><title>A page</title>" + "<p>x</p>" * 50 + "</html>", encoding="utf-8")
    with SampleServer({"shop.example/p": Route("p.html")}, tmp_path) as srv:
        yield srv


# -------------------------------------------------------------- broken pipes
def test_a_closed_pipe_costs_the_report_not_the_files(tmp_path: Path) -> None:
    source = tmp_path / "m.json"
    source.write_text(unfetched(400), encoding="utf-8")
    csv_out, json_out = tmp_path / "out" / "r.csv", tmp_path / "out" / "r.json"
    read_end, write_end = os.pipe()
    os.close(read_end)  # the reader is gone before the first line
    try:
        proc = subprocess.run([sys.executable, "-m", "quillmere", "enrich", str(source), "--csv", str(csv_out),
                               "--json", str(json_out)], stdout=write_end, stderr=subprocess.PIPE, text=True,
                              env=env(COLUMNS="100"), timeout=120)
    finally:
        os.close(write_end)
    # Only warnings (these links are never fetched), no traceback.
    assert proc.returncode == 141
    assert all(line.startswith("quillmere: warning: ") for line in proc.stderr.splitlines())
    assert len(json.loads(json_out.read_text(encoding="utf-8"))["items"]) == 400
    assert csv_out.read_bytes().count(b"\r\n") == 401


def test_a_full_standard_output_is_said_in_words_and_the_files_are_written(tmp_path: Path) -> None:
    source = tmp_path / "m.json"
    source.write_text(unfetched(50), encoding="utf-8")
    with open("/dev/full", "w") as full:
        proc = subprocess.run([sys.executable, "-m", "quillmere", "enrich", str(source), "--csv",
                               str(tmp_path / "r.csv")], stdout=full, stderr=subprocess.PIPE, text=True,
                              env=env(), timeout=120)
    assert proc.returncode == 1
    assert proc.stderr.endswith("\nquillmere: cannot write to standard output: No space left on device\n")
    assert "no destination page could be read" in proc.stderr  # these links are never fetched
    assert (tmp_path / "r.csv").read_bytes().count(b"\r\n") == 51


# --------------------------------------------------------- outputs checked
def test_an_output_that_cannot_be_made_is_found_before_any_page_is_fetched(tmp_path: Path, server) -> None:
    source = tmp_path / "m.json"
    source.write_text(json.dumps([{"link": server.loopback_url("https://shop.example/p"), "title": "t"}]),
                      encoding="utf-8")
    csv_out = tmp_path / "new" / "deeper" / "r.csv"
    code, stdout, stderr = run_cli("enrich", str(source), "--csv", str(csv_out), "--json", "/proc/nope/x.json")
    assert (code, stdout) == (1, "")
    assert stderr == "quillmere: /proc/nope/x.json: cannot create the folder /proc/nope: No such file or directory\n"
    assert server.requests == []
    # The folders made for --csv during the check are gone again.
    assert not (tmp_path / "new").exists()


def test_folders_made_for_the_outputs_are_removed_when_the_input_is_bad(tmp_path: Path) -> None:
    source = tmp_path / "m.json"
    source.write_text('[{"title": "no link"}]', encoding="utf-8")
    code, _, stderr = run_cli("enrich", str(source), "--csv", str(tmp_path / "a" / "b" / "r.csv"))
    assert code == 1 and 'the match has no "link"' in stderr
    assert sorted(os.listdir(tmp_path)) == ["m.json"]


@pytest.mark.parametrize("csv_existed", [False, True])
def test_when_a_later_output_fails_the_earlier_one_is_taken_back(tmp_path: Path, csv_existed: bool) -> None:
    source = tmp_path / "m.json"
    source.write_text(unfetched(3), encoding="utf-8")
    csv_out = tmp_path / "r.csv"
    if csv_existed:
        csv_out.write_text("old\n", encoding="utf-8")
    # /dev/full passes the check (a writable device) and then fails to take the JSON.
    code, _, stderr = run_cli("enrich", str(source), "--csv", str(csv_out), "--json", "/dev/full")
    assert code == 1
    assert "quillmere: /dev/full: cannot write: No space left on device" in stderr
    if csv_existed:
        assert f"(already written: {csv_out})" in stderr and csv_out.read_bytes().startswith(b"Match Score,")
    else:
        assert "nothing was written" in stderr and not csv_out.exists()


def test_demo_into_a_folder_that_cannot_be_made_is_said_in_words(tmp_path: Path) -> None:
    code, stdout, stderr = run_cli("demo", "--out", "/proc/demoout", cwd=tmp_path)
    assert (code, stdout) == (1, "")
    assert stderr == ("quillmere: /proc/demoout/matches.json: cannot create the folder /proc/demoout: "
                      "No such file or directory\n")


# --------------------------------------------------------- narrow terminals
@pytest.mark.parametrize("columns", [80, 60, 40])
def test_the_demo_table_fits_narrow_terminals_and_keeps_links_whole(tmp_path: Path, columns: int) -> None:
    proc = subprocess.run([sys.executable, "-m", "quillmere", "demo", "--out", str(tmp_path / "d")],
                          capture_output=True, text=True, env=env(COLUMNS=str(columns)), timeout=120)
    assert proc.returncode == 0, proc.stderr
    items = json.loads((tmp_path / "d" / "commerce.json").read_text(encoding="utf-8"))["items"]
    lines = proc.stdout.splitlines()
    table = lines[lines.index(next(l for l in lines if l.split()[:2] == ["#", "Score"])):]
    table = table[:table.index("")]
    if columns == 80:  # the page type and the merchant's kind stay; the title has what is left
        assert table[0].split()[:5] == ["#", "Score", "Type", "Category", "Price"]
        assert "Summit Down Jacket" in table[1] and "reseller" in table[13]
    links = [l.strip() for l in table[2::2]]
    assert links == [i["direct_url"] for i in items]  # every link on its own line, whole
    assert all(text_width(row) <= columns for row in [table[0], *table[1::2]])
    summary = lines[lines.index("Market summary"):]
    assert all(text_width(line) <= columns for line in summary[:summary.index("")])


def _item(title: str, merchant: str = "A merchant") -> EnrichedCommerceMatch:
    return EnrichedCommerceMatch(title=title, direct_url="https://shop.example/p/1", original_url="x",
                                 merchant_name=merchant, match_score=98, page_type=PageType.PRODUCT)


def test_columns_are_left_out_least_telling_first_as_the_width_shrinks() -> None:
    natural = [2, 5, 9, 11, 19, 11, 8, 17, 40]
    full = sum(natural) + 2 * 8
    assert column_widths(natural, full) == dict(enumerate(natural))
    shown = [list(column_widths(natural, w)) for w in (full - 1, 110, 100, 80, 60, 40)]
    assert shown[0] == list(range(9))                           # shortening the title is enough
    assert all(set(a) >= set(b) for a, b in zip(shown, shown[1:]))
    assert 6 not in shown[2] and {0, 1, 5, 7, 8} <= set(shown[-1])  # stock goes first; rank, score, price stay
    for width in range(40, 140, 7):
        widths = column_widths(natural, width)
        assert sum(widths.values()) + 2 * (len(widths) - 1) <= width
    lines = format_table([_item("T" * 60, "M" * 30), _item("短い")], 40).splitlines()
    assert all(text_width(line) <= 40 for line in lines) and "短い" in lines[3]


@pytest.mark.parametrize("columns", [120, 80, 40, 30, 20, 12, 6, 2])
def test_the_progress_bar_never_reaches_the_last_column(columns: int) -> None:
    bar = Progress(enabled=True, columns=columns)
    for done, total in [(0, 7), (3, 7), (7, 7), (999, 1000), (12345, 12345)]:
        text = bar.line(done, total, columns)
        assert len(text) <= columns - 1
        if columns >= 40:
            assert text.startswith("Fetching pages [") and text.endswith(f"] {done}/{total}")
    assert Progress(enabled=True).line(3, 7, 200) == "Fetching pages [##########--------------] 3/7"


# ------------------------------------------------------------ small things
def test_matches_from_standard_input_and_quiet(tmp_path: Path) -> None:
    matches = unfetched(2, title="Piped")
    proc = subprocess.run([sys.executable, "-m", "quillmere", "enrich", "-", "--quiet", "--json",
                           str(tmp_path / "r.json")], input=matches, capture_output=True, text=True,
                          env=env(), timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert "Score" not in proc.stdout and "Piped" not in proc.stdout  # no table
    assert "Market summary" in proc.stdout and f"Wrote JSON: {tmp_path / 'r.json'}" in proc.stdout
    items = json.loads((tmp_path / "r.json").read_text(encoding="utf-8"))["items"]
    assert [i["original_url"] for i in items] == ["http://127.0.0.1:9/files/0", "http://127.0.0.1:9/files/1"]

    bad = subprocess.run([sys.executable, "-m", "quillmere", "enrich", "-"], input='[{"link": 3}]',
                         capture_output=True, text=True, env=env(), timeout=120)
    assert bad.returncode == 1
    assert bad.stderr == 'quillmere: <stdin>: record 1 (line 1): "link" must be a string, not 3\n'


def test_an_object_with_a_matches_list_and_a_null_title(tmp_path: Path) -> None:
    text = '{"source": "lens",\n "matches": [\n  {"link": "ftp://a.example/1", "title": null},\n\n' \
           '  {"link": "ftp://a.example/2", "title": "Two"}]}'
    assert [where for where, _ in parse_records(text, "f")] == ["record 1 (line 3)", "record 2 (line 5)"]
    # The last "matches" counts, as json.loads keeps it.
    twice = '{"matches": [{"link": "a"}], "matches": [{"link": "b"}, {"link": "c"}]}'
    assert [r["link"] for _, r in parse_records(twice, "f")] == ["b", "c"]
    source = tmp_path / "m.json"
    source.write_text(text, encoding="utf-8")
    code, _, stderr = run_cli("enrich", str(source), "--json", str(tmp_path / "r.json"))
    assert code == 0, stderr
    items = json.loads((tmp_path / "r.json").read_text(encoding="utf-8"))["items"]
    assert [i["title"] for i in items] == ["", "Two"]


def test_the_readme_examples_run_on_their_own(tmp_path: Path) -> None:
    readme = Path(__file__).absolute().parent.parent / "README.md"
    blocks = readme.read_text(encoding="utf-8").split("```python\n")[1:]
    examples = [b.split("```")[0] for b in blocks]
    assert len(examples) >= 2
    # Each example runs in a fresh interpreter, with a fetcher that records
    # the links it is asked for instead of sending anything anywhere, and no
    # destination check (it would look the made-up hosts up).
    prelude = ("import quillmere.commerce as c\n"
               "c.REFUSE_INTERNAL_DESTINATIONS = False\n"
               "class Recorder:\n"
               "    @staticmethod\n"
               "    async def get(url, timeout=5):\n"
               "        print('asked for', url)\n"
               "c.AsyncFetcher = Recorder\n")
    for example in examples:
        proc = subprocess.run([sys.executable, "-c", prelude + example], capture_output=True, text=True,
                              env=env(), cwd=tmp_path, timeout=120)
        assert proc.returncode == 0, proc.stderr
        assert "asked for https://" in proc.stdout


def test_a_link_that_unwraps_to_an_unreadable_one_is_warned_about(tmp_path: Path) -> None:
    if not unwraps_to_unsplittable("http:////[x"):
        pytest.skip("this Python rebuilds such a link so that it splits again")
    source = tmp_path / "m.json"
    source.write_text('[{"link": "http:////[x", "title": "Odd", "price": "$5"},\n'
                      ' {"link": "ftp://files.example/x", "title": "Fine"}]', encoding="utf-8")
    code, _, stderr = run_cli("enrich", str(source), "--json", str(tmp_path / "r.json"))
    assert code == 0, stderr
    assert stderr.startswith(f'quillmere: warning: {source}: record 1 (line 1): link "http:////[x" cannot be read')
    assert stderr.count("cannot be read") == 1
    assert 'record 2 (line 2): link "ftp://files.example/x" is not an http(s) link' in stderr
    items = json.loads((tmp_path / "r.json").read_text(encoding="utf-8"))["items"]
    assert [(i["title"], i["direct_url"]) for i in items] == [("Odd", "http:////[x"), ("Fine", "ftp://files.example/x")]
