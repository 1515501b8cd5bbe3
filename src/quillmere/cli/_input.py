"""Reading visual matches: a JSON array of objects, JSON Lines, or one object.

Problems are raised as CliError, one line naming the file, the record and the
problem.
"""

from __future__ import annotations

import json
import re
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ._common import CliError, json_excerpt
from .._json_kind import json_kind as _json_kind

if TYPE_CHECKING:
    from ..models import VisualMatch

# Field name -> (accepted Python types, may be null, wording for messages).
_FIELDS: dict[str, tuple[tuple[type, ...], bool, str]] = {
    "link": ((str,), False, "a string"),
    "title": ((str,), True, "a string or null"),  # null reads as ""
    "source": ((str,), True, "a string or null"),
    "price": ((str,), True, "a string or null"),
    "currency": ((str,), True, "a string or null"),
    "in_stock": ((bool,), True, "true, false or null"),
    "thumbnail": ((str,), True, "a string or null"),
}

_JSON_WS = re.compile(r"[ \t\n\r]*")


def _loads(text: str, name: str, where: str = "") -> object:
    """json.loads with the problem as one line ("FILE: [WHERE: ]problem")."""
    prefix = f"{name}: {where}: " if where else f"{name}: "
    try:
        return json.loads(text)
    except json.JSONDecodeError as err:
        at = f"column {err.colno}" if where else f"line {err.lineno}, column {err.colno}"
        raise CliError(f"{prefix}invalid JSON at {at}: {err.msg}") from None
    except RecursionError:
        raise CliError(f"{prefix}JSON nested too deeply") from None


def _line_of(text: str, pos: int) -> int:
    return text.count("\n", 0, pos) + 1


def _array_records(text: str, name: str) -> list[tuple[str, object]]:
    """Elements of a JSON array with labels "record N (line L)"."""
    data = _loads(text, name)
    assert isinstance(data, list)
    return _labelled_elements(text, text.index("["), data)


def _labelled_elements(text: str, open_at: int, data: list[object]) -> list[tuple[str, object]]:
    """The elements of the valid JSON array opening at `open_at`, labelled
    "record N (line L)" by where each starts."""
    # The document is valid, so walking it element by element cannot fail; this
    # only finds where each element starts, for the messages.
    decoder = json.JSONDecoder()
    pos = _skip_ws(text, open_at + 1)
    starts: list[int] = []
    if text[pos] != "]":
        while True:
            starts.append(pos)
            _, pos = decoder.raw_decode(text, pos)
            pos = _skip_ws(text, pos)
            if text[pos] != ",":
                break
            pos = _skip_ws(text, pos + 1)
    records = []
    line, counted = 1, 0
    for i, (start, value) in enumerate(zip(starts, data), start=1):
        line += text.count("\n", counted, start)  # counted on from the previous record
        counted = start
        records.append((f"record {i} (line {line})", value))
    return records


def _skip_ws(text: str, pos: int) -> int:
    return _JSON_WS.match(text, pos).end()  # type: ignore[union-attr]  # the pattern matches anywhere


def _member_start(text: str, key: str) -> int:
    """Where the value of `key` starts in the valid JSON object that opens the
    text (its last occurrence, the one json.loads keeps)."""
    decoder = json.JSONDecoder()
    pos = _skip_ws(text, text.index("{") + 1)
    found = -1
    while text[pos] != "}":
        name, pos = decoder.raw_decode(text, pos)
        pos = _skip_ws(text, _skip_ws(text, pos) + 1)  # past the colon
        if name == key:
            found = pos
        _, pos = decoder.raw_decode(text, pos)
        pos = _skip_ws(text, pos)
        if text[pos] == ",":
            pos = _skip_ws(text, pos + 1)
    return found


def _wrapped_records(text: str, name: str) -> list[tuple[str, object]] | None:
    """The records of an object {"matches": [...]} (one without a "link" of
    its own), or None when the text is not such an object."""
    try:
        whole = json.loads(text)
    except (json.JSONDecodeError, RecursionError):
        return None
    if not isinstance(whole, dict) or "matches" not in whole or "link" in whole:
        return None
    matches = whole["matches"]
    if not isinstance(matches, list):
        raise CliError(f'{name}: "matches" must be a list of match objects, found {_json_kind(matches)}')
    return _labelled_elements(text, _member_start(text, "matches"), matches)


def _line_records(text: str, name: str) -> list[tuple[str, object]]:
    """Records of a JSON Lines text, labelled "line L"; blank lines are skipped."""
    records: list[tuple[str, object]] = []
    for lineno, line in enumerate(text.split("\n"), start=1):
        if not line.strip():
            continue
        # Parsed as written (leading white space is valid JSON), so columns
        # are those of the file.
        records.append((f"line {lineno}", _loads(line, name, f"line {lineno}")))
    return records


def parse_records(text: str, name: str) -> list[tuple[str, object]]:
    """Split an input text into labelled JSON records.

    Accepted: a JSON array of objects, JSON Lines (one object per line), an
    object whose "matches" holds such an array, or a single JSON object (one
    match).
    """
    body = text.lstrip()
    if not body:
        raise CliError(f"{name}: the file is empty (expected a JSON array of matches or JSON Lines)")
    if body.startswith("["):
        return _array_records(text, name)
    if body.startswith("{"):
        wrapped = _wrapped_records(text, name)
        if wrapped is not None:
            return wrapped
        try:
            return _line_records(text, name)
        except CliError as not_lines:
            # Not JSON Lines; perhaps one object written over several lines.
            try:
                whole = json.loads(text)
            except (json.JSONDecodeError, RecursionError):
                raise not_lines from None
            return [(f"record 1 (line {_line_of(text, text.index('{'))})", whole)]
    data = _loads(text, name)
    raise CliError(f"{name}: expected a JSON array of matches or JSON Lines, found {_json_kind(data)}")


def match_fields(name: str, where: str, record: object) -> dict[str, Any]:
    """The visual-match fields of one record, type-checked; other keys are ignored."""
    if not isinstance(record, dict):
        raise CliError(f"{name}: {where}: expected a match object, found {_json_kind(record)}")
    link = record.get("link")
    if link is None:
        raise CliError(f'{name}: {where}: the match has no "link"')
    fields: dict[str, Any] = {}
    for field, (types, nullable, wording) in _FIELDS.items():
        if field not in record:
            continue
        value = record[field]
        if value is None and field == "title":
            fields[field] = ""
        elif value is None and nullable:
            fields[field] = None
        elif isinstance(value, types) and not (bool not in types and isinstance(value, bool)):
            fields[field] = value
        else:
            raise CliError(f'{name}: {where}: "{field}" must be {wording}, not {json_excerpt(value)}')
    if not fields["link"].strip():
        raise CliError(f'{name}: {where}: the match\'s "link" is empty')
    return fields


STDIN_NAME = "<stdin>"


def read_matches(path: Path | None) -> tuple[list["VisualMatch"], list[str]]:
    """The visual matches of an input file (None: standard input) and the
    label of each record."""
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
    records = parse_records(text, name)
    matches = [VisualMatch(**match_fields(name, where, record)) for where, record in records]
    return matches, [where for where, _ in records]


__all__ = ["STDIN_NAME", "match_fields", "parse_records", "read_matches"]
