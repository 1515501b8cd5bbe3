"""What outlives one call: the object a service holds for its lifetime.

A `PageClient` holds what several enrichment calls on one event loop share:
the bound on the requests in flight, the way pages are requested (when the
bound fetcher is Scrapling's own, one pooled curl session, see `_session`,
made at the client's first page on a loop, whose connections every call
that uses the client shares), and the policy around each request: the
per-host limits (`_hosts`), the retries (`_retry`), the page cache
(`_cache`) and the fetches in flight that concurrent callers of one page
share; and, when asked, a browser (`_render`). A
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
import datetime
import os
import time
from collections.abc import AsyncIterator, Callable, Iterator
from contextlib import asynccontextmanager, contextmanager, nullcontext
from contextvars import ContextVar
from dataclasses import dataclass, field
from typing import Any, NamedTuple

from ..models import FetchOutcome, PageOutcome
from . import _render, _session, _transfer
from ._cache import DEFAULT_MAX_BYTES, DEFAULT_TTL, PageCache
from ._hosts import HostLimits, host_of
from ._outcomes import PageFailure, failure_of, outcome
from ._retry import page_deadline, retry_wait



@dataclass
class FetchStats:
    """What a client did so far: requests sent (retries included), retries,
    pages handed to a caller from another caller's fetch in flight, pages
    served from the cache, and the hosts whose limit 429 answers lowered
    (host: its limit now)."""

    requests: int = 0
    retries: int = 0
    shared: int = 0
    cache_hits: int = 0
    throttled: dict[str, int] = field(default_factory=dict)


class Bindings(NamedTuple):
    """The façade's module bindings at the time of a call."""

    fetcher: Any          # the page fetcher bound now (None without the library)
    streaming: Any        # Scrapling's own AsyncFetcher, whose body is streamed
    refuse: bool          # refuse internal destinations
    cap: int | None       # the largest body, in bytes

    def resolve(self, fetcher: Any) -> Any:
        return fetcher if fetcher is not None else self.fetcher


def default_bound() -> int:
    """Requests in flight when the caller names no bound: 4 per processor, at most 32."""
    processors = os.cpu_count() or 4  # None (unknown) and 0 both count as 4
    return min(4 * processors, 32)


class HeldSlot:
    """A slot of the fetch bound that a page read keeps after its request,
    until its caller lets it go: a body waiting for analysis holds its slot,
    so bodies cannot pile up faster than they are analysed. Once released,
    a page that completes later keeps nothing."""

    __slots__ = ("sem", "closed")

    def __init__(self) -> None:
        self.sem: Any = None
        self.closed = False

    def keep(self, sem: Any) -> bool:
        if self.closed:
            return False
        self.sem = sem
        return True

    def release(self) -> None:
        self.closed = True
        sem, self.sem = self.sem, None
        if sem is not None:
            sem.release()


class _Flight:
    __slots__ = ("task", "waiters")

    def __init__(self, task: "asyncio.Task[tuple[str | None, PageOutcome]]") -> None:
        self.task = task
        self.waiters = 0


