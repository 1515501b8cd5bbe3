"""Fuzz targets over every public operation of quillmere.

One input is one case: its first byte chooses the operation, the rest are the
operation's text arguments separated by the byte 0x1F. Bytes are decoded as
UTF-8 with ``surrogateescape``, so any invalid byte reaches the engine as a
lone surrogate. A case fails (and the fuzzer saves it) when the operation
crashes the process, runs longer than the fuzzer's time limit, raises an
exception type it does not document, or answers something out of shape.

``run_one(data)`` runs one case without the fuzzer, so the tests replay the
seed corpus through the same checks.
"""

from __future__ import annotations

import csv
import io
import json
import os
import tempfile
from collections.abc import Callable
from pathlib import Path
from typing import Any

SEP = b"\x1f"


class Finding(AssertionError):
    """An answer out of shape: the operation returned, but not what it promises."""


def _texts(payload: bytes, count: int) -> list[str]:
    """`count` texts from the payload (missing ones are empty)."""
    parts = payload.split(SEP, count - 1)
    parts += [b""] * (count - len(parts))
    return [p.decode("utf-8", "surrogateescape") for p in parts]


def _optional(text: str) -> str | None:
    """An empty argument stands for None, so both are tried."""
    return text or None


def _shape(value: object) -> str:
    """A short description of an answer (repr of a deep one may not finish)."""
    return f"{type(value).__name__} of length {len(value)}" if hasattr(value, "__len__") else type(value).__name__


# --------------------------------------------------------------- operations
# Each takes the payload and returns nothing; an exception listed in ALLOWED
# for it is a documented refusal, anything else is a finding.

def _outcome(call: Callable[[], object]) -> object:
    try:
        return call()
    except ValueError as e:  # UnicodeEncodeError included
        return (type(e), e.args)


def _reference_unwrap() -> Callable[[str], str]:
    """The same steps written with urllib.parse (the tests' reference)."""
    import sys
    tests = str(Path(__file__).resolve().parent.parent / "tests")
    if tests not in sys.path:
        sys.path.insert(0, tests)
    from reference import ref_unwrap
    return ref_unwrap


def op_unwrap(payload: bytes) -> None:
    from quillmere.commerce import URLUnwrapper
    (link,) = _texts(payload, 1)
    out = _outcome(lambda: URLUnwrapper.unwrap(link))
    if not isinstance(out, (str, tuple)):
        raise Finding(f"unwrap returned {_shape(out)}")
    # Every reading of the link (the short ways for usual links and queries
    # included) answers and refuses as urllib.parse does.
    want = _outcome(lambda: _reference_unwrap()(link))
    if out != want:
        raise Finding(f"unwrap differs from urllib.parse: {_shape(out)} against {_shape(want)}")


def op_extract_domain(payload: bytes) -> None:
    from quillmere.commerce import URLUnwrapper
    (link,) = _texts(payload, 1)
    out = URLUnwrapper.extract_domain(link)
    if not isinstance(out, str):
        raise Finding(f"extract_domain returned {_shape(out)}")


def op_price(payload: bytes) -> None:
    from quillmere.commerce import PriceNormalizer
    from quillmere.models import NormalizedPrice
    raw, hint = _texts(payload, 2)
    for extended in (False, True):
        out = PriceNormalizer.parse(raw, _optional(hint), **({"extended": True} if extended else {}))
        if out is not None and not isinstance(out, NormalizedPrice):
            raise Finding(f"parse returned {_shape(out)}")


def op_classify(payload: bytes) -> None:
    from quillmere.commerce import MerchantClassifier
    from quillmere.models import MerchantCategory
    domain, title, brand, merchant = _texts(payload, 4)
    out = MerchantClassifier.classify(domain, title, _optional(brand), _optional(merchant))
    if not isinstance(out, MerchantCategory):
        raise Finding(f"classify returned {_shape(out)}")


_METADATA_KEYS = {"title", "merchant_name", "brand", "sku", "price", "stock_status", "condition",
                  "primary_image_url", "shipping_info", "page_type", "match_score", "fetch_source"}


def op_parse_metadata(payload: bytes) -> None:
    from quillmere.commerce import DestinationMetadataParser, PriceNormalizer
    from quillmere.models import PageType
    html, link, title, merchant, price = _texts(payload, 5)
    page = None if html == "\0" else html
    initial = PriceNormalizer.parse(price) if price else None
    stock = (True, False, None)[len(payload) % 3]
    for extended in (False, True):
        more = {"extended": True} if extended else {}
        out = DestinationMetadataParser.parse_metadata(page, link, title, merchant, initial, stock,
                                                       1 + len(title) % 5, **more)
        if not isinstance(out, dict) or not set(out) >= _METADATA_KEYS:
            raise Finding(f"parse_metadata returned {_shape(out)}: {sorted(out) if isinstance(out, dict) else ''}")
        if not isinstance(out["page_type"], PageType):
            raise Finding(f"parse_metadata's page_type is {_shape(out['page_type'])}")
        score = out["match_score"]
        if not isinstance(score, int) or not 0 <= score <= 100:
            raise Finding(f"parse_metadata's match_score is {score!r}")


