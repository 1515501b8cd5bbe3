"""Visual matches from an image-search response, in the shapes it comes in.

`matches_from_response` turns any input that ``quillmere enrich`` reads into
a list of `VisualMatch` records::

    from quillmere.responses import ResponseError, matches_from_response

    matches = matches_from_response(response)          # parsed JSON, or its text
    matches = matches_from_response(path.read_bytes(), exact_matches=False)

The shapes are told apart by their keys:

- a list of match objects (or their JSON Lines text, or an object whose
  ``"matches"`` holds the list), each with the fields ``link``, ``title``,
  ``source``, ``price``, ``currency``, ``in_stock``, ``thumbnail``;
- an image-search response with ``"visual_matches"`` (and ``"exact_matches"``,
  read after them unless ``exact_matches=False``), whose items carry the same
  fields, a ``position`` that orders them, and a price that may be an object
  ``{"value": "$260*", "extracted_value": 260, "currency": "$"}``;
- a Cloud Vision web-detection response: ``{"responses": [{"webDetection":
  {...}}]}``, ``{"webDetection": {...}}`` or the bare ``webDetection`` object,
  whose ``pagesWithMatchingImages`` give the matches (``url`` the link,
  ``pageTitle`` the title with its markup stripped, the first of
  ``fullMatchingImages`` / ``partialMatchingImages`` the thumbnail).

A price may also be a number (the amount, in the ``currency`` given or the
default one). Keys of no use here are ignored. A problem raises
`ResponseError`, one line naming the record (and its line, for a text) and
the problem.
"""

from __future__ import annotations

import html
import json
import math
import re
import sys
from decimal import Decimal
from typing import TYPE_CHECKING, Any, Union

from ._json_kind import json_kind

if TYPE_CHECKING:
    from .models import VisualMatch

__all__ = ["SHAPES", "Input", "ResponseError", "is_response", "labelled_matches", "labelled_records", "match_fields",
           "matches_from_response", "response_search_id", "strip_markup"]

#: Every shape read, for the message about an input that is none of them.
SHAPES = ('a JSON array of matches, JSON Lines of matches, an object with "matches", a response with '
          '"visual_matches" or "exact_matches", or a Cloud Vision response with "responses", "webDetection" '
          'or "pagesWithMatchingImages"')

#: What `matches_from_response` takes: a text (JSON, JSON Lines) or its parsed JSON.
Input = Union[str, bytes, bytearray, "list[Any]", "dict[str, Any]"]


class ResponseError(ValueError):
    """An input that cannot be read: `where` names the record ("" for the
    input as a whole), `problem` says what is wrong; ``str()`` is
    "WHERE: PROBLEM" (or the problem alone)."""

    def __init__(self, problem: str, where: str = "") -> None:
        super().__init__(f"{where}: {problem}" if where else problem)
        self.where = where
        self.problem = problem


# ------------------------------------------------------------------ fields
# Field name -> (accepted Python types, wording for messages); every field may
# be null but the link (a null title reads as "").
_FIELDS: dict[str, tuple[tuple[type, ...], str]] = {
    "link": ((str,), "a string"),
    "title": ((str,), "a string or null"),
    "source": ((str,), "a string or null"),
    "price": ((str,), "a string, a number, a price object or null"),
    "currency": ((str,), "a string or null"),
    "in_stock": ((bool,), "true, false or null"),
    "thumbnail": ((str,), "a string or null"),
}
_MATCH_KEYS = frozenset(_FIELDS)


def excerpt(value: object, limit: int = 40) -> str:
    """`value` as JSON, cut to `limit` characters with an ellipsis (a text
    is cut before it is written out, so a huge one costs nothing)."""
    if isinstance(value, str):
        value = value[: limit + 1]
    try:
        text = json.dumps(value, ensure_ascii=False)
    except (RecursionError, ValueError):
        return json_kind(value)
    return text if len(text) <= limit else text[: limit - 1] + "…"


