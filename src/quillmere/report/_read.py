"""Reading what a report is made of: an ``enrich --json`` export, an
``enrich-many --out`` results file, and the page outcomes of
``enrich --report``.

Every text that comes out of here is fit for UTF-8 and for an HTML page: a
lone surrogate or a NUL becomes U+FFFD (the exports already write a lone
surrogate so); nothing else is changed.
"""

from __future__ import annotations

import json
import math
import re
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

_UNFIT = re.compile("[\ud800-\udfff\x00]")


class ReportInputError(ValueError):
    """A file a report cannot be made from; the message names the file and
    the line."""


def text(value: Any) -> str | None:
    """A field as text (None stays None; a number or a list is written as
    its JSON)."""
    if value is None:
        return None
    if not isinstance(value, str):
        value = json.dumps(value, ensure_ascii=False)
    return _UNFIT.sub("\ufffd", value)


def number(value: Any) -> float | None:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    value = float(value)
    return value if math.isfinite(value) else None


# The short label of each page outcome, as the table shows it.
_LABELS = {
    "read": "read", "no_link": "no link", "refused": "refused", "too_large": "too large",
    "timeout": "timeout", "unreachable": "unreachable", "blocked": "blocked", "empty": "empty",
    "no_fetcher": "no fetcher", "failed": "failed",
}


def outcome_label(entry: Any) -> str | None:
    """The short label of one per-match outcome entry ("read", "HTTP 404",
    ...); None when the entry says nothing."""
    if not isinstance(entry, dict):
        return None
    value = entry.get("outcome")
    if value == "http_error":
        status = entry.get("status")
        return f"HTTP {status}" if isinstance(status, int) and not isinstance(status, bool) else "HTTP error"
    if not isinstance(value, str):
        return None
    return _LABELS.get(value) or text(value)


def page_counts(pages: Any, outcomes: list[Any] | None) -> tuple[int, int] | None:
    """(read, not read) pages: from a "pages" object, else counted from the
    per-match entries; None when neither is there."""
    if isinstance(pages, dict):
        read, not_read = pages.get("read"), pages.get("not_read")
        if isinstance(read, int) and isinstance(not_read, int):
            return read, not_read
    if outcomes:
        read = sum(1 for o in outcomes if isinstance(o, dict) and o.get("outcome") == "read")
        return read, len(outcomes) - read
    return None


@dataclass
class Search:
    """One search: its id (None for an ``enrich`` export), its result (None
    for an error line), the error, and its pages' outcomes where known."""

    id: str | None
    result: dict[str, Any] | None
    error: str | None = None
    pages: Any = None
    outcomes: list[Any] | None = None

    @property
    def items(self) -> list[Any]:
        items = (self.result or {}).get("items")
        return items if isinstance(items, list) else []

    @property
    def summary(self) -> dict[str, Any]:
        summary = (self.result or {}).get("summary")
        return summary if isinstance(summary, dict) else {}

    def outcome(self, index: int) -> Any:
        if self.outcomes is None or index >= len(self.outcomes):
            return None
        return self.outcomes[index]


@dataclass
class Totals:
    """The figures of a whole results file, counted as it is checked."""

    searches: int = 0
    failed: int = 0
    matches: int = 0
    priced: int = 0
    read: int = 0
    not_read: int = 0
    unknown_pages: int = 0
    by_category: dict[str, int] = field(default_factory=dict)
    by_page_type: dict[str, int] = field(default_factory=dict)

    def add(self, search: Search) -> None:
        self.searches += 1
        if search.result is None:
            self.failed += 1
            return
        self.matches += len(search.items)
        priced = number(search.summary.get("total_priced_matches"))
        self.priced += int(priced) if priced is not None else 0
        counts = page_counts(search.pages, search.outcomes)
        if counts is None:
            self.unknown_pages += 1
        else:
            self.read += counts[0]
            self.not_read += counts[1]
        for mine, theirs in ((self.by_category, "by_merchant_category"), (self.by_page_type, "by_page_type")):
            counts_in = search.summary.get(theirs)
            if isinstance(counts_in, dict):
                for key, n in counts_in.items():
                    if isinstance(n, int) and not isinstance(n, bool):
                        key = text(key) or ""
                        mine[key] = mine.get(key, 0) + n