def _whole(name: str, value: object, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be int, not {type(value).__name__}")
    if value < least:
        raise ValueError(f"{name} must be at least {least}, not {value}")
    return value


def _seconds(name: str, value: object) -> float:
    if isinstance(value, datetime.timedelta):
        value = value.total_seconds()
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be seconds (int or float) or a timedelta, not {type(value).__name__}")
    if not value >= 0 or value == float("inf"):
        raise ValueError(f"{name} must be a finite number of seconds, at least 0, not {value}")
    return float(value)


class PageClient:
    """Shared fetching state for many calls on one event loop.

    `max_in_flight` bounds the requests in flight of every call that uses this
    client and names no semaphore of its own (None: the engine's default,
    4 per processor, at most 32).

    `per_host` (None: no limit) is the most requests in flight to one host,
    inside that bound; a request waiting for its host holds no slot of the
    bound. `retries` (0: none) is how many times a request that failed in a
    way worth retrying (429, 503, 502, 504, a connection reset) is sent
    again, after the Retry-After its answer asks for or a backoff. `cache`, a
    file path, keeps the pages fetched in an SQLite file for `cache_ttl`
    (seconds or a timedelta; a day by default), at most `cache_max_bytes` of
    compressed bodies; it is opened here, and `CacheError` says why a file
    cannot serve (`cache_check`: the whole file is read to check it, which
    a process that opens a file just checked may skip). With `single_flight`
    (the default), a page that several calls need at the same time is
    fetched once and handed to each.
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

    def __init__(self, *, max_in_flight: int | None = None, per_host: int | None = None, retries: int = 0,
                 cache: str | os.PathLike[str] | None = None, cache_ttl: float | datetime.timedelta = DEFAULT_TTL,
                 cache_max_bytes: int = DEFAULT_MAX_BYTES, single_flight: bool = True,
                 cache_check: bool = True, render: str = "never", browser: str | None = None,
                 browser_cdp: str | None = None, render_pages: int = _render.DEFAULT_TABS,
                 render_timeout: float = _render.DEFAULT_RENDER_TIMEOUT,
                 render_allow: list[tuple[str, int]] | None = None,
                 render_rewrite: Callable[[str], str] | None = None) -> None:
        if max_in_flight is not None:
            _whole("max_in_flight", max_in_flight, 1)
        if per_host is not None:
            _whole("per_host", per_host, 1)
        _whole("retries", retries, 0)
        ttl = _seconds("cache_ttl", cache_ttl)
        _whole("cache_max_bytes", cache_max_bytes, 1)
        for name, flag in (("single_flight", single_flight), ("cache_check", cache_check)):
            if not isinstance(flag, bool):
                raise TypeError(f"{name} must be bool, not {type(flag).__name__}")
        if cache is not None and not isinstance(cache, (str, os.PathLike)):
            raise TypeError(f"cache must be a path or None, not {type(cache).__name__}")
        self._max_in_flight = max_in_flight
        self._semaphore: asyncio.Semaphore | None = None
        self._hosts = HostLimits(per_host) if per_host is not None else None
        self._retries = retries
        self._single_flight = single_flight
        self._flights: dict[tuple[Any, ...], _Flight] = {}
        self.stats = FetchStats()
        if self._hosts is not None:
            self.stats.throttled = self._hosts.lowered
        self._bound: int | None = max_in_flight
        self._transport: _session.Transport | None = None
        self._closed = False
        # Rendering in a browser (see fetch/_render.py): the browser starts at
        # the first page that needs it and is closed with the client.
        self.render = _render.check_mode(render)
        self._render_options = _render.check_options(browser=browser, cdp=browser_cdp, tabs=render_pages,
                                                     timeout=render_timeout, allow=render_allow,
                                                     rewrite=render_rewrite)
        self._renderer: _render.Renderer | None = None
        # Opened last: a bad option never leaves a file open.
        self.cache: PageCache | None = (PageCache(cache, ttl=ttl, max_bytes=cache_max_bytes, verify=cache_check)
                                        if cache is not None else None)

    # ------------------------------------------------------------ lifetime
    async def __aenter__(self) -> "PageClient":
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        """Releases what the client holds (the cache's pending writes are
        made first; its browser, its session and connections); a closed
        client fetches nothing more."""
        self._closed = True
        renderer, self._renderer = self._renderer, None
        if renderer is not None:
            await renderer.aclose()
        await self.release_transport()
        if self.cache is not None:
            await asyncio.get_running_loop().run_in_executor(None, self.cache.close)

    def close_cache(self) -> None:
        """Closes the cache outside an event loop (a caller of the blocking
        entries); aclose does the same."""
        if self.cache is not None:
            self.cache.close()

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
                    bindings: Bindings, keep: HeldSlot | None = None) -> tuple[str | None, PageOutcome]:
        """(page text or None, outcome) for an http(s) link through `fetcher`;
        `sem` bounds the requests in flight. With `keep`, a page read keeps
        the slot of its request (or, served from the cache, a slot of its
        own) in `keep` for the caller to release; a page handed over from
        another caller's fetch keeps none."""
        if self._closed:
            raise RuntimeError("the PageClient is closed")
        if not self._single_flight:
            return await self._page(url, sem, timeout, fetcher, bindings, keep)
        key = (url, id(fetcher), bindings.refuse, bindings.cap, timeout)
        flight = self._flights.get(key)
        if flight is None:
            flight = self._flights[key] = _Flight(asyncio.ensure_future(
                self._page(url, sem, timeout, fetcher, bindings, keep)))
            flight.task.add_done_callback(lambda _: self._land(key, flight))
            leader = True
        else:
            self.stats.shared += 1
            leader = False
        flight.waiters += 1
        try:
            text, out = await asyncio.shield(flight.task)
        finally:
            flight.waiters -= 1
            if flight.waiters == 0 and not flight.task.done():
                # Nobody waits for the page any more: it is not fetched.
                self._land(key, flight)
                flight.task.cancel()
        return text, (out if leader else out.model_copy())

    def _land(self, key: tuple[Any, ...], flight: _Flight) -> None:
        if self._flights.get(key) is flight:
            del self._flights[key]

    async def _page(self, url: str, sem: Any, timeout: int, fetcher: Any, bindings: Bindings,
                    keep: HeldSlot | None = None) -> tuple[str | None, PageOutcome]:
        cache = self.cache
        if cache is not None:
            if keep is not None:  # a cached body too waits for its analysis in a slot
                await sem.acquire()
            try:
                hit = await cache.get(url, bindings.refuse, bindings.cap)
            finally:
                if keep is not None and not (hit is not None and keep.keep(sem)):
                    sem.release()
            if hit is not None:
                self.stats.cache_hits += 1
                return hit
        text, out, body = await self._fetch(url, sem, timeout, fetcher, bindings, keep)
        if cache is not None:
            cache.put(url, bindings.refuse, out, body)
        return text, out

    def _host_slot(self, host: str | None) -> Any:
        """The host's slot, taken before the bound's: a request waiting for
        its host holds nothing the other hosts need."""
        if host is None:
            return nullcontext()
        assert self._hosts is not None
        return self._hosts.slot(host)

    async def _fetch(self, url: str, sem: Any, timeout: int, fetcher: Any, bindings: Bindings,
                     keep: HeldSlot | None = None) -> tuple[str | None, PageOutcome, bytes | bytearray | None]:
        """The page through as many attempts as the retry policy allows."""
        host = host_of(url) if self._hosts is not None else None
        loop = asyncio.get_running_loop()
        deadline: float | None = None
        sent = retry = 0
        seconds = 0.0
        last: PageOutcome | None = None
        while True:
            async with self._host_slot(host):
                await sem.acquire()
                kept = False
                try:
                    if deadline is None:
                        deadline = loop.time() + page_deadline(timeout, self._retries)
                    elif loop.time() + timeout + 1 > deadline and last is not None:
                        return None, last, None  # waiting for a slot took the time a retry needed
                    start = time.perf_counter()
                    error: Exception | None = None
                    try:
                        async with asyncio.timeout(timeout + 1):
                            got = await self._attempt(url, timeout, fetcher=fetcher, bindings=bindings)
                        text = got.body.decode("utf-8", "replace")
                    except Exception as err:
                        # Any ordinary failure of this one page: refused, unreachable,
                        # timed out, over the cap, an error status, a wall, an odd
                        # response object. Cancellation is a BaseException and goes through.
                        error = err
                    seconds += time.perf_counter() - start
                    # A page read keeps its slot for the caller that asked (its
                    # host's slot goes now: the request is over).
                    kept = error is None and keep is not None and keep.keep(sem)
                finally:
                    if not kept:
                        sem.release()
            if error is None:
                sent += 1
                self.stats.requests += 1
                return text, outcome(FetchOutcome.READ, url, status=got.status, final_url=got.final_url,
                                     size=len(got.body), seconds=seconds, attempts=sent), got.body
            kind, detail = failure_of(error)
            status = final = None
            if isinstance(error, PageFailure):
                status, final = error.status, error.final_url
            if not (kind in (FetchOutcome.REFUSED, FetchOutcome.NO_LINK) and final is None):
                sent += 1
                self.stats.requests += 1
            last = outcome(kind, url, detail=detail, status=status, final_url=final, seconds=seconds, attempts=sent)
            if status == 429 and self._hosts is not None and host is not None:
                self._hosts.throttle(host)
            if retry >= self._retries:
                return None, last, None
            wait = retry_wait(error, retry + 1)
            if wait is None or loop.time() + wait + timeout + 1 > deadline:
                return None, last, None
            retry += 1
            self.stats.retries += 1
            pause = time.perf_counter()
            await asyncio.sleep(wait)
            seconds += time.perf_counter() - pause

    async def _attempt(self, url: str, timeout: int, *, fetcher: Any, bindings: Bindings) -> _transfer.Transfer:
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


@asynccontextmanager
async def call_client(given: PageClient | None = None) -> AsyncIterator[PageClient]:
    """The client a call fetches through, lent to the fetches in the block:
    `given`, else the one a caller above lent, else a short-lived one for
    this call alone, closed when the block ends."""
    if given is not None:
        with using(given):
            yield given
        return
    lent = current_client()
    if lent is not None:
        yield lent
        return
    async with PageClient() as own:
        with using(own):
            yield own


@contextmanager
def using(client: PageClient) -> Iterator[PageClient]:
    """Makes `client` the one page fetches in this context use."""
    token = _current.set(client)
    try:
        yield client
    finally:
        _current.reset(token)


__all__ = ["Bindings", "FetchStats", "HeldSlot", "PageClient", "call_client", "current_client", "default_bound", "using"]
