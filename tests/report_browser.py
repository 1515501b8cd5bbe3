"""HTML reports opened in headless Chromium (Debian's `chromium`), with no
name ever looked up: every host name maps to a loopback image server (TLS,
a throwaway certificate) or to nothing, so a report's images load from this
machine and any other request fails. The tests use it, and so does the
README's screenshots:

    python tests/report_browser.py docs/     # the demo's report, 1280 and 390 px, light and dark
"""

from __future__ import annotations

import hashlib
import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any

LOOPBACK = "127.0.0.1"


def chromium_path() -> str | None:
    found = os.environ.get("QUILLMERE_CHROMIUM") or shutil.which("chromium")
    return found if found and os.access(found, os.X_OK) else None


def _image(path: str) -> bytes:
    """A small picture standing in for a product photo, its colour drawn
    from its path."""
    hue = int(hashlib.sha256(path.encode()).hexdigest()[:4], 16) % 360
    return (f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 200 200" width="200" height="200">'
            f'<defs><linearGradient id="g" x1="0" y1="0" x2="1" y2="1">'
            f'<stop offset="0" stop-color="hsl({hue},55%,72%)"/><stop offset="1" stop-color="hsl({hue},45%,42%)"/>'
            f'</linearGradient></defs><rect width="200" height="200" fill="url(#g)"/>'
            f'<circle cx="100" cy="88" r="46" fill="hsl({hue},40%,92%)" opacity=".85"/>'
            f'<rect x="44" y="146" width="112" height="16" rx="8" fill="hsl({hue},40%,92%)" opacity=".7"/>'
            "</svg>").encode()


class ImageServer:
    """Serves a picture for every path over TLS on loopback, except paths
    holding "missing" (404); records the host and path of every request."""

    def __init__(self) -> None:
        self.requests: list[tuple[str, str]] = []
        self._dir = tempfile.TemporaryDirectory(prefix="quillmere-images-")
        cert, key = Path(self._dir.name) / "cert.pem", Path(self._dir.name) / "key.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=quillmere-test", "-keyout", str(key), "-out", str(cert)],
                       check=True, capture_output=True)
        server_self = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self) -> None:  # noqa: N802
                server_self.requests.append((self.headers.get("Host", ""), self.path))
                if "missing" in self.path:
                    self.send_error(404)
                    return
                body = _image(self.path)
                self.send_response(200)
                self.send_header("Content-Type", "image/svg+xml")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args: Any) -> None:
                pass

        self.httpd = ThreadingHTTPServer((LOOPBACK, 0), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True)
        self.port = self.httpd.server_address[1]
        self._thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def __enter__(self) -> "ImageServer":
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.httpd.shutdown()
        self.httpd.server_close()
        self._dir.cleanup()


@dataclass
class Opened:
    """A report open in a page, and what happened while it was."""

    page: Any
    dialogs: list[str] = field(default_factory=list)
    console_errors: list[str] = field(default_factory=list)
    requests: list[str] = field(default_factory=list)
    failed: list[str] = field(default_factory=list)
    cdp: Any = None