def _amount_text(value: object, field: str) -> str:
    """A JSON number as a price text that the engine reads as that amount:
    written out in full (no exponent, which no price reading takes), to the
    cent the engine keeps anyway (so that no reading takes "12.345" for
    twelve thousand), in the shortest digits that give the same float."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError
    if isinstance(value, int):
        if value < 0 or value > sys.float_info.max:
            raise ResponseError(f'"{field}" must be a finite, non-negative number, not {excerpt(value)}')
        return str(value)
    if not math.isfinite(value) or value < 0:
        raise ResponseError(f'"{field}" must be a finite, non-negative number, not {excerpt(value)}')
    return format(Decimal(repr(round(value, 2) or 0.0)), "f")  # -0.0 as 0.0


def _names_currency(text: str) -> bool:
    """Whether the engine's price reading finds a currency in `text` itself
    (so that a currency hint would not be used for it)."""
    from ._commerce import price_parse

    probe = "XXX"  # no currency's sign or code: a hint that is taken as written
    price = price_parse(text, probe)
    return price is not None and price.currency != probe


def _price_object(price: dict[str, Any]) -> tuple[str | None, str | None]:
    """The price text and currency hint of a price object: its shown
    `value`, or else its `extracted_value` written out; its `currency` where
    that text names none."""
    value = price.get("value")
    if value is not None and not isinstance(value, str):
        raise ResponseError(f'"price.value" must be a string or null, not {excerpt(value)}')
    amount = price.get("extracted_value")
    if amount is not None:
        try:
            amount_text: str | None = _amount_text(amount, "price.extracted_value")
        except ValueError as err:
            if isinstance(err, ResponseError):
                raise
            raise ResponseError(f'"price.extracted_value" must be a number or null, not {excerpt(amount)}') from None
    else:
        amount_text = None
    currency = price.get("currency")
    if currency is not None and not isinstance(currency, str):
        raise ResponseError(f'"price.currency" must be a string or null, not {excerpt(currency)}')
    text = value if value is not None and value.strip() else amount_text
    if text is None:
        return None, None
    if currency is not None and not currency.strip():
        currency = None
    if currency is not None and text is value and _names_currency(text):
        currency = None
    return text, currency


def match_fields(record: object) -> dict[str, Any]:
    """The visual-match fields of one record, type-checked, for
    ``VisualMatch(**fields)``; other keys are ignored. A numeric price becomes
    its amount written out, a price object its shown text (and its currency,
    where the record gives none and the text names none)."""
    if not isinstance(record, dict):
        raise ResponseError(f"expected a match object, found {json_kind(record)}")
    if record.get("link") is None:
        raise ResponseError('the match has no "link"')
    fields: dict[str, Any] = {}
    hint: str | None = None
    for field, (types, wording) in _FIELDS.items():
        if field not in record:
            continue
        value = record[field]
        if value is None:  # not the link: it was checked above
            fields[field] = "" if field == "title" else None
        elif isinstance(value, types) and not (bool not in types and isinstance(value, bool)):
            fields[field] = value
        elif field == "price" and isinstance(value, dict):
            fields["price"], hint = _price_object(value)
        elif field == "price" and isinstance(value, (int, float)) and not isinstance(value, bool):
            fields["price"] = _amount_text(value, "price")
        else:
            raise ResponseError(f'"{field}" must be {wording}, not {excerpt(value)}')
    if not fields["link"].strip():
        raise ResponseError('the match\'s "link" is empty')
    if hint is not None and fields.get("currency") is None:
        fields["currency"] = hint
    return fields


# ------------------------------------------------------------------ markup
def strip_markup(text: str) -> str:
    """`text` without its HTML tags (``<b>``, ``</b>``, ``<br/>``...) and with
    its character references decoded, trimmed. A "<" that opens no tag (not
    followed by a letter, "/", "!" or "?", or never closed) is kept. One pass,
    in time linear in the text."""
    parts: list[str] = []
    pos, n = 0, len(text)
    while True:
        lt = text.find("<", pos)
        if lt < 0 or lt + 1 >= n:
            break
        after = text[lt + 1]
        if not (after.isascii() and (after.isalpha() or after in "/!?")):
            parts.append(text[pos: lt + 1])
            pos = lt + 1
            continue
        gt = text.find(">", lt + 2)
        if gt < 0:
            break  # never closed: the rest is text
        parts.append(text[pos:lt])
        pos = gt + 1
    parts.append(text[pos:])
    return html.unescape("".join(parts)).strip()


# ------------------------------------------------------------------ places
_JSON_WS = re.compile(r"[ \t\n\r]*")


def _skip_ws(text: str, pos: int) -> int:
    return _JSON_WS.match(text, pos).end()  # type: ignore[union-attr]  # the pattern matches anywhere


class _Places:
    """Where values start in a valid JSON text, and on which line, for the
    labels of records. Each lookup walks only the value it is asked about, so
    the few levels that are looked into cost a few passes over the text."""

    def __init__(self, text: str) -> None:
        self.text = text
        self.decoder = json.JSONDecoder()
        self.pos, self.line = 0, 1

    def line_at(self, pos: int) -> int:
        if pos >= self.pos:
            self.line += self.text.count("\n", self.pos, pos)
        else:
            self.line -= self.text.count("\n", pos, self.pos)
        self.pos = pos
        return self.line

    def elements(self, open_at: int) -> list[int]:
        """Where each element of the array opening at `open_at` starts."""
        text, pos = self.text, _skip_ws(self.text, open_at + 1)
        starts: list[int] = []
        if text[pos] != "]":
            while True:
                starts.append(pos)
                _, pos = self.decoder.raw_decode(text, pos)
                pos = _skip_ws(text, pos)
                if text[pos] != ",":
                    break
                pos = _skip_ws(text, pos + 1)
        return starts

    def member(self, open_at: int, key: str) -> int:
        """Where the value of `key` starts in the object opening at `open_at`
        (its last occurrence, the one json.loads keeps)."""
        text, decoder = self.text, self.decoder
        pos = _skip_ws(text, open_at + 1)
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


class _Node:
    """A parsed value with, for a text, where it starts (for labels)."""

    __slots__ = ("value", "at", "places")

    def __init__(self, value: Any, at: int, places: _Places | None) -> None:
        self.value, self.at, self.places = value, at, places

    def member(self, key: str) -> "_Node":
        at = self.places.member(self.at, key) if self.places is not None else -1
        return _Node(self.value[key], at, self.places)

    def elements(self) -> list[tuple[int, "_Node"]]:
        """(number from 1, element) for each element of this list."""
        values = self.value
        if self.places is None:
            return [(i, _Node(v, -1, None)) for i, v in enumerate(values, start=1)]
        starts = self.places.elements(self.at)
        return [(i, _Node(v, at, self.places)) for i, (at, v) in enumerate(zip(starts, values), start=1)]

    def label(self, noun: str) -> str:
        return noun if self.places is None else f"{noun} (line {self.places.line_at(self.at)})"


# ------------------------------------------------------------------ shapes
_LENS_KEYS = ("visual_matches", "exact_matches")
_VISION_KEYS = ("responses", "webDetection", "pagesWithMatchingImages", "fullMatchingImages",
                "partialMatchingImages", "visuallySimilarImages", "webEntities", "bestGuessLabels")
Records = list[tuple[str, object]]


def _list_of(node: _Node, key: str, what: str = "match objects") -> _Node:
    member = node.member(key)
    if not isinstance(member.value, list):
        raise ResponseError(f'"{key}" must be a list of {what}, found {json_kind(member.value)}')
    return member


def _position(item: object, label: str) -> float | None:
    if not isinstance(item, dict) or item.get("position") is None:
        return None
    value = item["position"]
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise ResponseError(f'"position" must be a number, not {excerpt(value)}', label)
    return float(value) if isinstance(value, float) else value


def _lens_records(node: _Node, exact_matches: bool) -> Records:
    """The items of "visual_matches", then those of "exact_matches", each
    list in the order of its items' positions when every item has one."""
    records: Records = []
    for key, noun in (("visual_matches", "visual match"), ("exact_matches", "exact match")):
        if key not in node.value or (key == "exact_matches" and not exact_matches):
            continue
        items = [(item.label(f"{noun} {i}"), item.value) for i, item in _list_of(node, key).elements()]
        positions = [_position(value, label) for label, value in items]
        if items and all(p is not None for p in positions):
            order = sorted(range(len(items)), key=lambda k: positions[k])  # type: ignore[arg-type,return-value]
            items = [items[k] for k in order]
        records.extend(items)
    return records


