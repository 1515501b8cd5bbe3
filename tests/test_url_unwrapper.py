"""Link unwrapping and domain extraction answer exactly as urllib.parse would."""

import random
from decimal import Decimal
from urllib.parse import quote, urlparse

import pytest

from quillmere import _commerce
from quillmere.commerce import TRACKING_PARAMS, URLUnwrapper

unwrap = URLUnwrapper.unwrap
extract_domain = URLUnwrapper.extract_domain


from reference import ref_extract_domain, ref_unwrap


def outcome(fn, url):
    """The result, or the error's type and arguments, so failures compare too."""
    try:
        return fn(url)
    except ValueError as e:  # UnicodeEncodeError included
        return (type(e), e.args)


# ------------------------------------------------------------- generator
TRACKING = sorted(TRACKING_PARAMS)
NAMES = ["id", "q", "url", "a", "", "%71", "UTM_id", "utm_source_platform", "na%C3%AFve", "a+b",
         "x%ZZ", "%E2%82", "ü", "Color", "size[]", "%75rl"]
VALUES = ["", "1", "a+b", "%20", "%2F", "%E2%82%AC", "%E2%82", "%ff", "%", "%4", "x=y", "é", "\u00a0",
          "%F0%9F%98%80", "%ED%A0%80", "%C0%AF", "a/b?c", "~._-", "%2B", "日本"]
HOSTS = ["example.com", "n\x00\u2100", "www.Example.COM", "WWW.www.shop.de", "shop.co.uk", "[::1]", "[2001:db8::1%eth0]",
         "[v7.abc]", "[v.x]", "[V7.abc]", "[v7.]", "[1.2.3.4]", "[::ffff:1.2.3.4]", "[::ffff:1.2.3.04]", "[", "a]b",
         "[zz]", "[1:2:3:4:5:6:7:8:9]", "[1::2::3]", "[]", "[fe80::1%]", "bücher.de", "a\u2100b",
         "ｅｘａｍｐｌｅ.com", "a\uff0fb", "google.com", "www.google.co.uk", "GOOGLE.com", "x.google.",
         "[\x7f\u200b'\"]", "[\U000e0001\\\ud800]", "[:]"]
PATHS = ["", "/", "/url", "/url/", "/URL", "/a/b;p=1", "/a;x/b;y", "/p/ü", "/a\tb", "/a\r\nb", "p;q",
         "//x", "/a b", ";lead"]
FRAGMENTS = ["", "#reviews", "#:~:text=foo", "#sec:~:text=x", "#:~:other", "#a#b", "#", "#x?y"]
INVALID_UTF8 = [b"\x80", b"\x9f", b"\xa0", b"\xbf", b"\xc0", b"\xc2", b"\xe0", b"\xed", b"\xf0", b"\xf4",
                b"\xf5", b"A", b"\xe2\x82", b"\xf0\x90\x80"]


def random_query(rng, n=None):
    fields = []
    for _ in range(rng.randint(0, 6) if n is None else n):
        kind = rng.random()
        if kind < 0.3:
            name = "".join(c.upper() if rng.random() < 0.5 else c for c in rng.choice(TRACKING))
        else:
            name = rng.choice(NAMES)
        if kind > 0.93:
            fields.append(name)  # no "="
        elif kind > 0.88:
            fields.append("")  # empty field
        elif kind > 0.84:
            raw = b"".join(rng.choice(INVALID_UTF8) for _ in range(rng.randint(1, 4)))
            fields.append(name + "=" + "".join(f"%{b:02X}" for b in raw))
        else:
            fields.append(name + "=" + rng.choice(VALUES))
    return "&".join(fields)


