"""Typed use of the public API of quillmere.commerce.

Never run: tests/test_typing.py has mypy check it. Every ``assert_type`` fails
the check when the API hands the checker a different type, or ``Any``.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any, assert_type

import quillmere.cli  # noqa: F401  (the command line is checked along with the API)
import quillmere.demo  # noqa: F401
from quillmere.responses import ResponseError, matches_from_response
from quillmere.commerce import (
    CommerceEnricher,
    CommerceIntelligence,
    CommerceSummary,
    DestinationMetadataParser,
    EnrichedCommerceMatch,
    FetchOutcome,
    FetchReport,
    MerchantCategory,
    MerchantClassifier,
    NormalizedPrice,
    PageClient,
    PageOutcome,
    PageType,
    PriceNormalizer,
    ScraplingDestinationFetcher,
    URLUnwrapper,
    VisualMatch,
    export_commerce_to_csv,
    export_commerce_to_json,
)


def blocking(matches: list[VisualMatch]) -> None:
    result = CommerceEnricher.process(matches)
    assert_type(result, CommerceIntelligence)
    assert_type(result.summary, CommerceSummary)
    for item in result.items:
        assert_type(item, EnrichedCommerceMatch)
        assert_type(item.page_type, PageType)
        assert_type(item.price, NormalizedPrice | None)
    assert_type(export_commerce_to_csv(result, "out/commerce.csv"), Path)
    assert_type(export_commerce_to_json(result, Path("out/commerce.json")), Path)


async def awaiting(matches: list[VisualMatch]) -> None:
    assert_type(await CommerceEnricher.process_async(matches), CommerceIntelligence)
    items = await CommerceEnricher.enrich_matches_deep_async(matches, max_items=5)
    assert_type(items, list[EnrichedCommerceMatch])
    report = FetchReport()
    async with PageClient() as client:
        assert_type(await CommerceEnricher.process_async(matches, report=report, client=client),
                    CommerceIntelligence)
    for outcome in report.outcomes:
        assert_type(outcome, PageOutcome)
        assert_type(outcome.outcome, FetchOutcome)
        assert_type(outcome.status, int | None)
        assert_type(outcome.label, str)
    assert_type(report.counts(), dict[str, int])
    pages = await ScraplingDestinationFetcher.fetch_many(["https://shop.example/p/1"], max_workers=4, timeout=5)
    assert_type(pages, dict[str, str | None])


def building_blocks() -> None:
    assert_type(URLUnwrapper.unwrap("https://shop.example/p?utm_source=x"), str)
    assert_type(URLUnwrapper.extract_domain("https://www.shop.example/p"), str)
    assert_type(PriceNormalizer.parse("$1,299.00", "USD"), NormalizedPrice | None)
    assert_type(MerchantClassifier.classify("shop.example", "Title", None, "Shop"), MerchantCategory)
    metadata = DestinationMetadataParser.parse_metadata(None, "https://shop.example/p/1", initial_title="A lamp")
    assert_type(metadata, dict[str, Any])


def responses(text: bytes, data: dict[str, Any]) -> None:
    assert_type(matches_from_response(text), list[VisualMatch])
    assert_type(matches_from_response(data, exact_matches=False), list[VisualMatch])
    try:
        matches_from_response("[]")
    except ResponseError as err:
        assert_type(err.where, str)
