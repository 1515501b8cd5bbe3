"""What the command line prints: the progress bar, the table of enriched
matches and the market summary."""

from __future__ import annotations

import os
import shutil
import sys
import unicodedata
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, TextIO

if TYPE_CHECKING:
    from ..models import CommerceIntelligence, CommerceSummary, EnrichedCommerceMatch


class Progress:
    """A one-line progress bar on a terminal; silent anywhere else.

    ``update(done, total)`` is the engine's progress callback: the engine
    calls it before the first request and as each distinct page completes.
    """

    def __init__(self, label: str = "Fetching pages", stream: TextIO | None = None,
                 enabled: bool | None = None) -> None:
        self.total = 0
        self.done = 0
        self.label = label
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = self.stream.isatty() if enabled is None else enabled
        self.drawn = False

    def update(self, done: int, total: int) -> None:
        self.done, self.total = done, total
        if not self.enabled or total <= 0:
            return
        width = 24
        filled = width * min(done, total) // total
        bar = "#" * filled + "-" * (width - filled)
        self.stream.write(f"\r{self.label} [{bar}] {done}/{total}")
        self.stream.flush()
        self.drawn = True

    def finish(self) -> None:
        if self.drawn:
            self.stream.write("\n")
            self.stream.flush()
            self.drawn = False


def _char_width(ch: str) -> int:
    if unicodedata.combining(ch):
        return 0
    return 2 if unicodedata.east_asian_width(ch) in ("W", "F") else 1


def text_width(text: str) -> int:
    """Columns a text takes on a terminal (wide East Asian characters count twice)."""
    return sum(_char_width(ch) for ch in text)


def fit(text: str, width: int) -> str:
    """``text`` on one line, cut to ``width`` columns with an ellipsis, padded."""
    text = " ".join(text.split())
    if text_width(text) > width:
        out, used = [], 0
        for ch in text:
            w = _char_width(ch)
            if used + w > width - 1:
                break
            out.append(ch)
            used += w
        text = "".join(out) + "…"
    return text + " " * (width - text_width(text))


def _value(member: Any) -> str:
    if member is None:
        return "-"
    return str(getattr(member, "value", member))


def table_rows(items: Sequence["EnrichedCommerceMatch"]) -> list[list[str]]:
    rows = []
    for rank, item in enumerate(items, start=1):
        rows.append([
            str(rank),
            f"{item.match_score}%",
            _value(item.relevance),
            _value(item.page_type),
            _value(item.merchant_category),
            item.price.raw if item.price is not None else "-",
            _value(item.stock_status),
            item.merchant_name or "-",
            item.title or "-",
        ])
    return rows


_HEADER = ["#", "Score", "Relevance", "Page type", "Category", "Price", "Stock", "Merchant", "Title"]
_RIGHT = {0, 1}  # right-aligned columns


def format_table(items: Sequence["EnrichedCommerceMatch"], width: int) -> str:
    """The enriched matches as a table fitted to ``width`` columns, each
    followed by its direct link on a line of its own."""
    rows = table_rows(items)
    widths = [max(text_width(r[i]) for r in [_HEADER, *rows]) for i in range(len(_HEADER))]
    gap = 2
    # Shrink the merchant and title columns to fit, keeping them readable.
    overflow = sum(widths) + gap * (len(widths) - 1) - width
    for col, floor in ((8, 20), (7, 12)):
        if overflow > 0:
            cut = min(overflow, max(0, widths[col] - floor))
            widths[col] -= cut
            overflow -= cut

    def line(cells: Sequence[str]) -> str:
        out = []
        for i, cell in enumerate(cells):
            if i in _RIGHT:
                out.append(" " * (widths[i] - text_width(cell)) + cell)
            else:
                out.append(fit(cell, widths[i]))
        return (" " * gap).join(out).rstrip()

    indent = " " * (widths[0] + gap)
    lines = [line(_HEADER)]
    for row, item in zip(rows, items):
        lines.append(line(row))
        lines.append(indent + item.direct_url)
    return "\n".join(lines)


def _label(field: str) -> str:
    return field.replace("_", " ").capitalize()


def format_summary(summary: "CommerceSummary") -> str:
    """The market summary, one field a line; amounts with the summary's currency."""
    data = summary.model_dump()
    currency = data.get("currency") or ""
    labels = {field: _label(field) for field in data}
    pad = max(map(len, labels.values()), default=0) + 2
    lines = ["Market summary"]
    for field, value in data.items():
        if value is None:
            shown = "-"
        elif isinstance(value, float) and "price" in field:
            shown = f"{value:.2f} {currency}".rstrip()
        elif isinstance(value, dict):
            shown = ", ".join(f"{_value(k)} {v}" for k, v in value.items()) or "-"
        else:
            shown = _value(value)
        lines.append(f"  {labels[field]:<{pad}}{shown}")
    return "\n".join(lines)


def report(out: TextIO, commerce_result: "CommerceIntelligence", width: int) -> None:
    if commerce_result.items:
        out.write(format_table(commerce_result.items, width) + "\n\n")
    else:
        out.write("No matches.\n\n")
    out.write(format_summary(commerce_result.summary) + "\n")


def stdout_width() -> int:
    """Columns for the table: $COLUMNS, else the terminal's width; no limit
    when the output goes to a file or a pipe."""
    if not os.environ.get("COLUMNS") and not sys.stdout.isatty():
        return 1 << 16
    return max(60, shutil.get_terminal_size((120, 24)).columns)


__all__ = ["Progress", "fit", "format_summary", "format_table", "report", "stdout_width", "table_rows",
           "text_width"]
