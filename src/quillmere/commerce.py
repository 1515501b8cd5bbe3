"""The commerce-enrichment engine.

The analysis (links, prices, merchants, page analysis, record building, CSV
writing) runs in the C++ extension :mod:`quillmere._commerce`; this module
publishes it together with the vocabulary tables and the compiled patterns.
Page fetching lives in the :mod:`quillmere.fetch` package, which is handed
this module's bindings at every call; the awaitable entries are in
``_enrich``, the event-loop runner in ``_loop`` and the exports in ``_export``.
"""

from __future__ import annotations

import asyncio
import logging
import re
from types import MappingProxyType
from typing import Any, Final

from . import _commerce, _enrich, fetch as _fetch
from ._export import export_commerce_to_csv, export_commerce_to_json
from ._loop import _run_coroutine
from .fetch import PageClient, ProgressCallback
from .models import (
    CommerceIntelligence,
    CommerceSummary,
    EnrichedCommerceMatch,
    FetchOutcome,
    FetchReport,
    ItemCondition,
    MerchantCategory,
    NormalizedPrice,
    PageOutcome,
    PageType,
    StockStatus,
    VisualMatch,
)
from .parser import CURRENCY_TOKEN_PATTERN  # noqa: F401  (published here too)

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


def _fetch_bindings() -> _fetch.Bindings:
    """This module's fetch bindings as they are now, checked."""
    refuse, cap = _fetch.settings(REFUSE_INTERNAL_DESTINATIONS, MAX_PAGE_BYTES)
    return _fetch.Bindings(AsyncFetcher, _SCRAPLING_FETCHER, refuse, cap)

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


class PriceNormalizer:
    """Free-form price texts to NormalizedPrice records.

    ``parse(raw_price, currency_hint=None, *, extended=False)`` is the
    engine's own, with its compiled copy of PRICE_PATTERN. A subclass that
    sets its own PRICE_PATTERN in its class body gets a ``parse`` that
    searches that pattern (looked up on the class at each call) and leaves the
    rest to the engine: currency, separators, rounding and the record. With
    ``extended=True`` the text is read by the extended price reading instead
    (digits of any script, ranges, counts before the price, thin-space and
    apostrophe groups, three-decimal currencies, about a hundred currency
    signs and words).
    """

    PRICE_PATTERN: re.Pattern[str] = re.compile(_commerce._vocabulary["PRICE_PATTERN"], re.IGNORECASE)
    parse = staticmethod(_commerce.price_parse)

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        own = cls.__dict__.get("PRICE_PATTERN")
        if own is not None and own is not PriceNormalizer.PRICE_PATTERN and "parse" not in cls.__dict__:
            cls.parse = PriceNormalizer.__dict__["_parse_with_own_pattern"]

    @classmethod
    def _parse_with_own_pattern(cls, raw_price: str | None, currency_hint: str | None = None, *,
                                extended: bool = False) -> NormalizedPrice | None:
        for name, value in (("raw_price", raw_price), ("currency_hint", currency_hint)):
            if value is not None and not isinstance(value, str):
                raise TypeError(f"{name} must be str or None, not {type(value).__name__}")
        if not isinstance(extended, bool):
            raise TypeError(f"extended must be bool, not {type(extended).__name__}")
        if extended:  # the extended reading has no pattern of its own to replace
            return _commerce.price_parse(raw_price, currency_hint, extended=True)
        if not raw_price:
            return None
        cleaned = raw_price.strip()
        if not cleaned:
            return None
        match = cls.PRICE_PATTERN.search(cleaned)
        if match is None:
            return None
        before, number, after = match.groups()
        return _commerce._price_from_groups(cleaned, before, number.replace(" ", ""), after, currency_hint)


class MerchantClassifier:
    """Merchant category from the domain, brand, merchant name and title."""

    classify: Final = staticmethod(_commerce.merchant_classify)
    _extract_sld: Final = staticmethod(_commerce.merchant_extract_sld)
    _is_match: Final = staticmethod(_commerce.merchant_is_match)


