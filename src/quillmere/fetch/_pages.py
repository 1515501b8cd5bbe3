"""Page fetching for ScraplingDestinationFetcher: bounded, time-limited,
lenient (no failure of one page escapes; such a page maps to None), and
telling: every page fetched gets a `PageOutcome`.

The functions take the class they serve as `cls`, so a subclass that
overrides `fetch_one` or `_default_bound` has its own version used by
`fetch_many`. What a host may rebind on ``quillmere.commerce`` (the fetcher
class, the internal-destination switch, the size cap) reaches these functions
as `Bindings`, read by the façade at every call.
"""

from __future__ import annotations

import asyncio
import logging
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from typing import Any

from ..models import FetchOutcome, PageOutcome
from . import _transfer
from ._client import Bindings, HeldSlot, call_client, default_bound
from ._outcomes import outcome

#: ``progress(done, total)``: see `fetch_many`.
ProgressCallback = Callable[[int, int], object]

log = logging.getLogger("quillmere.fetch")


# The outcomes of the pages being fetched, by link, while a caller records them.
_recording: ContextVar[dict[str, PageOutcome] | None] = ContextVar("quillmere_page_outcomes", default=None)


@contextmanager
def recording() -> Iterator[dict[str, PageOutcome]]:
    """Collects the outcome of every page `fetch_one` fetches in this context
    (tasks started inside it included), by link."""
    record: dict[str, PageOutcome] = {}
    token = _recording.set(record)
    try:
        yield record
    finally:
        _recording.reset(token)


def _record(out: PageOutcome) -> None:
    record = _recording.get()
    if record is not None and out.link is not None:
        record[out.link] = out
    if log.isEnabledFor(logging.DEBUG):
        ms = "-" if out.seconds is None else f"{out.seconds * 1000:.0f}"
        log.debug("page %s: %s status=%s %s ms%s", out.link, out.outcome.value, out.status, ms,
                  f" ({out.detail})" if out.detail and not out.read else "")


def type_error(name: str, expected: str, value: object) -> TypeError:
    return TypeError(f"{name} must be {expected}, not {type(value).__name__}")


def check_options(fetcher: object, progress: object, semaphore: object) -> None:
    """Refuses `fetcher`, `progress` and `semaphore` keywords of the wrong kind."""
    if fetcher is not None and not callable(getattr(fetcher, "get", None)):
        raise type_error("fetcher", "an object with a get method or None", fetcher)
    if progress is not None and not callable(progress):
        raise type_error("progress", "callable or None", progress)
    if semaphore is not None and not isinstance(semaphore, asyncio.Semaphore):
        raise type_error("semaphore", "asyncio.Semaphore or None", semaphore)


def _unfetched(url: str) -> PageOutcome:
    """The outcome of a link that is not requested: not http(s), or no fetcher."""
    if not url.startswith("http"):
        return outcome(FetchOutcome.NO_LINK, url, detail="not an http(s) link", attempts=0)
    return outcome(FetchOutcome.NO_FETCHER, url, detail="no page fetcher (Scrapling is not installed)", attempts=0)


def _without_fetching(distinct: list[str], progress: ProgressCallback | None) -> None:
    """A call that requests nothing (no fetcher, or no links): every link's
    outcome recorded, and the progress told so."""
    for url in distinct:
        _record(_unfetched(url))
    if progress is not None:
        progress(0, 0)


async def fetch_page(url: str, sem: Any, timeout: int, *, fetcher: Any, bindings: Bindings,
                     keep: HeldSlot | None = None) -> tuple[str | None, PageOutcome]:
    """(page text or None, outcome) for one link; `sem` bounds the requests
    in flight; `keep`, when given, receives the slot a page read keeps (see
    `PageClient.fetch`)."""
    fetcher = bindings.resolve(fetcher)
    if fetcher is None or not url.startswith("http"):
        return None, _unfetched(url)
    async with call_client() as client:
        return await client.fetch(url, sem, timeout, fetcher=fetcher, bindings=bindings, keep=keep)


async def fetch_one(cls: Any, url: str, sem: Any, timeout: int = 5, *,
                    fetcher: Any = None, bindings: Bindings) -> tuple[str, str | None]:
    if not isinstance(url, str):
        raise type_error("url", "str", url)
    if not isinstance(timeout, int):
        raise type_error("timeout", "int", timeout)
    check_options(fetcher, None, None)
    text, out = await fetch_page(url, sem, timeout, fetcher=fetcher, bindings=bindings)
    _record(out)
    return url, text


