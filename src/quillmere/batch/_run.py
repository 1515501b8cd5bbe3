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


def page_report_text(report: Any, matches: list[Any], intel: Any) -> tuple[str, tuple[tuple[str, int], ...]]:
    """The search's page report as JSON text, and its outcome counts."""
    from .._export import page_counts, page_entries

    counts = page_counts(report)
    data = {"pages": counts,
            "outcomes": page_entries(report, [m.link for m in matches], [i.direct_url for i in intel.items])}
    text = json.dumps(_scrub(data), ensure_ascii=False, separators=(",", ":"))
    return text, tuple(counts["outcomes"].items())


class RunOptions(NamedTuple):
    """What every search of a run is given (picklable, for worker processes):
    whether internal destinations may be fetched, further keywords for the
    engine's `process_async` as (name, value) pairs, and the keywords of the
    `PageClient` each process makes for its run (per-host limit, retries,
    cache) as (name, value) pairs."""

    allow_internal: bool = False
    keywords: tuple[tuple[str, Any], ...] = ()
    client: tuple[tuple[str, Any], ...] = ()

    @classmethod
    def of(cls, allow_internal: bool, extended: bool, client: dict[str, Any] | None = None) -> "RunOptions":
        return cls(allow_internal, (("extended", True),) if extended else (), tuple((client or {}).items()))

    def page_client(self, lent: Any = None) -> Any:
        """A new PageClient for this process's share of the run (its cache
        file was checked whole when the run's keywords were), closed when
        the ``async with`` block ends; `lent`, a caller's client, is used
        instead and left open."""
        from ..fetch import PageClient

        if lent is not None:
            return _Lent(lent)
        keywords = dict(self.client)
        if "cache" in keywords:
            keywords["cache_check"] = False
        return PageClient(**keywords)


class _Lent:
    """A caller's PageClient in an ``async with`` block that leaves it open."""

    def __init__(self, client: Any) -> None:
        self.client = client

    async def __aenter__(self) -> Any:
        return self.client

    async def __aexit__(self, *exc: object) -> None:
        return None


#: The fetching a run does unless told otherwise: at most 4 requests in
#: flight per host, a failed request retried twice when worth it, no cache.
RUN_PER_HOST = 4
RUN_RETRIES = 2


def client_keywords(per_host: int | None = RUN_PER_HOST, retries: int = RUN_RETRIES, cache: Any = None,
                    cache_ttl: Any = None, cache_max_bytes: int | None = None) -> dict[str, Any]:
    """The PageClient keywords of a run, checked here so that a bad value
    is refused before any process starts (a cache file is opened then)."""
    from ..fetch import PageClient

    keywords: dict[str, Any] = {"per_host": per_host, "retries": retries}
    if cache is not None:
        keywords["cache"] = str(cache) if not isinstance(cache, str) else cache
    if cache_ttl is not None:
        keywords["cache_ttl"] = cache_ttl
    if cache_max_bytes is not None:
        keywords["cache_max_bytes"] = cache_max_bytes
    PageClient(**keywords).close_cache()  # TypeError, ValueError or CacheError for a bad one
    return keywords


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
    """Runs one search through the engine (its pages through `client`, the
    process's PageClient for the run, which shares its connections, limits
    and cache across the run); its failure becomes its outcome."""
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
        report = commerce.FetchReport()
        keywords.update(progress=progress, semaphore=semaphore, fetcher=fetcher, report=report)
        if client is not None:
            keywords["client"] = client
        intel = await commerce.CommerceEnricher.process_async(matches, **keywords)
        fetch_text, counts = page_report_text(report, matches, intel)
        return Outcome(search.id, True, result_text(intel), requested, fetch_text, counts)
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
    """Pages requested so far in a run (updated from the running thread), and
    the searches' matches by page outcome as the searches complete."""

    def __init__(self) -> None:
        self.pages = 0
        self.outcomes: dict[str, int] = {}
        self.rendered: dict[str, int] = {}

    def add(self, n: int) -> None:
        self.pages += n

    def tally(self, outcome: Outcome) -> None:
        for kind, n in outcome.page_counts:
            self.outcomes[kind] = self.outcomes.get(kind, 0) + n
        if outcome.fetch and '"rendered":{' in outcome.fetch:  # pages read in a browser too
            rendered = json.loads(outcome.fetch)["pages"].get("rendered") or {}
            for kind, n in rendered.items():
                self.rendered[kind] = self.rendered.get(kind, 0) + n

    @property
    def read(self) -> int:
        return self.outcomes.get("read", 0)

    @property
    def not_read(self) -> int:
        return sum(self.outcomes.values()) - self.read


def run_in_thread(searches: Iterable[Search], options: RunOptions, *, in_flight: int | None = None,
                  counter: PageCount | None = None, tick: Callable[[], object] | None = None,
                  tick_every: float = 0.2) -> Iterator[Outcome]:
    """The outcomes of `searches` run in this process, on an event loop of a
    thread of their own, while the caller's thread takes them one by one.
    `tick` is called in the caller's thread at least every `tick_every`
    seconds (progress drawing). Closing the iterator (or an interrupt in the
    caller's thread) cancels the searches in flight and ends the thread."""
    from ..fetch import default_bound

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

        async with options.page_client() as client:
            async def run(search: Search) -> Outcome:
                return await run_search(search, options, semaphore, on_pages, client=client)

            async with aclosing(stream_outcomes(searches, run, bound)) as outcomes:
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
