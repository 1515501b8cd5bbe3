"""At most so many requests in flight to one host.

Each host has a gate of its own, taken before the bound shared by all hosts,
so a request waiting for a busy host holds no slot of that bound and the
other hosts keep moving. The host is the one of the link the engine checked
(lower case), whatever a fetcher does with the link afterwards: the demo's
fetcher sends every link to one loopback server, and its hosts still count
apart. A host that answers 429 has its own limit lowered by one for each such
answer, down to one request at a time, for the rest of the client's life.
"""

from __future__ import annotations

import asyncio
import logging
from collections import deque
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager
from urllib.parse import urlsplit

log = logging.getLogger("quillmere.fetch")


def host_of(url: str) -> str:
    """The lower-case host of `url` (the whole link when it has none)."""
    try:
        host = urlsplit(url).hostname
    except ValueError:
        host = None
    return host or url.lower()


class _Gate:
    """A semaphore whose size may be lowered while it is held; first come,
    first served."""

    __slots__ = ("limit", "active", "waiters")

    def __init__(self, limit: int) -> None:
        self.limit = limit
        self.active = 0
        self.waiters: deque[asyncio.Future[None]] = deque()

    @property
    def idle(self) -> bool:
        return self.active == 0 and not self.waiters

    async def acquire(self) -> None:
        if self.active < self.limit and not self.waiters:
            self.active += 1
            return
        waiter = asyncio.get_running_loop().create_future()
        self.waiters.append(waiter)
        try:
            await waiter
        except asyncio.CancelledError:
            if waiter.done() and not waiter.cancelled():
                self.release()  # the slot was handed over just before the cancel: pass it on
            raise

    def release(self) -> None:
        self.active -= 1
        while self.waiters and self.active < self.limit:
            waiter = self.waiters.popleft()
            if not waiter.done():  # one cancelled meanwhile is skipped
                self.active += 1
                waiter.set_result(None)


class HostLimits:
    """One gate per host, all of size `limit` at first. Gates of hosts that
    are idle and were never lowered are dropped, so a long-lived client that
    meets many hosts keeps few."""

    def __init__(self, limit: int) -> None:
        self.limit = limit
        self._gates: dict[str, _Gate] = {}
        self.lowered: dict[str, int] = {}  # host -> its limit now, for hosts lowered

    def limit_of(self, host: str) -> int:
        return self.lowered.get(host, self.limit)

    @asynccontextmanager
    async def slot(self, host: str) -> AsyncIterator[None]:
        gate = self._gates.get(host)
        if gate is None:
            gate = self._gates[host] = _Gate(self.limit_of(host))
        await gate.acquire()
        try:
            yield
        finally:
            gate.release()
            if gate.idle and host not in self.lowered:
                del self._gates[host]

    def throttle(self, host: str) -> None:
        """`host` answered 429: one request fewer to it at a time from now on (at least one)."""
        now = self.limit_of(host)
        if now <= 1:
            self.lowered[host] = 1
            return
        self.lowered[host] = now - 1
        gate = self._gates.get(host)
        if gate is not None:
            gate.limit = now - 1
        log.info("host %s answers 429: at most %d requests to it at a time from now on", host, now - 1)


__all__ = ["HostLimits", "host_of"]
