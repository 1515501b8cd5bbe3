"""Module constants, patterns and load-time bindings."""

import re
import subprocess
import sys
from types import MappingProxyType

import pytest

import quillmere.commerce as qc
from quillmere.parser import CURRENCY_TOKEN_PATTERN

TABLES = {
    "MARKETPLACE_DOMAINS": frozenset, "RESELLER_DOMAINS": frozenset, "SOCIAL_DOMAINS": frozenset,
    "EDITORIAL_DOMAINS": frozenset, "PORTFOLIO_DOMAINS": frozenset, "ARTICLE_PATH_PATTERNS": tuple,
    "PORTFOLIO_PATH_PATTERNS": tuple, "PORTFOLIO_KEYWORDS": tuple, "CATALOG_PATH_PATTERNS": tuple,
    "GENERIC_TITLES": frozenset, "TRACKING_PARAMS": frozenset, "CURRENCY_MAP": MappingProxyType,
}


@pytest.mark.parametrize("name", TABLES)
def test_tables_are_read_only_and_well_formed(name):
    kind = TABLES[name]
    table = getattr(qc, name)
    assert isinstance(table, kind) and len(table) > 0
    if kind is MappingProxyType:
        with pytest.raises(TypeError):
            table["X"] = "Y"
    for entry in table:
        assert entry == entry.strip()
        if name.endswith("_DOMAINS"):
            assert entry == entry.lower() and not entry.startswith("www.") and 2 <= entry.count(".") + 1 <= 3


def test_currency_map_lookups():
    m = qc.CURRENCY_MAP
    assert m["¥"] == "JPY" and m["CN¥"] == "CNY" and m["₹"] == "INR" and m["A$"] == "AUD"
    assert "usd" not in m  # keys are case-sensitive
    assert set(m.values()) == {"USD", "EUR", "GBP", "JPY", "CNY", "CAD", "AUD", "INR"}


def test_patterns_are_compiled_with_their_flags():
    assert qc._LD_JSON_SCRIPT_PATTERN.flags & (re.DOTALL | re.IGNORECASE) == re.DOTALL | re.IGNORECASE
    for p in (qc._META_TAG_PATTERN, qc._META_PROP_PATTERN, qc._META_CONTENT_PATTERN):
        assert p.flags & re.IGNORECASE and not p.flags & re.DOTALL
    assert qc._META_TAG_PATTERN.search('<meta name="a" content="x>y">').group(1) == 'name="a" content="x'
    ld = qc._LD_JSON_SCRIPT_PATTERN.search("<SCRIPT TYPE='Application/LD+JSON'>{}</script>x</script>")
    assert ld.group(1) == "{}"


def test_currency_token_pattern():
    token = re.compile(CURRENCY_TOKEN_PATTERN, re.IGNORECASE)
    assert token.groups == 0
    for key in qc.CURRENCY_MAP:
        for variant in (key, key.lower(), key.title()):
            m = token.search(f"12 {variant} 3")
            assert m is not None and m.group(0).upper() == key.upper(), variant
    assert token.search("usda grade") is None
    assert token.search("CN¥5").group(0) == "CN¥" and token.search("US$5").group(0) == "US$"


def test_module_loads_without_scrapling_and_disables_its_logger():
    code = (
        "import sys, logging; sys.modules['scrapling'] = None; sys.modules['scrapling.fetchers'] = None\n"
        "import quillmere.commerce as qc\n"
        "assert qc.AsyncFetcher is None\n"
        "assert logging.getLogger('scrapling').disabled\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_other_import_failures_abort_the_load():
    code = (
        "import sys, types\n"
        "m = types.ModuleType('scrapling.fetchers')\n"
        "def boom(name): raise RuntimeError('broken install')\n"
        "m.__getattr__ = boom\n"
        "sys.modules['scrapling'] = types.ModuleType('scrapling'); sys.modules['scrapling.fetchers'] = m\n"
        "import quillmere.commerce\n"
    )
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert r.returncode != 0 and "broken install" in r.stderr
