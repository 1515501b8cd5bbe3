"""Writing a CommerceIntelligence result to CSV and JSON files."""

from __future__ import annotations

import os
from pathlib import Path

from . import _commerce
from .models import CommerceIntelligence


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
    path = _output_path(output_path)
    text = commerce.model_dump_json(indent=2, exclude_none=True)
    if os.linesep != "\n":
        text = text.replace("\n", os.linesep)
    _commerce._write_file_atomically(path, text.encode("utf-8"))
    return path


__all__ = ["export_commerce_to_csv", "export_commerce_to_json"]
