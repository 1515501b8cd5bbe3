import statistics

import pytest

from quillmere.models import (
    CommerceSummary,
    EnrichedCommerceMatch,
    MatchRelevance,
    MerchantCategory,
    NormalizedPrice,
    PageType,
    StockStatus,
)
from quillmere.relevance import classify_match_relevance, recompute_market_summary

H, M, L = MatchRelevance.HIGH, MatchRelevance.MEDIUM, MatchRelevance.LOW


def match(page_type=PageType.PRODUCT, amount=None, currency="USD", category=None, score=98, stock=None, **kw):
    return EnrichedCommerceMatch(
        title=kw.pop("title", "Leather boots"),
        direct_url="https://s.example/p",
        original_url="https://s.example/p",
        price=None if amount is None else NormalizedPrice(raw=f"{amount:.2f} {currency}", amount=amount, currency=currency),
        merchant_category=category,
        match_score=score,
        page_type=page_type,
        stock_status=stock,
        **kw,
    )


@pytest.mark.parametrize(
    "item, context, grade",
    [
        (match(amount=10.0), None, H),  # shop page, price, close match
        (match(), None, M),  # no price
        (match(category=MerchantCategory.MAJOR_MARKETPLACE), None, H),
        (match(amount=10.0, score=50), None, M),  # far down the results
        (match(page_type=PageType.MARKETPLACE, amount=5.0, category=MerchantCategory.RESELLER_SPECIALIST, score=75), None, H),
        (match(page_type=PageType.ARTICLE, amount=10.0), None, L),
        (match(page_type=PageType.SOCIAL, category=MerchantCategory.OFFICIAL_BRAND, amount=1.0), None, M),
        (match(page_type=PageType.UNCATEGORIZED), None, L),
        (match(page_type=PageType.UNCATEGORIZED), {"brand": " LEATHER "}, M),  # brand named in the title
        (match(brand="Acme"), {"brand": "acme"}, H),
        (match(), {"brand": "  "}, M),
    ],
)
def test_grades(item, context, grade):
    assert classify_match_relevance(item, context) is grade


def test_grade_argument_types():
    with pytest.raises(TypeError, match="item must be EnrichedCommerceMatch"):
        classify_match_relevance({"page_type": "product"}, None)
    with pytest.raises(TypeError, match="context must be a mapping"):
        classify_match_relevance(match(), ["brand"])


def test_summary_over_mixed_items():
    items = [
        match(amount=30.0, currency="EUR", category=MerchantCategory.OFFICIAL_BRAND, stock=StockStatus.IN_STOCK),
        match(amount=10.0, currency="EUR", category=MerchantCategory.UNVERIFIED),
        match(amount=999.0, currency="GBP", category=MerchantCategory.UNVERIFIED, stock=StockStatus.OUT_OF_STOCK),
        match(page_type=PageType.ARTICLE),
        match(amount=20.5, currency="EUR", page_type=PageType.MARKETPLACE, stock=StockStatus.IN_STOCK,
              category=MerchantCategory.MAJOR_MARKETPLACE),
        match(amount=12.25, currency="EUR", page_type=PageType.SOCIAL),
    ]
    base = CommerceSummary(total_matches=7, currency="USD")
    before = base.model_copy(deep=True)
    s = recompute_market_summary(items, base)
    eur = [30.0, 10.0, 20.5, 12.25]
    assert s.currency == "EUR" and s.total_matches == 7 and s.total_priced_matches == 5
    assert (s.lowest_price, s.highest_price) == (10.0, 30.0)
    assert s.median_price == round(statistics.median(eur), 2)
    assert s.average_price == round(statistics.mean(eur), 2)
    assert s.in_stock_count == 2
    assert s.by_merchant_category == {"official_brand": 1, "unverified": 2, "major_marketplace": 1}
    assert list(s.by_page_type.items()) == [("product", 3), ("article", 1), ("marketplace", 1), ("social", 1)]
    assert base == before and s is not base


@pytest.mark.parametrize(
    "currencies, base_currency, dominant",
    [
        ([], "USD", "USD"),
        (["EUR", "GBP"], "USD", "EUR"),  # tie: the one seen first
        (["EUR", "USD"], "USD", "USD"),  # tie including the base currency
        (["GBP", "EUR", "EUR"], "GBP", "EUR"),
    ],
)
def test_dominant_currency(currencies, base_currency, dominant):
    items = [match(amount=float(i + 1), currency=c) for i, c in enumerate(currencies)] + [match()]
    s = recompute_market_summary(items, CommerceSummary(total_matches=len(items), currency=base_currency))
    assert s.currency == dominant
    priced = [i + 1.0 for i, c in enumerate(currencies) if c == dominant]
    assert s.lowest_price == (min(priced) if priced else None)
    assert s.total_priced_matches == len(currencies)


def test_summary_keeps_huge_amounts_finite():
    items = [match(amount=1.5e308), match(amount=1.7e308)]
    s = recompute_market_summary(items, CommerceSummary(total_matches=2))
    assert s.average_price == pytest.approx(1.6e308) and s.median_price == pytest.approx(1.6e308)
