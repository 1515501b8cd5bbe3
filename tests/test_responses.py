"""Image-search responses read as they come: the visual_matches shape, Cloud
Vision web detection, numeric and object prices, and their bad inputs; from
Python (quillmere.responses) and through ``enrich`` / ``enrich-many``."""

from __future__ import annotations

import json
import math
from pathlib import Path

import pytest

from quillmere import commerce
from quillmere.models import VisualMatch
from quillmere.responses import ResponseError, matches_from_response, strip_markup
from test_batch_cli import cli as cli_many
from test_cli import run_cli


class NoPages:
    """A fetcher that has no page for any link (and counts the requests)."""

    def __init__(self) -> None:
        self.requested: list[str] = []

    async def get(self, url: str, timeout: int = 5, **kwargs):
        self.requested.append(url)
        return None


def enriched(matches: list[VisualMatch], **options) -> list:
    return commerce.CommerceEnricher.process(matches, fetcher=NoPages(), **options).items


def prices(matches: list[VisualMatch], **options) -> list:
    return [None if item.price is None else (item.price.amount, item.price.currency)
            for item in enriched(matches, **options)]


def item(n: int, **fields) -> dict:
    return {"position": n, "title": f"Tote {n}", "link": f"https://shop.example/p/{n}",
            "source": "Shop", "source_icon": "https://shop.example/i.png", "image": "https://img.example/x.jpg",
            "image_width": 400, "image_height": 300, **fields}


# ------------------------------------------------------------ visual_matches
def test_visual_matches_map_onto_the_match_fields_in_position_order() -> None:
    response = {
        "search_metadata": {"id": "s-1"},
        "visual_matches": [
            item(2, price={"value": "$260*", "extracted_value": 260, "currency": "$"}, in_stock=True,
                 thumbnail="https://img.example/t2.jpg"),
            item(1, price={"value": "12,50", "currency": "€"}),            # the text names no currency
            item(3, price={"value": "1.299,00 €", "extracted_value": 1299, "currency": "USD"}),  # it does
            item(4, price={"extracted_value": 19.99, "currency": "GBP"}),   # the number alone
            item(5, price={"value": "99", "extracted_value": 99}),          # no currency: the default
            item(6, price={"value": "£5", "currency": "EUR"}, currency="JPY"),  # the record's own wins
            item(7, price={"currency": "$"}),                               # nothing to read
        ],
        "exact_matches": [item(1, title="Exact", price=7)],
        "inline_images": [{"link": "https://elsewhere.example/"}],
    }
    matches = matches_from_response(response)
    assert [m.title for m in matches] == [f"Tote {n}" for n in range(1, 8)] + ["Exact"]
    first, second = matches[1], matches[0]
    assert second == VisualMatch(link="https://shop.example/p/1", title="Tote 1", source="Shop",
                                 price="12,50", currency="€")
    assert (first.in_stock, first.thumbnail, first.currency) == (True, "https://img.example/t2.jpg", None)
    assert matches[4].in_stock is None and matches[4].currency is None
    assert prices(matches) == [(12.5, "EUR"), (260.0, "USD"), (1299.0, "EUR"), (19.99, "GBP"), (99.0, "USD"),
                               (5.0, "GBP"), None, (7.0, "USD")]
    assert matches[5].currency == "JPY"

    assert [m.title for m in matches_from_response(response, exact_matches=False)][-1] == "Tote 7"
    only_exact = {"exact_matches": [item(2), item(1)]}
    assert [m.title for m in matches_from_response(only_exact)] == ["Tote 1", "Tote 2"]
    assert matches_from_response(only_exact, exact_matches=False) == []
    assert matches_from_response({"visual_matches": []}) == []
    # Without a position on every item the list order is kept.
    assert [m.title for m in matches_from_response({"visual_matches": [item(2), {"link": "x", "title": "y"}]})] \
        == ["Tote 2", "y"]


