"""The four page extractors, checked against the same extraction written
with Python's re and json (the reference below) and on the documented cases."""

import json

import pytest

from quillmere.commerce import DestinationMetadataParser as D

from reference import ref_ld, ref_meta, ref_next, ref_title


def identities(items):
    return [[a is b for b in items] for a in items]


def assert_same_as_reference(html):
    got, want = D._find_ld_json_products(html), ref_ld(html)
    assert json.dumps(got) == json.dumps(want)
    assert identities(got) == identities(want)
    assert json.dumps(D._find_next_data_product(html)) == json.dumps(ref_next(html))
    assert list(D._extract_meta_tags(html).items()) == list(ref_meta(html).items())
    assert D._extract_html_title(html) == ref_title(html)


# ------------------------------------------------------------ documented cases
def ld(*bodies):
    return "".join(f'<script type="application/ld+json">{b}</script>' for b in bodies)


def next_data(doc, tag='<script id="__NEXT_DATA__" type="application/json">'):
    return f"{tag}{json.dumps(doc)}</script>"


P1, P2 = {"@type": "Product", "name": "a"}, {"@type": "Product", "name": "b"}


@pytest.mark.parametrize(
    "page, names",
    [
        (ld(json.dumps([P1, P2])), ["a", "b"]),
        (ld('{"@type": ["Product", "Thing"], "name": "a"}', '{"@type": ["IndividualProduct"], "name": "x"}'), ["a"]),
        (ld('{"@type": "IndividualProduct", "name": "a"}'), ["a"]),
        (ld('{"@type": "product", "name": "x"}'), []),
        (ld('{"@context": "https://schema.org", "@graph": [{"@type": "Product", "name": "a"}]}'), ["a", "a"]),
        (ld('{"@type": "ProductGroup", "name": "g", "hasVariant": [%s, %s]}' % (json.dumps(P1), json.dumps(P2))),
         ["g", "a", "b"]),
        (ld("{not json", json.dumps(P2)), ["b"]),
        (ld("<!-- %s -->" % json.dumps(P1), "<![CDATA[%s]]>" % json.dumps(P1)), []),
        ("<script type='APPLICATION/LD+json' async>%s</script >%s</script>" % (json.dumps(P1), json.dumps(P2)), []),
        ("<SCRIPT data-x=1 TYPE='Application/LD+JSON'>\n %s \n</Script>" % json.dumps(P1), ["a"]),
        (ld("   ", "", json.dumps(P2)), ["b"]),
    ],
)
def test_ld_json_products(page, names):
    got = D._find_ld_json_products(page)
    assert [p["name"] for p in got] == names
    assert_same_as_reference(page)


def test_ld_json_records_are_shared_not_copied():
    graph = D._find_ld_json_products(ld('{"@graph": [%s, %s]}' % (json.dumps(P1), json.dumps(P2))))
    assert [p["name"] for p in graph] == ["a", "b", "a", "b"]
    assert graph[0] is graph[2] and graph[1] is graph[3]
    group = D._find_ld_json_products(ld('{"@type": "ProductGroup", "hasVariant": [%s]}' % json.dumps(P1)))
    assert group[1] is group[0]["hasVariant"][0]
    # Every "@graph" level doubles the visits of what it holds.
    nested = ld('{"@graph": [' * 10 + json.dumps(P1) + "]}" * 10)
    assert len(D._find_ld_json_products(nested)) == 1024
    assert_same_as_reference(nested)


@pytest.mark.parametrize(
    "page, want",
    [
        (next_data({"props": {"pageProps": {"product": {}, "item": {"sku": 1}}}}), {}),
        (next_data({"props": {"pageProps": {"product": [1], "item": "x", "productDetails": {"a": 1}}}}), {"a": 1}),
        (next_data({"props": {"pageProps": {"list": [{"brand": "b", "name": "n"}]}}}), None),
        (next_data({"props": {"pageProps": {"a": {"b": {"brandName": 0, "sku": None}}, "c": {"brand": 1, "name": 2}}}}),
         {"brandName": 0, "sku": None}),
        (next_data({"props": {"pageProps": {"brand": "b", "name": "n", "x": {}}}}), {"brand": "b", "name": "n", "x": {}}),
        (next_data({"props": {"pageProps": {"product": {"x": 1}}}}, '<script ID="__NEXT_DATA__">'), None),
        (next_data({"props": {"pageProps": {"product": {"x": 1}}}}, "<script id='__NEXT_DATA__'>"), {"x": 1}),
        (next_data({"props": None}), None),
        (next_data({"props": {"pageProps": []}}), None),
        (next_data([1]), None),
        (next_data({}), None),
        ('<script id="__NEXT_DATA__">' + "[" * 5000 + "]" * 5000 + "</script>", None),
    ],
)
def test_next_data_product(page, want):
    assert D._find_next_data_product(page) == want
    assert_same_as_reference(page)


@pytest.mark.parametrize(
    "page, want",
    [
        ('<meta property="og:title" content="A"><meta property="og:title" content="B">', {"og:title": "B"}),
        ('<META NAME="Twitter:Title" CONTENT=" T ">', {"twitter:title": "T"}),
        ('<meta name="description" content="">', {}),
        ('<meta content="first" property="og:x">', {"og:x": "first"}),
        ('<meta data-name="k" name="other" content="v">', {"k": "v"}),
        ('<meta name="a" content="1 > 2">', {}),
        ("<meta\n\tname='x'\ncontent='y'/>", {"x": "y"}),
        ('<meta name="  " content="y"><meta name="z" content="   ">', {}),
        ('<meta name="a" content="1"><meta name="b" content="2"><meta name="A" content="3">', {"a": "3", "b": "2"}),
        ('<meta name="a" content="1"', {}),
        ("<metaname='a' content='1'>", {}),
    ],
)
def test_meta_tags(page, want):
    got = D._extract_meta_tags(page)
    assert list(got.items()) == list(want.items())
    assert_same_as_reference(page)