def _image_url(page: dict[str, Any], label: str) -> str | None:
    for key in ("fullMatchingImages", "partialMatchingImages"):
        images = page.get(key)
        if images is None:
            continue
        if not isinstance(images, list):
            raise ResponseError(f'"{key}" must be a list of image objects, not {excerpt(images)}', label)
        if not images:
            continue
        first = images[0]
        if not isinstance(first, dict):
            raise ResponseError(f'"{key}" must be a list of image objects, found {json_kind(first)} in it', label)
        url = first.get("url")
        if url is not None and not isinstance(url, str):
            raise ResponseError(f'"{key}[0].url" must be a string, not {excerpt(url)}', label)
        if url:
            return url
    return None


def _page_match(page: object, label: str) -> dict[str, Any]:
    """A matching page of a web detection as a match object."""
    if not isinstance(page, dict):
        raise ResponseError(f"expected a page object, found {json_kind(page)}", label)
    url = page.get("url")
    if url is None:
        raise ResponseError('the page has no "url"', label)
    if not isinstance(url, str):
        raise ResponseError(f'"url" must be a string, not {excerpt(url)}', label)
    title = page.get("pageTitle")
    if title is not None and not isinstance(title, str):
        raise ResponseError(f'"pageTitle" must be a string or null, not {excerpt(title)}', label)
    match: dict[str, Any] = {"link": url, "title": strip_markup(title) if title else ""}
    thumbnail = _image_url(page, label)
    if thumbnail is not None:
        match["thumbnail"] = thumbnail
    return match


