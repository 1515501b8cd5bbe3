"""The commerce-enrichment engine.

The analysis (links, prices, merchants, page analysis, record building, CSV
writing) runs in the C++ extension :mod:`quillmere._commerce`; this module
publishes it together with the vocabulary tables, the compiled patterns and the
asyncio orchestration (fetching and the awaitable entries).
"""

from __future__ import annotations

import asyncio
import importlib
import logging
import os
import re
from collections.abc import Awaitable, Coroutine
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from types import MappingProxyType
from typing import Any, TypeVar

from . import _commerce, _transfer
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
_SCRAPLING_FETCHER = AsyncFetcher  # the one fetcher whose body is streamed (see _transfer)

# Read at every fetch, like AsyncFetcher.  A link whose host is, or resolves
# to, a loopback, private, link-local or otherwise internal address is not
# requested while this is True; turn it off only for local work.
REFUSE_INTERNAL_DESTINATIONS: bool = True
# The largest page body fetched, in bytes; past it the page is absent.
MAX_PAGE_BYTES: int = 16 * 1024 * 1024

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

    unwrap = staticmethod(_commerce.url_unwrap)
    extract_domain = staticmethod(_commerce.url_extract_domain)


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

    parse_metadata = staticmethod(_commerce.parse_metadata)
    _find_ld_json_products = staticmethod(_commerce.find_ld_json_products)
    _find_next_data_product = staticmethod(_commerce.find_next_data_product)
    _extract_meta_tags = staticmethod(_commerce.extract_meta_tags)
    _extract_html_title = staticmethod(_commerce.extract_html_title)


class ScraplingDestinationFetcher:
    """Concurrent, bounded, time-limited page fetching through Scrapling.

    Lenient by design: status codes are never looked at, nothing is retried
    here, and no failure of a single page escapes; such a page maps to None.
    Both operations look up the module's `AsyncFetcher` at every call, so a
    missing library (None) just yields None for every link.

    Integer arguments follow Python's `isinstance(x, int)`, so bools pass.
    """

    @staticmethod
    def _default_bound() -> int:
        """Requests in flight when the caller names no bound: 4 per processor, at most 32."""
        processors = os.cpu_count() or 4  # None (unknown) and 0 both count as 4
        return min(4 * processors, 32)

    @staticmethod
    def _type_error(name: str, expected: str, value: object) -> TypeError:
        return TypeError(f"{name} must be {expected}, not {type(value).__name__}")

    @classmethod
    async def fetch_one(cls, url: str, sem, timeout: int = 5) -> tuple[str, str | None]:
        """(url, page text or None); `sem` bounds the requests in flight.

        Only links that begin with "http" are requested.  The library gets
        `timeout` seconds; the wait for it is cut one second later, in case the
        library overruns its own limit (it retries failed connections on its
        own).  Time spent waiting for `sem` is not counted.
        """
        if not isinstance(url, str):
            raise cls._type_error("url", "str", url)
        if not isinstance(timeout, int):
            raise cls._type_error("timeout", "int", timeout)
        refuse, cap = _transfer.settings(REFUSE_INTERNAL_DESTINATIONS, MAX_PAGE_BYTES)
        fetcher = AsyncFetcher
        if fetcher is None or not url.startswith("http"):
            return url, None
        streaming = fetcher is _SCRAPLING_FETCHER
        async with sem:
            try:
                async with asyncio.timeout(timeout + 1):
                    body = await _transfer.page_body(fetcher, url, timeout, streaming=streaming,
                                                     refuse=refuse, cap=cap)
                return url, body.decode("utf-8", "replace") if body else None
            except Exception:
                # Any ordinary failure of this one page: unreachable, timed
                # out, protocol error, odd response object.  Cancellation is a
                # BaseException and goes through.
                return url, None

    @classmethod
    async def fetch_many(cls, urls: list[str], max_workers: int | None = None,
                         timeout: int = 5) -> dict[str, str | None]:
        """Page map {link: page text or None}, one entry per distinct link in
        first-seen order, fetched concurrently with at most `max_workers`
        requests in flight (None or 0: the processor-based default)."""
        if not isinstance(urls, list):
            raise cls._type_error("urls", "list", urls)
        for i, url in enumerate(urls):
            if not isinstance(url, str):
                raise cls._type_error(f"urls[{i}]", "str", url)
        if max_workers is not None and not isinstance(max_workers, int):
            raise cls._type_error("max_workers", "int or None", max_workers)
        if not isinstance(timeout, int):
            raise cls._type_error("timeout", "int", timeout)
        _transfer.settings(REFUSE_INTERNAL_DESTINATIONS, MAX_PAGE_BYTES)

        distinct = list(dict.fromkeys(urls))
        if AsyncFetcher is None or not distinct:
            return dict.fromkeys(distinct)
        # A negative bound is refused by the semaphore (ValueError).
        sem = asyncio.Semaphore(max_workers or cls._default_bound())
        tasks = [asyncio.ensure_future(cls.fetch_one(url, sem, timeout)) for url in distinct]
        try:
            pairs = await asyncio.gather(*tasks)
        except BaseException:
            # Cancellation already reached every fetch through gather; anything
            # else that escaped one fetch must not leave the others running.
            for task in tasks:
                task.cancel()
            await asyncio.wait(tasks)
            raise
        return dict(pairs)


