"""Relevance grades of enriched matches and the market summary over them.

A grade says how useful a match is to someone who wants to buy the pictured
item: a close visual match on a shop page with a price from a known kind of
merchant is worth most; an article, a portfolio or a social post least.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Mapping, Sequence
from typing import Optional

from .models import (
    CommerceSummary,
    EnrichedCommerceMatch,
    MatchRelevance,
    MerchantCategory,
    PageType,
    StockStatus,
)

_SHOP_PAGES = frozenset({PageType.PRODUCT, PageType.MARKETPLACE})
_NON_SHOP_PAGES = frozenset({PageType.ARTICLE, PageType.PORTFOLIO, PageType.SOCIAL})
_KNOWN_MERCHANTS = frozenset(
    {MerchantCategory.MAJOR_MARKETPLACE, MerchantCategory.RESELLER_SPECIALIST, MerchantCategory.OFFICIAL_BRAND}
)

# Match scores run from 50 (far down the results) to 99 (top, brand in title).
_CLOSE_MATCH = 90
_FAR_MATCH = 70

_HIGH_POINTS = 4
_MEDIUM_POINTS = 2


def relevance_points(item: EnrichedCommerceMatch, context: Optional[Mapping[str, object]] = None) -> int:
    """The evidence for an item, in points: shop page +2, article, portfolio
    or social page -1; a price +1; a merchant of a known kind +1; a close
    match +1, a far one -1; and, when `context` names the brand being looked
    for under "brand", +1 if the item's brand or title mentions it."""
    points = 0
    if item.page_type in _SHOP_PAGES:
        points += 2
    elif item.page_type in _NON_SHOP_PAGES:
        points -= 1
    if item.price is not None:
        points += 1
    if item.merchant_category in _KNOWN_MERCHANTS:
        points += 1
    if item.match_score >= _CLOSE_MATCH:
        points += 1
    elif item.match_score < _FAR_MATCH:
        points -= 1
    wanted = (context or {}).get("brand")
    if isinstance(wanted, str) and wanted.strip():
        needle = wanted.strip().casefold()
        if needle in (item.brand or "").casefold() or needle in item.title.casefold():
            points += 1
    return points


def classify_match_relevance(
    item: EnrichedCommerceMatch, context: Optional[Mapping[str, object]] = None
) -> MatchRelevance:
    """HIGH, MEDIUM or LOW from the item's page type, price, merchant category
    and match score (see relevance_points)."""
    if not isinstance(item, EnrichedCommerceMatch):
        raise TypeError(f"item must be EnrichedCommerceMatch, not {type(item).__name__}")
    if context is not None and not isinstance(context, Mapping):
        raise TypeError(f"context must be a mapping or None, not {type(context).__name__}")
    points = relevance_points(item, context)
    if points >= _HIGH_POINTS:
        return MatchRelevance.HIGH
    if points >= _MEDIUM_POINTS:
        return MatchRelevance.MEDIUM
    return MatchRelevance.LOW


def _dominant_currency(items: Sequence[EnrichedCommerceMatch], fallback: str) -> str:
    """The currency most priced items carry; on a tie the fallback when it is
    among the leaders, else the leader seen first."""
    counts = Counter(item.price.currency for item in items if item.price is not None)
    if not counts:
        return fallback
    top = max(counts.values())
    if counts.get(fallback) == top:
        return fallback
    return next(c for c, n in counts.items() if n == top)


def _median(sorted_amounts: Sequence[float]) -> float:
    n = len(sorted_amounts)
    if n % 2:
        return sorted_amounts[n // 2]
    low, high = sorted_amounts[n // 2 - 1], sorted_amounts[n // 2]
    mid = (low + high) / 2
    return mid if mid != float("inf") else low / 2 + high / 2  # huge amounts


def _mean(amounts: Sequence[float]) -> float:
    total = sum(amounts)
    if total == float("inf"):  # huge amounts: divide first so the mean stays finite
        return sum(a / len(amounts) for a in amounts)
    return total / len(amounts)


def recompute_market_summary(items: Sequence[EnrichedCommerceMatch], base: CommerceSummary) -> CommerceSummary:
    """A new summary for the items: total from `base`, the dominant currency
    (the base currency when nothing is priced), priced-match count over all
    currencies, lowest, highest, median and average price in the dominant
    currency (median and average rounded to cents), in-stock count, and
    counts by merchant category and page type in order of first appearance.
    `base` and the items are left unchanged."""
    if not isinstance(items, Sequence):
        raise TypeError(f"items must be a sequence, not {type(items).__name__}")
    if not isinstance(base, CommerceSummary):
        raise TypeError(f"base must be CommerceSummary, not {type(base).__name__}")
    currency = _dominant_currency(items, base.currency)
    amounts = sorted(item.price.amount for item in items if item.price is not None and item.price.currency == currency)
    by_category: dict[str, int] = {}
    by_page_type: dict[str, int] = {}
    for item in items:
        if item.merchant_category is not None:
            key = item.merchant_category.value
            by_category[key] = by_category.get(key, 0) + 1
        key = item.page_type.value
        by_page_type[key] = by_page_type.get(key, 0) + 1
    return CommerceSummary(
        total_matches=base.total_matches,
        currency=currency,
        total_priced_matches=sum(1 for item in items if item.price is not None),
        lowest_price=amounts[0] if amounts else None,
        highest_price=amounts[-1] if amounts else None,
        median_price=round(_median(amounts), 2) if amounts else None,
        average_price=round(_mean(amounts), 2) if amounts else None,
        in_stock_count=sum(1 for item in items if item.stock_status == StockStatus.IN_STOCK),
        by_merchant_category=by_category,
        by_page_type=by_page_type,
    )


__all__ = ["classify_match_relevance", "recompute_market_summary", "relevance_points"]
