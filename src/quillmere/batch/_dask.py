"""The batch runner on a Dask cluster (``pip install quillmere[dask]``).

The client reads the searches, sends them out in partitions of a few hundred
(a bounded number of partitions at a time, about two per worker thread) and
yields each partition's outcomes as soon as that partition is done; the
caller writes them. On a worker, every partition of that process runs on one
event loop in a thread of its own, with one fetch bound shared by all the
searches the process has in flight, whatever the worker's thread count.

Workers need quillmere installed (the same version as the client); they fetch
the pages themselves, so they need the network access the pages need.
"""

from __future__ import annotations

import asyncio
import logging
import math
import os
import threading
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from ._input import Outcome, Search
from ._run import PageCount, RunOptions, apply_destination_policy, children_ignore_interrupts, \
    default_in_flight, partitions, run_search, stream_outcomes

DEFAULT_PARTITION_SIZE = 200


class DaskUnavailable(RuntimeError):
    """Dask's distributed scheduler is not installed."""


# ------------------------------------------------------------ on a worker
class _ProcessLoop:
    """The event loop (in a daemon thread), fetch bound and page clients (one
    per run's options: its host limits, cache and connections) of this
    process: a client's connections serve every partition the worker runs
    with those options and last as long as the worker process."""

    _lock = threading.Lock()
    _current: "_ProcessLoop | None" = None

    def __init__(self) -> None:
        from .._memory import return_large_buffers
        from ..fetch import default_bound

        return_large_buffers()
        self.loop = asyncio.new_event_loop()
        self.semaphore = asyncio.Semaphore(default_bound())
        self.clients: dict[Any, Any] = {}
        threading.Thread(target=self.loop.run_forever, name="quillmere-batch-loop", daemon=True).start()

    @classmethod
    def get(cls) -> "_ProcessLoop":
        with cls._lock:
            if cls._current is None:
                cls._current = cls()
            return cls._current


def run_partition(items: list[tuple[Any, ...]], options: RunOptions, in_flight: int) -> list[tuple[Any, ...]]:
    """Runs one partition's searches (as tuples) on this process's loop and
    returns their outcomes (as tuples), in the order they completed."""
    engine = _ProcessLoop.get()
    apply_destination_policy(options)

    async def collect() -> list[tuple[Any, ...]]:
        key = repr(options.client)  # its values need not be hashable
        client = engine.clients.get(key)
        if client is None:
            client = engine.clients[key] = options.page_client()

        async def run(search: Search) -> Outcome:
            return await run_search(search, options, engine.semaphore, client=client)

        try:
            done = [tuple(o) async for o in stream_outcomes((Search(*item) for item in items), run, in_flight)]
        finally:
            # A Dask worker outlives the command: the browser of a rendering
            # run is closed when the task's searches are done, and what was
            # fetched is written to the cache now.
            await client.close_browser()
        if client.cache is not None:
            await asyncio.get_running_loop().run_in_executor(None, client.cache.flush)
        return done

    return asyncio.run_coroutine_threadsafe(collect(), engine.loop).result()


# ------------------------------------------------------------ on the client
def _start_cluster(address: str, workers: int | None) -> tuple[Any, Any]:
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        raise DaskUnavailable("Dask is not installed; install it with: pip install 'quillmere[dask]'") from None
    if address != "local":
        return Client(address, timeout="30s"), None
    import dask

    # Loopback only, no dashboard: nothing listens beyond this machine. With
    # no dashboard to show them, the workers' statistical profiles (a look at
    # every thread's stack each 10 ms) are not taken.
    with children_ignore_interrupts(), dask.config.set({"distributed.worker.profile.enabled": False}):
        cluster = LocalCluster(n_workers=workers or min(os.cpu_count() or 2, 4), threads_per_worker=2,
                               processes=True, host="127.0.0.1", dashboard_address=None,
                               silence_logs=logging.ERROR)
    return Client(cluster), cluster


def run_on_dask(searches: Iterable[Search], options: RunOptions, *, address: str, workers: int | None = None,
                in_flight: int | None = None, partition_size: int | None = None, expected: int | None = None,
                counter: PageCount | None = None, tick: Callable[[], object] | None = None,
                tick_every: float = 0.2) -> Iterator[Outcome]:
    """The outcomes of `searches` run on the Dask cluster at `address`
    ("local": a LocalCluster of `workers` processes on 127.0.0.1). Without a
    `partition_size`, partitions hold 200 searches, fewer when `expected`
    (the number of searches, if known) would not give every worker thread
    four: smaller partitions stream their results back sooner and share the
    work out more evenly at the end of a run."""
    from ..fetch import default_bound

    if partition_size is not None and (isinstance(partition_size, bool) or not isinstance(partition_size, int)
                                       or partition_size < 1):
        raise ValueError(f"partition_size must be a positive integer, not {partition_size!r}")
    bound = in_flight if in_flight is not None else default_in_flight(default_bound())
    return _drive(searches, options, address, workers, bound, partition_size, expected, counter, tick, tick_every)


def partition_size_for(expected: int | None, threads: int) -> int:
    """Partitions of up to 200 searches, at least four per worker thread."""
    if expected is None:
        return DEFAULT_PARTITION_SIZE
    return max(1, min(DEFAULT_PARTITION_SIZE, math.ceil(expected / (4 * max(threads, 1)))))


def _drive(searches: Iterable[Search], options: RunOptions, address: str, workers: int | None, bound: int,
           size: int | None, expected: int | None, counter: PageCount | None, tick: Callable[[], object] | None,
           tick_every: float) -> Iterator[Outcome]:
    from distributed import TimeoutError as DaskTimeout
    from distributed import wait

    client, cluster = _start_cluster(address, workers)
    pending: set[Any] = set()
    try:
        threads = sum(client.nthreads().values())
        limit = max(2, 2 * threads)
        parts = partitions(searches, size if size is not None else partition_size_for(expected, threads))
        exhausted = False
        while True:
            while not exhausted and len(pending) < limit:
                part = next(parts, None)
                if part is None:
                    exhausted = True
                    break
                pending.add(client.submit(run_partition, [tuple(s) for s in part], options, bound, pure=False))
            if not pending:
                return
            try:
                done, _ = wait(list(pending), timeout=tick_every, return_when="FIRST_COMPLETED")
            except (DaskTimeout, TimeoutError):
                if tick is not None:
                    tick()
                continue
            for future in done:
                pending.discard(future)
                outcomes = future.result()
                future.release()
                for item in outcomes:
                    outcome = Outcome(*item)
                    if counter is not None:
                        counter.add(outcome.pages)
                    yield outcome
    finally:
        for future in pending:
            future.cancel()
        client.close()
        if cluster is not None:
            cluster.close()