def random_link(rng):
    lead = rng.choice(["", "", "", " ", "\x00\x1f ", "\t"])
    scheme = rng.choice(["http", "https", "https", "HTTPS", "ftp", "mailto", "tel", "git+ssh", "1abc",
                         "", "sip", "x-y.z"])
    sep = rng.choice(["://", "://", "://", ":", ":/", "", "//"])
    host = rng.choice(["", "user:pw@", "u@"]) * (rng.random() < 0.2) + rng.choice(HOSTS)
    port = rng.choice(["", "", ":8080", ":"])
    path = rng.choice(PATHS)
    query = random_query(rng)
    link = lead + scheme + sep + host + port + path
    if query or rng.random() < 0.2:
        link += "?" + query
    return link + rng.choice(FRAGMENTS)


def redirect(rng, inner):
    host = rng.choice(["www.google.com", "google.de", "www.google.co.uk", "GOOGLE.com", "google"])
    path = rng.choice(["/url", "/url", "/url", "/url/", "/URL"])
    target = quote(inner, safe=rng.choice(["", "/:", "/:?=&"]), errors="surrogatepass")
    fields = [f"{rng.choice(['q', 'url', 'Q', '%71'])}={target}"]
    if rng.random() < 0.4:
        fields.append(f"{rng.choice(['q', 'url'])}={rng.choice(['', 'https://other.example/x'])}")
    fields += ["sa=U", "ved=2ahUKE", "usg=AOv"][: rng.randint(0, 3)]
    rng.shuffle(fields)
    return f"https://{host}{path}?{'&'.join(fields)}"


@pytest.fixture(scope="module")
def links():
    rng = random.Random(20261207)
    out = [random_link(rng) for _ in range(1500)]
    out += [redirect(rng, random_link(rng)) for _ in range(600)]
    out += [redirect(rng, redirect(rng, random_link(rng))) for _ in range(300)]
    out += ["http://a/?" + random_query(rng, 30) for _ in range(100)]
    out += [s + "\ud800x" + t for s, t in [("http://a/?v=", ""), ("http://a/?", "=1"), ("http://a/?utm_source=", ""),
                                         ("http://a/?v=\ud801", "\udfff&w=\ud800\ud800")]]
    return out


# ------------------------------------------------------------- parity
def test_unwrap_matches_urllib(links):
    mismatches = [(u, outcome(unwrap, u), outcome(ref_unwrap, u)) for u in links
                  if outcome(unwrap, u) != outcome(ref_unwrap, u)]
    assert mismatches == []
    # The generated set must reach the interesting outcomes, not only the easy ones.
    outcomes = [outcome(ref_unwrap, u) for u in links]
    assert sum(isinstance(o, tuple) and o[0] is ValueError for o in outcomes) > 50
    assert sum(isinstance(o, tuple) and o[0] is UnicodeEncodeError for o in outcomes) >= 3
    assert sum(isinstance(o, str) and "%EF%BF%BD" in o for o in outcomes) > 50


def test_plain_http_links_of_every_length_match_urllib():
    # Links read sixteen bytes at a time: every length around the block
    # boundaries, with the landmarks ("?", "#", "/", ";", brackets, bytes
    # outside printable ASCII) at every place, the host included.
    rng = random.Random(5)
    pieces = ["a", "b9", "-", "/", "?", "#", "&", "=", "%2F", "%41", "+", ";", "[", "]", ":~:text=x", "utm_source=1",
              "id=", "q=", "url", "~", "\x7f", " ", "é", "/url?q=http://x/", "&&", "==", "@", ":80"]
    links = []
    for _ in range(4000):
        head = rng.choice(["http://", "https://", "https://", "HTTP://", "http:/", "https://www.google.com"])
        body = ""
        target = rng.randint(0, 60)
        while len(head + body) < target:
            body += rng.choice(pieces)
        links.append(head + body)
    assert [(u, outcome(unwrap, u)) for u in links if outcome(unwrap, u) != outcome(ref_unwrap, u)] == []
    results = [outcome(unwrap, u) for u in links]
    assert sum(r == u for r, u in zip(results, links)) > 400
    assert sum(isinstance(r, str) and r != u for r, u in zip(results, links)) > 400


def test_extract_domain_and_split_match_urllib(links):
    parse = _commerce._url_parse
    assert [u for u in links if outcome(extract_domain, u) != outcome(ref_extract_domain, u)] == []
    assert [u for u in links if outcome(parse, u) != outcome(lambda x: tuple(urlparse(x)), u)] == []


