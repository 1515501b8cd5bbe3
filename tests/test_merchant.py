"""MerchantClassifier: the engine against the same steps in Python's re and str."""

import pytest

from reference import ref_classify, ref_extract_sld, ref_is_match

from quillmere.commerce import MARKETPLACE_DOMAINS, RESELLER_DOMAINS, MerchantCategory, MerchantClassifier as MC


@pytest.mark.parametrize(
    "domain, sld",
    [("acme.co.uk", "acme"), ("shop.acme.com", "acme"), ("shop.com", "com"), ("localhost", "localhost"),
     ("www.uk.shop.acme.de", "acme"), ("www.shop.m", ""), ("acme.com:8080", "acme"), (" WWW.Acme.CO.UK ", "acme"),
     ("a..b", ""), ("acme.com.", "acme"), ("", "")],
)
def test_extract_sld(domain, sld):
    assert MC._extract_sld(domain) == sld == ref_extract_sld(domain)


@pytest.mark.parametrize(
    "alpha, text, want",
    [("acmeshop", "Acme", True), ("acme", "Acme, Inc.", True), ("acmestore", "Acme Official Store", True),
     ("acmestore", "Acme Great Store", False), ("acme", "", False), ("acme", "!!! ...", False),
     ("acme", "ÄÖÜ €", False), ("acmestore", "the and official", False), ("acme", "ac me", True),
     ("kelvinshop", "\u212aelvin", True), ("istore", "\u0130", True)],
)
def test_is_match(alpha, text, want):
    assert MC._is_match(alpha, text) == want == ref_is_match(alpha, text)


U, M, R, O = (MerchantCategory.UNVERIFIED, MerchantCategory.MAJOR_MARKETPLACE,
              MerchantCategory.RESELLER_SPECIALIST, MerchantCategory.OFFICIAL_BRAND)


@pytest.mark.parametrize(
    "args, want",
    [
        (("", "Acme", "Acme", "Acme"), U), ((" \t ", "x", "acme"), U),
        ((" WWW.Amazon.CO.UK ",), M), (("smile.amazon.com",), M), (("m.ebay.de",), M),
        (("notamazon.com",), U), (("amazon.com:443",), U), (("stockx.com",), R), (("eu.stockx.com",), R),
        (("acme.com:8080", "", "Acme"), O), (("ab.com", "ab", "AB", "ab"), U),
        (("acmestore.com", "Acme Shoes", "Other brand"), U), (("acme.com", "Acme shoes"), O),
        (("acme.com", "Acme", "Zeta"), O), (("acme.com", "", None, "Acme Store"), O),
        (("acmestore.com", "Acme Store", "---"), O), (("acmestore.com", "Store of Acme shoes"), U),
        (("acme.com", "the and official acme"), O), (("acme.com", "ÄÖÜ ß", "¡¿", "— …"), U), (("acme.com", "ÄÇMÉ"), O),
    ],
)
def test_classify(args, want):
    assert MC.classify(*args) == want == ref_classify(*args)


def test_generated_against_python(rng):
    labels = ["www", "shop", "m", "uk", "co", "com", "org", "de", "acme", "acmestore", "zeta-labs", "bücher",
              "例え", "İstanbul", "\u212aelvin", "", "ab", "x1", "nike", "amazon", "stockx", "ebay", "7eleven"]
    words = ["Acme", "Store", "the", "and", "Official", "acme", "Zeta", "Labs", "Nike", "!!", "—", "ÄÖÜ", "x", "ab",
             "Kelvin", "İ", "7-Eleven", "Bücher", "1st", "co."]
    cases = []
    for _ in range(5000):
        domain = ".".join(rng.choice(labels) for _ in range(rng.randrange(1, 5)))
        if rng.random() < 0.2:
            domain = rng.choice(sorted(MARKETPLACE_DOMAINS | RESELLER_DOMAINS)) if rng.random() < 0.5 else domain
            domain = rng.choice(["", "www.", "m.", "x", "fr."]) + domain
        if rng.random() < 0.1:
            domain += ":" + str(rng.randrange(1, 65536))
        if rng.random() < 0.2:
            domain = rng.choice([" ", "\t", "\u00a0"]) + domain.upper() + " "

        def name():
            r = rng.random()
            if r < 0.25:
                return None
            return rng.choice(["", " "]).join(rng.choice(words) for _ in range(rng.randrange(0, 4)))

        cases.append((domain, name() or "", name(), name()))
    bad = [c for c in cases if MC.classify(*c) != ref_classify(*c)]
    assert bad == []
    assert [d for d, *_ in cases if MC._extract_sld(d) != ref_extract_sld(d)] == []
    assert sum(ref_classify(*c) is O for c in cases) > 100  # the generator reaches every branch
    assert sum(ref_classify(*c) is M for c in cases) > 100


def test_long_labels_and_many_tokens(rng):
    # Long labels take the indexed substring search; it must answer as `in` does.
    alpha = "".join(rng.choice("abc0") for _ in range(3000))
    for _ in range(200):
        tokens = []
        for _ in range(rng.randrange(1, 30)):
            i = rng.randrange(len(alpha) - 12)
            t = alpha[i : i + rng.randrange(3, 12)]
            tokens.append(t if rng.random() < 0.97 else t + "z")
        text = rng.choice([" ", "-", ". "]).join(tokens)
        assert MC._is_match(alpha, text) == ref_is_match(alpha, text)
    long_norm = alpha[500:2600]
    assert MC._is_match(alpha, long_norm.upper()) is True
    assert MC._is_match(alpha[:100], alpha[:99] + "zz" * 100) == ref_is_match(alpha[:100], alpha[:99] + "zz" * 100)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: MC.classify(12), "domain must be str"),
        (lambda: MC.classify("a.com", None), "title must be str"),
        (lambda: MC.classify("a.com", "", 5), "brand must be str or None"),
        (lambda: MC.classify("a.com", "", None, b"x"), "merchant_name must be str or None"),
        (lambda: MC._extract_sld(None), "domain must be str"),
        (lambda: MC._is_match("acme", 3), "text must be str"),
    ],
)
def test_wrong_types(call, message):
    with pytest.raises(TypeError, match=message):
        call()
