"""Sample destination pages and the loopback server that stands in for their sites.

The demo's visual matches link to real-looking hosts (a brand's shop, eBay,
StockX, Instagram, Behance, ...). Nothing is sent to those hosts: the demo
hands the engine a page fetcher that rewrites every link to the loopback
server below, which answers from the bundled pages in ``pages/``.
The original host travels as the first path segment, so a link
``https://www.ebay.com/itm/1?x=1`` is fetched as
``http://127.0.0.1:PORT/www.ebay.com/itm/1?x=1``.
"""

from __future__ import annotations

import asyncio
import json
import threading
import urllib.error
import urllib.request
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from types import TracebackType
from typing import Any, Mapping
from urllib.parse import urlsplit, urlunsplit

DEMO_DIR = Path(__file__).resolve().parent
PAGES_DIR = DEMO_DIR / "pages"

_NOT_FOUND_BODY = (
    b"<!DOCTYPE html><html><head><title>Not found</title></head>"
    b"<body><h1>Not found</h1></body></html>"
)


@dataclass(frozen=True)
class Route:
    """How the sample server answers one path: a page file, a status, a delay."""

    page: str
    status: int = 200
    delay: float = 0.0
    about: str = ""


def load_routes(path: Path | None = None) -> dict[str, Route]:
    """The bundled site map: ``host/path`` (without query) to its route."""
    raw = json.loads((path or DEMO_DIR / "site.json").read_text(encoding="utf-8"))
    return {key: Route(**fields) for key, fields in raw.items()}


def load_matches(path: Path | None = None) -> list[dict[str, Any]]:
    """The bundled visual matches, as plain JSON objects."""
    data = json.loads((path or DEMO_DIR / "matches.json").read_text(encoding="utf-8"))
    if not isinstance(data, list):
        raise ValueError("the demo matches file must hold a JSON array")
    return data


def load_render_sample() -> tuple[dict[str, Route], list[dict[str, Any]]]:
    """The sample added to a ``demo --render`` run: a shop page whose product
    data is built by script, its script, and the match that links to it."""
    return load_routes(DEMO_DIR / "render-site.json"), load_matches(DEMO_DIR / "render-matches.json")


def route_key(url: str) -> str:
    """The site-map key of a link: host (lower case) and path, query dropped."""
    parts = urlsplit(url)
    return (parts.hostname or "") + (parts.path or "/")


class SampleServer:
    """A threaded HTTP server on 127.0.0.1 answering from a site map.

    Use as a context manager; ``loopback_url`` maps any link to this server.
    Slow routes wait on an event that is set at shutdown, so closing the
    server never waits for a deliberately slow answer.
    """

    def __init__(self, routes: Mapping[str, Route], pages_dir: Path = PAGES_DIR) -> None:
        self.routes: dict[str, Route] = dict(routes)
        self.pages_dir = pages_dir
        self.requests: list[str] = []
        self._stop = threading.Event()
        self._httpd: ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None

    # -- lifecycle
    def start(self) -> "SampleServer":
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self) -> None:  # noqa: N802 (http.server's naming)
                server._answer(self)

            def log_message(self, format: str, *args: Any) -> None:
                pass

        httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        httpd.daemon_threads = True
        httpd.block_on_close = False
        self._httpd = httpd
        self._thread = threading.Thread(target=httpd.serve_forever, name="quillmere-demo-server", daemon=True)
        self._thread.start()
        return self

    def close(self) -> None:
        self._stop.set()
        if self._httpd is not None:
            self._httpd.shutdown()
            self._httpd.server_close()
            self._httpd = None
        if self._thread is not None:
            self._thread.join(timeout=5)
            self._thread = None

    def __enter__(self) -> "SampleServer":
        return self.start()

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    # -- addressing
    @property
    def port(self) -> int:
        if self._httpd is None:
            raise RuntimeError("the sample server is not running")
        return int(self._httpd.server_address[1])

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    def loopback_url(self, url: str) -> str:
        """``url`` rewritten to this server, its host kept as the first path segment."""
        parts = urlsplit(url)
        path = "/" + (parts.hostname or "") + (parts.path or "/")
        return urlunsplit(("http", f"127.0.0.1:{self.port}", path, parts.query, ""))

    # -- answering
    def _answer(self, handler: BaseHTTPRequestHandler) -> None:
        path = urlsplit(handler.path).path
        key = path[1:]  # drop the leading "/" before the host
        self.requests.append(key)
        route = self.routes.get(key)
        if route is None:
            status, body = 404, _NOT_FOUND_BODY
        else:
            if route.delay > 0 and self._stop.wait(route.delay):
                return  # shutting down: leave without answering
            status, body = route.status, (self.pages_dir / route.page).read_bytes()
        try:
            handler.send_response(status)
            kind = "text/javascript" if route is not None and route.page.endswith(".js") else "text/html"
            handler.send_header("Content-Type", f"{kind}; charset=utf-8")
            handler.send_header("Content-Length", str(len(body)))
            handler.end_headers()
            handler.wfile.write(body)
        except OSError:
            pass  # the client gave up (time limit): nothing to answer


class StdlibResponse:
    """The part of a fetch response the engine reads: truth and ``body``."""

    def __init__(self, status: int, body: bytes) -> None:
        self.status = status
        self.body = body


class StdlibFetcher:
    """A small urllib fetcher with the engine's fetcher interface.

    Used by the demo only when the Scrapling library is not installed, so the
    demo still shows page analysis. Like the engine's fetcher it never judges
    a status code: an error page with a body is a page.
    """

    @staticmethod
    def _fetch(url: str, timeout: float) -> StdlibResponse:
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        try:
            with opener.open(url, timeout=timeout) as reply:
                return StdlibResponse(reply.status, reply.read())
        except urllib.error.HTTPError as err:
            return StdlibResponse(err.code, err.read())

    @classmethod
    async def get(cls, url: str, timeout: float = 5) -> StdlibResponse:
        return await asyncio.to_thread(cls._fetch, url, timeout)


__all__ = [
    "DEMO_DIR",
    "PAGES_DIR",
    "Route",
    "SampleServer",
    "StdlibFetcher",
    "StdlibResponse",
    "load_matches",
    "load_routes",
    "route_key",
]
