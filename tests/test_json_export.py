"""export_commerce_to_json with texts UTF-8 cannot encode (lone surrogates)."""

import json

import pytest

from quillmere.commerce import CommerceEnricher, export_commerce_to_json
from quillmere.models import CommerceIntelligence, CommerceSummary, EnrichedCommerceMatch, PageType, VisualMatch


class Page:
    def __init__(self, body):
        self.body = body


class OnePage:
    """A fetcher answering every request with the same page."""

    def __init__(self, html):
        self.html = html

    async def get(self, url, timeout=5):
        return Page(self.html.encode("utf-8"))


def test_ordinary_results_are_written_exactly_as_pydantic_dumps_them(tmp_path):
    result = CommerceIntelligence(
        summary=CommerceSummary(total_matches=1, by_page_type={"product": 1}),
        items=[EnrichedCommerceMatch(title="Café \u2013 靴 \U0001F600", direct_url="https://a.example/",
                                     original_url="https://a.example/", match_score=98,
                                     page_type=PageType.PRODUCT, brand="Ærø")])
    out = export_commerce_to_json(result, tmp_path / "r.json")
    assert out.read_bytes() == result.model_dump_json(indent=2, exclude_none=True).encode("utf-8")


def test_lone_surrogates_from_the_caller_are_written_as_replacement_characters(tmp_path):
    matches = [VisualMatch(title="Tote \ud800 bag", link="ftp://files.example/a", source="Shop\udfff"),
               VisualMatch(title="pair \ud83d\ude00 split", link="ftp://files.example/b", source="Plain")]
    result = CommerceEnricher.process(matches)
    out = export_commerce_to_json(result, tmp_path / "r.json")
    data = json.loads(out.read_bytes().decode("utf-8"))  # strict UTF-8
    assert [i["title"] for i in data["items"]] == ["Tote \ufffd bag", "pair \ufffd\ufffd split"]
    assert [i["merchant_name"] for i in data["items"]] == ["Shop\ufffd", "Plain"]
    # Only the file is mended: the result keeps what the caller gave, enums stay members.
    assert result.items[0].title == "Tote \ud800 bag" and result.items[0].page_type is PageType.UNCATEGORIZED
    # Everything else is as pydantic writes it: only the surrogates differ.
    clean = [VisualMatch(title="Tote \ufffd bag", link="ftp://files.example/a", source="Shop\ufffd"),
             VisualMatch(title="pair \ufffd\ufffd split", link="ftp://files.example/b", source="Plain")]
    reference = export_commerce_to_json(CommerceEnricher.process(clean), tmp_path / "clean.json")
    assert out.read_bytes() == reference.read_bytes()


@pytest.mark.parametrize("escape, written", [
    (r"\ud800", "X \ufffd"), (r"\udfff tail", "X \ufffd tail"), (r"head \udbff", "X head \ufffd"),
])
def test_a_json_escape_for_a_lone_surrogate_on_a_page_does_not_spoil_the_export(tmp_path, escape, written):
    page = ('<html><head><script type="application/ld+json">{"@type": "Product", "name": "X ' + escape
            + '", "brand": {"name": "B' + escape + '"}}</script></head><body>' + "<p>filler</p>" * 40
            + "</body></html>")
    result = CommerceEnricher.process([VisualMatch(title="t", link="https://shop.example/p")],
                                      fetcher=OnePage(page))
    assert "\ud800" <= max(result.items[0].title) <= "\udfff"  # the extractor keeps json.loads' answer
    out = export_commerce_to_json(result, tmp_path / "r.json")
    item = json.loads(out.read_bytes().decode("utf-8"))["items"][0]
    assert item["title"] == written
    assert item["brand"].startswith("B") and "\ufffd" in item["brand"]