@pytest.mark.parametrize("amount", [12.5, 260, 0, 0.1, 19.99, 12.345, 1e20, 123456789.125, 2**53 + 1, 1e-7, 1e300])
@pytest.mark.parametrize("extended", [False, True])
def test_a_numeric_price_is_read_as_that_amount(amount, extended: bool) -> None:
    matches = matches_from_response([{"link": "https://shop.example/p", "price": amount},
                                     {"link": "https://shop.example/q", "price": amount, "currency": "€"}])
    assert "e" not in matches[0].price.lower()
    assert float(matches[0].price) == round(float(amount), 2)
    assert prices(matches, extended=extended) == [(round(float(amount), 2), "USD"), (round(float(amount), 2), "EUR")]


@pytest.mark.parametrize("record, problem", [
    ({"link": "x", "price": True}, '"price" must be a string, a number, a price object or null, not true'),
    ({"link": "x", "price": math.nan}, '"price" must be a finite, non-negative number, not NaN'),
    ({"link": "x", "price": -math.inf}, '"price" must be a finite, non-negative number, not -Infinity'),
    ({"link": "x", "price": -0.5}, '"price" must be a finite, non-negative number, not -0.5'),
    ({"link": "x", "price": 10**400}, '"price" must be a finite, non-negative number, not 1000'),
    ({"link": "x", "price": {"value": 5}}, '"price.value" must be a string or null, not 5'),
    ({"link": "x", "price": {"extracted_value": "5"}}, '"price.extracted_value" must be a number or null, not "5"'),
    ({"link": "x", "price": {"extracted_value": -5}}, '"price.extracted_value" must be a finite, non-negative'),
    ({"link": "x", "price": {"value": "$5", "currency": 1}}, '"price.currency" must be a string or null, not 1'),
    ({"link": "x", "price": [5]}, '"price" must be a string, a number, a price object or null, not [5]'),
    ({"link": "x", "position": "1"}, '"position" must be a number, not "1"'),
])
def test_bad_prices_and_positions_name_the_record(record: dict, problem: str) -> None:
    with pytest.raises(ResponseError) as caught:
        matches_from_response({"visual_matches": [item(1), record]})
    assert caught.value.where == "visual match 2"
    assert caught.value.problem.startswith(problem), caught.value.problem
    assert str(caught.value).count("\n") == 0


# ------------------------------------------------------------ Cloud Vision
def detection(*pages: dict) -> dict:
    return {"webEntities": [{"entityId": "/m/0", "score": 0.7, "description": "tote"}],
            "bestGuessLabels": [{"label": "tote bag"}], "pagesWithMatchingImages": list(pages)}


PAGES = [
    {"url": "https://shop.example/p/1", "pageTitle": "Canvas <b>Tote</b> &amp; Bag &#8211; <i>Shop</i>",
     "fullMatchingImages": [{"url": "https://img.example/full.jpg"}],
     "partialMatchingImages": [{"url": "https://img.example/part.jpg"}]},
    {"url": "https://shop.example/p/2", "pageTitle": "&lt;b&gt; is &quot;bold&quot; &#x3c;3 a < b",
     "partialMatchingImages": [{"url": "https://img.example/part2.jpg", "score": 0.5}]},
    {"url": "https://shop.example/p/3"},
]


