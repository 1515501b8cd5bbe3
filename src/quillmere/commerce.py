"""The commerce-enrichment engine.

The analysis (links, prices, merchants, page analysis, record building, CSV
writing) runs in the C++ extension :mod:`quillmere._commerce`; this module
publishes it together with the vocabulary tables and the compiled patterns.
The asyncio side lives in private modules: fetching in ``_fetch``, the
awaitable entries in ``_enrich``, the event-loop runner in ``_loop`` and the
exports in ``_export``.
"""

from __future__ import annotations

import asyncio
import logging
import re
from types import MappingProxyType
from typing import Any, Final

from . import _commerce, _enrich, _fetch
from ._export import export_commerce_to_csv, export_commerce_to_json
from ._fetch import ProgressCallback
from ._loop import _run_coroutine
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

# The page fetcher: any object with an awaitable ``get(url, timeout=...)``
# whose answer has ``body`` bytes. None when the library is missing.
AsyncFetcher: Any
try:
    from scrapling.fetchers import AsyncFetcher as _LibraryFetcher
except ImportError:
    AsyncFetcher = None
else:
    AsyncFetcher = _LibraryFetcher
    del _LibraryFetcher
_scrapling_logger.disabled = True  # the library may configure its logger on import
_SCRAPLING_FETCHER = AsyncFetcher  # its body is streamed and its redirects followed hop by hop

# Read at every fetch, like AsyncFetcher.  While True, a link whose host is, or
# resolves to, a loopback, private, link-local or otherwise internal address is
# not requested (nor is a redirect to one followed); turn it off for local work.
REFUSE_INTERNAL_DESTINATIONS: bool = True
# The largest page body fetched, in bytes (None: no limit); past it the
# transfer is stopped and the page is absent.
MAX_PAGE_BYTES: int | None = 16 * 1024 * 1024

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


class URLUnwrapper:
    """Result links to clean direct links and bare domains."""

    unwrap: Final = staticmethod(_commerce.url_unwrap)
    extract_domain: Final = staticmethod(_commerce.url_extract_domain)


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

    classify: Final = staticmethod(_commerce.merchant_classify)
    _extract_sld: Final = staticmethod(_commerce.merchant_extract_sld)
    _is_match: Final = staticmethod(_commerce.merchant_is_match)


class DestinationMetadataParser:
    """Destination page analysis."""

    parse_metadata: Final = staticmethod(_commerce.parse_metadata)
    _find_ld_json_products: Final = staticmethod(_commerce.find_ld_json_products)
    _find_next_data_product: Final = staticmethod(_commerce.find_next_data_product)
    _extract_meta_tags: Final = staticmethod(_commerce.extract_meta_tags)
    _extract_html_title: Final = staticmethod(_commerce.extract_html_title)


class ScraplingDestinationFetcher:
    """Concurrent, bounded, time-limited page fetching through Scrapling.

    Lenient by design: status codes are never looked at, nothing is retried
    here, and no failure of a single page escapes; such a page maps to None.
    The page fetcher is the `fetcher` keyword, or else the module's
    `AsyncFetcher` looked up at every call; with neither (the library is
    missing and none is given) every link yields None.

    Integer arguments follow Python's `isinstance(x, int)`, so bools pass.
    """

    @staticmethod
    def _default_bound() -> int:
        """Requests in flight when the caller names no bound: 4 per processor, at most 32."""
        return _fetch.default_bound()

    @classmethod
    async def fetch_one(cls, url: str, sem: asyncio.Semaphore, timeout: int = 5, *,
                        fetcher: Any = None) -> tuple[str, str | None]:
        """(url, page text or None); `sem` bounds the requests in flight.

        Only links that begin with "http" are requested, and, while
        REFUSE_INTERNAL_DESTINATIONS holds, only those whose host is public.
        A body over MAX_PAGE_BYTES gives None.  The library gets `timeout`
        seconds per request; the wait for the page (lookups and redirects
        included) is cut one second later, in case the library overruns its
        own limit.  Time spent waiting for `sem` is not counted.
        """
        return await _fetch.fetch_one(cls, url, sem, timeout, fetcher=fetcher)

    @classmethod
    async def fetch_many(cls, urls: list[str], max_workers: int | None = None, timeout: int = 5, *,
                         fetcher: Any = None, progress: ProgressCallback | None = None,
                         semaphore: asyncio.Semaphore | None = None) -> dict[str, str | None]:
        """Page map {link: page text or None}, one entry per distinct link in
        first-seen order, fetched concurrently with at most `max_workers`
        requests in flight (None or 0: the processor-based default).

        `semaphore`, when given, bounds the requests instead (`max_workers` is
        then ignored): one semaphore shared by several calls on one event loop
        bounds them together. `progress`, when given, is called as
        ``progress(done, total)``: once with done = 0 before the first request,
        then after each requested page completes, fetched or not; `total`
        counts the distinct links that are requested (those that begin with
        "http"; none without a fetcher). An error it raises ends the call.
        """
        return await _fetch.fetch_many(cls, urls, max_workers, timeout, fetcher=fetcher, progress=progress,
                                       semaphore=semaphore)


