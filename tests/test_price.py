"""PriceNormalizer.parse: the engine against the same steps in Python's re and str."""

import copy
import pickle
import re
import threading

import pytest

from quillmere.commerce import CURRENCY_MAP, PriceNormalizer
from quillmere.models import NormalizedPrice

from reference import PATTERN
from reference import ref_price as reference


def fields(p):
    return None if p is None else (type(p), p.raw, repr(p.amount), p.currency)


def test_pattern_is_the_composed_class_attribute():
    assert PriceNormalizer.PRICE_PATTERN.pattern == PATTERN.pattern
    assert PriceNormalizer.PRICE_PATTERN.flags & re.IGNORECASE and PriceNormalizer.PRICE_PATTERN.groups == 3


@pytest.mark.parametrize(
    "number, amount",
    [
        ("1,299.99", 1299.99), ("1.299,99", 1299.99), ("1 299,99", 1299.99), ("1,234,567.89", 1234567.89),
        ("1.234.567,89", 1234567.89), ("12,50", 12.5), ("12,5", 125.0), ("1,234", 1234.0), ("1,234,56", 123456.0),
        ("1.234", 1.23), ("1.234.567", None), ("19.999", 20.0), ("0.125", 0.12), ("2.675", 2.67), ("0,375", 375.0),
        ("9" * 400, None), ("1\u00a0234", None), ("1\t234", None), ("1\u202f234,56", None),
    ],
)
def test_separator_decision_and_rounding(number, amount):
    p = PriceNormalizer.parse(number)
    assert (None if p is None else p.amount) == amount
    assert fields(p) == fields(reference(number))


@pytest.mark.parametrize(
    "raw, hint, want",
    [
        (None, None, None), ("", "EUR", None), ("   \t\u3000", None, None), ("no digits here", None, None),
        ("Angebot 49,90 € inkl. MwSt.", None, ("Angebot 49,90 € inkl. MwSt.", 49.9, "EUR")),
        ("12.00 gbp", None, ("12.00 gbp", 12.0, "GBP")),
        ("$5 EUR", None, ("$5 EUR", 5.0, "USD")),
        ("  19.99  ", "eur", ("19.99", 19.99, "EUR")),
        ("19.99", None, ("19.99", 19.99, "USD")),
        ("19.99", "", ("19.99", 19.99, "USD")),
        ("19.99", "xyz", ("19.99", 19.99, "XYZ")),
        ("19.99", "ß", ("19.99", 19.99, "SS")),
        ("19.99", " cn¥ ", ("19.99", 19.99, "CNY")),
        ("19.99", "  ", ("19.99", 19.99, "")),
        ("¥500", "EUR", ("¥500", 500.0, "JPY")),
        ("From $10.00 to $25.00", None, ("From $10.00 to $25.00", 10.0, "USD")),
        ("2 x €15", None, ("2 x €15", 2.0, "USD")),
        ("1\u00a0299,99 €", None, None),
        ("usda 5", None, ("usda 5", 5.0, "USD")),
        ("İNR 5", None, ("İNR 5", 5.0, "İNR")), ("5 ınr", None, ("5 ınr", 5.0, "INR")), ("5 uſd", None, ("5 uſd", 5.0, "USD")),
    ],
)
def test_cases(raw, hint, want):
    p = PriceNormalizer.parse(raw, hint)
    assert (None if p is None else (p.raw, p.amount, p.currency)) == want
    assert fields(p) == fields(reference(raw, hint))


def case_variants(rng, key):
    return {key, key.lower(), key.upper(), key.title(), key.swapcase(),
            "".join(c.upper() if rng.random() < 0.5 else c.lower() for c in key)}


