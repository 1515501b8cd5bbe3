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
    The line is sized to the terminal's width at every redraw (the label and
    then the bar give way on narrow terminals), so it never wraps.
    """

    BAR = 24  # widest bar

    def __init__(self, label: str = "Fetching pages", stream: TextIO | None = None,
                 enabled: bool | None = None, columns: int | None = None) -> None:
        self.total: int = 0
        self.done: int = 0
        self.label: str = label
        self.stream: TextIO = stream if stream is not None else sys.stderr
        self.enabled: bool = self.stream.isatty() if enabled is None else enabled
        self.columns: int | None = columns
        self.drawn: bool = False

    def _width(self) -> int:
        if self.columns is not None:
            return self.columns
        try:
            columns = os.get_terminal_size(self.stream.fileno()).columns
        except (AttributeError, OSError, ValueError):
            columns = 0
        return columns if columns > 0 else 80  # 0: the terminal does not say

    def line(self, done: int, total: int, columns: int) -> str:
        """The bar's text for `columns` columns: at most columns - 1 wide
        (writing into the last column wraps on some terminals)."""
        room = columns - 1
        counts = f"{done}/{total}"

        def bar(width: int) -> str:
            filled = width * min(done, total) // total
            return "[" + "#" * filled + "-" * (width - filled) + "]"

        with_label = min(self.BAR, room - len(self.label) - len(counts) - 4)
        if with_label >= 8:
            return f"{self.label} {bar(with_label)} {counts}"
        alone = min(self.BAR, room - len(counts) - 3)
        if alone >= 4:
            return f"{bar(alone)} {counts}"
        return counts[:max(room, 0)]

    def update(self, done: int, total: int) -> None:
        self.done, self.total = done, total
        if not self.enabled or total <= 0:
            return
        # Back to the line's start, the line, and the rest of the row cleared
        # (where the terminal understands the escape).
        clear = "" if os.environ.get("TERM") == "dumb" else "\x1b[K"
        self.stream.write("\r" + self.line(done, total, self._width()) + clear)
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
_GAP = 2
_TITLE, _MERCHANT = 8, 7
# When the table is too wide: titles and merchants are shortened to these
# widths first, then these columns are left out one by one (least telling
# first), and last titles and merchants are shortened further.
_SHORTEN = ((_TITLE, 20), (_MERCHANT, 12))
_LEAVE_OUT = (6, 4, 3, 2)  # Stock, Category, Page type, Relevance
_SHORTEN_MORE = ((_TITLE, 8), (_MERCHANT, 6))


def _shorten(widths: dict[int, int], floors: Sequence[tuple[int, int]], overflow: int) -> int:
    for col, floor in floors:
        if overflow > 0 and col in widths:
            cut = min(overflow, max(0, widths[col] - floor))
            widths[col] -= cut
            overflow -= cut
    return overflow


def column_widths(natural: Sequence[int], width: int) -> dict[int, int]:
    """The columns shown and their widths, for a table of `width` columns."""
    shown = list(range(len(natural)))

    def measure() -> tuple[dict[int, int], int]:
        widths = {c: natural[c] for c in shown}
        overflow = sum(widths.values()) + _GAP * (len(widths) - 1) - width
        return widths, _shorten(widths, _SHORTEN, overflow)

    widths, overflow = measure()
    for col in _LEAVE_OUT:
        if overflow <= 0:
            break
        shown.remove(col)
        widths, overflow = measure()
    _shorten(widths, _SHORTEN_MORE, overflow)
    return widths


def format_table(items: Sequence["EnrichedCommerceMatch"], width: int) -> str:
    """The enriched matches as a table fitted to ``width`` columns, each
    followed by its direct link, whole, on a line of its own (indented under
    the row when it fits so)."""
    rows = table_rows(items)
    natural = [max(text_width(r[i]) for r in [_HEADER, *rows]) for i in range(len(_HEADER))]
    widths = column_widths(natural, width)

    def line(cells: Sequence[str]) -> str:
        out = []
        for i, w in widths.items():
            cell = cells[i]
            if i in _RIGHT:
                out.append(" " * (w - text_width(cell)) + cell)
            else:
                out.append(fit(cell, w))
        return (" " * _GAP).join(out).rstrip()

    indent = " " * (widths[0] + _GAP)
    lines = [line(_HEADER)]
    for row, item in zip(rows, items):
        lines.append(line(row))
        link = item.direct_url
        lines.append(indent + link if len(indent) + text_width(link) <= width else link)
    return "\n".join(lines)


def _label(field: str) -> str:
    return field.replace("_", " ").capitalize()


def wrap(text: str, width: int, indent: int = 0, sep: str = " ") -> str:
    """`text` wrapped to `width` columns between the pieces `sep` divides it
    into (a piece is never cut), continuation lines indented by `indent`;
    unchanged when it fits. Where the longest piece does not fit beside the
    indent, the text starts on a line of its own, indented by 4."""
    if text_width(text) + indent <= width:
        return text
    pieces = text.split(sep)
    glue = sep.rstrip()
    longest = max(text_width(p + glue) for p in pieces)
    lead = ""
    if indent + longest > width and indent > 4:
        indent, lead = 4, "\n    "
    lines: list[str] = []
    for k, piece in enumerate(pieces):
        piece += glue if k < len(pieces) - 1 else ""
        if lines and text_width(lines[-1]) + 1 + text_width(piece) + indent <= width:
            lines[-1] += " " + piece
        else:
            lines.append(piece)
    return lead + ("\n" + " " * indent).join(lines)


def format_summary(summary: "CommerceSummary", width: int = 1 << 16) -> str:
    """The market summary, one field a line (long values wrapped to `width`);
    amounts with the summary's currency."""
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
        text = f"  {labels[field]:<{pad}}{wrap(shown, width, pad + 2, sep=', ')}"
        lines.append("\n".join(part.rstrip() for part in text.split("\n")))
    return "\n".join(lines)


def report(out: TextIO, commerce_result: "CommerceIntelligence", width: int, table: bool = True) -> None:
    """The table of matches (unless `table` is False), then the market summary."""
    if table:
        items = commerce_result.items
        out.write(format_table(items, width) + "\n\n" if items else "No matches.\n\n")
    out.write(format_summary(commerce_result.summary, width) + "\n")


def stdout_width() -> int:
    """Columns for the table: $COLUMNS, else the terminal's width; no limit
    when the output goes to a file or a pipe."""
    if not os.environ.get("COLUMNS") and not sys.stdout.isatty():
        return 1 << 16
    return max(20, shutil.get_terminal_size((120, 24)).columns)


__all__ = ["Progress", "column_widths", "fit", "format_summary", "format_table", "report", "stdout_width", "table_rows",
           "text_width", "wrap"]
