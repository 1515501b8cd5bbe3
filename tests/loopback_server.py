"""A small HTTP/1.1 server on 127.0.0.1 for tests and benchmarks that fetch pages.

The server runs its own asyncio loop in a background thread, so the code under
test can drive any event loop (or none) in the calling thread.  It serves a
table of routes, path -> (status, body, delay[, headers dict]); a delay of ``None``
(`HANG`) reads the request and never answers, one of `DROP` hangs up at once.
It counts requests per path and the number of requests in flight (from the end
of the request head until the answer is written or the client hangs up),
including the highest number seen.

    with LoopbackServer({"/a": (200, b"<html>a</html>", 0.0)}) as srv:
        url = srv.url("/a")
        ...
        assert srv.hits["/a"] == 1 and srv.max_in_flight == 1

A route may also be a list of such entries, answered in turn (the last one
from then on): ``[(429, b"", 0.0, {"Retry-After": "1"}), (200, page, 0.0)]``.
`throttle_over=N` answers 429 (with `throttle_headers`) to every request that
arrives while N are already in flight. `host=` listens on another loopback
address (127.0.0.2 stands for a second host). Request arrival times are kept
per target (`times`), in-flight counts also per Host header (`max_by_host`).

A body may also be a `Repeated(chunk, count)`: the chunk written `count` times
with its Content-Length, so a very large page costs the server one chunk of
memory.

With ``keep_alive=True`` a connection serves request after request (a route
whose headers name ``Connection: close`` still closes it); by default every
answer says ``Connection: close`` and the connection ends. `connections`
counts the connections accepted, `heads` keeps each request's target and
headers, and ``connect_delay`` seconds are charged before the first request
of every new connection (a stand-in for TCP and TLS set-up over a network).
``host`` and ``port`` choose the address (127.0.0.2 can stand for another
machine).

Besides the routes, `refused_url()` names a port that refuses connections and
`silent_url()` a port whose kernel accepts connections that are never read.
"""

from __future__ import annotations

import asyncio
import collections
import http
import socket
import threading
import time
from dataclasses import dataclass, field

HANG = None  # route delay: accept the request, never answer
DROP = -1.0  # route delay: read the request, hang up without an answer


@dataclass(frozen=True)
class Repeated:
    """A body of `chunk` written `count` times (never held whole)."""

    chunk: bytes
    count: int

    def __len__(self) -> int:
        return len(self.chunk) * self.count


@dataclass(frozen=True)
class Route:
    status: int = 200
    body: "bytes | Repeated" = b""
    delay: float | None = 0.0
    headers: tuple[tuple[str, str], ...] = ()

    @classmethod
    def of(cls, entry) -> "Route":
        if isinstance(entry, Route):
            return entry
        status, body, delay, *rest = entry
        headers = tuple(dict(rest[0]).items()) if rest else ()
        return cls(status, body, delay, headers)


NOT_FOUND = Route(404, b"not found", 0.0)


@dataclass
class _Stats:
    hits: collections.Counter = field(default_factory=collections.Counter)
    abandoned: collections.Counter = field(default_factory=collections.Counter)
    in_flight: int = 0
    max_in_flight: int = 0
    times: dict = field(default_factory=lambda: collections.defaultdict(list))
    by_host: collections.Counter = field(default_factory=collections.Counter)
    max_by_host: collections.Counter = field(default_factory=collections.Counter)
    throttled: int = 0
    last_status: dict = field(default_factory=dict)
    connections: int = 0
    heads: list = field(default_factory=list)


