"""The batch runner's input: searches read from JSON Lines or given to the
API, their ids checked, their matches turned into VisualMatch records."""

from __future__ import annotations

import json
from collections.abc import AsyncIterable, AsyncIterator, Iterable, Iterator, Mapping
from typing import Any, NamedTuple, Union

from .._json_kind import json_kind as _json_kind

SearchId = Union[str, int]


class BatchInputError(ValueError):
    """The input as a whole cannot be used: a line that is not a search
    object, an id of the wrong kind, an id that repeats an earlier one."""


class SearchError(Exception):
    """The outcome of a search that failed; ``str()`` is its message."""


class Search(NamedTuple):
    """One search: its id, where it was read (for messages) and its matches
    as given (checked only when the search is run)."""

    id: SearchId
    where: str
    matches: Any


class Outcome(NamedTuple):
    """What running one search gave, in a form that crosses processes:
    ``ok`` with the result's JSON text, or not ``ok`` with the error message;
    ``pages`` counts the pages requested for it; ``fetch`` is the JSON text
    of its page report (``{"pages": {...}, "outcomes": [...]}``, empty for a
    search that failed) and ``page_counts`` its matches by page outcome."""

    id: SearchId
    ok: bool
    text: str
    pages: int = 0
    fetch: str = ""
    page_counts: tuple[tuple[str, int], ...] = ()

    def page_report(self) -> dict[str, Any] | None:
        """The search's page counts and per-match outcomes, None for a search that failed."""
        return json.loads(self.fetch) if self.fetch else None

    def value(self) -> dict[str, Any] | SearchError:
        return json.loads(self.text) if self.ok else SearchError(self.text)


def id_key(value: SearchId) -> str:
    """The id as a key that tells 3 and "3" apart."""
    return json.dumps(value, ensure_ascii=False)



# ------------------------------------------------------------------ input
class _Missing:
    """Marks a search without "matches"; one object in every process."""

    def __reduce__(self) -> str:
        return "_MISSING"

    def __repr__(self) -> str:
        return "<missing>"


_MISSING = _Missing()


class _Response(NamedTuple):
    """A search given as a raw image-search response (read by
    `quillmere.responses` when the search is run)."""

    data: Any
    exact_matches: bool = True


def _search_of(record: object, default_id: int, where: str, prefix: str, exact_matches: bool = True) -> Search:
    from ..responses import is_response, response_search_id

    if not isinstance(record, dict):
        raise BatchInputError(f'{prefix}{where}: expected a search object {{"id": ..., "matches": [...]}}, '
                              f"found {_json_kind(record)}")
    # "matches", where given, are the search's (another key is ignored, as ever).
    response = (_MISSING if "matches" in record else record["response"] if "response" in record
                else record if is_response(record) else _MISSING)
    if response is not _MISSING and not isinstance(response, (dict, list)):
        raise BatchInputError(f'{prefix}{where}: "response" must be an object or an array, not {_json_kind(response)}')
    sid = record.get("id")
    if sid is None and response is not _MISSING:
        sid = response_search_id(response)  # the response's own search id
        if sid is not None and (isinstance(sid, bool) or not isinstance(sid, (str, int))):
            raise BatchInputError(f'{prefix}{where}: the response\'s "search_metadata.id" must be a string or an '
                                  f"integer, not {_json_kind(sid)}")
    if sid is None:
        sid = default_id
    elif isinstance(sid, bool) or not isinstance(sid, (str, int)):
        raise BatchInputError(f'{prefix}{where}: "id" must be a string or an integer, not {_json_kind(sid)}')
    if response is not _MISSING:
        return Search(sid, where, _Response(response, exact_matches))
    return Search(sid, where, record.get("matches", _MISSING))


class _UniqueIds:
    """Refuses a repeated id, naming where it was first seen. Only the
    position of each id is kept (for millions of searches, a few dozen bytes
    each)."""

    def __init__(self, prefix: str, noun: str) -> None:
        self.prefix = prefix
        self.noun = noun
        self.first: dict[str, int] = {}

    def check(self, search: Search, position: int) -> Search:
        key = id_key(search.id)
        earlier = self.first.setdefault(key, position)
        if earlier != position:
            raise BatchInputError(f"{self.prefix}{self.noun} {position}: id {key} repeats {self.noun} {earlier}")
        return search