def test_generated_texts_match_python(rng):
    seps = [",", ".", " ", "\t", "\n", "\u00a0", "\u202f", "\u2009", "\u3000"]
    gaps = ["", " ", "  ", "\t", "\u00a0", "\u202f"]
    words = ["Price:", "now", "ab", "usda", "Größe", "ça", "x", "-", "/", "to", "İ", "µ"]

    def number():
        parts = [str(rng.randrange(10 ** rng.randrange(1, 5)))]
        for _ in range(rng.randrange(4)):
            parts.append(rng.choice(seps) + "".join(rng.choice("0123456789") for _ in range(rng.randrange(1, 4))))
        return "".join(parts)

    def priced():
        tok = rng.choice(list(case_variants(rng, rng.choice(list(CURRENCY_MAP)))))
        n = number()
        where = rng.randrange(3)
        if where == 0:
            return tok + rng.choice(gaps) + n
        if where == 1:
            return n + rng.choice(gaps) + tok
        return n

    texts = []
    for _ in range(4000):
        pieces = [priced() for _ in range(rng.randrange(1, 3))]
        pieces += rng.sample(words, rng.randrange(3))
        rng.shuffle(pieces)
        texts.append(rng.choice(["", " ", "\t"]).join(pieces) if rng.random() < 0.8 else "".join(pieces))
    texts += ["9" * n + ",5" for n in (17, 300, 309, 310, 5000)] + ["0," * 3000 + "0 eur", "1 " * 2000 + "1"]
    hints = [None, "", "eur", "Gbp", " ¥ ", "zz", "ß"]
    bad = [(t, h) for t in texts for h in (rng.choice(hints),) if fields(PriceNormalizer.parse(t, h)) != fields(reference(t, h))]
    assert bad == []


def test_every_character_next_to_tokens_and_numbers():
    # Word boundaries of the codes, white space, case folding: Python's re decides.
    cps = list(range(0x3000)) + list(range(0x3000, 0x110000, 97))
    texts = [t for c in map(chr, cps) for t in (c + "usd 5", "5 usd" + c, "5" + c + "eur", c + "5")]
    assert [t for t in texts if fields(PriceNormalizer.parse(t)) != fields(reference(t))] == []


def test_tokens_in_every_spelling_beside_every_kind_of_neighbour():
    # Each key and near miss, in its case variants and with the letters
    # Python's re also takes for "s" and "i", before and after a number,
    # touching letters, digits, signs, control characters and non-ASCII text.
    keys = list(CURRENCY_MAP) + ["U$", "CN$", "C$", "AU$", "US", "EU", "INRS", "USDT", "\u20acuro", "CA"]
    spellings = set()
    for key in keys:
        spellings |= {key, key.lower(), key.title(), key.swapcase()}
        spellings |= {key.replace("S", "\u017f"), key.replace("I", "\u0130"), key.replace("I", "\u0131")}
    neighbours = ["", " ", "\u3000", "x", "Z", "_", "7", "$", "\x04", "\x1f", "é", "ß", "\u00b2", "\u0660", "\ud800", "-", "\u2003"]
    texts = []
    for tok in spellings:
        for left in neighbours:
            for right in neighbours:
                texts += [left + tok + right + "12,50", "12,50" + left + tok + right, left + tok + " 3 " + tok + right]
    assert [t for t in texts if fields(PriceNormalizer.parse(t)) != fields(reference(t))] == []


def test_long_white_space_runs_and_separator_chains():
    # Tens of thousands of separators or blanks: still the answer of Python's re.
    for text in ["5" + " " * 50000 + "eur", "$" + "\u2003" * 50000 + "7", "0," * 50000 + "0 €", "5" + " " * 50000 + "x"]:
        assert fields(PriceNormalizer.parse(text)) == fields(reference(text))


@pytest.mark.parametrize("args", [(12,), (12.5,), (b"12",), ("12", 3), ("12", b"EUR"), (None, ["EUR"])])
def test_wrong_types(args):
    with pytest.raises(TypeError, match="must be str or None"):
        PriceNormalizer.parse(*args)


def test_record_is_a_proper_normalized_price():
    a, b = PriceNormalizer.parse("US$ 1,299.99"), PriceNormalizer.parse("US$ 1,299.99")
    want = NormalizedPrice(raw="US$ 1,299.99", amount=1299.99, currency="USD")
    assert a == want and a.model_dump_json() == want.model_dump_json() and repr(a) == repr(want)
    assert a.__pydantic_fields_set__ == want.__pydantic_fields_set__
    assert a.__pydantic_fields_set__ is not b.__pydantic_fields_set__
    assert a.model_copy(update={"amount": 1.0}).amount == 1.0 and a.amount == 1299.99
    assert pickle.loads(pickle.dumps(a)) == want and copy.deepcopy(a) == want

    class Text(str):
        pass

    assert type(PriceNormalizer.parse(Text("$5")).raw) is str  # as str.strip() would give


class ThreeGroups(PriceNormalizer):
    PRICE_PATTERN = re.compile(r"(EUR)?\s*(\d+(?:\.\d+)?)\s*(kr)?", re.IGNORECASE)


