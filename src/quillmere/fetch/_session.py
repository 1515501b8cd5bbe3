"""The held transport: one curl_cffi session for all the pages of a client.

Scrapling's ``AsyncFetcher.get`` makes a curl session for every call, so every
page pays a new connection (a TCP and a TLS handshake on the real web), and
Scrapling's persistent session allows at most 10 transfers and takes no
low-level options.  When the bound fetcher is Scrapling's own, a `PageClient`
fetches its pages through one `Transport` instead: a curl_cffi
``AsyncSession`` whose connections are pooled across every call that uses the
client, sending each request as Scrapling's ``AsyncFetcher`` sends it today
(the same "chrome" impersonation and therefore the same browser headers, and
the same Google referer), one attempt, no redirect followed by curl.

Guarantees kept per request:

* No cookie is carried from one request to the next: the session keeps no
  cookie jar (``discard_cookies``), and curl's own cookie store on a reused
  handle is emptied before every request (curl_cffi does that).
* Every transfer is pinned to the address the destination check chose for it
  (HTTP and HTTPS alike) with curl's CONNECT_TO option: curl connects there
  without a lookup of its own, while the URL, the Host header, the TLS name
  and the certificate check keep the host name.  curl keys a pooled
  connection by that address, so a connection made for one address is never
  reused for a request that was checked for another.
* The body goes through the caller's write callback (the cap stops the
  transfer), and curl's time limit is the caller's.

The session is bound to the event loop it was made on; the client makes it
at its first page on a loop and closes it in ``aclose``.
"""

from __future__ import annotations

import asyncio
import importlib
from collections.abc import Callable
from typing import Any

AsyncSession: Any
ffi: Any
lib: Any
try:
    from curl_cffi import CurlError, CurlInfo, CurlOpt
    from curl_cffi.requests import AsyncSession
    from curl_cffi.requests.exceptions import code2error
    from curl_cffi.requests.headers import Headers
    from curl_cffi.requests.utils import set_curl_options

    # curl's own calls, for the one list option curl_cffi's setopt lacks.
    _wrapper = importlib.import_module("curl_cffi._wrapper")
    ffi, lib = _wrapper.ffi, _wrapper.lib
except ImportError:  # pragma: no cover - curl_cffi comes with Scrapling
    AsyncSession = None

LIBRARY_FETCHER: Any = None
try:
    LIBRARY_FETCHER = importlib.import_module("scrapling.fetchers").AsyncFetcher
except ImportError:  # pragma: no cover
    pass

# What Scrapling's AsyncFetcher sends by default: curl's Chrome impersonation
# (which brings the browser's headers; Scrapling adds none of its own then)
# and a Google referer.
IMPERSONATE = "chrome"
HEADERS = {"referer": "https://www.google.com/"}

REDIRECT_STATUSES = frozenset({301, 302, 303, 307, 308})

def held(fetcher: Any) -> bool:
    """True when `fetcher` is Scrapling's own AsyncFetcher, whose pages the
    held session fetches (a fetcher a host binds keeps its own contract)."""
    return AsyncSession is not None and LIBRARY_FETCHER is not None and fetcher is LIBRARY_FETCHER


def connect_to(address: Any, port: int) -> bytes:
    """The CONNECT_TO entry sending this transfer, whatever its host, to `address`."""
    literal = f"[{address}]" if address.version == 6 else str(address)
    return f"::{literal}:{port}".encode("ascii")


def _location(head: bytes, name: str = "location") -> str | None:
    """The Location (or another header named `name`) of the last response
    head in `head`, read as curl_cffi reads a response's headers."""
    lines: list[bytes] = []
    for line in head.splitlines():
        if not line.strip():
            continue
        if line.startswith(b"HTTP/"):
            lines = []
        elif line[:1] in (b" ", b"\t") and lines:
            lines[-1] += line
        else:
            lines.append(line)
    value = Headers(lines).get(name)
    return value if isinstance(value, str) else None


class Transport:
    """One pooled curl session on one event loop."""

    def __init__(self, max_clients: int) -> None:
        self.loop = asyncio.get_running_loop()
        self.max_clients = max_clients
        self._session = AsyncSession(max_clients=max_clients, impersonate=IMPERSONATE, allow_redirects=False,
                                     discard_cookies=True)
        # The CONNECT_TO list of each curl handle's last request, by handle:
        # curl_cffi's setopt has no list form for that option, so the list is
        # made here, and freed once the handle is handed out again (its last
        # transfer is over and its options reset) or the session ends.
        self._routes: dict[int, tuple[Any, Any]] = {}

    async def get(self, url: str, timeout: float, write: Callable[[bytes], int],
                  address: Any = None, port: int | None = None) -> tuple[int, str | None, str | None]:
        """(status, Location header or None, Retry-After header or None) of
        one GET of `url`, its body handed to `write`; sent to `address` when
        one is given.

        The request is set up by curl_cffi's own `set_curl_options` with the
        arguments ``AsyncSession.request`` gives it, so it goes out as before;
        what curl_cffi would then build for every page and nobody reads (its
        Response, the parsed headers and cookies, a dozen getinfo calls, each
        of which lets the GIL go) is skipped: the status is the one thing read,
        and the headers only for a redirect's Location and the Retry-After of
        a 429 or 503."""
        session = self._session
        if session._closed:
            raise RuntimeError("the session is closed")
        curl = await session.pop_curl()
        try:
            old = self._routes.pop(id(curl), None)
            if old is not None:
                lib.curl_slist_free_all(old[1])
            if address is not None and port is not None:
                entries = lib.curl_slist_append(ffi.NULL, connect_to(address, port))
                self._routes[id(curl)] = (curl, entries)
                if lib._curl_easy_setopt(curl._curl, CurlOpt.CONNECT_TO, entries) != 0:
                    raise RuntimeError("curl refused the CONNECT_TO option")
            try:
                _, _, header_buffer, *_ = set_curl_options(
                    curl, "GET", url, params_list=[session.params, None], base_url=session.base_url,
                    headers_list=[session.headers, HEADERS], cookies_list=[session.cookies, None],
                    auth=session.auth, timeout=timeout, allow_redirects=False, max_redirects=session.max_redirects,
                    proxies_list=[session.proxies, None], proxy_auth=session.proxy_auth,
                    trust_env=session.trust_env, verify_list=[session.verify, None],
                    accept_encoding="gzip, deflate, br", content_callback=write,
                    impersonate=session.impersonate, ja3=session.ja3, akamai=session.akamai, perk=session.perk,
                    extra_fp=session.extra_fp, default_headers=session.default_headers,
                    http_version=session.http_version, interface=session.interface, dns=session.dns,
                    doh_url=session.doh_url, cert=session.cert, curl_options=session.curl_options,
                    queue_class=asyncio.Queue, event_class=asyncio.Event)
                await session.acurl.add_handle(curl)
            except CurlError as err:
                raise code2error(err.code, str(err))(str(err), err.code) from err  # type: ignore[arg-type]
            status = int(curl.getinfo(CurlInfo.RESPONSE_CODE))
            location = _location(header_buffer.getvalue()) if status in REDIRECT_STATUSES else None
            retry_after = _location(header_buffer.getvalue(), "retry-after") if status in (429, 503) else None
        finally:
            session.release_curl(curl)
        return status, location, retry_after

    async def aclose(self) -> None:
        try:
            await self._session.close()
        finally:
            for _, entries in self._routes.values():
                lib.curl_slist_free_all(entries)
            self._routes.clear()


__all__ = ["HEADERS", "IMPERSONATE", "LIBRARY_FETCHER", "Transport", "connect_to", "held"]
