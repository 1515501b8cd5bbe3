"""The batch runner on several processes of this machine.

Each worker process runs the searches it is handed on one event loop, with
one fetch bound for all of them, and sends back each outcome (and each page
requested, for progress) as it completes. The parent reads the input, hands
each worker a bounded number of searches at a time (the least loaded first)
and yields the outcomes as they arrive, so neither the input nor the output is
ever held whole. Workers are started with "spawn": the parent may run threads
(a progress bar, a test's loopback server), which do not survive a fork.
"""

from __future__ import annotations

import asyncio
import multiprocessing
import pickle
import queue
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from ._input import Outcome, Search
from ._run import PageCount, RunOptions, apply_destination_policy, children_ignore_interrupts, \
    default_in_flight, run_search, stream_outcomes


class WorkerFailed(RuntimeError):
    """A worker process ended while it still held searches."""


def _worker_main(index: int, inbox: Any, results: Any, options: RunOptions, in_flight: int) -> None:
    import logging

    # The engine's warnings (a page cache that stopped working) reach the
    # standard error this process shares with its parent, as the parent's own do.
    engine_log = logging.getLogger("quillmere")
    if not engine_log.handlers:
        handler = logging.StreamHandler()
        handler.setLevel(logging.WARNING)
        handler.setFormatter(logging.Formatter("quillmere: warning: %(message)s"))
        engine_log.addHandler(handler)

    from .._memory import return_large_buffers

    return_large_buffers()
    try:
        asyncio.run(_work(index, inbox, results, options, in_flight))
    except BaseException as err:
        results.put(("failed", index, f"{type(err).__name__}: {err}"))
        raise SystemExit(1) from None


async def _work(index: int, inbox: Any, results: Any, options: RunOptions, in_flight: int) -> None:
    from ..fetch import default_bound

    apply_destination_policy(options)
    loop = asyncio.get_running_loop()
    semaphore = asyncio.Semaphore(default_bound())

    async def searches() -> Any:
        while True:
            item = await loop.run_in_executor(None, inbox.get)
            if item is None:
                return
            yield Search(*pickle.loads(item))

    def on_pages(n: int) -> None:
        results.put(("pages", index, n))

    # One per worker: its cache connection, its host limits, its browser
    # (when the run renders), all closed when the worker's work ends.
    async with options.page_client() as client:
        async def run(search: Search) -> Outcome:
            return await run_search(search, options, semaphore, on_pages, client=client)

        async for outcome in stream_outcomes(searches(), run, in_flight):
            results.put(("outcome", index, tuple(outcome)))


def run_in_processes(searches: Iterable[Search], options: RunOptions, *, workers: int,
                     in_flight: int | None = None, counter: PageCount | None = None,
                     tick: Callable[[], object] | None = None, tick_every: float = 0.2) -> Iterator[Outcome]:
    """The outcomes of `searches` run in `workers` processes, as they complete."""
    from ..fetch import default_bound

    bound = in_flight if in_flight is not None else default_in_flight(default_bound())
    # What each worker holds: the searches it runs plus a few waiting, so it
    # never runs dry between two hand-outs.
    capacity = bound + max(2, bound // 2)
    ctx = multiprocessing.get_context("spawn")
    results = ctx.Queue()
    inboxes = [ctx.Queue() for _ in range(workers)]
    procs = [ctx.Process(target=_worker_main, args=(i, inboxes[i], results, options, bound),
                         name=f"quillmere-batch-{i}", daemon=True) for i in range(workers)]
    return _drive(searches, procs, inboxes, results, capacity, counter, tick, tick_every)


def _drive(searches: Iterable[Search], procs: list[Any], inboxes: list[Any], results: Any, capacity: int,
           counter: PageCount | None, tick: Callable[[], object] | None, tick_every: float) -> Iterator[Outcome]:
    held = [0] * len(procs)
    source = iter(searches)
    exhausted = False
    clean = False
    with children_ignore_interrupts():
        for proc in procs:
            proc.start()
    try:
        while True:
            while not exhausted:
                worker = min(range(len(procs)), key=held.__getitem__)
                if held[worker] >= capacity:
                    break
                search = next(source, None)
                if search is None:
                    exhausted = True
                    for inbox in inboxes:
                        inbox.put(None)
                    break
                # Pickled here, so a search that cannot be is an error of this
                # call, not one lost in the queue's feeder thread.
                inboxes[worker].put(pickle.dumps(tuple(search)))
                held[worker] += 1
            if exhausted and not any(held):
                break
            try:
                kind, worker, value = results.get(timeout=tick_every)
            except queue.Empty:
                if tick is not None:
                    tick()
                for i, proc in enumerate(procs):
                    if held[i] and not proc.is_alive():
                        raise WorkerFailed(f"worker process {i + 1} ended unexpectedly "
                                           f"(exit code {proc.exitcode})")
                continue
            if kind == "outcome":
                held[worker] -= 1
                yield Outcome(*value)
            elif kind == "pages":
                if counter is not None:
                    counter.add(value)
                if tick is not None:
                    tick()
            else:
                raise WorkerFailed(f"worker process {worker + 1} failed: {value}")
        for proc in procs:
            proc.join()
        clean = True
    finally:
        if not clean:
            for proc in procs:
                if proc.is_alive():
                    proc.terminate()
            for proc in procs:
                proc.join()
        for q in (*inboxes, results):
            q.close()
            q.cancel_join_thread()
