"""Running a coroutine to completion from synchronous code.

`_run_coroutine` is what the blocking entries (`CommerceEnricher.process`) use:
a fresh event loop per call, closed afterwards with the clean-up asyncio.run
does, and a worker thread when the caller is itself running a loop.
"""

from __future__ import annotations

import asyncio
from collections.abc import Awaitable, Coroutine
from concurrent.futures import ThreadPoolExecutor
from typing import Any, TypeVar

_T = TypeVar("_T")


def _run_on_fresh_loop(awaitable: Awaitable[_T]) -> _T:
    """Runs the awaitable on a loop of its own and closes that loop, with the
    clean-up asyncio.run does. The thread's current event loop (if one is set)
    is neither used nor replaced, and no signal handler is installed."""
    if not asyncio.iscoroutine(awaitable):
        awaitable = _await(awaitable)
    loop = asyncio.new_event_loop()
    try:
        return loop.run_until_complete(awaitable)
    finally:
        try:
            _cancel_leftover_tasks(loop)
            loop.run_until_complete(loop.shutdown_asyncgens())
            loop.run_until_complete(loop.shutdown_default_executor())
        finally:
            loop.close()


def _cancel_leftover_tasks(loop: asyncio.AbstractEventLoop) -> None:
    tasks = [t for t in asyncio.all_tasks(loop) if not t.done()]
    if not tasks:
        return
    for task in tasks:
        task.cancel()
    loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))
    for task in tasks:
        if not task.cancelled() and task.exception() is not None:
            loop.call_exception_handler(
                {"message": "unhandled exception during shutdown", "exception": task.exception(), "task": task})


async def _await(awaitable: Awaitable[_T]) -> _T:
    return await awaitable


def _run_coroutine(coro: Coroutine[Any, Any, _T] | Awaitable[_T]) -> _T:
    """Runs the awaitable to completion on a fresh event loop and returns its
    result (or raises its error). From a thread that is running a loop, the
    fresh loop runs in one worker thread while the caller blocks."""
    try:
        loop = asyncio.get_running_loop()
    except RuntimeError:
        loop = None
    if loop is not None:
        running = loop.is_running()
        if not isinstance(running, bool):
            if asyncio.iscoroutine(coro):
                coro.close()
            raise TypeError(f"loop.is_running() must be bool, not {type(running).__name__}")
        if running:
            with ThreadPoolExecutor(max_workers=1) as pool:
                return pool.submit(_run_on_fresh_loop, coro).result()
    return _run_on_fresh_loop(coro)


__all__ = ["_run_coroutine"]
