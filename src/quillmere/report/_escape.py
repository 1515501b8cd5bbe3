"""Text as the report writes it: escaped for HTML, cut to a length, and the
class of a merchant category."""

from __future__ import annotations

import html

_CATEGORIES = ("official_brand", "major_marketplace", "reseller_specialist", "unverified")


def esc(value: str) -> str:
    """`value` escaped for element text or a quoted attribute value; a CR
    is written as a reference, which the parser keeps (a raw one it would
    turn into a line feed)."""
    return html.escape(value, quote=True).replace("\r", "&#13;")


def cut(value: str, limit: int) -> tuple[str, bool]:
    if len(value) <= limit:
        return value, False
    return value[: limit - 1] + "\u2026", True


def category_class(category: str | None) -> str:
    return "c-" + (category if category in _CATEGORIES else "none")
