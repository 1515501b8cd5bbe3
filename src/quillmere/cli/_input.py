"""Reading visual matches: a JSON array of objects, JSON Lines, one object, or
an image-search response (the shapes are read by `quillmere.responses`).

Problems are raised as CliError, one line naming the file, the record and the
problem.
"""

from __future__ import annotations

import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ._common import CliError
from ..responses import ResponseError, labelled_records
from ..responses import match_fields as _match_fields

if TYPE_CHECKING:
    from ..models import VisualMatch


def parse_records(text: str, name: str, *, exact_matches: bool = True) -> list[tuple[str, object]]:
    """Split an input text into labelled JSON records.

    Accepted: a JSON array of objects, JSON Lines (one object per line), an
    object whose "matches" holds such an array, a single JSON object (one
    match), and the image-search responses that `quillmere.responses` reads.
    """
    try:
        return labelled_records(text, exact_matches=exact_matches)
    except ResponseError as err:
        raise CliError(f"{name}: {err}") from None


def match_fields(name: str, where: str, record: object) -> dict[str, Any]:
    """The visual-match fields of one record, type-checked; other keys are ignored."""
    try:
        return _match_fields(record)
    except ResponseError as err:
        raise CliError(f"{name}: {where}: {err.problem}") from None


STDIN_NAME = "<stdin>"


def read_matches(path: Path | None, *, exact_matches: bool = True) -> tuple[list["VisualMatch"], list[str]]:
    """The visual matches of an input file (None: standard input) and the
    label of each record; `exact_matches` false leaves a response's
    "exact_matches" out."""
    from ..models import VisualMatch

    name = STDIN_NAME if path is None else str(path)
    try:
        raw = sys.stdin.buffer.read() if path is None else path.read_bytes()
    except FileNotFoundError:
        raise CliError(f"{name}: no such file") from None
    except IsADirectoryError:
        raise CliError(f"{name}: is a directory, not a file of matches") from None
    except OSError as err:
        raise CliError(f"{name}: cannot read: {err.strerror or err}") from None
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError as err:
        raise CliError(f"{name}: not UTF-8 text (byte 0x{raw[err.start]:02x} at offset {err.start})") from None
    records = parse_records(text, name, exact_matches=exact_matches)
    matches = [VisualMatch(**match_fields(name, where, record)) for where, record in records]
    return matches, [where for where, _ in records]


__all__ = ["STDIN_NAME", "match_fields", "parse_records", "read_matches"]
