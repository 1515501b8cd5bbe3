"""The text helpers answer exactly as CPython's str methods do."""

import sys

import pytest

from quillmere import _commerce

T = _commerce._text
ALL = [chr(cp) for cp in range(sys.maxunicode + 1) if not 0xD800 <= cp <= 0xDFFF]


def test_every_code_point_lower_title_isspace():
    # Single characters exercise the full (multi-code-point) mappings.
    bad = [c for c in ALL if T.lower(c) != c.lower() or T.title(c) != c.title()]
    assert bad == []
    assert [cp for cp in range(sys.maxunicode + 1) if T.isspace(cp) != chr(cp).isspace()] == []


def test_every_code_point_upper():
    # Full mappings ("ß" -> "SS", "ŉ" -> "ʼN"); lone surrogates pass through.
    assert [c for c in ALL if T.upper(c) != c.upper()] == []
    s = "".join(ALL[:0x2000]) + "\ud800ß\udfffΐﬃ"
    assert T.upper(s) == s.upper()


def test_every_code_point_as_separator_and_padding():
    # split/strip see each character between and around words.
    joined = "".join("a" + c for c in ALL[:0x3000])
    assert T.split(joined) == joined.split()
    for c in ALL[::7]:
        s = c + "x" + c + "y" + c
        assert T.strip(s) == s.strip()
        assert T.collapse(s) == " ".join(s.split())


def test_decimal_digits_match_unicodedata():
    import unicodedata

    for c in ALL:
        want = unicodedata.decimal(c, -1) if c.isdecimal() else -1
        assert T.decimal(ord(c)) == want, hex(ord(c))


@pytest.mark.parametrize(
    "s",
    [
        "ΑΣ", "ΑΣ b", "Σ", "aΣ.Σ", "Α\u0345Σ", "ΑΣ\u0345b", "ß straße", "İstanbul", "ǅemal ǆ",
        "they're bill's friends", "hello_world-3rd", "\ud800Σ\udfff", "x\x1cy\x1dz\x1e\x1f",
        "\u00a0 a \u202f\u2028b\u3000", "", "   ", "ﬁ ﬂ ŉ",
    ],
)
def test_context_sensitive_cases(s):
    assert T.lower(s) == s.lower()
    assert T.title(s) == s.title()
    assert T.split(s) == s.split()
    assert T.strip(s) == s.strip()
    assert T.length(s) == len(s)


def test_random_strings(rng):
    pool = ALL[:0x700] + ["Σ", "\u0345", "'", " ", "\xa0", "ǅ", "İ", "\u1680", "\U0001d400"]
    for _ in range(3000):
        s = "".join(rng.choice(pool) for _ in range(rng.randrange(12)))
        assert (T.lower(s), T.title(s), T.split(s), T.strip(s)) == (s.lower(), s.title(), s.split(), s.strip())


def test_space_class_is_python_whitespace():
    import re

    # The class body lists exactly the str.isspace() characters.
    listed = set()
    for lo, hi in re.findall(r"\\x\{([0-9A-F]+)\}(?:-\\x\{([0-9A-F]+)\})?", T.space_class()):
        listed.update(range(int(lo, 16), int(hi or lo, 16) + 1))
    assert listed == {cp for cp in range(sys.maxunicode + 1) if chr(cp).isspace()}
