"""Running searches through the engine: one search's outcome, a bounded
number of searches at a time on one event loop, and the same driven from a
thread of its own for callers that are not asynchronous."""

from __future__ import annotations

import asyncio
import json
import queue
import re
import signal
import threading
from collections.abc import AsyncGenerator, AsyncIterable, AsyncIterator, Callable, Iterable, Iterator
from contextlib import aclosing, contextmanager
from typing import Any, NamedTuple

from ._input import _MISSING, Outcome, Search, SearchError, _visual_matches

_SURROGATE = re.compile("[\ud800-\udfff]")


def _scrub(value: Any) -> Any:
    """`value` with every lone surrogate in its texts replaced by U+FFFD."""
    if isinstance(value, str):
        return _SURROGATE.sub("\ufffd", value)
    if isinstance(value, dict):
        return {_scrub(k): _scrub(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_scrub(v) for v in value]
    return value


def result_text(intel: Any) -> str:
    """The result's JSON text with absent fields left out. Texts holding a
    lone surrogate (JSON input may carry one as an escape) cannot be encoded;
    such a character is written as U+FFFD instead of failing the search."""
    from pydantic_core import PydanticSerializationError

    try:
        return intel.model_dump_json(exclude_none=True)
    except PydanticSerializationError:
        data = _scrub(intel.model_dump(mode="json", exclude_none=True))
        return json.dumps(data, ensure_ascii=False, separators=(",", ":"))


class RunOptions(NamedTuple):
    """What every search of a run is given (picklable, for worker processes):
    whether internal destinations may be fetched, and further keywords for
    the engine's `process_async` as (name, value) pairs."""

    allow_internal: bool = False
    keywords: tuple[tuple[str, Any], ...] = ()

    @classmethod
    def of(cls, allow_internal: bool, extended: bool) -> "RunOptions":
        return cls(allow_internal, (("extended", True),) if extended else ())


@contextmanager
def children_ignore_interrupts() -> Iterator[None]:
    """Processes started in this block ignore SIGINT (the disposition is
    inherited, and Python keeps an ignored SIGINT ignored), so Ctrl-C, which
    a terminal sends to the whole process group, reaches this process alone,
    which then stops its workers itself."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


# The engine's switch for refusing internal destinations, read at every fetch.
_REFUSE = "REFUSE_INTERNAL_DESTINATIONS"


def apply_destination_policy(options: RunOptions) -> None:
    """In the runner's own worker processes: internal destinations (loopback,
    private ranges) are fetched when, and only when, the run asks for it. The
    engine reads this binding at every fetch."""
    from .. import commerce

    setattr(commerce, _REFUSE, not options.allow_internal)


class _InternalAllowed:
    """In the caller's process: the check is switched off while at least one
    run that asks for it is going on, and then put back as it was."""

    _lock = threading.Lock()
    _runs = 0
    _saved: Any = None

    def __init__(self, wanted: bool) -> None:
        self.wanted = wanted

    def __enter__(self) -> None:
        if not self.wanted:
            return
        from .. import commerce

        cls = type(self)
        with cls._lock:
            if cls._runs == 0:
                cls._saved = getattr(commerce, _REFUSE, _MISSING)
            cls._runs += 1
            setattr(commerce, _REFUSE, False)

    def __exit__(self, *exc: object) -> None:
        if not self.wanted:
            return
        from .. import commerce

        cls = type(self)
        with cls._lock:
            cls._runs -= 1
            if cls._runs == 0:
                if cls._saved is _MISSING:
                    delattr(commerce, _REFUSE)
                else:
                    setattr(commerce, _REFUSE, cls._saved)


async def run_search(search: Search, options: RunOptions, semaphore: asyncio.Semaphore | None,
                     on_pages: Callable[[int], object] | None = None, fetcher: Any = None,
                     client: Any = None) -> Outcome:
    """Runs one search through the engine; its failure becomes its outcome.
    `client`, the run's PageClient, shares its connections across the run."""
    from .. import commerce

    requested = 0

    def progress(done: int, total: int) -> None:
        nonlocal requested
        if done > requested:
            if on_pages is not None:
                on_pages(done - requested)
            requested = done

    try:
        matches = _visual_matches(search.matches)
        keywords: dict[str, Any] = dict(options.keywords)
        keywords.update(progress=progress, semaphore=semaphore, fetcher=fetcher)
        if client is not None:
            keywords["client"] = client
        intel = await commerce.CommerceEnricher.process_async(matches, **keywords)
        return Outcome(search.id, True, result_text(intel), requested)
    except SearchError as err:
        return Outcome(search.id, False, str(err), requested)
    except Exception as err:  # the engine's own error for this search: reported, the run goes on
        return Outcome(search.id, False, f"{type(err).__name__}: {err}", requested)


def default_in_flight(fetch_bound: int) -> int:
    """Searches in flight per process: enough to keep the fetch bound busy
    while some searches wait for a slow page and others are analysed (three
    per request slot measured a quarter faster than one), few enough to
    bound the pages held in memory."""
    return min(max(4, 3 * fetch_bound), 64)


