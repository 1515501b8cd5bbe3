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

    unwrap = staticmethod(_commerce.url_unwrap)
    extract_domain = staticmethod(_commerce.url_extract_domain)


class PriceNormalizer:
    """Free-form price texts to NormalizedPrice records."""


class MerchantClassifier:
    """Merchant category from the domain, brand, merchant name and title."""


class DestinationMetadataParser:
    """Destination page analysis."""

    parse_metadata = staticmethod(_commerce.parse_metadata)


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
