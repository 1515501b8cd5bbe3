"""The batch runner's output file: JSON Lines, one line per search, appended
as searches complete, and read back to resume or to write one CSV.

A line is ``{"id": ..., "result": {...}, "pages": {...}, "outcomes": [...]}``
(the search's page counts and every match's page outcome; lines written by
earlier versions have neither) or ``{"id": ..., "error": "..."}``.
Each line is written whole and flushed at once, so a run that is killed
leaves at most its last line cut short; resuming drops that line (and redoes
its search) and skips every id already present.
"""

from __future__ import annotations

import csv
import json
import os
import tempfile
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import Any, BinaryIO

from .._files import replaced_when_complete
from ._input import Outcome, SearchId, id_key

try:
    import fcntl
except ImportError:  # not POSIX: no lock
    fcntl = None  # type: ignore[assignment]


class OutputError(ValueError):
    """An existing output file that is not one this runner writes."""


def _dumps(value: Any, ascii_only: bool) -> str:
    return json.dumps(value, ensure_ascii=ascii_only)


def outcome_line(outcome: Outcome) -> bytes:
    """The output line of one outcome, as UTF-8 bytes ending in a line feed.
    A lone surrogate (an id or a message may carry one from JSON input)
    cannot be UTF-8: such a line is written with ASCII escapes instead."""
    for ascii_only in (False, True):
        sid = _dumps(outcome.id, ascii_only)
        if outcome.ok and outcome.fetch:
            fetch = outcome.fetch[1:-1]  # '"pages": {...}, "outcomes": [...]' of its JSON object
            line = f'{{"id": {sid}, "result": {outcome.text}, {fetch}}}\n'
        elif outcome.ok:
            line = f'{{"id": {sid}, "result": {outcome.text}}}\n'
        else:
            line = f'{{"id": {sid}, "error": {_dumps(outcome.text, ascii_only)}}}\n'
        try:
            return line.encode("utf-8")
        except UnicodeEncodeError:
            continue
    raise AssertionError("an ASCII-escaped line always encodes")


def _records(path: Path) -> Iterator[tuple[int, int, dict[str, Any] | None]]:
    """(line number, offset after the line, record) for each line of `path`;
    record None for a last line without its line feed."""
    offset = 0
    with open(path, "rb") as f:
        for lineno, raw in enumerate(f, start=1):
            end = offset + len(raw)
            if not raw.endswith(b"\n"):
                yield lineno, offset, None
                return
            offset = end
            if not raw.strip():
                continue
            try:
                record = json.loads(raw)
            except (ValueError, RecursionError):
                raise OutputError(f"{path}: line {lineno} is not a JSON line; not resuming over it") from None
            if not (isinstance(record, dict) and "id" in record and ("result" in record or "error" in record)):
                raise OutputError(f'{path}: line {lineno} is not a result line ({{"id": ..., "result": ...}}); '
                                  "not resuming over it")
            yield lineno, offset, record


def completed_ids(path: Path) -> set[str]:
    """The ids (as `id_key` keys) of the searches in an existing output
    file. A last line cut short is cut off the file, so the run appended next
    starts on a line of its own. An absent file has none, and so has a device
    or a pipe (``--out /dev/stdout``), which is written to, never read."""
    done: set[str] = set()
    if not path.is_file():
        return done
    cut: int | None = None
    for _, offset, record in _records(path):
        if record is None:
            cut = offset
        else:
            done.add(id_key(record["id"]))
    if cut is not None:
        with open(path, "r+b") as f:
            f.truncate(cut)
    return done


class OutputFile:
    """Appends outcome lines to the output file, each flushed as written.

    A regular file is locked while it is open, so a second run on the same
    file (which would skip and then redo the same searches, writing them
    twice) is refused; open it before reading the ids already done."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.file: BinaryIO = open(path, "ab")
        self.written = 0
        self.failed = 0
        if fcntl is not None and path.is_file():
            try:
                fcntl.flock(self.file.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                self.file.close()
                raise OutputError(f"{path}: another run is writing to it") from None

    def write(self, outcome: Outcome) -> None:
        self.file.write(outcome_line(outcome))
        self.file.flush()
        self.written += 1
        self.failed += not outcome.ok

    def close(self) -> None:
        try:
            self.file.flush()
            os.fsync(self.file.fileno())
        except OSError:  # a pipe or a device: nothing to sync
            pass
        finally:
            self.file.close()

    def __enter__(self) -> "OutputFile":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def results_of(path: Path) -> Iterator[tuple[SearchId, dict[str, Any]]]:
    """(id, result) of every successful line of an output file, in file order."""
    for _, _, record in _records(path):
        if record is not None and "result" in record:
            yield record["id"], record["result"]


def _chunks(items: Iterable[Any], size: int) -> Iterator[list[Any]]:
    chunk: list[Any] = []
    for item in items:
        chunk.append(item)
        if len(chunk) == size:
            yield chunk
            chunk = []
    if chunk:
        yield chunk


def write_csv(results_path: Path, csv_path: Path, searches_per_chunk: int = 64) -> int:
    """All items of every result in `results_path` as one CSV: the engine's
    own CSV (its header, columns and number formats) with a first column
    "search_id". Written through the engine's export a chunk of searches at a
    time, so the results are never held whole; the file is replaced only
    once complete. Returns the number of item rows."""
    from ..commerce import CommerceIntelligence, export_commerce_to_csv

    rows = 0
    with tempfile.TemporaryDirectory(prefix="quillmere-csv-") as scratch, \
            replaced_when_complete(csv_path, newline="") as out:
        writer = csv.writer(out, lineterminator="\r\n")
        chunk_path = Path(scratch) / "chunk.csv"
        header_written = False
        empty = CommerceIntelligence()
        for chunk in _chunks(results_of(results_path), searches_per_chunk):
            ids: list[str] = []
            items: list[Any] = []
            for sid, result in chunk:
                got = CommerceIntelligence.model_validate(result).items
                ids += [str(sid)] * len(got)
                items += got
            engine_rows = _engine_rows(export_commerce_to_csv, CommerceIntelligence(items=items), chunk_path)
            if not header_written:
                writer.writerow(["search_id", *engine_rows[0]])
                header_written = True
            for sid, row in zip(ids, engine_rows[1:], strict=True):
                writer.writerow([sid, *row])
            rows += len(ids)
        if not header_written:
            writer.writerow(["search_id", *_engine_rows(export_commerce_to_csv, empty, chunk_path)[0]])
    return rows


def _engine_rows(export: Any, commerce: Any, path: Path) -> list[list[str]]:
    export(commerce, path)
    with open(path, encoding="utf-8", newline="") as f:
        return list(csv.reader(f))