class DestinationMetadataParser:
    """Destination page analysis.

    ``parse_metadata(..., extended=True)`` also reads every JSON-LD record,
    microdata and RDFa items, price meta-tag variants, price and stock
    elements and identifiers in the link, and prefers the main product's
    values; with the default ``extended=False`` the answers are unchanged.
    """

    parse_metadata: Final = staticmethod(_commerce.parse_metadata)
    _find_ld_json_products: Final = staticmethod(_commerce.find_ld_json_products)
    _find_next_data_product: Final = staticmethod(_commerce.find_next_data_product)
    _extract_meta_tags: Final = staticmethod(_commerce.extract_meta_tags)
    _extract_html_title: Final = staticmethod(_commerce.extract_html_title)


class ScraplingDestinationFetcher:
    """Concurrent, bounded, time-limited page fetching through Scrapling.

    Lenient by design: nothing is retried here, and no failure of a single
    page escapes; such a page maps to None. An error status (400 or above)
    or a bot or challenge wall is not the page either and maps to None; a
    response without a status is read. Every page's outcome is logged at
    DEBUG on the ``quillmere.fetch`` logger.
    The page fetcher is the `fetcher` keyword, or else the module's
    `AsyncFetcher` looked up at every call; with neither (the library is
    missing and none is given) every link yields None.

    Integer arguments follow Python's `isinstance(x, int)`, so bools pass.
    """

    # This module's fetch bindings now (for the enrichment's render pass).
    _fetch_bindings = staticmethod(_fetch_bindings)

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
        return await _fetch.fetch_one(cls, url, sem, timeout, fetcher=fetcher, bindings=_fetch_bindings())

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
                                       semaphore=semaphore, bindings=_fetch_bindings())

    @classmethod
    def _own_fetching(cls) -> bool:
        """True while this class's fetch_one and fetch_many are the engine's
        own (no host has overridden either): the enrichment then analyses each
        page as it arrives instead of waiting for the page map."""
        return (getattr(cls.fetch_many, "__func__", None) is _OWN_FETCH_MANY
                and getattr(cls.fetch_one, "__func__", None) is _OWN_FETCH_ONE)

    @classmethod
    async def _fetch_each(cls, urls: list[str], consume: _fetch.Consumer, *, fetcher: Any = None,
                          progress: ProgressCallback | None = None,
                          semaphore: asyncio.Semaphore | None = None) -> None:
        """fetch_many's pages, each handed to ``consume(link, text)`` as soon
        as it is in (see `quillmere.fetch.fetch_each`)."""
        await _fetch.fetch_each(cls, urls, consume, fetcher=fetcher, progress=progress, semaphore=semaphore,
                                bindings=_fetch_bindings())


_OWN_FETCH_MANY = ScraplingDestinationFetcher.__dict__["fetch_many"].__func__
_OWN_FETCH_ONE = ScraplingDestinationFetcher.__dict__["fetch_one"].__func__


