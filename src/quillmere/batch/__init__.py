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
from collections.abc import AsyncGenerator, AsyncIterable, Callable, Iterable, Iterator, Sized
from contextlib import aclosing
from typing import Any

from ._input import BatchInputError, Outcome, Search, SearchError, SearchId, _as_searches, \
    _as_searches_async, id_key, read_searches
from ._run import PageCount, RunOptions, _check_positive, _InternalAllowed, default_in_flight, \
    run_in_thread, run_search, stream_outcomes

__all__ = [
    "BatchInputError", "Outcome", "Search", "SearchError", "enrich_many", "enrich_many_async",
    "id_key", "read_searches",
]


async def enrich_many_async(searches: Iterable[Any] | AsyncIterable[Any], *, in_flight: int | None = None,
                            semaphore: asyncio.Semaphore | None = None, fetcher: Any = None,
                            allow_internal: bool = False, extended: bool = False,
                            ) -> AsyncGenerator[tuple[SearchId, dict[str, Any] | SearchError], None]:
    """Yields ``(id, outcome)`` for each search as it completes, on the
    running event loop. `semaphore` is the fetch bound shared by all searches
    in flight (default: a new one of the engine's default size); `in_flight`
    the number of searches run at a time; `fetcher` as for the engine.
    `allow_internal` lets pages on loopback and private addresses be fetched
    (the engine refuses them by default) while this run goes on.
    Searches may be given as `enrich_many` takes them, also by an
    asynchronous iterable."""
    from ..fetch import PageClient, default_bound

    options = RunOptions.of(allow_internal, extended)
    if semaphore is None:
        semaphore = asyncio.Semaphore(default_bound())
    bound = in_flight if in_flight is not None else default_in_flight(default_bound())
    _check_positive("in_flight", bound)
    source = _as_searches_async(searches) if isinstance(searches, AsyncIterable) else _as_searches(searches)

    client = PageClient()  # the run's connections, closed when it ends

    async def run(search: Search) -> Outcome:
        return await run_search(search, options, semaphore, fetcher=fetcher, client=client)

    with _InternalAllowed(allow_internal):
        async with client, aclosing(stream_outcomes(source, run, bound)) as outcomes:
            async for outcome in outcomes:
                yield outcome.id, outcome.value()


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
    scheduler address such as "tcp://scheduler:8786"), in partitions of
    `partition_size` searches. The searches are read as they are needed, so
    a generator over a large file is never held in memory whole."""
    source = _as_searches(searches)
    options = RunOptions.of(allow_internal, extended)
    expected = len(searches) if isinstance(searches, Sized) else None
    for outcome in run_outcomes(source, options, workers=workers, dask=dask, in_flight=in_flight,
                                partition_size=partition_size, expected=expected):
        yield outcome.id, outcome.value()


def run_outcomes(searches: Iterable[Search], options: RunOptions, *, workers: int | None = None,
                 dask: str | None = None,
                 in_flight: int | None = None, partition_size: int | None = None, expected: int | None = None,
                 counter: PageCount | None = None, tick: Callable[[], object] | None = None) -> Iterator[Outcome]:
    """The outcomes of `searches` on the chosen backend (see `enrich_many`);
    `workers` None means one process, or a LocalCluster sized to the machine;
    `expected` is the number of searches when it is known (it sizes Dask's
    partitions)."""
    if workers is not None:
        _check_positive("workers", workers)
    if dask is not None:
        from ._dask import run_on_dask

        return run_on_dask(searches, options, address=dask, workers=workers, in_flight=in_flight,
                           partition_size=partition_size, expected=expected, counter=counter, tick=tick)
    if workers is not None and workers > 1:
        from ._workers import run_in_processes

        return run_in_processes(searches, options, workers=workers, in_flight=in_flight, counter=counter, tick=tick)
    return run_in_thread(searches, options, in_flight=in_flight, counter=counter, tick=tick)