@pytest.mark.parametrize(
    "page, want",
    [
        ("<title>\n    Red\n\tShoe \u00a0 &amp; Co\n  </title>", "Red Shoe &amp; Co"),
        ("<TITLE lang=en>A</Title><title>B</title>", "A"),
        ("<title></title>", ""),
        ("<title> \n </title>", ""),
        ("<html>no title</html>", None),
        ("<title>never closed", None),
        ("<title<title>x</title>", "x"),
        ("<title data-a='>'>x</title>", "'>x"),
    ],
)
def test_title(page, want):
    assert D._extract_html_title(page) == want
    assert_same_as_reference(page)


@pytest.mark.parametrize("fn", [D._find_ld_json_products, D._find_next_data_product, D._extract_meta_tags,
                                D._extract_html_title])
@pytest.mark.parametrize("arg", [None, b"<title>x</title>", 1])
def test_non_text_is_rejected(fn, arg):
    with pytest.raises(TypeError, match=f"html must be str, not {type(arg).__name__}"):
        fn(arg)


# ------------------------------------------------------------ generated and hostile pages
OPENINGS = [
    '<script type="application/ld+json">', "<script type='application/LD+JSON' defer>", "<SCRIPT\nTYPE=\"application/ld+json\">",
    "<script>", "<script ", "<script type=application/ld+json>", '<script id="__NEXT_DATA__">', "<\u017fcript type='application/ld+json'>",
    '<script id="__NEXT_DATA__" type="application/json">', "<script <script id='__NEXT_DATA__'>", '<script type="application/ld+json"',
    "<scripttype='application/ld+json'>", "<SCR\u0130PT type='appl\u0131cation/ld+json'>", "<scriptxtype='application/ld+json'>", "<script\ttype='application/ld+json'x>",
]
BODIES = [
    json.dumps(P1), json.dumps({"@graph": [P1, {"@type": ["ProductGroup"], "hasVariant": [P2]}]}), " [%s] " % json.dumps(P2),
    json.dumps({"props": {"pageProps": {"item": {"sku": 1}}}}), json.dumps({"props": {"pageProps": {"x": {"brand": 1, "sku": 2}}}}),
    "", "{", '{"@type": "Product", "name": "</script>"}', "\u00a0%s\n" % json.dumps(P1),
]
CLOSINGS = ["</script>", "</SCRIPT>", "</script >", "", "</\u017fcript>", "</scr\u0131pt>"]
NOISE = ["{", "}", '"', "'", ">", "<", " ", "\n", "\u00a0", "x", "é", "type=", "id=", "<title", "<meta", "</title>", "</script>"]


def random_page(rng):
    parts = []
    for _ in range(rng.randrange(1, 8)):
        kind = rng.randrange(4)
        if kind == 0:
            parts += [rng.choice(OPENINGS), rng.choice(BODIES), rng.choice(CLOSINGS)]
        elif kind == 1:
            attrs = [rng.choice(['name="og:title"', "property='OG:Price'", 'data-name="k"', "name=' x '"]),
                     rng.choice(['content="T"', "content=''", "content=' 9 '", 'content="a>b"'])]
            rng.shuffle(attrs)
            parts += ["<" + rng.choice(["meta", "META", "meta\n"]) + rng.choice([" ", "\t", ""]) + " ".join(attrs),
                      rng.choice([">", "/>", ""])]
        elif kind == 2:
            parts += [rng.choice(["<title>", "<TITLE x='>'>", "<title", "<T\u0130TLE>"]), rng.choice(["A\n  b", "", " "]),
                      rng.choice(["</title>", "</TITLE>", "", "</t\u0131tle>"])]
        else:
            parts += [rng.choice(NOISE) for _ in range(rng.randrange(3))]
    return "".join(parts)


def test_generated_pages(rng):
    for _ in range(1500):
        assert_same_as_reference(random_page(rng))


@pytest.mark.parametrize(
    "unit",
    [
        '<script type="application/ld+json">{"@type": "Product"',  # unclosed script openings
        '<script type="application/ld+json" ',  # openings inside one endless tag
        "<script <script ",
        '<meta name="og:title" content="x" ',  # meta tags without '>'
        "<meta  ",
        "<title>x",  # titles without a closing tag
        "<title",
        '<script id="__NEXT_DATA__">{"props":',
    ],
)
@pytest.mark.parametrize("tail", ["", ">", "</script></title>"])
def test_hostile_pages(unit, tail):
    assert_same_as_reference(unit * 400 + tail)


def test_nested_graphs_repeating_a_large_record_answer():
    # Twenty "@graph" levels repeat the record a million times; the walk is
    # bounded by what its visits scan, not only by their number.
    record = dict(P1, **{f"k{i}": i for i in range(50_000)})
    found = D._find_ld_json_products(ld('{"@graph": [' * 20 + json.dumps(record) + "]}" * 20))
    assert found and found[0] == record and all(p is found[0] for p in found)


def test_deeply_nested_json_ld_is_skipped():
    page = ld("[" * 100_000 + "]" * 100_000, json.dumps(P1), '{"a":' * 50_000)
    assert D._find_ld_json_products(page) == [P1]
