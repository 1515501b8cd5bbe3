"""HTML character references decode exactly as html.unescape decodes them."""

import html
import html.entities
import sys

import pytest

from quillmere import _commerce
from quillmere.commerce import DestinationMetadataParser

unescape = _commerce._html_unescape


def mismatches(pieces):
    return [p for p in pieces if unescape(p) != html.unescape(p)]


def test_every_named_reference_with_and_without_semicolon_and_followers():
    pieces = []
    for name in html.entities.html5:
        bare = name.rstrip(";")
        for tail in (";", "", "a", "Z", "1", "=", ";x", "é", "\t"):
            pieces.append("&" + bare + tail)
            pieces.append("x&" + bare + tail + "&" + bare)
    assert mismatches(pieces) == []


def test_every_code_point_as_decimal_and_hexadecimal_reference():
    forms = ("&#{0};", "&#{0}", "&#x{0:x};", "&#X{0:X}", "&#x{0:04X}g", "&#00{0}a")
    top = sys.maxunicode + 0x1000
    for k, form in enumerate(forms):  # each code point in one of the forms
        text = "|".join(form.format(cp) for cp in range(k, top, len(forms)))
        assert unescape(text) == html.unescape(text), form


@pytest.mark.parametrize(
    "text",
    [
        "no references", "&", "&&", "a & b", "&;", "&#", "&#;", "&#x", "&#xg;", "&#x;", "&# 65;", "& amp;",
        "&#65", "&#65;;", "&#0065x", "&#99999999999999999999999;", "&#x110000;", "&#xFFFFFFFFFFFFFFFFFFFF;",
        "&#xD800;", "&#xDFFF", "&#0;", "&#13;", "&#128;", "&#129;", "&#x9F;", "&#1;", "&#x7F;", "&#xFDD0;",
        "&#x10FFFE;", "&#x1FFFF;", "&#xFFFE;", "&#11;", "&#12;",
        "&notit;", "&notin;", "&not;in", "&ampamp;", "&amp;amp;", "&lt&gt", "&LT", "&Lt;", "&frac12abc",
        "&frac3;", "&a", "&am", "&aeligx", "&AMP;", "&amp\n;", "&ampé;", "&é;", "&ab\rcd;", "&" + "a" * 40 + ";",
        "&\ud800;", "&amp\ud800",
    ],
)
def test_edge_references(text):
    assert unescape(text) == html.unescape(text)


def test_long_names_and_numbers():
    pieces = ["&" + "b" * 31 + "é;", "&" + "c" * 33, "&amp" + "q" * 40, "&copy" + "é" * 40]
    pieces += ["&#" + "0" * 4298 + "65;", "&#x" + "0" * 5000 + "41;", "&#" + "9" * 4300]
    assert mismatches(pieces) == []


def test_decimal_reference_too_long_for_int_decodes_by_value():
    # The host's html.unescape raises ValueError past int()'s 4300-digit
    # limit; one page's title must not end the whole enrichment, so the
    # engine decodes such a reference by its value.
    huge, padded = "&#" + "1" * 4301 + ";", "&#" + "0" * 5000 + "65;x"
    with pytest.raises(ValueError):
        html.unescape(huge)
    assert unescape(huge) == "\ufffd"
    assert unescape(padded) == "Ax"
    page = "<html><head><title>T&#" + "9" * 5000 + ";</title></head><body>" + "x" * 300 + "</body></html>"
    meta = DestinationMetadataParser.parse_metadata(page, "https://shop.example/p", "Hat &#" + "9" * 5000 + ";")
    assert meta["title"] == "Hat \ufffd"


def test_random_texts(rng):
    names = list(html.entities.html5)[::37]
    atoms = ["&", "#", "x", "X", ";", "a", "m", "p", "l", "t", "1", "9", "0", "F", " ", "é", "\t", "<", "="] + names
    texts = ["".join(rng.choice(atoms) for _ in range(rng.randrange(1, 30))) for _ in range(3000)]
    assert mismatches(texts) == []