def test_cloud_vision_pages_become_matches_in_each_wrapping() -> None:
    expected = [
        VisualMatch(link="https://shop.example/p/1", title="Canvas Tote & Bag – Shop",
                    thumbnail="https://img.example/full.jpg"),
        VisualMatch(link="https://shop.example/p/2", title='<b> is "bold" <3 a < b',
                    thumbnail="https://img.example/part2.jpg"),
        VisualMatch(link="https://shop.example/p/3"),
    ]
    assert matches_from_response({"responses": [{"webDetection": detection(*PAGES)}]}) == expected
    assert matches_from_response({"webDetection": detection(*PAGES)}) == expected
    assert matches_from_response(detection(*PAGES)) == expected
    two = {"responses": [{"webDetection": detection(PAGES[2])}, {}, {"webDetection": {}},
                         {"webDetection": detection(PAGES[0])}]}
    assert [m.link for m in matches_from_response(two)] == ["https://shop.example/p/3", "https://shop.example/p/1"]

    failed = {"responses": [{"webDetection": detection()}, {"error": {"code": 3, "message": "Bad image data."}}]}
    with pytest.raises(ResponseError, match=r'^response 2: the response reports an error: "Bad image data."$'):
        matches_from_response(failed)
    with pytest.raises(ResponseError, match=r'^response 1, matching page 2: the page has no "url"$'):
        matches_from_response({"responses": [{"webDetection": detection(PAGES[0], {"pageTitle": "x"})}]})
    with pytest.raises(ResponseError, match=r'^matching page 1: "fullMatchingImages" must be a list'):
        matches_from_response(detection({"url": "https://a.example/", "fullMatchingImages": "x.jpg"}))


@pytest.mark.parametrize("text, stripped", [
    ("<b>Bold</b> and <a href='x'>link</a>", "Bold and link"),
    ("1 < 2 and 3 <= 4 <3", "1 < 2 and 3 <= 4 <3"),
    ("an open <b tag", "an open <b tag"),
    ("x<br/>y<!-- note -->z", "xyz"),
    ("&amp;lt;b&amp;gt; &#65;&#x42; &eacute &bogus;", "&lt;b&gt; AB é &bogus;"),
    ("<" * 50_000 + "b" * 50_000, "<" * 50_000 + "b" * 50_000),  # never closed: kept
])
def test_markup_is_stripped_and_references_decoded(text: str, stripped: str) -> None:
    assert strip_markup(text) == stripped


# ------------------------------------------------------------ text inputs
def test_response_texts_label_their_records_with_lines(tmp_path: Path) -> None:
    lens = ('{"search_metadata": {"id": "a"},\n "exact_matches": [\n  {"link": "https://a.example/e"}],\n'
            ' "visual_matches": [\n  {"position": 1, "link": "https://a.example/1"},\n'
            '  {"position": 2, "link": "https://a.example/2", "in_stock": "yes"}]}')
    with pytest.raises(ResponseError) as caught:
        matches_from_response(lens)
    assert str(caught.value) == 'visual match 2 (line 6): "in_stock" must be true, false or null, not "yes"'

    vision = json.dumps({"responses": [{"webDetection": detection(PAGES[0])},
                                       {"webDetection": detection(PAGES[1], {"url": 5})}]}, indent=1)
    with pytest.raises(ResponseError) as caught:
        matches_from_response(vision.encode())
    line = vision[: vision.index('"url": 5')].count("\n") + 1
    assert str(caught.value).startswith(f"response 2, matching page 2 (line {line - 1}): \"url\" must be a string")
    assert len(matches_from_response(vision.replace('"url": 5', '"url": "https://b.example/"'))) == 3


BAD_RESPONSES = [
    ("deep-array", "[" * 100_000, "JSON nested too deeply"),
    ("deep-object", '{"visual_matches": ' + "[" * 100_000, "line 1: JSON nested too deeply"),
    ("deep-valid", '{"visual_matches": [' + "[" * 50_000 + "]" * 50_001 + "}", "line 1: JSON nested too deeply"),
    ("digits", '{"visual_matches": [{"link": "https://a.example/", "price": ' + "9" * 5000 + "}]}",
     "line 1: unreadable JSON: Exceeds the limit"),
    ("no-shape", '{"search_metadata": {"id": "x"}, "inline_images": []}',
     "found an object with no key of a match or a response, not one of the inputs read: a JSON array of matches"),
    ("lens-not-list", '{"visual_matches": {"link": "https://a.example/"}}',
     '"visual_matches" must be a list of match objects, found an object'),
    ("lens-no-link", '{"visual_matches": [\n{"title": "t"}]}', 'visual match 1 (line 2): the match has no "link"'),
    ("vision-not-object", '{"responses": [\n{"webDetection": []}]}',
     'response 1 (line 2): "webDetection" must be an object, found an array'),
]