def test_every_known_scheme_splits_and_rebuilds_as_urllib():
    # Which schemes take a network location or path parameters differs
    # between Python releases; the engine follows the running one.
    from urllib.parse import uses_netloc, uses_params
    links = [scheme + tail for scheme in sorted(set(uses_netloc) | set(uses_params) | {"x-other"}) if scheme
             for tail in (":/p;q?a=1", ":p;q", "://h/p;q", ":", ":;q", "://")]
    assert [(u, outcome(unwrap, u)) for u in links] == [(u, outcome(ref_unwrap, u)) for u in links]
    assert [_commerce._url_parse(u) for u in links] == [tuple(urlparse(u)) for u in links]


def test_large_inputs_match_urllib(rng):
    many = "http://a/?" + "&".join(f"k{rng.randrange(5000)}=v{i}&utm_source=x" for i in range(40000))
    assert unwrap(many) == ref_unwrap(many)
    deep = "https://x/" + "[" * 100000 + "?" + "%" * 100000
    assert outcome(unwrap, deep) == outcome(ref_unwrap, deep)
    long_netloc = "https://" + "a\u00e9" * 100000 + "/p"
    assert extract_domain(long_netloc) == ref_extract_domain(long_netloc)


# ------------------------------------------------------- query-heavy links
# Names that decode alike, differ only past their eighth byte, lower-case to
# a tracking name only under full Unicode rules, or are tracking names in
# other cases; values with every kind of escape, raw text and lone surrogate.
Q_NAMES = ["a", "%61", "A", "q", "%71", "+", "%20", "a+b", "a%20b", "a%2Bb", "", "id", "ID", "color",
           "utm_sourc", "utm_source", "utm_sourcex", "UTM_SOURCE", "utm_Source", "utm%5Fsource",
           "utm_campaign", "UTM_CAMPAIGN", "utm_campaigns", "utm_content", "utm_conten", "source", "Source",
           "gclid", "GCLID", "gcl%69d", "fbclid", "msclkid", "mscl\u212aid", "sa", "SA", "s%61", "ved", "usg",
           "\u0130d", "na\u00efve", "na%C3%AFve", "na%c3%afve", "\u65e5\u672c", "%E6%97%A5%E6%9C%AC",
           "filter%5Bbrand%5D", "size[]", "x%ZZ", "%E2%82", "%ff", "abcdefgh", "abcdefghi", "abcdefgi",
           "longer_than_twelve_chars", "\U0001f600", "%F0%9F%98%80", "%ED%A0%80", "a%", "%"]
Q_VALUES = ["1", "a+b", "%20", "%2F", "%2f", "%41", "%7e", "%7E", "~._-", "a/b?c", "x=y", "a b", " ",
            "%E2%82%AC", "%e2%82%ac", "%E2%82", "%E2%82%AC%E2", "%C0%AF", "%ED%A0%80", "%F4%90%80%80",
            "%F0%9F%98%80x", "%C3%A9%C3", "%", "%4", "%G1", "%%41", "100%", "\u00e9", "\u65e5\u672c",
            "\U0001f600", "\u00a0", "%C3%A9" * 30, "\u00e9%C3%A9\u00e9", "!*'();:@$,", "\x00", "%00",
            "a" * 70, "Z" * 9]
SURROGATES = ["\ud800", "x\udfff", "\udbff\udfff"]


def query_heavy_query(rng):
    fields = []
    for _ in range(rng.choice([1, 2, 5, 12, 20, 23, 24, 25, 26, 40, 70])):
        kind = rng.random()
        name = rng.choice(Q_NAMES)
        if kind < 0.04:
            fields.append(name)  # no "="
        elif kind < 0.07:
            fields.append(rng.choice(["", "=", "==", name + "="]))
        elif kind < 0.09:
            # A lone surrogate in a name or a value, kept or dropped.
            bad = rng.choice(SURROGATES)
            fields.append(rng.choice([name + "=" + bad, bad + "=1", "utm_term=" + bad]))
        else:
            fields.append(name + "=" + "".join(rng.choice(Q_VALUES) for _ in range(rng.randint(1, 3))))
    if rng.random() < 0.3:  # many distinct names, to outgrow any small table
        fields += [f"k{rng.randrange(60)}={i}" for i in range(rng.randint(10, 50))]
        rng.shuffle(fields)
    return "&".join(fields)