class CommerceEnricher:
    """Visual matches to commerce intelligence.

    The keywords `fetcher`, `progress` and `semaphore` are passed to
    `ScraplingDestinationFetcher.fetch_many` for the batch's pages.
    `extended=True` reads search-result prices and pages with the extended
    analysis (see `DestinationMetadataParser.parse_metadata`); the default
    answers are those of the standard analysis. `report`, an empty
    `FetchReport` of the caller's, receives the page outcome of every match,
    in the order of the enriched items. `client`, a `PageClient` a service
    holds for its lifetime, shares its bound and connections across the
    calls that name it; without one each call makes a short-lived one.
    """

    @classmethod
    async def enrich_matches_deep_async(
        cls, matches: list[VisualMatch], max_items: int | None = None, *, fetcher: Any = None,
        progress: ProgressCallback | None = None, semaphore: asyncio.Semaphore | None = None,
        extended: bool = False, report: FetchReport | None = None, client: PageClient | None = None,
    ) -> list[EnrichedCommerceMatch]:
        """One EnrichedCommerceMatch per match (or per match of the first
        `max_items`), in input order: links unwrapped and the matches' fields
        checked, every distinct page fetched concurrently and each match
        analysed with its page text, if any, as soon as that page is in (after
        the whole batch when a host has overridden the fetcher class's
        fetch_many or fetch_one; the answers are the same)."""
        return await _enrich.enrich_matches_deep_async(cls, matches, max_items, fetcher=fetcher,
                                                       progress=progress, semaphore=semaphore, extended=extended,
                                                       report=report, client=client,
                                                       fetcher_class=ScraplingDestinationFetcher)

    @classmethod
    async def process_async(cls, matches: list[VisualMatch], *, fetcher: Any = None,
                            progress: ProgressCallback | None = None,
                            semaphore: asyncio.Semaphore | None = None,
                            extended: bool = False, report: FetchReport | None = None,
                            client: PageClient | None = None) -> CommerceIntelligence:
        """The matches' commerce intelligence: enriched items, each graded for
        relevance, and the market summary over them."""
        return await _enrich.process_async(cls, matches, fetcher=fetcher, progress=progress, semaphore=semaphore,
                                           extended=extended, report=report, client=client)

    @classmethod
    def process(cls, matches: list[VisualMatch], *, fetcher: Any = None, progress: ProgressCallback | None = None,
                semaphore: asyncio.Semaphore | None = None, extended: bool = False,
                report: FetchReport | None = None, client: PageClient | None = None) -> CommerceIntelligence:
        """process_async as a blocking call, also from inside a running loop.
        A `client` given here must not be in use on another event loop: the
        call runs on a fresh loop of its own, and the connections it makes
        there are closed when it returns."""
        _enrich.require_list(matches, "matches")
        options = _enrich.fetch_options(fetcher, progress, semaphore)
        _enrich.check_extended(extended)
        _enrich.check_report(report)
        _enrich.check_client(client)
        if client is not None:
            options["client"] = client
        if extended:
            options["extended"] = True
        if report is not None:
            options["report"] = report
        if client is None:
            return _run_coroutine(cls.process_async(matches, **options))

        async def on_its_own_loop() -> CommerceIntelligence:
            # The call's loop ends with it, and so do the connections and the
            # browser the client made on it; the client itself stays usable.
            try:
                return await cls.process_async(matches, **options)
            finally:
                try:
                    await client.close_browser()
                finally:
                    await client.release_transport()

        return _run_coroutine(on_its_own_loop())


__all__ = [
    "AsyncFetcher", "REFUSE_INTERNAL_DESTINATIONS", "MAX_PAGE_BYTES",
    "CURRENCY_TOKEN_PATTERN", "MARKETPLACE_DOMAINS", "RESELLER_DOMAINS", "SOCIAL_DOMAINS",
    "EDITORIAL_DOMAINS", "PORTFOLIO_DOMAINS", "ARTICLE_PATH_PATTERNS", "PORTFOLIO_PATH_PATTERNS",
    "PORTFOLIO_KEYWORDS", "CATALOG_PATH_PATTERNS", "GENERIC_TITLES", "TRACKING_PARAMS", "CURRENCY_MAP",
    "URLUnwrapper", "PriceNormalizer", "MerchantClassifier", "DestinationMetadataParser",
    "ScraplingDestinationFetcher", "CommerceEnricher", "export_commerce_to_csv", "export_commerce_to_json",
    "CommerceIntelligence", "CommerceSummary", "EnrichedCommerceMatch", "ItemCondition", "MerchantCategory",
    "NormalizedPrice", "PageType", "StockStatus", "VisualMatch", "FetchOutcome", "FetchReport", "PageOutcome",
    "PageClient",
]