@pytest.mark.parametrize("name, content, problem", BAD_RESPONSES, ids=[c[0] for c in BAD_RESPONSES])
def test_bad_responses_are_one_line_and_write_nothing(tmp_path: Path, name: str, content: str, problem: str) -> None:
    source = tmp_path / f"{name}.json"
    source.write_text(content, encoding="utf-8")
    out = tmp_path / "out.json"
    code, stdout, stderr = run_cli("enrich", str(source), "--json", str(out))
    assert (code, stdout) == (1, "")
    assert stderr.startswith(f"quillmere: {source}: {problem}") and stderr.count("\n") == 1, stderr
    assert not out.exists()


def test_enrich_reads_a_response_as_it_comes_and_warns_about_links_it_will_not_fetch(tmp_path: Path) -> None:
    response = {"search_metadata": {"id": "s"}, "visual_matches": [
        item(1, link="https://127.0.0.1:9/p/1", price={"value": "$260*", "extracted_value": 260, "currency": "$"}),
        item(2, link="shop.example/b", price=12.5, currency="EUR"),
        item(3, link="javascript:alert(1)"),
        item(4, link="https://www.google.com/url?q=ftp://files.example/x&sa=U"),
    ]}
    source = tmp_path / "lens.json"
    text = json.dumps(response, indent=2)
    source.write_text(text, encoding="utf-8")
    second = text.count("\n", 0, text.rfind("{", 0, text.index('"position": 2'))) + 1
    out = tmp_path / "out.json"
    code, _, stderr = run_cli("enrich", str(source), "--json", str(out), "--quiet")
    assert code == 0, stderr
    warnings = stderr.splitlines()
    # One per link that is not fetched, then one that no page was read at all.
    assert warnings.pop() == ("quillmere: warning: no destination page could be read; every row comes from the "
                              "search data alone")
    assert len(warnings) == 3 and all(w.startswith(f"quillmere: warning: {source}: visual match ") for w in warnings)
    assert f'visual match 2 (line {second}): link "shop.example/b" is not an http(s) link' in warnings[0]
    assert 'visual match 3 (line ' in warnings[1] and '"javascript:alert(1)"' in warnings[1]
    assert '(unwrapped: "ftp://files.example/x")' in warnings[2]
    assert all(w.endswith("the match is enriched from its search data alone") for w in warnings)
    items = json.loads(out.read_text(encoding="utf-8"))["items"]
    assert [i["original_url"] for i in items] == [r["link"] for r in response["visual_matches"]]
    assert [i.get("price", {}).get("amount") for i in items] == [260.0, 12.5, None, None]
    assert items[1]["price"]["currency"] == "EUR"


def test_an_old_style_input_and_its_response_shape_give_the_same_output(tmp_path: Path) -> None:
    matches = [{"link": "https://127.0.0.1:9/p/1", "title": "Tote", "source": "Shop", "price": "$12.50",
                "in_stock": True, "thumbnail": "https://127.0.0.1:9/t.jpg"},
               {"link": "https://127.0.0.1:9/p/2", "title": "Bag", "price": "12,50 €", "currency": "EUR"}]
    lens = {"visual_matches": [{"position": 2, **matches[1], "price": {"value": "12,50 €", "currency": "€"}},
                               {"position": 1, **matches[0], "price": {"value": "$12.50", "extracted_value": 12.5}}]}
    outputs = []
    for name, data in (("old.json", matches), ("lens.json", lens)):
        (tmp_path / name).write_text(json.dumps(data), encoding="utf-8")
        code, stdout, stderr = run_cli("enrich", str(tmp_path / name), "--json", str(tmp_path / f"{name}.out"),
                                       "--csv", str(tmp_path / f"{name}.csv"))
        # These pages are refused (loopback), so the only word is that none was read.
        assert code == 0 and stderr.startswith("quillmere: warning: no destination page could be read"), stderr
        assert stderr.count("\n") == 1
        outputs.append((stdout.replace(name, "X"), (tmp_path / f"{name}.out").read_bytes(),
                        (tmp_path / f"{name}.csv").read_bytes()))
    assert outputs[0] == outputs[1]


