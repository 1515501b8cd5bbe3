"""One page's transfer: the destination check, the body cap and redirects.

Three kinds of fetcher are served:

* Scrapling's own ``AsyncFetcher`` (the default): its pages go through the
  client's held session (`held_body`, see `_session`), every hop checked and
  sent to the checked address, HTTPS included.
* A stand-in for it that a host or a test binds as the streamed fetcher
  (``_SCRAPLING_FETCHER``), called per hop as Scrapling was.  The body is gathered
  through the library's ``content_callback`` hook, so the library is left an
  empty document and builds no page tree, and the transfer is stopped as soon
  as the body passes the cap.  Redirects are followed here, one hop at a time
  (the library is asked not to follow them), so that every hop goes through the
  destination check.  A plain-HTTP request is sent to the address the check
  resolved, with the host name in the Host header, so no second lookup can
  answer differently.  The library cannot be told the address of an HTTPS
  request (curl needs the name for the TLS handshake and the certificate, and
  the library passes no resolve option through), so for HTTPS the transport
  resolves the name once more itself.
* Any other fetcher a host binds: ``get(url, timeout=...)``, then ``.body``
  (and ``.status`` when the response has one).  The first link is checked;
  the cap applies to the body it returns; redirects and addresses are that
  fetcher's business.

An error status (400 or above) or a bot or challenge wall is not the page:
the transfer raises `PageFailure` with the outcome instead.

The library is asked for a single attempt per request: the engine's fetcher
never retries, and the library's three attempts one second apart would, for a
connection that fails at once, hold a slot of the batch for two more seconds
and send the same request up to three times; a slow page is already cut by
the outer deadline before a retry could start.
"""

from __future__ import annotations

from typing import Any, NamedTuple
from urllib.parse import urljoin

from ..models import FetchOutcome
from ._destination import inspect_destination
from ._outcomes import PageFailure, judge_response

# libcurl's "stop this transfer" answer from a write callback.
CURL_WRITEFUNC_ERROR = 0xFFFFFFFF
# As many hops as the library follows by default.
MAX_REDIRECTS = 30
REDIRECT_STATUSES = frozenset({301, 302, 303, 307, 308})


class Transfer(NamedTuple):
    """A page that was read: its body, the status (None when the fetcher gave
    none) and the link it was read from after redirects."""

    body: bytes | bytearray
    status: int | None
    final_url: str


class BodySink:
    """Collects a body handed over in chunks, refusing it past `cap` bytes."""

    __slots__ = ("buffer", "cap", "overflowed")

    def __init__(self, cap: int | None) -> None:
        self.buffer = bytearray()
        self.cap = cap
        self.overflowed = False

    def write(self, chunk: bytes) -> int:
        if self.cap is not None and len(self.buffer) + len(chunk) > self.cap:
            self.overflowed = True
            self.buffer = bytearray()  # nothing of this page is kept
            return CURL_WRITEFUNC_ERROR
        self.buffer += chunk
        return len(chunk)


def _header(response: Any, wanted: str) -> str | None:
    """The response's header `wanted` (lower case), if it has one."""
    headers = getattr(response, "headers", None)
    if not isinstance(headers, dict):
        return None
    for name, value in headers.items():
        if isinstance(name, str) and name.lower() == wanted and isinstance(value, str):
            return value
    return None


def _location(response: Any) -> str | None:
    return _header(response, "location")


def _too_large(cap: int | None, status: int | None = None, url: str | None = None) -> PageFailure:
    return PageFailure(FetchOutcome.TOO_LARGE, f"over {cap} bytes", status, url)


async def _hop_by_hop(url: str, send: Any, *, refuse: bool, cap: int | None) -> Transfer:
    """Follows `url`'s redirects one hop at a time, each hop checked when
    `refuse` holds. ``send(link, destination or None, sink)`` makes one
    request, its body going to `sink`, and answers (status, Location or
    None, Retry-After or None), or None for no usable response."""
    current = url
    for _ in range(MAX_REDIRECTS + 1):
        destination = await inspect_destination(current) if refuse else None
        sink = BodySink(cap)
        try:
            answer = await send(current, destination, sink)
        except Exception:
            if sink.overflowed:  # the transfer was stopped at the cap
                raise _too_large(cap, url=current) from None
            raise
        if sink.overflowed:
            raise _too_large(cap, url=current)
        if answer is None:
            raise PageFailure(FetchOutcome.FAILED, "no response", final_url=current)
        status, location, retry_after = answer
        if status not in REDIRECT_STATUSES or location is None:
            try:
                judge_response(status, sink.buffer)
            except PageFailure as failure:
                failure.final_url = current
                failure.retry_after = retry_after
                raise
            return Transfer(sink.buffer, status, current)
        current = urljoin(current, location.strip())
        if not current.startswith(("http://", "https://")):
            raise PageFailure(FetchOutcome.NO_LINK, "redirect to a link that is not http(s)", status, current)
    raise PageFailure(FetchOutcome.FAILED, f"more than {MAX_REDIRECTS} redirects", final_url=current)


