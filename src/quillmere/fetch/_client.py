"""What outlives one call: the object a service holds for its lifetime.

A `PageClient` holds what several enrichment calls on one event loop share:
the bound on the requests in flight and the way pages are requested: when
the bound fetcher is Scrapling's own, one pooled curl session (see
`_session`), made at the client's first page on a loop, whose connections
every call that uses the client shares. A service makes one, uses it from many concurrent calls and closes it at the
end (``async with PageClient() as client: ...``), as with an HTTP client;
the one-shot entries (`CommerceEnricher.process`, `process_async`,
`enrich_matches_deep_async`, one ``quillmere enrich``) make a short-lived
one for their call and close it when they end.

The client of a call reaches the page fetch through a context variable
(`using`), so a host's own `fetch_one` and `fetch_many`, written with the
signatures they have always had, keep working: a `fetch_one` that does its
own fetching simply does not use the client.
"""

from __future__ import annotations

import asyncio
import time
from collections.abc import Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from typing import TYPE_CHECKING, Any

from ..models import FetchOutcome, PageOutcome
from . import _session, _transfer
from ._outcomes import PageFailure, failure_of, outcome

if TYPE_CHECKING:
    from ._pages import Bindings


class PageClient:
    """Shared fetching state for many calls on one event loop.

    `max_in_flight` bounds the requests in flight of every call that uses this
    client and names no semaphore of its own (None: the engine's default,
    4 per processor, at most 32).
    """

    def __init__(self, *, max_in_flight: int | None = None) -> None:
        if max_in_flight is not None and (isinstance(max_in_flight, bool) or not isinstance(max_in_flight, int)):
            raise TypeError(f"max_in_flight must be int or None, not {type(max_in_flight).__name__}")
        if max_in_flight is not None and max_in_flight < 1:
            raise ValueError(f"max_in_flight must be at least 1, not {max_in_flight}")
        self._max_in_flight = max_in_flight
        self._semaphore: asyncio.Semaphore | None = None
        self._bound: int | None = max_in_flight
        self._transport: _session.Transport | None = None
        self._closed = False

    # ------------------------------------------------------------ lifetime
    async def __aenter__(self) -> "PageClient":
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        """Releases what the client holds (its session and connections); a
        closed client fetches nothing more."""
        self._closed = True
        await self.release_transport()

    async def release_transport(self) -> None:
        """Closes the session and its connections if they were made on the
        running loop (the client stays usable; its next page makes a new
        session). A session of a loop that has ended is dropped: its
        connections went with that loop."""
        transport, self._transport = self._transport, None
        if transport is not None and transport.loop is asyncio.get_running_loop():
            await transport.aclose()

    def transport(self) -> _session.Transport:
        """The session of the running loop, made at first use."""
        loop = asyncio.get_running_loop()
        transport = self._transport
        if transport is None or transport.loop is not loop:
            # The pool never holds back a call's own bound (up to the
            # default one) while its requests wait for a curl handle.
            from ._pages import default_bound

            transport = self._transport = _session.Transport(max(self._bound or 0, default_bound()))
        return transport

    @property
    def closed(self) -> bool:
        return self._closed

    # ------------------------------------------------------------ the bound
    def semaphore(self, default_size: int) -> asyncio.Semaphore:
        """The client's bound on requests in flight, made at first use."""
        if self._semaphore is None:
            self._bound = self._max_in_flight or default_size
            self._semaphore = asyncio.Semaphore(self._bound)
        return self._semaphore

    # ------------------------------------------------------------ one page
    async def fetch(self, url: str, sem: Any, timeout: int, *, fetcher: Any,
                    bindings: "Bindings") -> tuple[str | None, PageOutcome]:
        """(page text or None, outcome) for an http(s) link through `fetcher`;
        `sem` bounds the requests in flight."""
        if self._closed:
            raise RuntimeError("the PageClient is closed")
        async with sem:
            start = time.perf_counter()
            try:
                async with asyncio.timeout(timeout + 1):
                    got = await self._attempt(url, timeout, fetcher=fetcher, bindings=bindings)
                text = got.body.decode("utf-8", "replace")
            except Exception as err:
                # Any ordinary failure of this one page: refused, unreachable,
                # timed out, over the cap, an error status, a wall, an odd
                # response object. Cancellation is a BaseException and goes through.
                kind, detail = failure_of(err)
                status = final = None
                if isinstance(err, PageFailure):
                    status, final = err.status, err.final_url
                sent = 0 if kind in (FetchOutcome.REFUSED, FetchOutcome.NO_LINK) and final is None else 1
                return None, outcome(kind, url, detail=detail, status=status, final_url=final,
                                     seconds=time.perf_counter() - start, attempts=sent)
            return text, outcome(FetchOutcome.READ, url, status=got.status, final_url=got.final_url,
                                 size=len(got.body), seconds=time.perf_counter() - start)

    async def _attempt(self, url: str, timeout: int, *, fetcher: Any, bindings: "Bindings") -> _transfer.Transfer:
        """One request for `url` (with its redirects); PageFailure or the
        transport's error when the page is not read. Scrapling's own fetcher
        is served by the client's held session."""
        if _session.held(fetcher):
            return await _transfer.held_body(self.transport(), url, timeout, refuse=bindings.refuse,
                                             cap=bindings.cap)
        return await _transfer.page_body(fetcher, url, timeout, streaming=fetcher is bindings.streaming,
                                         refuse=bindings.refuse, cap=bindings.cap)


# The client of the call being served, if any.
_current: ContextVar[PageClient | None] = ContextVar("quillmere_page_client", default=None)


def current_client() -> PageClient | None:
    return _current.get()


@contextmanager
def using(client: PageClient) -> Iterator[PageClient]:
    """Makes `client` the one page fetches in this context use."""
    token = _current.set(client)
    try:
        yield client
    finally:
        _current.reset(token)


__all__ = ["PageClient", "current_client", "using"]