class LoopbackServer:
    """HTTP server on 127.0.0.1 with an ephemeral port; see the module docstring.

    `fallback` answers paths that are not in `routes` (default: 404).
    """

    def __init__(self, routes=None, *, fallback=NOT_FOUND, host="127.0.0.1", throttle_over=None,
                 throttle_headers=None, keep_alive=False, connect_delay=0.0, port=0):
        self._routes = {path: (tuple(Route.of(e) for e in entry) if isinstance(entry, list) else Route.of(entry))
                        for path, entry in (routes or {}).items()}
        self._host = host
        self._throttle_over = throttle_over
        self._throttle = Route(429, b"too many requests", 0.0, tuple(dict(throttle_headers or {}).items()))
        self._keep_alive = keep_alive
        self._connect_delay = connect_delay
        self._want_port = port
        self._fallback = Route.of(fallback)
        self._cond = threading.Condition()
        self._stats = _Stats()
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None
        self._server: asyncio.base_events.Server | None = None
        self._handlers: set[asyncio.Task] = set()
        self._refused = self._silent = None
        self.port = 0

    # ------------------------------------------------------------ lifecycle
    def start(self) -> "LoopbackServer":
        ready = threading.Event()
        failure: list[BaseException] = []

        def run():
            loop = asyncio.new_event_loop()
            self._loop = loop
            try:
                self._server = loop.run_until_complete(
                    asyncio.start_server(self._handle, self._host, self._want_port, backlog=1024))
                self.port = self._server.sockets[0].getsockname()[1]
            except BaseException as exc:  # reported to the starting thread
                failure.append(exc)
                ready.set()
                loop.close()
                return
            ready.set()
            try:
                loop.run_forever()
            finally:
                loop.close()

        self._thread = threading.Thread(target=run, name="loopback-http", daemon=True)
        self._thread.start()
        ready.wait()
        if failure:
            raise failure[0]
        # A bound socket that never listens: connections to it are refused.
        self._refused = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._refused.bind(("127.0.0.1", 0))
        # A listening socket that is never accepted: the kernel completes the
        # handshake, the request sits unread and no answer ever comes.
        self._silent = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._silent.bind(("127.0.0.1", 0))
        self._silent.listen(64)
        return self

    def stop(self) -> None:
        if self._thread is None:
            return

        async def shutdown():
            self._server.close()
            for task in list(self._handlers):
                task.cancel()
            await asyncio.gather(*self._handlers, return_exceptions=True)
            await self._server.wait_closed()

        asyncio.run_coroutine_threadsafe(shutdown(), self._loop).result(10)
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(10)
        self._thread = None
        for sock in (self._refused, self._silent):
            sock.close()

    def __enter__(self) -> "LoopbackServer":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    # ------------------------------------------------------------ addresses
    @property
    def base(self) -> str:
        return f"http://{self._host}:{self.port}"

    def url(self, path: str) -> str:
        return self.base + path

    def refused_url(self, path: str = "/") -> str:
        return f"http://127.0.0.1:{self._refused.getsockname()[1]}{path}"

    def silent_url(self, path: str = "/") -> str:
        return f"http://127.0.0.1:{self._silent.getsockname()[1]}{path}"

    # ------------------------------------------------------------ counters
    @property
    def hits(self) -> collections.Counter:
        """Requests received per request target (path and query)."""
        with self._cond:
            return collections.Counter(self._stats.hits)

    @property
    def abandoned(self) -> collections.Counter:
        """Requests whose client hung up before the answer was written."""
        with self._cond:
            return collections.Counter(self._stats.abandoned)

    @property
    def connections(self) -> int:
        """Connections accepted."""
        with self._cond:
            return self._stats.connections

    @property
    def heads(self) -> list:
        """(target, {lower-case header name: value}) of every request, in order."""
        with self._cond:
            return list(self._stats.heads)

    @property
    def in_flight(self) -> int:
        with self._cond:
            return self._stats.in_flight

    @property
    def max_in_flight(self) -> int:
        with self._cond:
            return self._stats.max_in_flight

    @property
    def times(self) -> dict:
        """Arrival times (time.monotonic()) of the requests, per target."""
        with self._cond:
            return {target: list(ts) for target, ts in self._stats.times.items()}

    @property
    def max_by_host(self) -> collections.Counter:
        """The most requests in flight at once, per Host header."""
        with self._cond:
            return collections.Counter(self._stats.max_by_host)

    @property
    def last_status(self) -> dict:
        """The status of the last answer given, per target."""
        with self._cond:
            return dict(self._stats.last_status)

    @property
    def throttled(self) -> int:
        """Requests answered 429 because too many were in flight."""
        with self._cond:
            return self._stats.throttled

    def reset_counts(self) -> None:
        with self._cond:
            self._stats = _Stats()

    def wait_idle(self, timeout: float = 10.0) -> bool:
        """Wait until no request is in flight; False if that did not happen in time."""
        with self._cond:
            return self._cond.wait_for(lambda: self._stats.in_flight == 0, timeout)

    # ------------------------------------------------------------ serving
    def _enter(self, target: str, host: str) -> tuple[int, int]:
        """Counts the request in; (its number for this target, those in flight before it)."""
        with self._cond:
            s = self._stats
            s.hits[target] += 1
            s.times[target].append(time.monotonic())
            before = s.in_flight
            s.in_flight += 1
            s.max_in_flight = max(s.max_in_flight, s.in_flight)
            s.by_host[host] += 1
            s.max_by_host[host] = max(s.max_by_host[host], s.by_host[host])
            return s.hits[target], before

    def _leave(self, target: str, host: str, abandoned: bool) -> None:
        with self._cond:
            self._stats.in_flight -= 1
            self._stats.by_host[host] -= 1
            if abandoned:
                self._stats.abandoned[target] += 1
            self._cond.notify_all()

    async def _handle(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        task = asyncio.current_task()
        self._handlers.add(task)
        with self._cond:
            self._stats.connections += 1
        try:
            if self._connect_delay:
                await asyncio.sleep(self._connect_delay)
            while await self._serve_one(reader, writer):
                pass
        finally:
            self._handlers.discard(task)
            writer.close()

    async def _serve_one(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> bool:
        """Answers one request; True when the connection may serve another."""
        try:
            head = await reader.readuntil(b"\r\n\r\n")
        except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, ConnectionError):
            return False
        lines = head.split(b"\r\n")
        parts = lines[0].split()
        target = parts[1].decode("latin-1") if len(parts) >= 2 else "/"
        headers = {}
        for line in lines[1:]:
            name, sep, value = line.decode("latin-1").partition(":")
            if sep:
                headers[name.strip().lower()] = value.strip()
        host = headers.get("host", "").lower()
        route = (self._routes.get(target) or self._routes.get(target.split("?", 1)[0])
                 or self._fallback)
        with self._cond:
            self._stats.heads.append((target, headers))
        number, before = self._enter(target, host)
        if isinstance(route, tuple):
            route = route[min(number, len(route)) - 1]
        if self._throttle_over is not None and before >= self._throttle_over:
            route = self._throttle
            with self._cond:
                self._stats.throttled += 1
        with self._cond:
            self._stats.last_status[target] = route.status
        abandoned = True
        try:
            if route.delay == DROP or await self._client_left_within(reader, route.delay):
                return False
            writer.write(self._render(route, self._keep_alive))
            await writer.drain()
            if isinstance(route.body, Repeated):
                for _ in range(route.body.count):
                    writer.write(route.body.chunk)
                    await writer.drain()
            abandoned = False
        except ConnectionError:
            return False
        finally:
            self._leave(target, host, abandoned)
        closes = any(n.lower() == "connection" and v.lower() == "close" for n, v in route.headers)
        return self._keep_alive and not closes

    @staticmethod
    async def _client_left_within(reader: asyncio.StreamReader, delay: float | None) -> bool:
        """Wait `delay` seconds (forever for None); True if the client hung up first."""
        if delay is not None and delay <= 0:
            return False
        eof = asyncio.ensure_future(reader.read())
        try:
            done, _ = await asyncio.wait({eof}, timeout=delay)
            return bool(done)
        finally:
            eof.cancel()
            await asyncio.gather(eof, return_exceptions=True)  # done reading before the next request is read

    @staticmethod
    def _render(route: Route, keep_alive: bool = False) -> bytes:
        try:
            reason = http.HTTPStatus(route.status).phrase
        except ValueError:
            reason = "Status"
        names = {name.lower() for name, _ in route.headers}
        lines = [f"HTTP/1.1 {route.status} {reason}"]
        if "content-length" not in names:  # a route may claim more than it sends (a cut body)
            lines.append(f"Content-Length: {len(route.body)}")
        if not keep_alive and "connection" not in names:
            lines.append("Connection: close")
        if "content-type" not in names:
            lines.append("Content-Type: text/html; charset=utf-8")
        lines += [f"{name}: {value}" for name, value in route.headers]
        head = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")
        return head if isinstance(route.body, Repeated) else head + route.body