@pytest.fixture(scope="module")
def query_heavy_links():
    rng = random.Random(16)
    links = []
    for _ in range(2500):
        query = query_heavy_query(rng)
        link = f"https://shop.example/p?{query}" + rng.choice(["", "#top", "#:~:text=x"])
        if rng.random() < 0.25:
            link = f"https://www.google.com/url?sa=t&q={quote(link, safe='', errors='surrogatepass')}&ved=1"
        links.append(link)
    return links


def test_query_heavy_links_match_urllib(query_heavy_links):
    ours = [outcome(unwrap, u) for u in query_heavy_links]
    refs = [outcome(ref_unwrap, u) for u in query_heavy_links]
    assert [(u, a, b) for u, a, b in zip(query_heavy_links, ours, refs) if a != b] == []
    # The set reaches the outcomes that matter: refused surrogates, replaced
    # bytes, names gathered from far apart, and long results.
    assert sum(isinstance(o, tuple) and o[0] is UnicodeEncodeError for o in refs) > 20
    assert sum(isinstance(o, str) and "%EF%BF%BD" in o for o in refs) > 100
    assert sum(isinstance(o, str) and o.count("&") > 40 for o in refs) > 20


@pytest.mark.parametrize(
    "query, expected",
    [
        # Names equal once decoded are one name; its values gather at its first place.
        ("a=1&b=2&%61=3&a+b=4&a%20b=5", "a=1&a=3&b=2&a+b=4&a+b=5"),
        # Only full lower-casing sees a tracking name here (KELVIN SIGN -> "k").
        ("mscl\u212aid=1&x=2", "x=2"),
        ("\u0130d=1&utm_sourc=2&utm_sourcex=3&UTM%5FSOURCE=4", "%C4%B0d=1&utm_sourc=2&utm_sourcex=3"),
        # Re-encoding: upper-case escapes, safe bytes unescaped, a space as "+".
        ("v=%2f%7e%41%20+&w=%e2%82%ac", "v=%2F~A++&w=%E2%82%AC"),
        # Escapes that are not UTF-8 become U+FFFD; raw text is encoded as UTF-8.
        ("v=%E2%82&w=%C0%AF&x=\u00e9\u65e5&y=%ED%A0%80", "v=%EF%BF%BD&w=%EF%BF%BD%EF%BF%BD&x=%C3%A9%E6%97%A5"
         "&y=%EF%BF%BD%EF%BF%BD%EF%BF%BD"),
        # Many short fields: the dropped ones (empty, without "=", tracking)
        # leave one "&" between the kept ones, however they stand.
        ("a=1&&b=2&c&d=3&=&e=4&utm_source=x&f=5&g=&h=6&sa=1&i=7&j=8&k=9&l=10&m=11&n=12&o=13&p=14&q2=15&r=16&",
         "a=1&b=2&d=3&e=4&f=5&h=6&i=7&j=8&k=9&l=10&m=11&n=12&o=13&p=14&q2=15&r=16"),
        ("&&&a=1&b=2&c=3&d=4&e=5&f=6&g=7&h=8&i=9&j=10&k=11&l=12&m=13&n=14&o=15&p=16&q2=17&r=18&s=19&&",
         "a=1&b=2&c=3&d=4&e=5&f=6&g=7&h=8&i=9&j=10&k=11&l=12&m=13&n=14&o=15&p=16&q2=17&r=18&s=19"),
    ],
)
def test_query_cleaning_cases(query, expected):
    assert unwrap("https://s.example/p?" + query) == "https://s.example/p?" + expected


