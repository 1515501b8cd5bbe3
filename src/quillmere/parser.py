"""Results-page parsing helpers shared with the commerce engine."""

# Every symbol and code of the engine's currency map, as one pattern without
# capturing groups (the engine embeds it twice in its price pattern). Codes
# count only as whole words: the "usd" in "usda" is not a currency. Longer
# symbols come first so that "US$" wins over "$" and "CN¥" over "¥".
CURRENCY_TOKEN_PATTERN: str = (
    r"(?:US\$|CN¥|CA\$|A\$|\$|€|£|¥|₹"
    r"|(?<![^\W\d_])(?:USD|EUR|GBP|JPY|CNY|CAD|AUD|INR)(?![^\W\d_]))"
)

__all__ = ["CURRENCY_TOKEN_PATTERN"]