class TwoGroups(PriceNormalizer):
    PRICE_PATTERN = re.compile(r"(\$)?(\d+)")


class FourGroups(PriceNormalizer):
    PRICE_PATTERN = re.compile(r"(\$)?(\d+)(x)?(y)?")


def test_subclass_pattern_is_used():
    assert ThreeGroups.parse("  12.5 kr  ").currency == "KR"
    for text in ("1,5 €", "١٢٣ KR", "eur 12.5.5", "\t7 kr "):  # float() reads any decimal digits
        assert fields(ThreeGroups.parse(text, "gbp")) == fields(reference(text, "gbp", pattern=ThreeGroups.PRICE_PATTERN))
    assert ThreeGroups.parse("no number") is None
    assert PriceNormalizer.parse("12.5 kr").currency == "USD"  # the base class keeps its own


@pytest.mark.parametrize("cls", [TwoGroups, FourGroups])
def test_subclass_pattern_with_wrong_group_count(cls):
    with pytest.raises(ValueError) as got:
        cls.parse("$12")
    with pytest.raises(ValueError) as want:
        _, _, _ = cls.PRICE_PATTERN.search("$12").groups()
    assert str(got.value) == str(want.value)
    assert cls.parse("none") is None


class Grandchild(ThreeGroups):
    pass


class OwnParse(ThreeGroups):
    PRICE_PATTERN = re.compile(r"(X)?(\d+)(Y)?")

    @classmethod
    def parse(cls, raw_price, currency_hint=None):
        return "mine"


class SameAsBase(PriceNormalizer):
    PRICE_PATTERN = PriceNormalizer.PRICE_PATTERN


def test_subclass_patterns_are_inherited_and_looked_up_per_class():
    for text in ("  12.5 kr  ", "eur 7", "1,5 €"):
        assert fields(Grandchild.parse(text)) == fields(ThreeGroups.parse(text))
    assert OwnParse.parse("12 Y") == "mine"  # a subclass's own parse is kept

    class Later(ThreeGroups):
        pass

    Later.PRICE_PATTERN = re.compile(r"(kr)?\s*(\d+)()", re.IGNORECASE)  # read at each call
    assert fields(Later.parse("kr 12.5")) == fields(reference("kr 12.5", pattern=Later.PRICE_PATTERN))
    assert Later.parse("kr 12.5").currency == "KR" and ThreeGroups.parse("kr 12.5").currency == "USD"
    for text in ("$5 EUR", "1 299,99 €", "usda 5", "From $10.00 to $25.00", "\t7 gbp "):
        assert fields(SameAsBase.parse(text, "eur")) == fields(PriceNormalizer.parse(text, "eur"))


@pytest.mark.parametrize("args", [(12,), ("12", 3), (None, b"EUR")])
def test_subclass_parse_refuses_wrong_types_in_the_house_form(args):
    with pytest.raises(TypeError, match=r"^(raw_price|currency_hint) must be str or None, not \w+$") as got:
        ThreeGroups.parse(*args)
    with pytest.raises(TypeError) as want:
        PriceNormalizer.parse(*args)
    assert str(got.value) == str(want.value)


def test_subclass_amounts_the_record_refuses_give_none():
    class Signed(PriceNormalizer):
        PRICE_PATTERN = re.compile(r"()(-?\d+(?:\.\d+)?)()")

    assert Signed.parse("-5") is None and Signed.parse("9" * 400) is None
    assert Signed.parse("x 5.255").amount == round(5.255, 2)


def test_threads_agree():
    texts = [f"{'word ' * 20000}{i},{i:02d} €" for i in range(40)]
    results = {}

    def work(i):
        results[i] = [PriceNormalizer.parse(t) for t in texts[i % 4 :: 4]]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i in range(4):
        assert [fields(p) for p in results[i]] == [fields(reference(t)) for t in texts[i::4]]


def test_texts_with_lone_surrogates_in_turn():
    # Each text starts afresh: one of the same size parsed just before it
    # (likely at the same address) must not lend it its currency or number.
    texts = ["9 gbp\ud800", "9 abc\ud800", "7 x eur\ud800", "7 eur x\ud800", "5\ud800 usd", "5 usd\ud800"] * 4
    assert [fields(PriceNormalizer.parse(t)) for t in texts] == [fields(reference(t)) for t in texts]