async def fetch_many(cls: Any, urls: list[str], max_workers: int | None = None, timeout: int = 5, *,
                     fetcher: Any = None, progress: ProgressCallback | None = None,
                     semaphore: asyncio.Semaphore | None = None, bindings: Bindings) -> dict[str, str | None]:
    if not isinstance(urls, list):
        raise type_error("urls", "list", urls)
    for i, url in enumerate(urls):
        if not isinstance(url, str):
            raise type_error(f"urls[{i}]", "str", url)
    if max_workers is not None and not isinstance(max_workers, int):
        raise type_error("max_workers", "int or None", max_workers)
    if not isinstance(timeout, int):
        raise type_error("timeout", "int", timeout)
    check_options(fetcher, progress, semaphore)
    distinct = list(dict.fromkeys(urls))
    if bindings.resolve(fetcher) is None or not distinct:
        _without_fetching(distinct, progress)
        return dict.fromkeys(distinct)
    async with call_client() as client:
        # A negative bound is refused by the semaphore (ValueError). Without a
        # semaphore of the caller's, the calls that share a client share its bound.
        sem = semaphore if semaphore is not None else client.semaphore(max_workers or cls._default_bound())
        # The fetcher is handed on only when the caller named one, so a subclass's
        # fetch_one written without the keyword keeps working.
        given: dict[str, Any] = {"fetcher": fetcher} if fetcher is not None else {}
        total = sum(1 for url in distinct if url.startswith("http"))
        done = 0

        async def counted(url: str) -> tuple[str, str | None]:
            nonlocal done
            pair = await cls.fetch_one(url, sem, timeout, **given)
            done += 1
            if progress is not None:
                progress(done, total)
            return pair

        if progress is not None:
            progress(0, total)
        tasks = [asyncio.ensure_future(counted(url) if progress is not None and url.startswith("http")
                                       else cls.fetch_one(url, sem, timeout, **given))
                 for url in distinct]
        try:
            pairs = await asyncio.gather(*tasks)
        except BaseException:
            # Cancellation already reached every fetch through gather; anything
            # else that escaped one fetch must not leave the others running.
            for task in tasks:
                task.cancel()
            await asyncio.wait(tasks)
            raise
    return dict(pairs)


#: ``consume(link, text or None)``: see `fetch_each`.
Consumer = Callable[[str, "str | None"], Any]


async def fetch_each(cls: Any, urls: list[str], consume: Consumer, timeout: int = 5, *, fetcher: Any = None,
                     progress: ProgressCallback | None = None, semaphore: asyncio.Semaphore | None = None,
                     bindings: Bindings) -> None:
    """Fetches each distinct link of `urls` as `fetch_many` does (the same
    bound, outcomes, progress calls and page texts) and awaits
    ``consume(link, text)`` for each page as soon as it is in, while the page
    still holds its slot of the bound: pages cannot pile up faster than they
    are consumed, and a page's text is let go once it is consumed.

    Only for callers whose fetch_one and fetch_many are the engine's own
    (`fetch_one` is not called). The first error of a consumer or of
    `progress` ends the call, the pages still in flight cancelled."""
    distinct = list(dict.fromkeys(urls))
    if bindings.resolve(fetcher) is None or not distinct:
        _without_fetching(distinct, progress)
        for url in distinct:
            await consume(url, None)
        return
    async with call_client() as client:
        sem = semaphore if semaphore is not None else client.semaphore(cls._default_bound())
        total = sum(1 for url in distinct if url.startswith("http"))
        done = 0

        failures: list[BaseException] = []
        running: set[asyncio.Future[None]] = set()

        def finished(task: asyncio.Future[None]) -> None:
            running.discard(task)
            if not task.cancelled() and task.exception() is not None:
                failures.append(task.exception())  # type: ignore[arg-type]

        async def one(url: str) -> None:
            nonlocal done
            slot = HeldSlot()  # the page's slot, kept until its text is consumed
            try:
                text, out = await fetch_page(url, sem, timeout, fetcher=fetcher, bindings=bindings, keep=slot)
                _record(out)
                if url.startswith("http"):
                    done += 1
                    if progress is not None:
                        progress(done, total)
                await consume(url, text)
            finally:
                slot.release()

        if progress is not None:
            progress(0, total)
        try:
            # Every page starts at once; each takes its host's slot, then one of
            # the bound, as fetch_many's do, and a page read keeps the latter
            # until consumed: at most the bound's bodies are held at a time.
            for url in distinct:
                started = asyncio.ensure_future(one(url))
                running.add(started)
                started.add_done_callback(finished)
            while running and not failures:
                await asyncio.wait(running, return_when=asyncio.FIRST_EXCEPTION)
        finally:
            left = list(running)
            for task in left:
                task.cancel()
            if left:
                await asyncio.wait(left)
        if failures:
            raise failures[0]


def settings(refuse: object, cap: object) -> tuple[bool, int | None]:
    """REFUSE_INTERNAL_DESTINATIONS and MAX_PAGE_BYTES as bound now, checked."""
    return _transfer.settings(refuse, cap)


__all__ = ["Bindings", "Consumer", "ProgressCallback", "check_options", "default_bound", "fetch_each", "fetch_many",
           "fetch_one",
           "fetch_page", "recording", "settings"]
