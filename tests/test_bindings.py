"""What every entry of the extension shares: argument checks, error types,
text crossing in both directions."""

import re
from urllib.parse import urlsplit

import pytest

from quillmere.commerce import (
    CommerceEnricher,
    DestinationMetadataParser,
    MerchantClassifier,
    PriceNormalizer,
    URLUnwrapper,
    VisualMatch,
)

Parser = DestinationMetadataParser


@pytest.mark.parametrize("call, message", [
    # Several wrong arguments: the first one is named.
    (lambda: MerchantClassifier.classify(1, 2, 3, 4), "domain must be str, not int"),
    (lambda: MerchantClassifier.classify("a.example", b"t", 3), "title must be str, not bytes"),
    (lambda: PriceNormalizer.parse(1.5, 2), "raw_price must be str or None, not float"),
    (lambda: Parser.parse_metadata(1, None, None, rank=None), "html must be str or None, not int"),
    (lambda: Parser.parse_metadata(None, "https://a.example", 5, initial_stock=0), "initial_title must be str, not int"),
    (lambda: Parser.parse_metadata(None, "https://a.example", initial_stock=0, rank="1"),
     "initial_stock must be bool or None, not int"),
    # By keyword, in any order: still the first in the signature.
    (lambda: MerchantClassifier.classify(merchant_name=1, domain=None), "domain must be str, not NoneType"),
    (lambda: URLUnwrapper.unwrap(url=None), "url must be str, not NoneType"),
])
def test_first_wrong_argument_is_named(call, message):
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        call()


def test_wrong_argument_leaves_no_error_behind():
    # A refused call must not leave an error set for the next, good one.
    for _ in range(3):
        with pytest.raises(TypeError):
            URLUnwrapper.extract_domain(None)
        assert URLUnwrapper.extract_domain("https://www.a.example/x") == "a.example"
        with pytest.raises(TypeError):
            Parser.parse_metadata(None, "https://a.example", None)
        assert Parser.parse_metadata(None, "https://a.example")["merchant_name"] == "a.example"


def test_missing_and_extra_arguments_are_still_refused():
    with pytest.raises(TypeError):
        URLUnwrapper.unwrap()
    with pytest.raises(TypeError):
        URLUnwrapper.unwrap("https://a.example", "b")
    with pytest.raises(TypeError):
        PriceNormalizer.parse("1", currency="EUR")


def outcome(call):
    try:
        return call()
    except (TypeError, ValueError) as e:  # UnicodeEncodeError included
        return (type(e), str(e))


def test_usual_positional_calls_answer_as_the_checked_keyword_calls():
    # The plain positional call takes the short way into the engine; a call by
    # keyword always goes through the checked function. Both must agree on
    # every answer and every error, and a refused short call leaves no error
    # behind for the next one.
    links = ["https://a.example/p?utm_source=x&id=1#r", "https://a.example/p", "http://[::1/", "http://x[y]/",
             "https://a.example/p?v=\ud800", "https://a\uff038.co/", "https://www.google.com/url?q=https%3A%2F%2Fb.example%2F",
             "https://a.example/?" + "&".join(f"n{i}=v{i}" for i in range(100)), "https://a.example/?q=" + "x" * 20000, "", " x"]
    for u in links:
        assert outcome(lambda: URLUnwrapper.unwrap(u)) == outcome(lambda: URLUnwrapper.unwrap(url=u)), u
        assert outcome(lambda: URLUnwrapper.extract_domain(u)) == outcome(lambda: URLUnwrapper.extract_domain(url=u)), u
    prices = ["$1,299.99", "EUR 12,50", "free", "", "12 \ud800", "¥ 3000", "1" * 20000 + " $"]
    for t in prices:
        for hint in [None, "EUR", "gbp", "\udfff"]:
            assert outcome(lambda: PriceNormalizer.parse(t, hint)) == outcome(
                lambda: PriceNormalizer.parse(raw_price=t, currency_hint=hint)), (t, hint)
        assert outcome(lambda: PriceNormalizer.parse(t)) == outcome(lambda: PriceNormalizer.parse(raw_price=t))
    assert outcome(lambda: PriceNormalizer.parse(None)) is None
    # A record whose raw text is all of the argument shares it, either way.
    text = "$12.00"
    assert PriceNormalizer.parse(text).raw is text


def test_str_subclasses_and_surrogates_cross_both_ways():
    class Text(str):
        pass

    assert URLUnwrapper.extract_domain(Text("https://WWW.A.example")) == "a.example"
    assert MerchantClassifier._is_match(Text("acme"), Text("Acme Store")) is MerchantClassifier._is_match("acme", "Acme Store")
    # A lone surrogate is carried through unchanged, as str operations would.
    link = "https://a.example/p\ud800?utm_source=x"
    assert URLUnwrapper.unwrap(link) == "https://a.example/p\ud800"
    assert Parser.parse_metadata(None, "https://a.example", "T\udfff itle")["title"] == "T\udfff itle"


@pytest.mark.parametrize("link", [
    "https://a\ud800\uff1a8.co",       # NFKC delimiter beside a lone surrogate
    "https://a\uff038.co/\ud800",      # NFKC delimiter, surrogate elsewhere
    "http://[\ud800]/",                # not an IP literal
    "http://x[\ud800/",                # unmatched bracket
])
def test_unsplittable_link_is_the_same_value_error_everywhere(link):
    with pytest.raises(ValueError) as want:
        urlsplit(link)
    calls = [
        URLUnwrapper.extract_domain,
        URLUnwrapper.unwrap,
        lambda u: Parser.parse_metadata(None, u),
        lambda u: Parser.parse_metadata("<p>" * 100, u, "t", "m", rank=3),
    ]
    for call in calls:
        with pytest.raises(ValueError) as got:
            call(link)
        assert type(got.value) is ValueError and str(got.value) == str(want.value)


def test_unsplittable_link_spares_the_batch():
    matches = [VisualMatch(title="a", link="https://shop.example/p"),
               VisualMatch(title="b", link="https://a\ud800\uff1a8.co")]
    items = CommerceEnricher.process(matches).items
    assert [i.title for i in items] == ["a", "b"]
    assert items[1].direct_url == items[1].original_url == "https://a\ud800\uff1a8.co"
