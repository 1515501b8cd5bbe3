"""The awaitable enrichment entries of CommerceEnricher.

The analysis runs in the extension in two batched crossings: the links are
unwrapped before the fetch, then every match is analysed with its page text
after it. These functions take the class they serve as `cls`, so a subclass's
own `enrich_matches_deep_async` is the one `process_async` awaits.
"""

from __future__ import annotations

import asyncio
import importlib
from collections.abc import Sequence
from typing import Any

from . import _commerce
from ._fetch import ProgressCallback, check_options
from .models import CommerceIntelligence, CommerceSummary, EnrichedCommerceMatch, VisualMatch

# The match fields the analysis reads after the fetch, in the order it reads
# them, and whether each may be None.
_MATCH_FIELDS = (("source", True), ("price", True), ("currency", True), ("title", False))


def require_list(value: object, name: str) -> None:
    if not isinstance(value, list):
        raise TypeError(f"{name} must be list, not {type(value).__name__}")


def fetch_options(fetcher: Any, progress: ProgressCallback | None,
                  semaphore: asyncio.Semaphore | None) -> dict[str, Any]:
    """The keywords the caller gave, checked, to pass on. Those left at None
    are not passed, so an override written without them keeps working."""
    check_options(fetcher, progress, semaphore)
    given = {"fetcher": fetcher, "progress": progress, "semaphore": semaphore}
    return {name: value for name, value in given.items() if value is not None}


def check_match_fields(matches: Sequence[Any]) -> None:
    """The type checks the analysis makes, made before any page is fetched,
    with the same messages (the analysis checks again)."""
    for match in matches:
        for name, nullable in _MATCH_FIELDS:
            value = getattr(match, name)
            if not isinstance(value, str) and not (nullable and value is None):
                expected = "str or None" if nullable else "str"
                raise TypeError(f"{name} must be {expected}, not {type(value).__name__}")
        stock = match.in_stock
        if stock is not None and not isinstance(stock, bool):
            raise TypeError(f"in_stock must be bool or None, not {type(stock).__name__}")
        thumbnail = match.thumbnail
        if thumbnail is not None and not isinstance(thumbnail, str):
            raise TypeError(f"thumbnail must be str or None, not {type(thumbnail).__name__}")


async def enrich_matches_deep_async(cls: Any, matches: list[VisualMatch], max_items: int | None = None, *,
                                    fetcher: Any = None, progress: ProgressCallback | None = None,
                                    semaphore: asyncio.Semaphore | None = None) -> list[EnrichedCommerceMatch]:
    from . import commerce

    require_list(matches, "matches")
    if max_items is not None and not isinstance(max_items, int):
        raise TypeError(f"max_items must be int or None, not {type(max_items).__name__}")
    options = fetch_options(fetcher, progress, semaphore)
    if not matches:
        return []
    targets = matches if max_items is None else matches[:max_items]
    # None where unwrapping refuses a link (it cannot be split or encoded):
    # that match is not fetched and is analysed without a page, so one bad
    # link spoils nothing else.
    direct_links = _commerce._enrich_unwrap_links(targets)
    check_match_fields(targets)
    pages = await commerce.ScraplingDestinationFetcher.fetch_many(
        [d for d in direct_links if d is not None], **options)
    return _commerce._enrich_after_fetch(targets, direct_links, pages)


async def process_async(cls: Any, matches: list[VisualMatch], *, fetcher: Any = None,
                        progress: ProgressCallback | None = None,
                        semaphore: asyncio.Semaphore | None = None) -> CommerceIntelligence:
    require_list(matches, "matches")
    options = fetch_options(fetcher, progress, semaphore)
    if not matches:
        return CommerceIntelligence()
    items = await cls.enrich_matches_deep_async(matches, **options)
    require_list(items, "enriched items")
    relevance = importlib.import_module("quillmere.relevance")
    classify = relevance.classify_match_relevance
    recompute = relevance.recompute_market_summary
    for item in items:
        if item.relevance is None:
            item.relevance = classify(item, None)
    base = CommerceSummary(total_matches=len(matches), currency="USD")
    summary = recompute(items, base)
    return CommerceIntelligence(summary=summary, items=items)


__all__ = ["check_match_fields", "enrich_matches_deep_async", "fetch_options", "process_async", "require_list"]