class Browser:
    """One headless Chromium; `open` gives a page with the report loaded."""

    def __init__(self, playwright: Any, images: ImageServer, executable: str) -> None:
        rules = f"MAP * {LOOPBACK}:{images.port}, EXCLUDE {LOOPBACK}"
        self.browser = playwright.chromium.launch(
            executable_path=executable, headless=True,
            args=[f"--host-resolver-rules={rules}", "--ignore-certificate-errors", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--disable-domain-reliability", "--no-pings"])

    def open(self, report: Path, width: int = 1280, height: int = 900, scheme: str = "light",
             scale: float = 1, scripts: bool = True, wait: str = "load") -> Opened:
        # The colour scheme and the scale are always set here, so that no
        # default of the browser's session shows through.
        context = self.browser.new_context(viewport={"width": width, "height": height}, color_scheme=scheme,
                                           device_scale_factor=scale, java_script_enabled=scripts,
                                           reduced_motion="reduce")
        page = context.new_page()
        opened = Opened(page)
        def dialog(d: Any) -> None:
            opened.dialogs.append(d.message)
            d.dismiss()

        page.on("dialog", dialog)
        # Errors through the DevTools protocol: the Log domain (failed loads,
        # refusals of the page's policy) and the runtime's exceptions and
        # console calls, which the driver's own console events leave out.
        cdp = context.new_cdp_session(page)
        for domain in ("Log", "Runtime"):
            cdp.send(f"{domain}.enable")
        cdp.on("Log.entryAdded", lambda e: opened.console_errors.append(e["entry"]["text"])
               if e["entry"]["level"] == "error" else None)
        cdp.on("Runtime.exceptionThrown", lambda e: opened.console_errors.append(
            "exception: " + str(e["exceptionDetails"].get("exception", {}).get("description")
                                or e["exceptionDetails"].get("text"))))
        cdp.on("Runtime.consoleAPICalled", lambda e: opened.console_errors.append(
            "console: " + " ".join(str(a.get("value", a.get("description"))) for a in e["args"]))
               if e["type"] == "error" else None)
        opened.cdp = cdp
        page.on("request", lambda r: opened.requests.append(r.url))
        page.on("requestfailed", lambda r: opened.failed.append(r.url))
        page.goto(Path(report).resolve().as_uri(), wait_until=wait)
        return opened

    def close(self) -> None:
        self.browser.close()


@contextmanager
def browser(executable: str | None = None) -> Iterator[tuple[Browser, ImageServer]]:
    from patchright.sync_api import sync_playwright

    executable = executable or chromium_path()
    if executable is None:
        raise RuntimeError("no chromium to run (apt-get install chromium)")
    with ImageServer() as images, sync_playwright() as playwright:
        chrome = Browser(playwright, images, executable)
        try:
            yield chrome, images
        finally:
            chrome.close()


def settle(opened: Opened, timeout: float = 10.0) -> None:
    """Waits until every image has loaded or failed."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if opened.page.evaluate("Array.from(document.images).every(i => i.complete)"):
            return
        time.sleep(0.05)


SHOTS = (("1280", 1280, 900, "light"), ("1280-dark", 1280, 900, "dark"),
         ("390", 390, 844, "light"), ("390-dark", 390, 844, "dark"))


def screenshots(report: Path, out_dir: Path) -> list[Path]:
    """The report at 1280 and 390 px wide, light and dark, as PNGs named
    report-WIDTH[-dark].png."""
    out_dir.mkdir(parents=True, exist_ok=True)
    made = []
    with browser() as (chrome, _):
        for name, width, height, scheme in SHOTS:
            opened = chrome.open(report, width, height, scheme)
            opened.page.evaluate("Array.from(document.images).forEach(i => i.loading = 'eager')")
            settle(opened)
            path = out_dir / f"report-{name}.png"
            full = opened.page.evaluate("document.documentElement.scrollHeight")
            opened.page.screenshot(path=str(path), full_page=True, clip={"x": 0, "y": 0, "width": width,
                                                         "height": min(full, 3000 if width > 600 else 2600)})
            opened.page.context.close()
            made.append(path)
    return made


def demo_report(out_dir: Path) -> Path:
    """Runs `quillmere demo --out OUT_DIR` and returns its report.html."""
    env = dict(os.environ, COLUMNS="118")
    subprocess.run([sys.executable, "-m", "quillmere", "demo", "--out", str(out_dir)], check=True,
                   capture_output=True, env=env)
    return out_dir / "report.html"


if __name__ == "__main__":
    target = Path(sys.argv[1] if len(sys.argv) > 1 else "docs")
    with tempfile.TemporaryDirectory(prefix="quillmere-demo-") as scratch:
        for made in screenshots(demo_report(Path(scratch)), target):
            print(made)