def _detection_records(node: _Node, prefix: str = "", owner: str = "") -> Records:
    """The matching pages of one webDetection object; `prefix` starts their
    labels, `owner` labels the response it belongs to."""
    if not isinstance(node.value, dict):
        raise ResponseError(f'"webDetection" must be an object, found {json_kind(node.value)}', owner)
    if node.value.get("pagesWithMatchingImages") is None:
        return []
    try:
        pages = _list_of(node, "pagesWithMatchingImages", "page objects")
    except ResponseError as err:
        raise ResponseError(err.problem, owner) from None
    records: Records = []
    for i, page in pages.elements():
        label = page.label(f"{prefix}, matching page {i}" if prefix else f"matching page {i}")
        records.append((label, _page_match(page.value, label)))
    return records


def _vision_records(node: _Node) -> Records:
    whole = node.value
    if "responses" in whole:
        records: Records = []
        for i, response in _list_of(node, "responses", "response objects").elements():
            where = f"response {i}"
            if not isinstance(response.value, dict):
                raise ResponseError(f"expected a response object, found {json_kind(response.value)}",
                                    response.label(where))
            error = response.value.get("error")
            if error is not None:
                message = error.get("message") if isinstance(error, dict) else None
                raise ResponseError("the response reports an error"
                                    + (f": {excerpt(message, 200)}" if isinstance(message, str) else ""),
                                    response.label(where))
            if "webDetection" in response.value:
                records.extend(_detection_records(response.member("webDetection"), where, response.label(where)))
        return records
    if "webDetection" in whole:
        return _detection_records(node.member("webDetection"))
    return _detection_records(node)


def _object_records(node: _Node, exact_matches: bool) -> Records | None:
    """The records of an object that is a whole response (one without a
    "link" of its own), or None for one match object."""
    whole = node.value
    if "link" in whole:
        return None
    if "matches" in whole:
        matches = _list_of(node, "matches")
        return [(item.label(f"record {i}"), item.value) for i, item in matches.elements()]
    if any(key in whole for key in _LENS_KEYS):
        return _lens_records(node, exact_matches)
    if any(key in whole for key in _VISION_KEYS):
        return _vision_records(node)
    if not _MATCH_KEYS.intersection(whole):
        raise ResponseError(f"found an object with no key of a match or a response, not one of the inputs "
                            f"read: {SHAPES}")
    return None


def response_search_id(data: object) -> object:
    """The response's own search id (``search_metadata.id``), or None."""
    if isinstance(data, dict):
        meta = data.get("search_metadata")
        if isinstance(meta, dict):
            return meta.get("id")
    return None


def is_response(data: object) -> bool:
    """Whether `data` is a response object of one of the shapes (not one
    match, not an object with "matches")."""
    return (isinstance(data, dict) and "link" not in data and "matches" not in data
            and any(key in data for key in _LENS_KEYS + _VISION_KEYS))


