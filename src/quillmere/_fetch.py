"""Page fetching for ScraplingDestinationFetcher: bounded, time-limited,
lenient (no failure of one page escapes; such a page maps to None).

The functions take the class they serve as `cls`, so a subclass that
overrides `fetch_one` or `_default_bound` has its own version used by
`fetch_many`.
"""

from __future__ import annotations

import asyncio
import os
from collections.abc import Callable
from typing import Any

from . import _transfer

#: ``progress(done, total)``: see `fetch_many`.
ProgressCallback = Callable[[int, int], object]


def module_fetcher() -> Any:
    """The page fetcher bound as ``quillmere.commerce.AsyncFetcher`` now (None
    without the library); looked up at every call, so rebinding it works."""
    from . import commerce

    return commerce.AsyncFetcher


def transfer_settings() -> tuple[bool, int | None]:
    """``quillmere.commerce``'s REFUSE_INTERNAL_DESTINATIONS and MAX_PAGE_BYTES
    now (read at every call, like AsyncFetcher), checked."""
    from . import commerce

    return _transfer.settings(commerce.REFUSE_INTERNAL_DESTINATIONS, commerce.MAX_PAGE_BYTES)


def streams_body(fetcher: Any) -> bool:
    """True for Scrapling's own AsyncFetcher, whose body arrives in chunks."""
    from . import commerce

    return fetcher is not None and fetcher is commerce._SCRAPLING_FETCHER


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


def default_bound() -> int:
    """Requests in flight when the caller names no bound: 4 per processor, at most 32."""
    processors = os.cpu_count() or 4  # None (unknown) and 0 both count as 4
    return min(4 * processors, 32)


async def fetch_one(cls: Any, url: str, sem: Any, timeout: int = 5, *,
                    fetcher: Any = None) -> tuple[str, str | None]:
    if not isinstance(url, str):
        raise type_error("url", "str", url)
    if not isinstance(timeout, int):
        raise type_error("timeout", "int", timeout)
    check_options(fetcher, None, None)
    refuse, cap = transfer_settings()
    if fetcher is None:
        fetcher = module_fetcher()
    if fetcher is None or not url.startswith("http"):
        return url, None
    streaming = streams_body(fetcher)
    async with sem:
        try:
            async with asyncio.timeout(timeout + 1):
                body = await _transfer.page_body(fetcher, url, timeout, streaming=streaming,
                                                 refuse=refuse, cap=cap)
            return url, body.decode("utf-8", "replace") if body else None
        except Exception:
            # Any ordinary failure of this one page: refused, unreachable,
            # timed out, over the cap, protocol error, odd response object.
            # Cancellation is a BaseException and goes through.
            return url, None


async def fetch_many(cls: Any, urls: list[str], max_workers: int | None = None, timeout: int = 5, *,
                     fetcher: Any = None, progress: ProgressCallback | None = None,
                     semaphore: asyncio.Semaphore | None = None) -> dict[str, str | None]:
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
    transfer_settings()

    distinct = list(dict.fromkeys(urls))
    resolved = fetcher if fetcher is not None else module_fetcher()
    if resolved is None or not distinct:
        if progress is not None:
            progress(0, 0)
        return dict.fromkeys(distinct)
    # A negative bound is refused by the semaphore (ValueError).
    sem = semaphore if semaphore is not None else asyncio.Semaphore(max_workers or cls._default_bound())
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


__all__ = ["ProgressCallback", "check_options", "default_bound", "fetch_many", "fetch_one", "module_fetcher"]
