"""The egress proxy a rendering browser must send every connection through.

Interception inside the page does not see every request a page makes
(redirect hops, WebSockets and service workers pass it by), and the browser
resolves names again by itself, so the only place where the destination of a
browser connection can be checked for sure is where the connection is made.
The browser is started with this proxy as its only way out: every CONNECT
tunnel (HTTPS, WebSockets) and every plain-HTTP request names a host; the host
is read and resolved here, with the same rules as the static fetch
(`_destination`), and the connection goes to the very address that was
checked, so a second lookup cannot answer differently.

A refused or failed connection is answered with an error status that the
browser shows as a failed request; each refusal is counted and kept (the
last few) for the page outcomes and the log.

`allow` names (address, port) pairs that pass although internal; with
`only`, nothing else passes, public addresses included: a test, or the demo,
allows exactly its own loopback server without turning the check off; in that mode a host name is refused without being looked up. `rewrite`
maps the link of every plain-HTTP request before it is checked (the demo
sends its made-up shop hosts to its sample server that way, unresolved).
"""

from __future__ import annotations

import asyncio
import collections
import contextlib
import ipaddress
import logging
from collections.abc import Callable, Iterable
from typing import NamedTuple

from ._destination import Address, _Refused, refused_address, resolve, split_destination

log = logging.getLogger("quillmere.fetch")

# The request line and headers of one proxied request; anything longer is refused.
_MAX_HEAD = 64 * 1024
_CONNECT_TIMEOUT = 10.0
# Bytes moved per read in a tunnel.
_CHUNK = 64 * 1024
_HOP_HEADERS = frozenset({b"proxy-connection", b"proxy-authorization", b"connection", b"keep-alive"})
REFUSAL_HEADER = "x-quillmere-egress"
# Services the browser calls by itself (component and extension updates,
# sign-in): never a page's business, refused whatever the mode.
BROWSER_SERVICES = frozenset({"update.googleapis.com", "clients2.google.com", "clients2.googleusercontent.com",
                              "accounts.google.com", "safebrowsing.googleapis.com",
                              "optimizationguide-pa.googleapis.com", "content-autofill.googleapis.com",
                              "redirector.gvt1.com", "edgedl.me.gvt1.com"})


class Refusal(NamedTuple):
    host: str
    port: int
    reason: str


class _Denied(Exception):
    def __init__(self, reason: str, host: str, port: int) -> None:
        super().__init__(reason)
        self.host = host
        self.port = port


def _address_of(text: str) -> Address:
    return ipaddress.ip_address(text)


class EgressProxy:
    """An HTTP proxy on 127.0.0.1 (a port of its own) that checks the address
    of every connection it makes; `refuse=False` lets internal addresses
    through (REFUSE_INTERNAL_DESTINATIONS off), a connection still going to
    the address that was resolved."""

    def __init__(self, *, refuse: bool = True, allow: Iterable[tuple[str, int]] = (), only: bool = False,
                 rewrite: Callable[[str], str] | None = None) -> None:
        self.refuse = refuse
        self.only = only
        self.allow = frozenset((_address_of(a), int(p)) for a, p in allow)
        self.rewrite = rewrite
        self.connections = 0   # connections made
        self.refused = 0       # connections refused
        self.failed = 0        # connections that could not be made
        self.recent: collections.deque[Refusal] = collections.deque(maxlen=64)
        self._server: asyncio.base_events.Server | None = None
        self._tasks: set[asyncio.Task[None]] = set()
        self.port = 0

    # ------------------------------------------------------------ lifetime
    async def start(self) -> "EgressProxy":
        self._server = await asyncio.start_server(self._serve, "127.0.0.1", 0, limit=_MAX_HEAD)
        self.port = self._server.sockets[0].getsockname()[1]
        return self

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    async def aclose(self) -> None:
        if self._server is not None:
            self._server.close()
            self._server = None
        for task in list(self._tasks):
            task.cancel()
        if self._tasks:
            await asyncio.wait(list(self._tasks), timeout=5)

    async def __aenter__(self) -> "EgressProxy":
        return await self.start()

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()

    # ------------------------------------------------------------ the check
    async def checked(self, scheme: str, authority: str) -> tuple[Address, int]:
        """The address and port a connection to `authority` may go to;
        _Denied with the reason when it may not."""
        try:
            _, host, port, address = split_destination(f"{scheme}://{authority}/")
        except _Refused as err:
            raise _Denied(str(err), _host_of(authority), _port_of(authority, scheme)) from None
        if host.rstrip(".") in BROWSER_SERVICES:
            raise _Denied("the browser's own service", host, port)
        if address is None and self.only:
            raise _Denied("a name, and only the allowed addresses may be reached", host, port)
        if address is None:
            try:
                async with asyncio.timeout(_CONNECT_TIMEOUT):
                    found = await resolve(host, port)
            except (OSError, UnicodeError, ValueError, TimeoutError):
                raise _Denied("name not found", host, port) from None
            if not found:
                raise _Denied("name not found", host, port)
            addresses = found
        else:
            addresses = [address]
        if self.only:
            for a in addresses:
                if (a, port) not in self.allow:
                    raise _Denied(f"{a} port {port} is not among the allowed destinations", host, port)
        elif self.refuse:
            for a in addresses:
                if refused_address(a) and (a, port) not in self.allow:
                    raise _Denied(f"internal address {a}", host, port)
        return addresses[0], port

    def _refusal(self, host: str, port: int, reason: str) -> None:
        self.refused += 1
        self.recent.append(Refusal(host, port, reason))
        log.debug("egress: refused %s:%s (%s)", host, port, reason)

    def refusals_for(self, host: str) -> list[Refusal]:
        """The kept refusals of connections to `host`."""
        host = host.lower().strip("[]")
        return [r for r in self.recent if r.host.lower().strip("[]") == host]

    # ------------------------------------------------------------ serving
    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        task = asyncio.current_task()
        assert task is not None
        self._tasks.add(task)
        upstream: asyncio.StreamWriter | None = None
        try:
            try:
                head = await reader.readuntil(b"\r\n\r\n")
            except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, ConnectionError):
                return
            line, _, rest = head.partition(b"\r\n")
            parts = line.split(b" ")
            if len(parts) != 3 or not parts[2].startswith(b"HTTP/"):
                await _answer(writer, 400, "bad request")
                return
            method, target = parts[0], parts[1].decode("latin-1")
            if method == b"CONNECT":
                authority, scheme, first = target, "https", b""
            else:
                scheme, sep, after = target.partition("://")
                if not sep or scheme.lower() not in ("http", "ws"):
                    await _answer(writer, 400, "only absolute http links are proxied")
                    return
                scheme = "http"
                if self.rewrite is not None:
                    try:
                        rewritten = self.rewrite(target)
                    except Exception:
                        await _answer(writer, 400, "unreadable link")
                        return
                    scheme, sep, after = rewritten.partition("://")
                    if scheme != "http":
                        await _answer(writer, 400, "only http links are proxied")
                        return
                authority, slash, path = after.partition("/")
                path = "/" + path if slash else "/"
                authority_clean = authority.rpartition("@")[2]
                first = b" ".join((method, path.encode("latin-1"), parts[2])) + b"\r\n" + _forwarded(rest)
                authority = authority_clean
            try:
                address, port = await self.checked(scheme, authority)
            except _Denied as err:
                self._refusal(err.host, err.port, str(err))
                await _answer(writer, 403, f"refused: {err}", refused=True)
                return
            try:
                async with asyncio.timeout(_CONNECT_TIMEOUT):
                    up_reader, upstream = await asyncio.open_connection(str(address), port)
            except (OSError, TimeoutError) as err:
                self.failed += 1
                log.debug("egress: %s:%s unreachable (%s)", address, port, type(err).__name__)
                await _answer(writer, 502, "unreachable")
                return
            self.connections += 1
            if method == b"CONNECT":
                writer.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
                await writer.drain()
            else:
                upstream.write(first)
                await upstream.drain()
            await _pipe_both(reader, writer, up_reader, upstream)
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        finally:
            for w in (upstream, writer):
                if w is not None:
                    with contextlib.suppress(Exception):
                        w.close()
            self._tasks.discard(task)