def test_repeated_name_reports_the_surrogate_urlencode_meets_first():
    # urlencode takes a's values together, so a's second value fails before b's.
    link = "http://a/?a=1&b=\ud800&a=x\udfff"
    assert outcome(unwrap, link) == outcome(ref_unwrap, link)
    assert outcome(unwrap, link)[1][1] == "x\udfff"


# ------------------------------------------------------------- behaviour
@pytest.mark.parametrize(
    "link, expected",
    [
        ("", ""),
        ("   ", ""),
        ("https://www.google.com/url?q=https%3A%2F%2Fshop.example%2Fp%3Fid%3D7%26utm_source%3Dg"
         "%23%3A~%3Atext%3Dshoe&sa=U&ved=x", "https://shop.example/p?id=7"),
        ("https://www.google.com/url?url=https://a.example/u&q=https://b.example/q", "https://b.example/q"),
        ("https://www.google.com/url?url=https://a.example/u", "https://a.example/u"),
        ("https://www.google.com/url?q=&url=https://a.example/u", "https://a.example/u"),
        ("https://google.com/url?q=https%3A%2F%2Fwww.google.com%2Furl%3Fq%3Dhttps%3A%2F%2Fz.example",
         "https://www.google.com/url?q=https%3A%2F%2Fz.example"),
        ("https://www.google.com/url/?q=https://a.example", "https://www.google.com/url/?q=https%3A%2F%2Fa.example"),
        ("https://www.google.com/URL?q=https://a.example", "https://www.google.com/URL?q=https%3A%2F%2Fa.example"),
        ("https://www.GOOGLE.com/url?q=https://a.example", "https://www.GOOGLE.com/url?q=https%3A%2F%2Fa.example"),
        ("https://www.google.com/url?sa=t&ved=1&usg=2&source=web&x=1", "https://www.google.com/url?x=1"),
        ("https://s.example/p?utm_source=x&UTM_MEDIUM=y", "https://s.example/p"),
        ("https://s.example/p?id=5&utm_source=x", "https://s.example/p?id=5"),
        ("https://s.example/p?utm_id=1&utm_source_platform=2&Gclid=3", "https://s.example/p?utm_id=1&utm_source_platform=2"),
        ("https://s.example/p?a=1&b=&c", "https://s.example/p?a=1"),
        ("https://s.example/p?a=1&b=2&a=3", "https://s.example/p?a=1&a=3&b=2"),
        ("https://s.example/p?v=a/b&w=%20&x=%7E", "https://s.example/p?v=a%2Fb&w=+&x=~"),
        ("https://s.example/p#reviews", "https://s.example/p#reviews"),
        ("https://s.example/p#:~:text=foo", "https://s.example/p"),
        ("https://s.example/p#reviews:~:text=foo", "https://s.example/p"),
        ("https://s.example/p#:~:selector(type=CssSelector)", "https://s.example/p"),
        ("https://s.example/a;b?x=1", "https://s.example/a;b?x=1"),
    ],
)
def test_unwrap_cases(link, expected):
    assert unwrap(link) == expected


@pytest.mark.parametrize(
    "link, expected",
    [
        ("", ""),
        ("https://WWW.Shop.Example:8443/p", "shop.example:8443"),
        ("https://www.www.shop.example/p", "www.shop.example"),
        ("http://User:Pw@WWW.X.example/", "user:pw@www.x.example"),
        ("shop.example/p", ""),
        ("HTTPS://ÉCOLE.example/", "école.example"),
    ],
)
def test_extract_domain_cases(link, expected):
    assert extract_domain(link) == expected