def read_searches(lines: Iterable[str | bytes], name: str = "", *, exact_matches: bool = True) -> Iterator[Search]:
    """The searches of a JSON Lines text, read lazily, one object a line:
    ``{"id": ..., "matches": [...]}``, ``{"id": ..., "response": {...}}`` or
    a raw image-search response (`exact_matches` false: without its
    "exact_matches"). A line without an id (or with a null one) takes its
    response's ``search_metadata.id``, else its line number; blank lines are
    skipped. A line that is not
    such an object, or whose id repeats an earlier line's, raises
    `BatchInputError` naming the file (`name`) and the line(s)."""
    prefix = f"{name}: " if name else ""
    unique = _UniqueIds(prefix, "line")
    for lineno, line in enumerate(lines, start=1):
        if isinstance(line, bytes):
            try:
                line = line.decode("utf-8-sig" if lineno == 1 else "utf-8")
            except UnicodeDecodeError as err:
                raise BatchInputError(f"{prefix}line {lineno}: not UTF-8 text (at byte {err.start})") from None
        elif lineno == 1:
            line = line.removeprefix("\ufeff")
        if not line.strip():
            continue
        where = f"line {lineno}"
        try:
            record = json.loads(line)
        except json.JSONDecodeError as err:
            raise BatchInputError(f"{prefix}{where}: invalid JSON at column {err.colno}: {err.msg}") from None
        except RecursionError:
            raise BatchInputError(f"{prefix}{where}: JSON nested too deeply") from None
        except ValueError as err:  # a number past the interpreter's digit limit, say
            raise BatchInputError(f"{prefix}{where}: unreadable JSON: {str(err).split(':')[0]}") from None
        yield unique.check(_search_of(record, lineno, where, prefix, exact_matches), lineno)


def _api_search(item: Any, position: int) -> Search:
    where = f"search {position}"
    if isinstance(item, Search):
        return item
    if isinstance(item, Mapping):
        return _search_of(dict(item), position, where, "")
    if isinstance(item, tuple) and len(item) == 2:
        return _search_of({"id": item[0], "matches": item[1]}, position, where, "")
    raise BatchInputError(f"{where}: expected a mapping with \"matches\" or an (id, matches) pair, "
                          f"not {type(item).__name__}")


def _as_searches(searches: Iterable[Any]) -> Iterator[Search]:
    """The API's searches: `Search` values, mappings with "id" and "matches",
    or (id, matches) pairs; one without an id takes its position from 1."""
    unique = _UniqueIds("", "search")
    for position, item in enumerate(searches, start=1):
        yield unique.check(_api_search(item, position), position)


async def _as_searches_async(searches: AsyncIterable[Any]) -> AsyncIterator[Search]:
    """The same for an asynchronous iterable."""
    unique = _UniqueIds("", "search")
    position = 0
    async for item in searches:
        position += 1
        yield unique.check(_api_search(item, position), position)


def _visual_matches(raw: Any) -> list[Any]:
    """The search's matches as VisualMatch records, checked as ``quillmere
    enrich`` checks its input; `SearchError` names the first bad match."""
    from ..models import VisualMatch
    from ..responses import ResponseError, match_fields, matches_from_response

    if raw is _MISSING:
        raise SearchError('the search has no "matches"')
    if isinstance(raw, _Response):
        try:
            return matches_from_response(raw.data, exact_matches=raw.exact_matches)
        except ResponseError as err:
            raise SearchError(f"response: {err}") from None
    if not isinstance(raw, list):
        raise SearchError(f'"matches" must be an array of match objects, not {_json_kind(raw)}')
    matches = []
    for number, match in enumerate(raw, start=1):
        if isinstance(match, VisualMatch):
            matches.append(match)
            continue
        try:
            fields = match_fields(match)
        except ResponseError as err:
            raise SearchError(f"match {number}: {err.problem}") from None
        matches.append(VisualMatch(**fields))
    return matches
