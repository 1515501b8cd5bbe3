"""The commerce-enrichment engine.

The analysis (links, prices, merchants, page analysis, record building, CSV
writing) runs in the C++ extension :mod:`quillmere._commerce`; this module
publishes it together with the vocabulary tables, the compiled patterns and the
asyncio orchestration (fetching and the awaitable entries).
"""

from __future__ import annotations

import logging
import re
from types import MappingProxyType

from . import _commerce
from .models import (
    CommerceIntelligence,
    CommerceSummary,
    EnrichedCommerceMatch,
    ItemCondition,
    MerchantCategory,
    NormalizedPrice,
    PageType,
    StockStatus,
    VisualMatch,
)
from .parser import CURRENCY_TOKEN_PATTERN

# The fetch library writes no log output through us.
_scrapling_logger = logging.getLogger("scrapling")
_scrapling_logger.disabled = True

try:
    from scrapling.fetchers import AsyncFetcher
except ImportError:
    AsyncFetcher = None
_scrapling_logger.disabled = True  # the library may configure its logger on import

# ---------------------------------------------------------------- vocabulary
_V = _commerce._vocabulary

MARKETPLACE_DOMAINS: frozenset[str] = frozenset(_V["MARKETPLACE_DOMAINS"])
RESELLER_DOMAINS: frozenset[str] = frozenset(_V["RESELLER_DOMAINS"])
SOCIAL_DOMAINS: frozenset[str] = frozenset(_V["SOCIAL_DOMAINS"])
EDITORIAL_DOMAINS: frozenset[str] = frozenset(_V["EDITORIAL_DOMAINS"])
PORTFOLIO_DOMAINS: frozenset[str] = frozenset(_V["PORTFOLIO_DOMAINS"])
ARTICLE_PATH_PATTERNS: tuple[str, ...] = tuple(_V["ARTICLE_PATH_PATTERNS"])
PORTFOLIO_PATH_PATTERNS: tuple[str, ...] = tuple(_V["PORTFOLIO_PATH_PATTERNS"])
PORTFOLIO_KEYWORDS: tuple[str, ...] = tuple(_V["PORTFOLIO_KEYWORDS"])
CATALOG_PATH_PATTERNS: tuple[str, ...] = tuple(_V["CATALOG_PATH_PATTERNS"])
GENERIC_TITLES: frozenset[str] = frozenset(_V["GENERIC_TITLES"])
TRACKING_PARAMS: frozenset[str] = frozenset(_V["TRACKING_PARAMS"])
CURRENCY_MAP: MappingProxyType[str, str] = MappingProxyType(dict(_V["CURRENCY_MAP"]))

_LD_JSON_SCRIPT_PATTERN: re.Pattern[str] = re.compile(_V["_LD_JSON_SCRIPT_PATTERN"], re.DOTALL | re.IGNORECASE)
_META_TAG_PATTERN: re.Pattern[str] = re.compile(_V["_META_TAG_PATTERN"], re.IGNORECASE)
_META_PROP_PATTERN: re.Pattern[str] = re.compile(_V["_META_PROP_PATTERN"], re.IGNORECASE)
_META_CONTENT_PATTERN: re.Pattern[str] = re.compile(_V["_META_CONTENT_PATTERN"], re.IGNORECASE)
del _V


def _native(name: str):
    """The extension's function `name` (development scaffolding)."""
    fn = getattr(_commerce, name, None)
    if fn is None:
        def missing(*args, **kwargs):
            raise NotImplementedError(name)
        return missing
    return fn


# ------------------------------------------------------------------ classes
class URLUnwrapper:
    """Result links to clean direct links and bare domains."""

    unwrap = staticmethod(_native("url_unwrap"))
    extract_domain = staticmethod(_native("url_extract_domain"))


def _compose_price_pattern(token: object) -> str:
    """The price pattern text around the currency-token pattern `token`."""
    if not isinstance(token, str):
        raise TypeError(f"CURRENCY_TOKEN_PATTERN must be str, not {type(token).__name__}")
    head, middle, tail = _commerce._vocabulary["_PRICE_PATTERN_PIECES"]
    return head + token + middle + token + tail


def _price_groups(pattern, cleaned: str):
    """Searches a PriceNormalizer subclass's own PRICE_PATTERN in `cleaned`.

    None when nothing matches; otherwise the match's groups, unpacked into the
    three (token before, number, token after) that parse works on.
    """
    match = pattern.search(cleaned)
    if match is None:
        return None
    before, number, after = match.groups()
    return before, number, after


class PriceNormalizer:
    """Free-form price texts to NormalizedPrice records.

    ``parse(raw_price, currency_hint=None)`` runs in the engine with its own
    compiled copy of PRICE_PATTERN; a subclass that sets its own PRICE_PATTERN
    has that pattern searched instead.
    """

    PRICE_PATTERN: re.Pattern[str] = re.compile(_compose_price_pattern(CURRENCY_TOKEN_PATTERN), re.IGNORECASE)
    _commerce._set_price_pattern(PRICE_PATTERN.pattern, PRICE_PATTERN, _price_groups)
    parse = classmethod(_commerce.price_parse)


class MerchantClassifier:
    """Merchant category from the domain, brand, merchant name and title."""

    classify = staticmethod(_commerce.merchant_classify)
    _extract_sld = staticmethod(_commerce.merchant_extract_sld)
    _is_match = staticmethod(_commerce.merchant_is_match)


class DestinationMetadataParser:
    """Destination page analysis."""


class ScraplingDestinationFetcher:
    """Concurrent, bounded, time-limited page fetching through Scrapling."""


class CommerceEnricher:
    """Visual matches to commerce intelligence."""


__all__ = [
    "AsyncFetcher",
    "CURRENCY_TOKEN_PATTERN",
    "MARKETPLACE_DOMAINS",
    "RESELLER_DOMAINS",
    "SOCIAL_DOMAINS",
    "EDITORIAL_DOMAINS",
    "PORTFOLIO_DOMAINS",
    "ARTICLE_PATH_PATTERNS",
    "PORTFOLIO_PATH_PATTERNS",
    "PORTFOLIO_KEYWORDS",
    "CATALOG_PATH_PATTERNS",
    "GENERIC_TITLES",
    "TRACKING_PARAMS",
    "CURRENCY_MAP",
    "URLUnwrapper",
    "PriceNormalizer",
    "MerchantClassifier",
    "DestinationMetadataParser",
    "ScraplingDestinationFetcher",
    "CommerceEnricher",
    "CommerceIntelligence",
    "CommerceSummary",
    "EnrichedCommerceMatch",
    "ItemCondition",
    "MerchantCategory",
    "NormalizedPrice",
    "PageType",
    "StockStatus",
    "VisualMatch",
]