# ------------------------------------------------------------------ text
def _loads(text: str, where: str = "") -> object:
    try:
        return json.loads(text)
    except json.JSONDecodeError as err:
        at = f"column {err.colno}" if where else f"line {err.lineno}, column {err.colno}"
        raise ResponseError(f"invalid JSON at {at}: {err.msg}", where) from None
    except RecursionError:
        raise ResponseError("JSON nested too deeply", where) from None
    except ValueError as err:  # a number past the interpreter's digit limit, say
        raise ResponseError(f"unreadable JSON: {str(err).split(':')[0]}", where) from None


def _line_records(text: str) -> Records:
    """Records of a JSON Lines text, labelled "line L"; blank lines are skipped."""
    records: Records = []
    for lineno, line in enumerate(text.split("\n"), start=1):
        if not line.strip():
            continue
        # Parsed as written (leading white space is valid JSON), so columns
        # are those of the file.
        records.append((f"line {lineno}", _loads(line, f"line {lineno}")))
    return records


def _text_records(text: str, exact_matches: bool) -> Records:
    body = text.lstrip()
    if not body:
        raise ResponseError("the file is empty (expected a JSON array of matches or JSON Lines)")
    start = len(text) - len(body)
    if body.startswith("["):
        data = _loads(text)
        assert isinstance(data, list)
        node = _Node(data, start, _Places(text))
        return [(item.label(f"record {i}"), item.value) for i, item in node.elements()]
    if body.startswith("{"):
        try:
            whole: object = _loads(text)
        except ResponseError:
            whole = None
        if isinstance(whole, dict):
            found = _object_records(_Node(whole, start, _Places(text)), exact_matches)
            if found is not None:
                return found
        try:
            return _line_records(text)
        except ResponseError:
            # Not JSON Lines; perhaps one object written over several lines.
            if whole is None:
                raise
            return [(f"record 1 (line {text.count(chr(10), 0, start) + 1})", whole)]
    data = _loads(text)
    raise ResponseError(f"found {json_kind(data)}, not one of the inputs read: {SHAPES}")


def labelled_records(data: Input, *, exact_matches: bool = True) -> Records:
    """The match records of an input, each with its label ("record 3 (line
    14)", "visual match 2", ...), the fields not yet checked (see
    `match_fields`); a page of a web detection comes as its match object.
    `data` is a text (str, or UTF-8 bytes) or its parsed JSON."""
    if isinstance(data, (bytes, bytearray)):
        try:
            data = bytes(data).decode("utf-8-sig")
        except UnicodeDecodeError as err:
            raise ResponseError(f"not UTF-8 text (byte 0x{data[err.start]:02x} at offset {err.start})") from None
    if isinstance(data, str):
        return _text_records(data, exact_matches)
    if isinstance(data, list):
        return [(f"record {i}", value) for i, value in enumerate(data, start=1)]
    if isinstance(data, dict):
        found = _object_records(_Node(data, -1, None), exact_matches)
        return [("record 1", data)] if found is None else found
    raise ResponseError(f"expected a response, its text or a list of matches, not {type(data).__name__}")


def labelled_matches(data: Input, *, exact_matches: bool = True) -> list[tuple[str, "VisualMatch"]]:
    """`labelled_records` with each record checked and made a VisualMatch."""
    from .models import VisualMatch

    out = []
    for where, record in labelled_records(data, exact_matches=exact_matches):
        if isinstance(record, VisualMatch):
            out.append((where, record))
            continue
        try:
            out.append((where, VisualMatch(**match_fields(record))))
        except ResponseError as err:
            raise ResponseError(err.problem, where) from None
    return out


def matches_from_response(data: Input, *, exact_matches: bool = True) -> list["VisualMatch"]:
    """The visual matches of an image-search response, in any shape
    ``quillmere enrich`` reads (see the module's documentation): parsed JSON
    (a dict or a list) or its text (str, or UTF-8 bytes, also JSON Lines).
    With `exact_matches` false a response's "exact_matches" are left out.
    Raises `ResponseError` naming the record and the problem."""
    return [match for _, match in labelled_matches(data, exact_matches=exact_matches)]