async def stream_outcomes(searches: Iterable[Search] | AsyncIterable[Search],
                          run: Callable[[Search], Any], in_flight: int) -> AsyncGenerator[Outcome, None]:
    """Runs `run(search)` for at most `in_flight` searches at a time and
    yields their outcomes as they complete. Searches are taken from the input
    only as slots free up; leaving early cancels the searches in flight. An
    error reading the input (a repeated id, say) is raised once the searches
    read before it are done."""
    if isinstance(searches, AsyncIterable):
        source = aiter(searches)
    else:
        source = _async_iter(searches)
    pending: set[asyncio.Future[Outcome]] = set()
    exhausted = False
    input_error: Exception | None = None
    try:
        while True:
            while not exhausted and len(pending) < in_flight:
                try:
                    search = await anext(source)
                except StopAsyncIteration:
                    exhausted = True
                    break
                except Exception as err:
                    exhausted, input_error = True, err
                    break
                pending.add(asyncio.ensure_future(run(search)))
            if not pending:
                if input_error is not None:
                    raise input_error
                return
            done, pending = await asyncio.wait(pending, return_when=asyncio.FIRST_COMPLETED)
            for task in done:
                yield task.result()
    finally:
        for task in pending:
            task.cancel()
        if pending:
            await asyncio.gather(*pending, return_exceptions=True)
        if hasattr(source, "aclose"):
            await source.aclose()


async def _async_iter(items: Iterable[Search]) -> AsyncIterator[Search]:
    for item in items:
        yield item


def _check_positive(name: str, value: object) -> None:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{name} must be a positive integer, not {value!r}")


class PageCount:
    """Pages requested so far in a run (updated from the running thread)."""

    def __init__(self) -> None:
        self.pages = 0

    def add(self, n: int) -> None:
        self.pages += n


def run_in_thread(searches: Iterable[Search], options: RunOptions, *, in_flight: int | None = None,
                  counter: PageCount | None = None, tick: Callable[[], object] | None = None,
                  tick_every: float = 0.2) -> Iterator[Outcome]:
    """The outcomes of `searches` run in this process, on an event loop of a
    thread of their own, while the caller's thread takes them one by one.
    `tick` is called in the caller's thread at least every `tick_every`
    seconds (progress drawing). Closing the iterator (or an interrupt in the
    caller's thread) cancels the searches in flight and ends the thread."""
    from ..fetch import PageClient, default_bound

    bound = in_flight if in_flight is not None else default_in_flight(default_bound())
    _check_positive("in_flight", bound)
    handoff: queue.Queue[tuple[str, Any]] = queue.Queue(maxsize=bound)
    started = threading.Event()
    state: dict[str, Any] = {}

    async def main() -> None:
        state["loop"], state["task"] = asyncio.get_running_loop(), asyncio.current_task()
        started.set()
        semaphore = asyncio.Semaphore(default_bound())
        on_pages = counter.add if counter is not None else None

        # One client for the whole run: its connections serve every search,
        # and close when the run ends (or is cancelled).
        client = PageClient(max_in_flight=default_bound())

        async def run(search: Search) -> Outcome:
            return await run_search(search, options, semaphore, on_pages, client=client)

        async with client, aclosing(stream_outcomes(searches, run, bound)) as outcomes:
            async for outcome in outcomes:
                try:
                    handoff.put_nowait(("outcome", outcome))
                except queue.Full:  # the caller is behind: wait without holding the loop
                    await asyncio.get_running_loop().run_in_executor(None, handoff.put, ("outcome", outcome))

    def thread_main() -> None:
        try:
            with _InternalAllowed(options.allow_internal):
                asyncio.run(main())
        except BaseException as err:  # handed to the caller's thread, raised there
            handoff.put(("error", err))
        else:
            handoff.put(("end", None))
        finally:
            started.set()

    thread = threading.Thread(target=thread_main, name="quillmere-batch", daemon=True)
    thread.start()
    finished = False
    try:
        while True:
            try:
                kind, value = handoff.get(timeout=tick_every)
            except queue.Empty:
                if tick is not None:
                    tick()
                continue
            if kind == "outcome":
                yield value
            elif kind == "end":
                finished = True
                return
            else:
                finished = True
                if isinstance(value, asyncio.CancelledError):
                    return
                raise value
    finally:
        if not finished:
            started.wait()
            loop, task = state.get("loop"), state.get("task")
            if loop is not None and task is not None:
                try:
                    loop.call_soon_threadsafe(task.cancel)
                except RuntimeError:  # the loop has closed meanwhile
                    pass
            while True:  # keep taking, so a waiting hand-off never blocks the thread
                kind, _ = handoff.get()
                if kind != "outcome":
                    break
        thread.join()


def partitions(searches: Iterable[Search], size: int) -> Iterator[list[Search]]:
    """Consecutive lists of at most `size` searches."""
    chunk: list[Search] = []
    for search in searches:
        chunk.append(search)
        if len(chunk) >= size:
            yield chunk
            chunk = []
    if chunk:
        yield chunk