class CommerceEnricher:
    """Visual matches to commerce intelligence."""

    @classmethod
    async def enrich_matches_deep_async(
        cls, matches: list[VisualMatch], max_items: int | None = None
    ) -> list[EnrichedCommerceMatch]:
        """One EnrichedCommerceMatch per match (or per match of the first
        `max_items`), in input order: links unwrapped, every page fetched in
        one batch, then each match analysed with its page text, if any."""
        _require_list(matches, "matches")
        if max_items is not None and not isinstance(max_items, int):
            raise TypeError(f"max_items must be int or None, not {type(max_items).__name__}")
        if not matches:
            return []
        targets = matches if max_items is None else matches[:max_items]
        # None where unwrapping refuses a link (it cannot be split or encoded):
        # that match is not fetched and is analysed without a page, so one bad
        # link spoils nothing else.
        direct_links = _commerce._enrich_unwrap_links(targets)
        pages = await ScraplingDestinationFetcher.fetch_many([d for d in direct_links if d is not None])
        return _commerce._enrich_after_fetch(targets, direct_links, pages)

    @classmethod
    async def process_async(cls, matches: list[VisualMatch]) -> CommerceIntelligence:
        """The matches' commerce intelligence: enriched items, each graded for
        relevance, and the market summary over them."""
        _require_list(matches, "matches")
        if not matches:
            return CommerceIntelligence()
        items = await cls.enrich_matches_deep_async(matches)
        _require_list(items, "enriched items")
        relevance = importlib.import_module("quillmere.relevance")
        classify = relevance.classify_match_relevance
        recompute = relevance.recompute_market_summary
        for item in items:
            if item.relevance is None:
                item.relevance = classify(item, None)
        base = CommerceSummary(total_matches=len(matches), currency="USD")
        summary = recompute(items, base)
        return CommerceIntelligence(summary=summary, items=items)

    @classmethod
    def process(cls, matches: list[VisualMatch]) -> CommerceIntelligence:
        """process_async as a blocking call, also from inside a running loop."""
        _require_list(matches, "matches")
        return _run_coroutine(cls.process_async(matches))


# ---------------------------------------------------------------- functions
_T = TypeVar("_T")


def _require_list(value: object, name: str) -> None:
    if not isinstance(value, list):
        raise TypeError(f"{name} must be list, not {type(value).__name__}")


def _run_on_fresh_loop(awaitable: Awaitable[_T]) -> _T:
    """Runs the awaitable on a loop of its own and closes that loop, with the
    clean-up asyncio.run does. The thread's current event loop (if one is set)
    is neither used nor replaced, and no signal handler is installed."""
    if not asyncio.iscoroutine(awaitable):
        awaitable = _await(awaitable)
    loop = asyncio.new_event_loop()
    try:
        return loop.run_until_complete(awaitable)
    finally:
        try:
            _cancel_leftover_tasks(loop)
            loop.run_until_complete(loop.shutdown_asyncgens())
            loop.run_until_complete(loop.shutdown_default_executor())
        finally:
            loop.close()


def _cancel_leftover_tasks(loop: asyncio.AbstractEventLoop) -> None:
    tasks = [t for t in asyncio.all_tasks(loop) if not t.done()]
    if not tasks:
        return
    for task in tasks:
        task.cancel()
    loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))
    for task in tasks:
        if not task.cancelled() and task.exception() is not None:
            loop.call_exception_handler(
                {"message": "unhandled exception during shutdown", "exception": task.exception(), "task": task})


async def _await(awaitable: Awaitable[_T]) -> _T:
    return await awaitable


def _run_coroutine(coro: Coroutine[Any, Any, _T] | Awaitable[_T]) -> _T:
    """Runs the awaitable to completion on a fresh event loop and returns its
    result (or raises its error). From a thread that is running a loop, the
    fresh loop runs in one worker thread while the caller blocks."""
    try:
        loop = asyncio.get_running_loop()
    except RuntimeError:
        loop = None
    if loop is not None:
        running = loop.is_running()
        if not isinstance(running, bool):
            if asyncio.iscoroutine(coro):
                coro.close()
            raise TypeError(f"loop.is_running() must be bool, not {type(running).__name__}")
        if running:
            with ThreadPoolExecutor(max_workers=1) as pool:
                return pool.submit(_run_on_fresh_loop, coro).result()
    return _run_on_fresh_loop(coro)


def _output_path(output_path: str | os.PathLike[str]) -> Path:
    path = Path(output_path).resolve()
    path.parent.mkdir(parents=True, exist_ok=True)
    return path


def export_commerce_to_csv(commerce: CommerceIntelligence, output_path: str | os.PathLike[str]) -> Path:
    """Writes the items (header and one row per item) as UTF-8 CSV with CR LF
    row ends; returns the resolved absolute path. The file is replaced only
    once it is complete: on failure an earlier file stays as it was."""
    path = _output_path(output_path)
    _commerce._write_commerce_csv(commerce.items, path)
    return path


def export_commerce_to_json(commerce: CommerceIntelligence, output_path: str | os.PathLike[str]) -> Path:
    """Writes the whole record as JSON (two-space indent, absent fields left
    out); returns the resolved absolute path. The file is replaced only once
    it is complete: on failure an earlier file stays as it was."""
    path = _output_path(output_path)
    text = commerce.model_dump_json(indent=2, exclude_none=True)
    if os.linesep != "\n":
        text = text.replace("\n", os.linesep)
    _commerce._write_file_atomically(path, text.encode("utf-8"))
    return path


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
    "export_commerce_to_csv",
    "export_commerce_to_json",
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
