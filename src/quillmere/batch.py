"""Many searches at once: a streaming runner over the engine's processing entry.

A search is one image search's visual matches with an id. The runner enriches
many of them, a bounded number at a time, and hands back each search's outcome
as soon as it is done::

    from quillmere.batch import SearchError, enrich_many

    searches = [{"id": "s1", "matches": [{"link": "https://shop.example/p/1", "title": "Tote"}]}]
    for search_id, outcome in enrich_many(searches):
        if isinstance(outcome, SearchError):
            print(search_id, "failed:", outcome)
        else:
            print(search_id, outcome["summary"]["total_matches"])

An outcome is the search's `CommerceIntelligence` as JSON data with absent
fields left out (``json.loads(intel.model_dump_json(exclude_none=True))``), or
a `SearchError` when that search cannot be enriched (bad matches, say); one
failing search never stops the others. In one process every search in flight
shares one bound on the pages being fetched, so pages of several searches are
fetched together, each with the engine's per-page time limit. `workers=N`
spreads the searches over N processes of this machine, `dask=` over a Dask
cluster (``"local"`` or a scheduler address; ``pip install quillmere[dask]``).

`enrich_many_async` is the same on the caller's event loop, in its process.
The ``quillmere enrich-many`` command (JSON Lines in and out, resuming) is
built on these functions.
"""

from __future__ import annotations

import asyncio
import json
import queue
import re
import threading
from collections.abc import AsyncIterable, AsyncIterator, Callable, Iterable, Iterator, Mapping
from contextlib import aclosing
from typing import Any, NamedTuple, Union

__all__ = [
    "BatchInputError", "Outcome", "Search", "SearchError", "enrich_many", "enrich_many_async",
    "id_key", "read_searches",
]

SearchId = Union[str, int]


class BatchInputError(ValueError):
    """The input as a whole cannot be used: a line that is not a search
    object, an id of the wrong kind, an id that repeats an earlier one."""


class SearchError(Exception):
    """The outcome of a search that failed; ``str()`` is its message."""


class Search(NamedTuple):
    """One search: its id, where it was read (for messages) and its matches
    as given (checked only when the search is run)."""

    id: SearchId
    where: str
    matches: Any


class Outcome(NamedTuple):
    """What running one search gave, in a form that crosses processes:
    ``ok`` with the result's JSON text, or not ``ok`` with the error message;
    ``pages`` counts the pages requested for it."""

    id: SearchId
    ok: bool
    text: str
    pages: int = 0

    def value(self) -> dict[str, Any] | SearchError:
        return json.loads(self.text) if self.ok else SearchError(self.text)


def id_key(value: SearchId) -> str:
    """The id as a key that tells 3 and "3" apart."""
    return json.dumps(value, ensure_ascii=False)


# ------------------------------------------------------------------ input
def _json_kind(value: object) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    return {str: "a string", list: "an array"}.get(type(value), "an object")


class _Missing:
    """Marks a search without "matches"; one object in every process."""

    def __reduce__(self) -> str:
        return "_MISSING"

    def __repr__(self) -> str:
        return "<missing>"


_MISSING = _Missing()


def _search_of(record: object, default_id: int, where: str, prefix: str) -> Search:
    if not isinstance(record, dict):
        raise BatchInputError(f'{prefix}{where}: expected a search object {{"id": ..., "matches": [...]}}, '
                              f"found {_json_kind(record)}")
    sid = record.get("id")
    if sid is None:
        sid = default_id
    elif isinstance(sid, bool) or not isinstance(sid, (str, int)):
        raise BatchInputError(f'{prefix}{where}: "id" must be a string or an integer, not {_json_kind(sid)}')
    return Search(sid, where, record.get("matches", _MISSING))


class _UniqueIds:
    """Refuses a repeated id, naming where it was first seen."""

    def __init__(self, prefix: str) -> None:
        self.prefix = prefix
        self.first: dict[str, str] = {}

    def check(self, search: Search) -> Search:
        key = id_key(search.id)
        earlier = self.first.get(key)
        if earlier is not None:
            raise BatchInputError(f"{self.prefix}{search.where}: id {key} repeats {earlier}")
        self.first[key] = search.where
        return search


