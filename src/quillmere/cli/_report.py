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


# Shorter names for the narrow table, where the full ones leave no room.
_COMPACT = {"official_brand": "brand", "major_marketplace": "market", "reseller_specialist": "reseller",
            "marketplace": "market", "uncategorized": "other"}


def table_rows(items: Sequence["EnrichedCommerceMatch"], outcomes: Sequence[str | None] | None = None,
               compact: bool = False) -> list[list[str]]:
    """A row of cells per match (`outcomes`: each page's short outcome
    label, shown after Stock; `compact`: shorter category and page-type names)."""
    def name(member: Any) -> str:
        value = _value(member)
        return _COMPACT.get(value, value) if compact else value

    rows = []
    for rank, item in enumerate(items, start=1):
        row = [
            str(rank),
            f"{item.match_score}%",
            _value(item.relevance),
            name(item.page_type),
            name(item.merchant_category),
            item.price.raw if item.price is not None else "-",
            _value(item.stock_status),
            item.merchant_name or "-",
            item.title or "-",
        ]
        if outcomes is not None:
            label = outcomes[rank - 1] if rank - 1 < len(outcomes) else None
            row.insert(_OUTCOME, label or "-")
        rows.append(row)
    return rows


_HEADER = ["#", "Score", "Relevance", "Page type", "Category", "Price", "Stock", "Merchant", "Title"]
_COMPACT_HEADER = {"Page type": "Type"}
_OUTCOME = 7        # where the outcome column goes, after Stock
_OUTCOME_NAME = "Page"
_RIGHT = {"#", "Score"}  # right-aligned columns
_GAP = 2
# When the table is too wide: titles and merchants are shortened to these
# widths first, then Stock and Relevance are left out, then merchants and
# titles are shortened again; only then do the page outcome, Category and
# Page type go, and last titles and merchants are shortened further. Where
# the full names would cost a kept column, shorter names and one-space gaps
# are tried.
_SHORTEN = (("Title", 20), ("Merchant", 12))
_LEAVE_OUT = ("Stock", "Relevance")
_SHORTEN_MID = (("Merchant", 8), ("Title", 12))
_LEAVE_OUT_LAST = (_OUTCOME_NAME, "Category", "Page type")
_SHORTEN_MORE = (("Title", 8), ("Merchant", 6))


def _shorten(widths: dict[int, int], floors: Sequence[tuple[int, int]], overflow: int) -> int:
    for col, floor in floors:
        if overflow > 0 and col in widths:
            cut = min(overflow, max(0, widths[col] - floor))
            widths[col] -= cut
            overflow -= cut
    return overflow


def column_widths(natural: Sequence[int], width: int, names: Sequence[str] = _HEADER,
                  gap: int = _GAP) -> dict[int, int]:
    """The columns shown and their widths, for a table of `width` columns
    whose columns are `names` (the header's) with these natural widths."""
    shown = list(range(len(natural)))
    index = {n: i for i, n in enumerate(names)}

    def floors(pairs: Sequence[tuple[str, int]]) -> list[tuple[int, int]]:
        return [(index[n], w) for n, w in pairs if n in index]

    def measure(*stages: Sequence[tuple[str, int]]) -> tuple[dict[int, int], int]:
        widths = {c: natural[c] for c in shown}
        overflow = sum(widths.values()) + gap * (len(widths) - 1) - width
        for stage in stages:
            overflow = _shorten(widths, floors(stage), overflow)
        return widths, overflow

    widths, overflow = measure(_SHORTEN)
    for group, stages in ((_LEAVE_OUT, (_SHORTEN,)), (_LEAVE_OUT_LAST, (_SHORTEN, _SHORTEN_MID))):
        widths, overflow = measure(*stages)
        for name in group:
            if overflow <= 0:
                break
            if name in index:
                shown.remove(index[name])
                widths, overflow = measure(*stages)
    widths, overflow = measure(_SHORTEN, _SHORTEN_MID)
    _shorten(widths, floors(_SHORTEN_MORE), overflow)
    return widths


def format_table(items: Sequence["EnrichedCommerceMatch"], width: int,
                 outcomes: Sequence[str | None] | None = None) -> str:
    """The enriched matches as a table fitted to ``width`` columns, each
    followed by its direct link, whole, on a line of its own (indented under
    the row when it fits so). `outcomes`: each page's short outcome label
    ("read", "HTTP 404", ...), shown in a column after Stock."""
    names = list(_HEADER)
    if outcomes is not None:
        names.insert(_OUTCOME, _OUTCOME_NAME)

    def layout(compact: bool) -> tuple[list[str], list[list[str]], dict[int, int], int]:
        header = [_COMPACT_HEADER.get(n, n) for n in names] if compact else names
        rows = table_rows(items, outcomes, compact)
        natural = [max(text_width(r[i]) for r in [header, *rows]) for i in range(len(names))]
        gap = 1 if compact else _GAP
        return header, rows, column_widths(natural, width, names, gap), gap

    header, rows, widths, gap = layout(False)
    kept = {names.index(n) for n in _LEAVE_OUT_LAST if n in names}
    title = len(names) - 1
    if not kept <= set(widths) or widths[title] < _SHORTEN[0][1]:
        narrow = layout(True)
        more = len(kept & set(narrow[2])) - len(kept & set(widths))
        if more > 0 or (more == 0 and narrow[2][title] > widths[title]):
            header, rows, widths, gap = narrow
    right = {names.index(n) for n in _RIGHT}

    def line(cells: Sequence[str]) -> str:
        out = []
        for i, w in widths.items():
            cell = cells[i]
            if i in right:
                out.append(" " * (w - text_width(cell)) + cell)
            else:
                out.append(fit(cell, w))
        return (" " * gap).join(out).rstrip()

    indent = " " * (widths[0] + gap)
    lines = [line(header)]
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
    if not data.get("total_priced_matches"):
        # No price at all: no currency to name, and no figures over prices.
        data = {k: v for k, v in data.items() if k != "currency" and "price" not in k or k == "total_priced_matches"}
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


def report(out: TextIO, commerce_result: "CommerceIntelligence", width: int, table: bool = True,
           outcomes: Sequence[str | None] | None = None) -> None:
    """The table of matches (unless `table` is False; `outcomes`: the pages'
    short outcome labels), then the market summary."""
    if table:
        items = commerce_result.items
        out.write(format_table(items, width, outcomes) + "\n\n" if items else "No matches.\n\n")
    out.write(format_summary(commerce_result.summary, width) + "\n")


def stdout_width() -> int:
    """Columns for the table: $COLUMNS, else the terminal's width; no limit
    when the output goes to a file or a pipe."""
    if not os.environ.get("COLUMNS") and not sys.stdout.isatty():
        return 1 << 16
    return max(20, shutil.get_terminal_size((120, 24)).columns)


__all__ = ["Progress", "column_widths", "fit", "format_summary", "format_table", "report", "stdout_width", "table_rows",
           "text_width", "wrap"]
