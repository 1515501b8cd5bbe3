"""Results-page parsing helpers shared with the commerce engine."""

from ._commerce import _vocabulary

# Every symbol and code of the engine's currency map, as one pattern without
# capturing groups (the engine composes it from its currency table and embeds
# it twice in its price pattern). Codes count only as whole words: the "usd"
# in "usda" is not a currency. Longer symbols come first so that "US$" wins
# over "$" and "CN¥" over "¥".
CURRENCY_TOKEN_PATTERN: str = _vocabulary["CURRENCY_TOKEN_PATTERN"]

__all__ = ["CURRENCY_TOKEN_PATTERN"]