def read_searches(lines: Iterable[str | bytes], name: str = "") -> Iterator[Search]:
    """The searches of a JSON Lines text, read lazily, one object a line:
    ``{"id": ..., "matches": [...]}``. A line without an id (or with a null
    one) takes its line number; blank lines are skipped. A line that is not
    such an object, or whose id repeats an earlier line's, raises
    `BatchInputError` naming the file (`name`) and the line(s)."""
    prefix = f"{name}: " if name else ""
    unique = _UniqueIds(prefix)
    for lineno, line in enumerate(lines, start=1):
        if isinstance(line, bytes):
            try:
                line = line.decode("utf-8-sig" if lineno == 1 else "utf-8")
            except UnicodeDecodeError as err:
                raise BatchInputError(f"{prefix}line {lineno}: not UTF-8 text (at byte {err.start})") from None
        elif lineno == 1:
            line = line.removeprefix("\ufeff")
        if not line.strip():
            continue
        where = f"line {lineno}"
        try:
            record = json.loads(line)
        except json.JSONDecodeError as err:
            raise BatchInputError(f"{prefix}{where}: invalid JSON at column {err.colno}: {err.msg}") from None
        except RecursionError:
            raise BatchInputError(f"{prefix}{where}: JSON nested too deeply") from None
        yield unique.check(_search_of(record, lineno, where, prefix))


def _as_searches(searches: Iterable[Any]) -> Iterator[Search]:
    """The API's searches: `Search` values, mappings with "id" and "matches",
    or (id, matches) pairs; one without an id takes its position from 1."""
    unique = _UniqueIds("")
    for position, item in enumerate(searches, start=1):
        where = f"search {position}"
        if isinstance(item, Search):
            search = item
        elif isinstance(item, Mapping):
            search = _search_of(dict(item), position, where, "")
        elif isinstance(item, tuple) and len(item) == 2:
            search = _search_of({"id": item[0], "matches": item[1]}, position, where, "")
        else:
            raise BatchInputError(f"{where}: expected a mapping with \"matches\" or an (id, matches) pair, "
                                  f"not {type(item).__name__}")
        yield unique.check(search)


def _visual_matches(raw: Any) -> list[Any]:
    """The search's matches as VisualMatch records, checked as ``quillmere
    enrich`` checks its input; `SearchError` names the first bad match."""
    from .cli import CliError, match_fields
    from .models import VisualMatch

    if raw is _MISSING:
        raise SearchError('the search has no "matches"')
    if not isinstance(raw, list):
        raise SearchError(f'"matches" must be an array of match objects, not {_json_kind(raw)}')
    matches = []
    for number, match in enumerate(raw, start=1):
        if isinstance(match, VisualMatch):
            matches.append(match)
            continue
        try:
            fields = match_fields("m", "w", match)
        except CliError as err:
            raise SearchError(f"match {number}: {str(err).removeprefix('m: w: ')}") from None
        matches.append(VisualMatch(**fields))
    return matches


# ---------------------------------------------------------------- running
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
    """What every search of a run is given (picklable, for worker processes)."""

    allow_internal: bool = False
    extended: bool = False


def apply_destination_policy(options: RunOptions) -> None:
    """In the runner's own worker processes: internal destinations (loopback,
    private ranges) are fetched when, and only when, the run asks for it. The
    engine reads this binding at every fetch."""
    from . import commerce

    commerce.REFUSE_INTERNAL_DESTINATIONS = not options.allow_internal


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
        from . import commerce

        cls = type(self)
        with cls._lock:
            if cls._runs == 0:
                cls._saved = getattr(commerce, "REFUSE_INTERNAL_DESTINATIONS", _MISSING)
            cls._runs += 1
            commerce.REFUSE_INTERNAL_DESTINATIONS = False

    def __exit__(self, *exc: object) -> None:
        if not self.wanted:
            return
        from . import commerce

        cls = type(self)
        with cls._lock:
            cls._runs -= 1
            if cls._runs == 0:
                if cls._saved is _MISSING:
                    del commerce.REFUSE_INTERNAL_DESTINATIONS
                else:
                    commerce.REFUSE_INTERNAL_DESTINATIONS = cls._saved


async def run_search(search: Search, options: RunOptions, semaphore: asyncio.Semaphore | None,
                     on_pages: Callable[[int], object] | None = None, fetcher: Any = None) -> Outcome:
    """Runs one search through the engine; its failure becomes its outcome."""
    from . import commerce

    requested = 0

    def progress(done: int, total: int) -> None:
        nonlocal requested
        if done > requested:
            if on_pages is not None:
                on_pages(done - requested)
            requested = done

    try:
        matches = _visual_matches(search.matches)
        keywords: dict[str, Any] = {"progress": progress, "semaphore": semaphore, "fetcher": fetcher}
        if options.extended:
            keywords["extended"] = True
        intel = await commerce.CommerceEnricher.process_async(matches, **keywords)
        return Outcome(search.id, True, result_text(intel), requested)
    except SearchError as err:
        return Outcome(search.id, False, str(err), requested)
    except Exception as err:  # the engine's own error for this search: reported, the run goes on
        return Outcome(search.id, False, f"{type(err).__name__}: {err}", requested)


def default_in_flight(fetch_bound: int) -> int:
    """Searches in flight per process: enough to keep the fetch bound busy
    while finished searches are analysed, few enough to bound memory."""
    return max(4, fetch_bound)