@dataclass
class Results:
    """A results file: one search (an export) or many (JSON Lines, read
    again on each pass, never held whole)."""

    path: Path
    many: bool
    single: Search | None = None
    warnings: list[str] = field(default_factory=list)
    totals: Totals = field(default_factory=lambda: Totals())

    def searches(self) -> Iterator[Search]:
        if self.single is not None:
            yield self.single
            return
        yield from _many(self.path, [])


def _search_of(record: dict[str, Any]) -> Search:
    outcomes = record.get("outcomes")
    sid = record.get("id")
    if "result" in record:
        result = record["result"] if isinstance(record["result"], dict) else {}
        return Search(text(sid), result, None, record.get("pages"),
                      outcomes if isinstance(outcomes, list) else None)
    return Search(text(sid), None, text(record.get("error")) or "error")


def _is_record(value: Any) -> bool:
    return isinstance(value, dict) and "id" in value and ("result" in value or "error" in value)


def _many(path: Path, warnings: list[str]) -> Iterator[Search]:
    name = str(path)
    with open(path, "rb") as f:
        for lineno, raw in enumerate(f, start=1):
            if not raw.strip():
                continue
            try:
                record = json.loads(raw)
            except (ValueError, RecursionError):
                if not raw.endswith(b"\n") and raw.lstrip().startswith(b"{"):
                    warnings.append(f"{name}: line {lineno} was cut short (a stopped run); read without it")
                    return
                raise ReportInputError(f"{name}: line {lineno} is not JSON") from None
            if not _is_record(record):
                raise ReportInputError(f'{name}: line {lineno} is not a result line ({{"id": ..., "result": ...}})')
            yield _search_of(record)


def read_results(path: Path) -> Results:
    """The results file at `path`, checked whole before anything is written
    (a results file by one pass over its lines, holding one at a time)."""
    name = str(path)
    with open(path, "rb") as f:
        first = b""
        for first in f:
            if first.strip():
                break
    try:
        head = json.loads(first) if first.strip() else None
    except (ValueError, RecursionError):
        head = None
    if _is_record(head) or (head is None and first.lstrip().startswith(b'{"id"')):
        results = Results(path, many=True)
        for search in _many(path, results.warnings):
            results.totals.add(search)
        return results
    data = path.read_bytes()
    try:
        value = json.loads(data)
    except RecursionError:
        raise ReportInputError(f"{name}: is nested too deeply to be a JSON export") from None
    except ValueError as err:
        lineno = getattr(err, "lineno", None)
        where = f" (line {lineno})" if lineno else ""
        if not data.strip():
            raise ReportInputError(f"{name}: is empty; expected an enrich --json export "
                                   "or an enrich-many results file") from None
        if data.lstrip().startswith(b"{") and getattr(err, "pos", 0) >= len(data.rstrip()):
            raise ReportInputError(f"{name}: the JSON export is cut short{where}") from None
        raise ReportInputError(f"{name}: is not JSON{where}: neither an enrich --json export "
                               "nor an enrich-many results file") from None
    if not (isinstance(value, dict) and isinstance(value.get("items"), list)):
        raise ReportInputError(f'{name}: is neither an enrich --json export (an object with "items") '
                               "nor an enrich-many results file (JSON Lines of results)")
    return Results(path, many=False, single=Search(None, value))


def read_outcomes(path: Path) -> tuple[Any, list[Any]]:
    """The ("pages", "matches") of an ``enrich --report`` file."""
    name = str(path)
    try:
        value = json.loads(path.read_bytes())
    except (ValueError, RecursionError) as err:
        lineno = getattr(err, "lineno", None)
        raise ReportInputError(f"{name}: is not JSON" + (f" (line {lineno})" if lineno else "")) from None
    if not (isinstance(value, dict) and isinstance(value.get("matches"), list)):
        raise ReportInputError(f'{name}: is not a page-outcome report (an object with "matches")')
    return value.get("pages"), value["matches"]


__all__ = ["ReportInputError", "Results", "Search", "number", "outcome_label", "page_counts", "read_outcomes",
           "read_results", "text"]