class CommerceEnricher:
    """Visual matches to commerce intelligence.

    The keywords `fetcher`, `progress` and `semaphore` are passed to
    `ScraplingDestinationFetcher.fetch_many` for the batch's pages.
    """

    @classmethod
    async def enrich_matches_deep_async(
        cls, matches: list[VisualMatch], max_items: int | None = None, *, fetcher: Any = None,
        progress: ProgressCallback | None = None, semaphore: asyncio.Semaphore | None = None,
    ) -> list[EnrichedCommerceMatch]:
        """One EnrichedCommerceMatch per match (or per match of the first
        `max_items`), in input order: links unwrapped and the matches' fields
        checked, every page fetched in one batch, then each match analysed
        with its page text, if any."""
        return await _enrich.enrich_matches_deep_async(cls, matches, max_items, fetcher=fetcher,
                                                       progress=progress, semaphore=semaphore)

    @classmethod
    async def process_async(cls, matches: list[VisualMatch], *, fetcher: Any = None,
                            progress: ProgressCallback | None = None,
                            semaphore: asyncio.Semaphore | None = None) -> CommerceIntelligence:
        """The matches' commerce intelligence: enriched items, each graded for
        relevance, and the market summary over them."""
        return await _enrich.process_async(cls, matches, fetcher=fetcher, progress=progress, semaphore=semaphore)

    @classmethod
    def process(cls, matches: list[VisualMatch], *, fetcher: Any = None, progress: ProgressCallback | None = None,
                semaphore: asyncio.Semaphore | None = None) -> CommerceIntelligence:
        """process_async as a blocking call, also from inside a running loop."""
        _enrich.require_list(matches, "matches")
        options = _enrich.fetch_options(fetcher, progress, semaphore)
        return _run_coroutine(cls.process_async(matches, **options))


__all__ = [
    "AsyncFetcher", "REFUSE_INTERNAL_DESTINATIONS", "MAX_PAGE_BYTES",
    "CURRENCY_TOKEN_PATTERN", "MARKETPLACE_DOMAINS", "RESELLER_DOMAINS", "SOCIAL_DOMAINS",
    "EDITORIAL_DOMAINS", "PORTFOLIO_DOMAINS", "ARTICLE_PATH_PATTERNS", "PORTFOLIO_PATH_PATTERNS",
    "PORTFOLIO_KEYWORDS", "CATALOG_PATH_PATTERNS", "GENERIC_TITLES", "TRACKING_PARAMS", "CURRENCY_MAP",
    "URLUnwrapper", "PriceNormalizer", "MerchantClassifier", "DestinationMetadataParser",
    "ScraplingDestinationFetcher", "CommerceEnricher", "export_commerce_to_csv", "export_commerce_to_json",
    "CommerceIntelligence", "CommerceSummary", "EnrichedCommerceMatch", "ItemCondition", "MerchantCategory",
    "NormalizedPrice", "PageType", "StockStatus", "VisualMatch"
]