async def stream_outcomes(searches: Iterable[Search] | AsyncIterable[Search],
                          run: Callable[[Search], Any], in_flight: int) -> AsyncIterator[Outcome]:
    """Runs `run(search)` for at most `in_flight` searches at a time and
    yields their outcomes as they complete. Searches are taken from the input
    only as slots free up; leaving early cancels the searches in flight."""
    if isinstance(searches, AsyncIterable):
        source = aiter(searches)
    else:
        source = _async_iter(searches)
    pending: set[asyncio.Future[Outcome]] = set()
    exhausted = False
    try:
        while True:
            while not exhausted and len(pending) < in_flight:
                try:
                    search = await anext(source)
                except StopAsyncIteration:
                    exhausted = True
                    break
                pending.add(asyncio.ensure_future(run(search)))
            if not pending:
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


async def enrich_many_async(searches: Iterable[Any] | AsyncIterable[Any], *, in_flight: int | None = None,
                            semaphore: asyncio.Semaphore | None = None, fetcher: Any = None,
                            allow_internal: bool = False, extended: bool = False,
                            ) -> AsyncIterator[tuple[SearchId, dict[str, Any] | SearchError]]:
    """Yields ``(id, outcome)`` for each search as it completes, on the
    running event loop. `semaphore` is the fetch bound shared by all searches
    in flight (default: a new one of the engine's default size); `in_flight`
    the number of searches run at a time; `fetcher` as for the engine.
    `allow_internal` lets pages on loopback and private addresses be fetched
    (the engine refuses them by default) while this run goes on.
    Searches may be given as `enrich_many` takes them; an async iterable
    must yield `Search` values."""
    from ._fetch import default_bound

    options = RunOptions(allow_internal, extended)
    if semaphore is None:
        semaphore = asyncio.Semaphore(default_bound())
    bound = in_flight if in_flight is not None else default_in_flight(default_bound())
    _check_positive("in_flight", bound)
    source = searches if isinstance(searches, AsyncIterable) else _as_searches(searches)

    async def run(search: Search) -> Outcome:
        return await run_search(search, options, semaphore, fetcher=fetcher)

    with _InternalAllowed(allow_internal):
        async with aclosing(stream_outcomes(source, run, bound)) as outcomes:
            async for outcome in outcomes:
                yield outcome.id, outcome.value()


def _check_positive(name: str, value: object) -> None:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{name} must be a positive integer, not {value!r}")


# ------------------------------------------------------- one process, sync
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
    from ._fetch import default_bound

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

        async def run(search: Search) -> Outcome:
            return await run_search(search, options, semaphore, on_pages)

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


def enrich_many(searches: Iterable[Any], *, workers: int | None = None, dask: str | None = None,
                in_flight: int | None = None, partition_size: int | None = None,
                allow_internal: bool = False, extended: bool = False,
                ) -> Iterator[tuple[SearchId, dict[str, Any] | SearchError]]:
    """Yields ``(id, outcome)`` for each search as it completes; see the
    module's description. Searches are mappings ``{"id": ..., "matches":
    [...]}`` (matches as VisualMatch records or as the mappings ``quillmere
    enrich`` reads), ``(id, matches)`` pairs or `Search` values; one without
    an id takes its position from 1, a repeated id raises `BatchInputError`.

    `workers` > 1 runs the searches in that many processes; `dask` runs them
    on a Dask cluster ("local": a LocalCluster of `workers` processes, or a
    scheduler address such as "tcp://10.0.0.5:8786"), in partitions of
    `partition_size` searches. The searches are read as they are needed, so
    a generator over a large file is never held in memory whole."""
    source = _as_searches(searches)
    options = RunOptions(allow_internal, extended)
    for outcome in run_outcomes(source, options, workers=workers, dask=dask, in_flight=in_flight,
                                partition_size=partition_size):
        yield outcome.id, outcome.value()


def run_outcomes(searches: Iterable[Search], options: RunOptions, *, workers: int | None = None,
                 dask: str | None = None,
                 in_flight: int | None = None, partition_size: int | None = None,
                 counter: PageCount | None = None, tick: Callable[[], object] | None = None) -> Iterator[Outcome]:
    """The outcomes of `searches` on the chosen backend (see `enrich_many`);
    `workers` None means one process, or a LocalCluster sized to the machine."""
    if workers is not None:
        _check_positive("workers", workers)
    if dask is not None:
        from ._batch_dask import run_on_dask

        return run_on_dask(searches, options, address=dask, workers=workers, in_flight=in_flight,
                           partition_size=partition_size, counter=counter, tick=tick)
    if workers is not None and workers > 1:
        from ._batch_workers import run_in_processes

        return run_in_processes(searches, options, workers=workers, in_flight=in_flight, counter=counter, tick=tick)
    return run_in_thread(searches, options, in_flight=in_flight, counter=counter, tick=tick)


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

