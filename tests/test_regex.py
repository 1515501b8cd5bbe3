"""PCRE2 patterns translated from Python's syntax match as Python's re does."""

import re
import sys

import pytest

from quillmere import _commerce

T = _commerce._text
IGNORECASE, DOTALL = 1, 2
ALL = "".join(chr(cp) for cp in range(sys.maxunicode + 1) if not 0xD800 <= cp <= 0xDFFF)


def spans(pattern, flags, subject):
    py_flags = (re.IGNORECASE if flags & IGNORECASE else 0) | (re.DOTALL if flags & DOTALL else 0)
    return [m.span() for m in re.finditer(pattern, subject, py_flags)]


@pytest.mark.parametrize("letters", ["abcdefghijklm", "nopqrstuvwxyz", "ABCDEFGHIJKLMNOPQRSTUVWXYZ"])
def test_case_insensitive_letters_over_every_code_point(letters):
    for letter in letters:
        assert T.finditer_spans(letter, IGNORECASE, ALL) == spans(letter, IGNORECASE, ALL), letter


@pytest.mark.parametrize(
    "pattern",
    [
        r"[a-z]+", r"[^a-z]+", r"[H-J]", r"\s+", r"[,\.\s][0-9]", r"[\d,]+", r"\binstock\b", r"ti.le", r"SKU",
        r"(?P<price>pri\u0063e)(?:x)?", r"(?<![^\W\d_])INR(?![^\W\d_])", r"(?i)in",
    ],
)
@pytest.mark.parametrize("flags", [0, IGNORECASE, IGNORECASE | DOTALL])
def test_classes_and_escapes(pattern, flags):
    subject = ALL[:0x600] + "\u0130\u0131\u212a\u017f \x1c\x1d\x1e\x1f\u2028 IN-STOCK instock_ x instock y ٣,٤ ti\nle"
    assert T.finditer_spans(pattern, flags, subject) == spans(pattern, flags, subject)


@pytest.mark.parametrize("pattern", [r'data-x=["\']([^"\']+)["\']', r"\w+", r"\s", r"(.*?)</a>", r"[^a-z]"])
def test_lone_surrogates_are_ordinary_characters(pattern):
    subject = 'data-x="a\ud800b" \udfff\ud83d x</a> \udbff'
    long_subject = "x" * 5000 + subject  # long texts take another path
    assert T.finditer_spans(pattern, IGNORECASE | DOTALL, long_subject) == spans(
        pattern, IGNORECASE | DOTALL, long_subject)
    assert T.finditer_spans(pattern, IGNORECASE | DOTALL, subject) == spans(pattern, IGNORECASE | DOTALL, subject)


def test_pages_with_lone_surrogates_in_turn():
    # Page searches keep their state between pages; each page of a run of
    # same-sized pages (likely at one address) must be read on its own.
    from quillmere.commerce import DestinationMetadataParser as D
    from reference import ref_ld, ref_title

    script = "<script type='application/ld+json'>{\"@type\":\"Product\",\"name\":\"%s\"}</script>"
    pages = ["\ud800" + script % "a" + "</script>" * 3, "\ud800" + script % ("b" * 28),
             "\ud800<title>one</title>" + " " * 20, "\ud800 <title>two</title>" + "x" * 19]
    pages = pages * 3
    assert [D._find_ld_json_products(p) for p in pages] == [ref_ld(p) for p in pages]
    assert [D._extract_html_title(p) for p in pages] == [ref_title(p) for p in pages]