def op_ld_json(payload: bytes) -> None:
    from quillmere.commerce import DestinationMetadataParser
    (html,) = _texts(payload, 1)
    out = DestinationMetadataParser._find_ld_json_products(html)
    if not isinstance(out, list) or not all(isinstance(p, dict) for p in out):
        raise Finding(f"JSON-LD products: {_shape(out)}")


def op_next_data(payload: bytes) -> None:
    from quillmere.commerce import DestinationMetadataParser
    (html,) = _texts(payload, 1)
    out = DestinationMetadataParser._find_next_data_product(html)
    if out is not None and not isinstance(out, dict):
        raise Finding(f"Next.js product: {_shape(out)}")


def op_meta_tags(payload: bytes) -> None:
    from quillmere.commerce import DestinationMetadataParser
    (html,) = _texts(payload, 1)
    out = DestinationMetadataParser._extract_meta_tags(html)
    if not isinstance(out, dict) or not all(isinstance(k, str) and isinstance(v, str) for k, v in out.items()):
        raise Finding(f"meta tags: {_shape(out)}")


def op_title(payload: bytes) -> None:
    from quillmere.commerce import DestinationMetadataParser
    (html,) = _texts(payload, 1)
    out = DestinationMetadataParser._extract_html_title(html)
    if out is not None and not isinstance(out, str):
        raise Finding(f"title: {_shape(out)}")


class _PageFetcher:
    """Answers every link with the same page body (no network)."""

    def __init__(self, body: bytes) -> None:
        self.body = body

    async def get(self, url: str, timeout: int = 5) -> Any:
        return self

    def __bool__(self) -> bool:
        return True


def op_pipeline_export(payload: bytes) -> None:
    """Two matches through the whole pipeline (pages from a fake fetcher), then
    both exports, read back: every item is in the files and the files are UTF-8."""
    from quillmere import commerce
    from quillmere.commerce import CommerceEnricher, export_commerce_to_csv, export_commerce_to_json
    from quillmere.models import VisualMatch
    parts = payload.split(SEP, 5)
    body = parts[5] if len(parts) == 6 else b""
    title, link, source, price, currency = _texts(SEP.join(parts[:5]), 5)
    matches = [VisualMatch(title=title, link=link, source=_optional(source), price=_optional(price),
                           currency=_optional(currency), in_stock=len(payload) % 2 == 0),
               VisualMatch(title=source, link=link[::-1], price=_optional(currency))]
    # The fake fetcher contacts nothing, so the destination check (which would
    # look the host names up) is switched off for the call.
    refuse = commerce.REFUSE_INTERNAL_DESTINATIONS
    commerce.REFUSE_INTERNAL_DESTINATIONS = False
    try:
        result = CommerceEnricher.process(matches, fetcher=_PageFetcher(body))
    finally:
        commerce.REFUSE_INTERNAL_DESTINATIONS = refuse
    if len(result.items) != len(matches):
        raise Finding(f"{len(result.items)} items for {len(matches)} matches")
    with tempfile.TemporaryDirectory(dir=_SCRATCH) as scratch:
        csv_path = export_commerce_to_csv(result, Path(scratch, "out.csv"))
        json_path = export_commerce_to_json(result, Path(scratch, "out.json"))
        try:
            csv_text = csv_path.read_bytes().decode("utf-8")
            json_text = json_path.read_bytes().decode("utf-8")
        except UnicodeDecodeError as exc:
            raise Finding(f"an export is not UTF-8: {exc}") from None
        rows = list(csv.reader(io.StringIO(csv_text, newline="")))
        if len(rows) != 1 + len(matches) or any(len(r) != len(rows[0]) for r in rows):
            raise Finding(f"the CSV has {len(rows)} rows of widths {[len(r) for r in rows]} for {len(matches)} items")
        if len(json.loads(json_text).get("items", [])) != len(matches):
            raise Finding("the JSON lost items")
        left = sorted(os.listdir(scratch))
        if left != ["out.csv", "out.json"]:
            raise Finding(f"the exports left {left}")


# Operation, and the exception types it documents for text arguments: links
# that cannot be split are refused with ValueError, as urllib.parse does.
OPERATIONS: list[tuple[Callable[[bytes], None], tuple[type[BaseException], ...]]] = [
    (op_unwrap, (ValueError,)),
    (op_extract_domain, (ValueError,)),
    (op_price, ()),
    (op_classify, ()),
    (op_parse_metadata, (ValueError,)),
    (op_ld_json, ()),
    (op_next_data, ()),
    (op_meta_tags, ()),
    (op_title, ()),
    (op_pipeline_export, ()),
]
OPERATION_INDEX = {fn.__name__: i for i, (fn, _) in enumerate(OPERATIONS)}

_SCRATCH = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None


def case(operation: str, *texts: str | bytes) -> bytes:
    """The input that runs `operation` on `texts` (used by the seed generator)."""
    parts = [t if isinstance(t, bytes) else t.encode("utf-8", "surrogatepass") for t in texts]
    return bytes([OPERATION_INDEX[operation]]) + SEP.join(parts)


def run_one(data: bytes) -> None:
    """Runs one case; raises on a finding, returns on a pass or a documented refusal."""
    if not data:
        return
    operation, allowed = OPERATIONS[data[0] % len(OPERATIONS)]
    try:
        operation(data[1:])
    except allowed:
        pass
