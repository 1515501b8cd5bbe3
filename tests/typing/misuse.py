"""Wrong uses of the public API: mypy must flag each line marked ``# error``.

Never run: tests/test_typing.py checks that exactly the marked lines are reported.
"""

from __future__ import annotations

from quillmere.commerce import (
    CommerceEnricher,
    MerchantClassifier,
    PriceNormalizer,
    URLUnwrapper,
    VisualMatch,
    export_commerce_to_csv,
)
from quillmere.responses import matches_from_response


def wrong(matches: list[VisualMatch]) -> None:
    CommerceEnricher.process("https://shop.example/p/1")  # error
    result = CommerceEnricher.process(matches)
    export_commerce_to_csv(result, 42)  # error
    export_commerce_to_csv(matches, "out.csv")  # error
    URLUnwrapper.unwrap(None)  # error
    PriceNormalizer.parse(19.99)  # error
    MerchantClassifier.classify(7)  # error
    result.items[0].price.amount  # error
    result.summary.no_such_field  # error
    matches_from_response(42)  # error