@pytest.mark.parametrize(
    "link, message",
    [
        ("http://[::1/", "Invalid IPv6 URL"),
        ("http://a]/", "Invalid IPv6 URL"),
        ("http://[1.2.3.4]/", "An IPv4 address cannot be in brackets"),
        ("http://[v1]/", "IPvFuture address is invalid"),
        ("http://[g::1]/", "'g::1' does not appear to be an IPv4 or IPv6 address"),
        ("http://a\u2100b/", "netloc 'a\u2100b' contains invalid characters under NFKC normalization"),
    ],
)
def test_invalid_links_raise_value_error(link, message):
    for fn in (unwrap, extract_domain):
        with pytest.raises(ValueError) as info:
            fn(link)
        assert str(info.value) == message
    # A redirect's destination is split too, so it fails the same way.
    with pytest.raises(ValueError) as info:
        unwrap("https://www.google.com/url?q=" + quote(link, safe=""))
    assert str(info.value) == message


@pytest.mark.parametrize("bad", [None, 5, b"http://x", ["http://x"], Decimal(1)])
def test_wrong_argument_type(bad):
    for fn in (unwrap, extract_domain):
        with pytest.raises(TypeError, match=f"^url must be str, not {type(bad).__name__}$"):
            fn(bad)


def test_lone_surrogate_in_kept_parameter_raises_encode_error():
    with pytest.raises(UnicodeEncodeError) as info:
        unwrap("http://a/?k=x\ud800")
    assert (info.value.object, info.value.start, info.value.end) == ("x\ud800", 1, 2)
    # A dropped parameter is never encoded, so it cannot fail.
    assert unwrap("http://a/?utm_term=\ud800&k=1") == "http://a/?k=1"


# ------------------------------------------------------- the host's rules
# The rules urllib.parse changed between releases are read off the running
# interpreter when the module loads, so one build serves every release as
# that release's own urllib.parse would. Each case starts a fresh interpreter
# whose urllib.parse is altered before the module loads.
HOST_RULES_SCRIPT = r"""
import json, sys, urllib.parse as parse, warnings
change = sys.argv[1]
if change == "scheme":
    parse.uses_netloc.append("quill")
elif change == "brackets":
    plain = parse.urlsplit
    def strict(url, *a, **k):
        if "[" in url and not url.split("//", 1)[-1].startswith("["):
            raise ValueError("Invalid IPv6 URL")
        return plain(url, *a, **k)
    parse.urlsplit = strict
elif change == "unreadable":
    parse.uses_params = [b"bytes"]
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    from quillmere import _commerce
def answer(link):
    try:
        return list(_commerce._url_parse(link)), _commerce.url_unwrap(link)
    except ValueError as e:
        return str(e)
print(json.dumps({"warnings": [str(w.message) for w in caught],
                  "scheme": answer("quill:/p?utm_source=x&a=1"),
                  "brackets": answer("http://a[::1]/x?utm_source=1")}))
"""


def test_link_rules_follow_the_running_python():
    import json
    import os
    import subprocess
    import sys

    import quillmere
    parent = os.path.dirname(os.path.dirname(quillmere.__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [parent, os.environ.get("PYTHONPATH")])))

    def run(change):
        done = subprocess.run([sys.executable, "-c", HOST_RULES_SCRIPT, change], env=env,
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        return json.loads(done.stdout)

    plain, scheme, brackets, unreadable = (run(c) for c in ("none", "scheme", "brackets", "unreadable"))
    # A scheme this Python gives a network location is rebuilt with "//".
    assert plain["scheme"][1] == "quill:/p?a=1"
    assert scheme["scheme"][1] == "quill:///p?a=1"
    # A Python that checks bracketed hosts in place refuses text before them.
    assert brackets["brackets"] == "Invalid IPv6 URL"
    assert plain["brackets"] == run_here_brackets()
    assert plain["warnings"] == scheme["warnings"] == brackets["warnings"] == []
    # Rules that cannot be read leave the building Python's (which may check
    # brackets otherwise than this one), and say so.
    assert len(unreadable["warnings"]) == 1 and "urllib.parse" in unreadable["warnings"][0]
    assert unreadable["scheme"] == plain["scheme"]


def run_here_brackets():
    """What this interpreter's own urllib.parse answers for the bracket case."""
    link = "http://a[::1]/x?utm_source=1"
    try:
        return [list(urlparse(link)), ref_unwrap(link)]
    except ValueError as e:
        return str(e)
