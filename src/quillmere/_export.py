"""Writing a CommerceIntelligence result to CSV and JSON files."""

from __future__ import annotations

import json
import os
import re
from pathlib import Path
from typing import Any

from pydantic import BaseModel
from pydantic_core import PydanticSerializationError

from . import _commerce
from .models import CommerceIntelligence, FetchReport, render_counts

_SURROGATE = re.compile("[\ud800-\udfff]")


def _output_path(output_path: str | os.PathLike[str]) -> Path:
    path = Path(output_path).resolve()
    path.parent.mkdir(parents=True, exist_ok=True)
    return path


def export_commerce_to_csv(commerce: CommerceIntelligence, output_path: str | os.PathLike[str]) -> Path:
    """Writes the items (header and one row per item) as UTF-8 CSV with CR LF
    row ends; returns the resolved absolute path. The file is replaced only
    once it is complete: on failure an earlier file stays as it was."""
    path = _output_path(output_path)
    _commerce._write_commerce_csv(commerce.items, path)
    return path


def export_commerce_to_json(commerce: CommerceIntelligence, output_path: str | os.PathLike[str]) -> Path:
    """Writes the whole record as JSON (two-space indent, absent fields left
    out); returns the resolved absolute path. The file is replaced only once
    it is complete: on failure an earlier file stays as it was."""
    return write_bytes(output_path, render_json(commerce))


def write_bytes(output_path: str | os.PathLike[str], data: bytes) -> Path:
    """Writes `data` as the exports write their files (missing folders made,
    the file replaced only once complete); returns the resolved path."""
    path = _output_path(output_path)
    _commerce._write_file_atomically(path, data)
    return path


def render_json(commerce: CommerceIntelligence) -> bytes:
    """The bytes export_commerce_to_json writes. A lone surrogate (which UTF-8
    cannot encode) is written as U+FFFD; the record itself is left as it is."""
    try:
        text = commerce.model_dump_json(indent=2, exclude_none=True)
    except PydanticSerializationError:
        mended = _without_surrogates(commerce)
        if mended is commerce:
            raise
        text = mended.model_dump_json(indent=2, exclude_none=True)
    if os.linesep != "\n":
        text = text.replace("\n", os.linesep)
    return text.encode("utf-8")


def _without_surrogates(value: Any) -> Any:
    """`value` with every lone surrogate in its texts replaced by U+FFFD: the
    same object where nothing changes, else a copy (models through
    model_copy, so which fields were set is kept)."""
    if isinstance(value, str):
        mended = _SURROGATE.sub("\ufffd", value)
        return value if mended == value else mended  # enumeration members stay members
    if isinstance(value, BaseModel):
        changes = {}
        for name in type(value).model_fields:
            field = getattr(value, name)
            mended = _without_surrogates(field)
            if mended is not field:
                changes[name] = mended
        return value.model_copy(update=changes) if changes else value
    if isinstance(value, list):
        items = [_without_surrogates(v) for v in value]
        return items if any(a is not b for a, b in zip(items, value)) else value
    if isinstance(value, dict):
        pairs = [(_without_surrogates(k), _without_surrogates(v)) for k, v in value.items()]
        changed = any(k is not k0 or v is not v0 for (k, v), (k0, v0) in zip(pairs, value.items()))
        return dict(pairs) if changed else value
    return value




def page_entries(report: FetchReport, links: list[str], direct_urls: list[str]) -> list[dict[str, Any]]:
    """The per-match page outcomes as JSON data: position from 1, the match's
    link and direct link beside what became of its page."""
    entries = []
    for position, out in enumerate(report.outcomes, start=1):
        i = position - 1
        entries.append({
            "position": position,
            "link": links[i] if i < len(links) else None,
            "direct_url": direct_urls[i] if i < len(direct_urls) else out.link,
            "outcome": out.outcome.value,
            "status": out.status,
            "final_url": out.final_url,
            "bytes": out.bytes,
            "seconds": None if out.seconds is None else round(out.seconds, 3),
            "detail": out.detail,
            "attempts": out.attempts,
        })
        rendered = getattr(out, "rendered", None)
        if rendered is not None:  # read in a browser too (only when rendering was asked for)
            entries[-1]["rendered"] = rendered.model_dump(mode="json")
    return entries


def page_counts(report: FetchReport) -> dict[str, Any]:
    """The search's pages by outcome, as JSON data."""
    counts: dict[str, Any] = {"total": len(report.outcomes), "read": report.read, "not_read": report.not_read,
                              "outcomes": report.counts()}
    rendered = render_counts(report.outcomes)
    if rendered["rendered"]:  # only when rendering was asked for and took place
        counts["rendered"] = rendered
    return counts


def render_page_report(report: FetchReport, links: list[str], direct_urls: list[str]) -> bytes:
    """The ``--report`` file: the search's page counts and every match's page outcome."""
    data = {"pages": page_counts(report), "matches": page_entries(report, links, direct_urls)}
    return (json.dumps(_without_surrogates(data), indent=2, ensure_ascii=False) + "\n").encode("utf-8")


__all__ = ["export_commerce_to_csv", "export_commerce_to_json", "page_counts", "page_entries", "render_json",
           "render_page_report", "write_bytes"]
