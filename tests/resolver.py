"""An event loop whose resolver answers from a table, for tests that check
destinations by name: no test may ask DNS about another host.

    loop = TableResolverLoop({"shop.test": ["93.184.216.34"]})
    with asyncio.Runner(loop_factory=lambda: loop) as runner:
        runner.run(...)
    loop.lookups  # [("shop.test", 443), ...]

A name missing from the table fails as an unknown name does (socket.gaierror).
"""

from __future__ import annotations

import asyncio
import socket

# A globally routed address (nothing is ever sent to it: the tests that use it
# bind a recording fake fetcher).
PUBLIC = "93.184.216.34"


class TableResolverLoop(asyncio.SelectorEventLoop):
    def __init__(self, table=None, default=None, record=True):
        super().__init__()
        self.table = dict(table or {})
        self.default = default
        self.record = record
        self.lookups: list[tuple[str, int]] = []

    async def getaddrinfo(self, host, port, *, family=0, type=0, proto=0, flags=0):
        if self.record:
            self.lookups.append((host, port))
        await asyncio.sleep(0)
        addresses = self.table.get(host, self.default)
        if addresses is None:
            raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")
        return [(socket.AF_INET6 if ":" in a else socket.AF_INET, socket.SOCK_STREAM,
                 socket.IPPROTO_TCP, "", (a, port)) for a in addresses]


def run_with(loop: asyncio.AbstractEventLoop, coro, timeout: float = 60):
    """Runs `coro` on `loop` (closed afterwards), with a deadline so a broken
    test fails instead of hanging."""
    with asyncio.Runner(loop_factory=lambda: loop) as runner:
        return runner.run(asyncio.wait_for(coro, timeout))


def forbid_name_lookups(monkeypatch) -> list[str]:
    """Make the C library's resolver refuse every name (numeric hosts still
    pass), so no test can ask DNS.  Returns the list of names that were asked
    about (the engine absorbs the failure, so the caller asserts it empty)."""
    real = socket.getaddrinfo
    asked: list[str] = []

    def numeric_only(host, *args, **kwargs):
        if host is not None:
            try:
                real(host, None, flags=socket.AI_NUMERICHOST)
            except socket.gaierror:
                asked.append(host)
                raise socket.gaierror(socket.EAI_NONAME, "name lookups are off in tests") from None
        return real(host, *args, **kwargs)

    monkeypatch.setattr(socket, "getaddrinfo", numeric_only)
    return asked