# ------------------------------------------------------------ enrich-many
def test_enrich_many_reads_responses_and_their_search_ids(tmp_path: Path) -> None:
    lens = {"search_metadata": {"id": "lens-7"},
            "visual_matches": [item(1, link="https://127.0.0.1:9/a", price={"value": "$5"})],
            "exact_matches": [item(1, link="https://127.0.0.1:9/b")]}
    lines = [
        {"id": "given", "response": lens},
        {"response": {"webDetection": detection({"url": "https://127.0.0.1:9/p/3"})}},  # no id: the line number
        lens | {"search_metadata": {"id": "raw-1"}},          # the response itself as the line
        {"response": [{"link": "https://127.0.0.1:9/c", "price": 3}]},
        {"response": {"visual_matches": [{"link": "https://127.0.0.1:9/d", "price": -3}]}},
        {"matches": [{"link": "https://127.0.0.1:9/e"}]},
    ]
    source = tmp_path / "in.jsonl"
    source.write_text("".join(json.dumps(line) + "\n" for line in lines), encoding="utf-8")
    results = {}
    for flags in ((), ("--no-exact-matches",)):
        out = tmp_path / f"out{len(flags)}.jsonl"
        proc = cli_many(str(source), "--out", str(out), "--quiet", *flags)
        assert proc.returncode == 0, proc.stderr
        results[flags] = {r["id"]: r for r in map(json.loads, out.read_text(encoding="utf-8").splitlines())}
    got = results[()]
    assert set(got) == {"given", 2, "raw-1", 4, 5, 6}
    assert [i["original_url"] for i in got["given"]["result"]["items"]] == ["https://127.0.0.1:9/a",
                                                                             "https://127.0.0.1:9/b"]
    assert got["given"]["result"]["items"][0]["price"]["amount"] == 5.0
    assert got["raw-1"]["result"] == got["given"]["result"]
    assert got[2]["result"]["items"][0]["original_url"] == "https://127.0.0.1:9/p/3"
    assert got[4]["result"]["items"][0]["price"]["amount"] == 3.0
    assert got[5]["error"] == 'response: visual match 1: "price" must be a finite, non-negative number, not -3'
    assert got[6]["result"]["summary"]["total_matches"] == 1
    assert len(results[("--no-exact-matches",)]["given"]["result"]["items"]) == 1

    source.write_text('{"id": 1, "matches": [], "response": {}}\n{"response": "text"}\n', encoding="utf-8")
    proc = cli_many(str(source), "--out", str(tmp_path / "bad.jsonl"))
    assert proc.returncode == 1  # "matches" win over a "response" beside them, as another key
    assert proc.stderr == f'quillmere: {source}: line 2: "response" must be an object or an array, not a string\n'
    source.write_text('{"id": 1, "response": {"visual_matches": [{"link": "x", "price": ' + "9" * 5000 + '}]}}\n',
                      encoding="utf-8")
    proc = cli_many(str(source), "--out", str(tmp_path / "bad.jsonl"))
    assert proc.returncode == 1
    assert proc.stderr.startswith(f"quillmere: {source}: line 1: unreadable JSON: Exceeds the limit (4300 digits)")
    source.write_text('{"response": {"search_metadata": {"id": [1]}, "visual_matches": []}}\n', encoding="utf-8")
    proc = cli_many(str(source), "--out", str(tmp_path / "bad.jsonl"))
    assert proc.returncode == 1 and '"search_metadata.id" must be a string or an integer, not an array' in proc.stderr