async def streamed_body(fetcher: Any, url: str, timeout: int, *, refuse: bool, cap: int | None) -> Transfer:
    """The page at `url` through Scrapling's AsyncFetcher, called once per
    hop; PageFailure says why there is none (refused, over the cap, too many
    redirects, an error status, a wall, no usable response)."""

    async def send(current: str, destination: Any, sink: BodySink) -> tuple[Any, str | None, str | None] | None:
        target, headers = current, {}
        if destination is not None and destination.scheme == "http":
            target = destination.pinned(current)
            headers = {"Host": destination.host_header}
        response = await fetcher.get(target, timeout=timeout, content_callback=sink.write,
                                     follow_redirects=False, retries=1, headers=headers)
        if not response:
            return None
        status = getattr(response, "status", None)
        return (status, _location(response) if status in REDIRECT_STATUSES else None,
                _header(response, "retry-after"))

    return await _hop_by_hop(url, send, refuse=refuse, cap=cap)


async def held_body(transport: Any, url: str, timeout: int, *, refuse: bool, cap: int | None) -> Transfer:
    """The page at `url` through the client's held session (see `_session`):
    every hop checked and sent to the address the check chose, over a pooled
    connection made for that address."""

    async def send(current: str, destination: Any, sink: BodySink) -> tuple[int, str | None, str | None]:
        if destination is None:
            return await transport.get(current, timeout, sink.write)
        return await transport.get(current, timeout, sink.write, destination.address, destination.port)

    return await _hop_by_hop(url, send, refuse=refuse, cap=cap)


async def plain_body(fetcher: Any, url: str, timeout: int, *, refuse: bool, cap: int | None) -> Transfer:
    """The page at `url` through any fetcher with the plain contract
    (``get(url, timeout=...)``, then ``.body``, and ``.status`` when it has one)."""
    if refuse:
        await inspect_destination(url)
    response = await fetcher.get(url, timeout=timeout)
    if not response:
        raise PageFailure(FetchOutcome.FAILED, "no response")
    body = getattr(response, "body", None)
    if not isinstance(body, bytes):
        raise PageFailure(FetchOutcome.FAILED, f"body is {type(body).__name__}, not bytes")
    status = getattr(response, "status", None)
    if cap is not None and len(body) > cap:
        raise _too_large(cap, status if isinstance(status, int) else None)
    try:
        judge_response(status, body)
    except PageFailure as failure:
        failure.retry_after = _header(response, "retry-after")
        raise
    return Transfer(body, status, url)


async def page_body(fetcher: Any, url: str, timeout: int, *, streaming: bool, refuse: bool,
                    cap: int | None) -> Transfer:
    """The page at `url` (PageFailure when it is not read); `streaming`
    selects the Scrapling path, which only Scrapling's own AsyncFetcher
    understands."""
    if streaming:
        return await streamed_body(fetcher, url, timeout, refuse=refuse, cap=cap)
    return await plain_body(fetcher, url, timeout, refuse=refuse, cap=cap)


def settings(refuse: object, cap: object) -> tuple[bool, int | None]:
    """The module bindings REFUSE_INTERNAL_DESTINATIONS and MAX_PAGE_BYTES,
    checked (None for MAX_PAGE_BYTES: no cap)."""
    if not isinstance(refuse, bool):
        raise TypeError(f"REFUSE_INTERNAL_DESTINATIONS must be bool, not {type(refuse).__name__}")
    if cap is not None and (not isinstance(cap, int) or isinstance(cap, bool)):
        raise TypeError(f"MAX_PAGE_BYTES must be int or None, not {type(cap).__name__}")
    if cap is not None and cap < 0:
        raise ValueError(f"MAX_PAGE_BYTES must not be negative, not {cap}")
    return refuse, cap
