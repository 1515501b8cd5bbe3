"""What outlives one call: the object a service holds for its lifetime.

A `PageClient` holds what several enrichment calls on one event loop share:
the bound on the requests in flight and the way pages are requested. A
service makes one, uses it from many concurrent calls and closes it at the
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
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from typing import TYPE_CHECKING, Any

from ..models import FetchOutcome, PageOutcome
from . import _render, _transfer
from ._outcomes import PageFailure, failure_of, outcome

if TYPE_CHECKING:
    from ._pages import Bindings


class PageClient:
    """Shared fetching state for many calls on one event loop.

    `max_in_flight` bounds the requests in flight of every call that uses this
    client and names no semaphore of its own (None: the engine's default,
    4 per processor, at most 32).

    `render` ("never", "auto" or "always") reads pages in a browser after
    their static fetch (see `quillmere.fetch._render`): `browser` is the
    Chromium to start (default: chromium or chromium-browser on PATH), or
    `browser_cdp` the CDP address of a running one (never closed here);
    `render_pages` tabs at once, `render_timeout` seconds per page.
    `render_allow`, a list of (address, port), is the only destinations the
    browser may connect to (tests and the demo allow their own server);
    `render_rewrite` maps the first link and every plain-HTTP request of the
    browser before its check (the demo's made-up hosts to its sample server).
    """

    def __init__(self, *, max_in_flight: int | None = None, render: str = "never", browser: str | None = None,
                 browser_cdp: str | None = None, render_pages: int = _render.DEFAULT_TABS,
                 render_timeout: float = _render.DEFAULT_RENDER_TIMEOUT,
                 render_allow: list[tuple[str, int]] | None = None,
                 render_rewrite: Callable[[str], str] | None = None) -> None:
        if max_in_flight is not None and (isinstance(max_in_flight, bool) or not isinstance(max_in_flight, int)):
            raise TypeError(f"max_in_flight must be int or None, not {type(max_in_flight).__name__}")
        if max_in_flight is not None and max_in_flight < 1:
            raise ValueError(f"max_in_flight must be at least 1, not {max_in_flight}")
        self._max_in_flight = max_in_flight
        self._semaphore: asyncio.Semaphore | None = None
        self._closed = False
        # Rendering in a browser (see fetch/_render.py): the browser starts at
        # the first page that needs it and is closed with the client.
        self.render = _render.check_mode(render)
        self._render_options = _render.check_options(browser=browser, cdp=browser_cdp, tabs=render_pages,
                                                     timeout=render_timeout, allow=render_allow,
                                                     rewrite=render_rewrite)
        self._renderer: _render.Renderer | None = None

    # ------------------------------------------------------------ lifetime
    async def __aenter__(self) -> "PageClient":
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        """Releases what the client holds; a closed client fetches nothing more."""
        self._closed = True
        renderer, self._renderer = self._renderer, None
        if renderer is not None:
            await renderer.aclose()

    async def close_browser(self) -> None:
        """Closes the client's browser, if one was started; a later page that
        needs one starts a new one. (The blocking `process` calls this at its
        end: its event loop ends with the call.)"""
        renderer, self._renderer = self._renderer, None
        if renderer is not None:
            await renderer.aclose()

    @property
    def renderer(self) -> "_render.Renderer":
        """The client's browser (made, not started, at first use)."""
        if self._closed:
            raise RuntimeError("the PageClient is closed")
        if self._renderer is None:
            self._renderer = _render.Renderer(**self._render_options)
        return self._renderer

    @property
    def rendering_started(self) -> bool:
        return self._renderer is not None

    @property
    def closed(self) -> bool:
        return self._closed

    # ------------------------------------------------------------ the bound
    def semaphore(self, default_size: int) -> asyncio.Semaphore:
        """The client's bound on requests in flight, made at first use."""
        if self._semaphore is None:
            self._semaphore = asyncio.Semaphore(self._max_in_flight or default_size)
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
        transport's error when the page is not read."""
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