def _host_of(authority: str) -> str:
    hostport = authority.rpartition("@")[2]
    if hostport.startswith("["):
        return hostport[1:].partition("]")[0]
    return hostport.rpartition(":")[0] if ":" in hostport else hostport


def _port_of(authority: str, scheme: str) -> int:
    tail = authority.rpartition("]")[2] if authority.startswith("[") else authority
    if ":" in tail:
        with contextlib.suppress(ValueError):
            return int(tail.rpartition(":")[2])
    return 443 if scheme == "https" else 80


def _forwarded(rest: bytes) -> bytes:
    """The request's headers without the proxy's own, one request per connection."""
    kept = []
    for raw in rest.split(b"\r\n"):
        if not raw:
            continue
        name = raw.partition(b":")[0].strip().lower()
        if name not in _HOP_HEADERS:
            kept.append(raw)
    kept.append(b"Connection: close")
    return b"\r\n".join(kept) + b"\r\n\r\n"


async def _answer(writer: asyncio.StreamWriter, status: int, text: str, *, refused: bool = False) -> None:
    body = text.encode("utf-8", "replace")
    reason = {400: "Bad Request", 403: "Forbidden", 502: "Bad Gateway"}[status]
    extra = f"{REFUSAL_HEADER}: refused\r\n" if refused else ""
    writer.write(f"HTTP/1.1 {status} {reason}\r\nContent-Type: text/plain\r\nContent-Length: {len(body)}\r\n"
                 f"{extra}Connection: close\r\n\r\n".encode("ascii") + body)
    with contextlib.suppress(ConnectionError):
        await writer.drain()


async def _pipe(src: asyncio.StreamReader, dst: asyncio.StreamWriter) -> None:
    try:
        while data := await src.read(_CHUNK):
            dst.write(data)
            await dst.drain()
    except ConnectionError:
        pass
    finally:
        with contextlib.suppress(Exception):
            if dst.can_write_eof():
                dst.write_eof()


async def _pipe_both(a_reader: asyncio.StreamReader, a_writer: asyncio.StreamWriter,
                     b_reader: asyncio.StreamReader, b_writer: asyncio.StreamWriter) -> None:
    """Moves bytes both ways until the upstream side `b` has ended: what the
    client still sends then has nowhere to go."""
    ends = [asyncio.ensure_future(_pipe(a_reader, b_writer)), asyncio.ensure_future(_pipe(b_reader, a_writer))]
    try:
        await ends[1]
    finally:
        for t in ends:
            t.cancel()


__all__ = ["EgressProxy", "REFUSAL_HEADER", "Refusal"]
