"""Rendering pages in a browser, for the pages the static fetch cannot read.

One browser per `PageClient` (so per process in a run), started at the first
page that needs it through Scrapling's `AsyncStealthySession` pointed at an
installed Chromium (or a running browser over CDP), and closed with the
client. Scrapling's session starts the browser and holds its context; the
pages are driven here rather than through ``session.fetch``, which tries three
times and waits for the load event, so a page with a hanging script costs
three time limits and loses the data already in it. Here a page gets one
attempt: its navigation is committed, then it is watched for product data
until the render deadline, and its HTML is taken as it stands then.

Every connection of the browser goes through the session's `EgressProxy`,
loopback included (``<-loopback>``); service workers are blocked, WebRTC may
not leave outside the proxy, pop-ups and downloads are refused, dialogs are
dismissed, and images, media and fonts are not loaded.
"""

from __future__ import annotations

import asyncio
import atexit
import contextlib
import logging
import os
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.request
from dataclasses import dataclass
from typing import Any
from urllib.parse import urlsplit

from ..models import FetchOutcome, PageType, RenderReason
from ._egress import REFUSAL_HEADER, EgressProxy
from ._hosts import host_of
from ._outcomes import BLOCK_STATUSES, wall_page

log = logging.getLogger("quillmere.fetch")

MODES = ("never", "auto", "always")
DEFAULT_TABS = 2
DEFAULT_RENDER_TIMEOUT = 15.0
# A browser lost (crashed, killed, not started) this many times is given up for the rest of the run.
MAX_BROWSER_FAILURES = 3
# Static outcomes that `auto` renders: a 403 or 503, or a wall (never a 429 nor a 401).
_RENDER_STATUSES = frozenset({403, 503})
# Page types that may sell; the others (social, article, portfolio) are never rendered.
_SELLING = frozenset({PageType.PRODUCT, PageType.MARKETPLACE, PageType.UNCATEGORIZED})
# Outcomes of the static fetch after which a page is not rendered whatever the mode.
_NOT_FETCHABLE = frozenset({FetchOutcome.NO_LINK, FetchOutcome.REFUSED, FetchOutcome.NO_FETCHER})
_SKIPPED_RESOURCES = frozenset({"image", "media", "font"})
_POLL_SECONDS = 0.1
# Time allowed on top of the render deadline to read the HTML and close the tab.
_GRACE_SECONDS = 5.0
_START_SECONDS = 30.0

_LAUNCH_FLAGS = [
    "--proxy-bypass-list=<-loopback>",
    "--force-webrtc-ip-handling-policy=disable_non_proxied_udp",
    "--webrtc-ip-handling-policy=disable_non_proxied_udp",
    "--block-new-web-contents",
    "--disable-component-update",
    "--disable-background-networking",
    "--disable-domain-reliability",
    "--disable-client-side-phishing-detection",
    "--disable-default-apps",
    "--disable-sync",
    "--no-pings",
    "--dns-prefetch-disable",
    "--disable-features=OptimizationHints,MediaRouter,DialMediaRouteProvider,Translate,"
    "InterestFeedContentSuggestions,CertificateTransparencyComponentUpdater,AutofillServerCommunication",
]

# True once the document shows product data: a JSON-LD Product or Offer, a
# microdata Product or price, product meta tags, or a Next.js page with a
# price or SKU in its data.
_PROBE = r"""() => {
  const d = document;
  if (!d.documentElement) return false;
  for (const s of d.querySelectorAll('script[type="application/ld+json" i]')) {
    if (/"@type"\s*:\s*\[?[^\]]{0,200}?"(?:https?:\/\/schema\.org\/)?(?:Product|ProductGroup|IndividualProduct|Offer|AggregateOffer)"/i.test(s.textContent || '')) return true;
  }
  if (d.querySelector('[itemtype*="schema.org/Product" i], [itemtype*="schema.org/Offer" i], [itemprop="price"], meta[property="product:price:amount"], meta[property="og:price:amount"]')) return true;
  const n = d.getElementById('__NEXT_DATA__');
  return !!(n && /"(?:price|sku)"\s*:/.test(n.textContent || ''));
}"""

# The HTML as it stands, or its length in UTF-16 units when that already passes the cap.
_HTML = r"""(cap) => {
  const d = document;
  const root = d.documentElement;
  if (!root) return '';
  const html = (d.doctype ? '<!DOCTYPE ' + d.doctype.name + '>' : '') + root.outerHTML;
  return (cap !== null && html.length > cap) ? html.length : html;
}"""


# The profile directories of the browsers this process started and has not
# closed: at exit (Ctrl-C, an error that skipped the clean-up) their processes
# are ended, so no browser outlives the command.
_LIVE_PROFILES: set[str] = set()


@atexit.register
def _end_browsers_left() -> None:
    for profile in list(_LIVE_PROFILES):
        for pid in browser_pids(profile):
            with contextlib.suppress(OSError):
                os.kill(pid, signal.SIGKILL)
        shutil.rmtree(profile, ignore_errors=True)
    _LIVE_PROFILES.clear()


# Flags the stealthy session leaves out on purpose (they could tell a bot) that
# are needed here: without them the browser calls its update and sign-in
# services by itself, through the proxy.
_QUIET_FLAGS = ("--disable-component-update", "--disable-extensions", "--disable-default-apps")


def _quiet_browser(session: Any) -> None:
    """Adjusts the launch options of a Scrapling session before its start:
    the browser's own background traffic off, and every ``--disable-features``
    (and ``--enable-features``) flag merged into one, since Chromium reads the
    last one alone. (Scrapling keeps the options in ``_browser_options``.)"""
    options = getattr(session, "_browser_options", None)
    if not isinstance(options, dict):
        return
    args: list[str] = []
    merged: dict[str, list[str]] = {"--disable-features=": [], "--enable-features=": []}
    for flag in options.get("args", ()):
        for prefix, values in merged.items():
            if flag.startswith(prefix):
                values.extend(v for v in flag[len(prefix):].split(",") if v and v not in values)
                break
        else:
            if flag not in args:
                args.append(flag)
    args += [prefix + ",".join(values) for prefix, values in merged.items() if values]
    args += [f for f in _QUIET_FLAGS if f not in args]
    options["args"] = args
    options["ignore_default_args"] = [f for f in options.get("ignore_default_args", ()) if f not in _QUIET_FLAGS]


class RenderUnavailable(Exception):
    """Rendering was asked for but cannot work here; the message is one line naming what to install."""


@dataclass
class Rendering:
    """One page's reading in the browser."""

    outcome: FetchOutcome
    html: str | None = None
    status: int | None = None
    final_url: str | None = None
    size: int | None = None
    seconds: float | None = None
    detail: str | None = None


def check_mode(render: object) -> str:
    if not isinstance(render, str):
        raise TypeError(f"render must be str, not {type(render).__name__}")
    if render not in MODES:
        raise ValueError(f"render must be one of {', '.join(MODES)}, not {render!r}")
    return render


def check_options(*, browser: object, cdp: object, tabs: object, timeout: object, allow: object,
                  rewrite: object) -> dict[str, Any]:
    """The rendering keywords of a PageClient, checked (nothing is started)."""
    for name, value in (("browser", browser), ("browser_cdp", cdp)):
        if value is not None and not isinstance(value, str):
            raise TypeError(f"{name} must be str or None, not {type(value).__name__}")
    if browser is not None and cdp is not None:
        raise ValueError("browser and browser_cdp cannot both be given")
    if isinstance(tabs, bool) or not isinstance(tabs, int):
        raise TypeError(f"render_pages must be int, not {type(tabs).__name__}")
    if tabs < 1:
        raise ValueError(f"render_pages must be at least 1, not {tabs}")
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"render_timeout must be a number, not {type(timeout).__name__}")
    if not 0 < timeout < 3600:
        raise ValueError(f"render_timeout must be above 0 and below 3600 seconds, not {timeout}")
    pairs = None
    if allow is not None:
        pairs = [(str(a), int(p)) for a, p in allow]  # type: ignore[attr-defined]
    if rewrite is not None and not callable(rewrite):
        raise TypeError(f"render_rewrite must be callable or None, not {type(rewrite).__name__}")
    return {"browser": browser, "cdp": cdp, "tabs": tabs, "timeout": float(timeout), "allow": pairs,
            "rewrite": rewrite}


def find_browser(browser: str | None) -> str:
    """The browser executable to start: `browser`, or chromium / chromium-browser on PATH."""
    if browser is None:
        for name in ("chromium", "chromium-browser"):
            found = shutil.which(name)
            if found:
                return found
        raise RenderUnavailable("rendering needs a browser: install Debian's chromium "
                                "(apt-get install --no-install-recommends chromium) or name one with --browser PATH")
    if not os.path.isfile(browser):
        raise RenderUnavailable(f"no browser at {browser}: no such file")
    if not os.access(browser, os.X_OK):
        raise RenderUnavailable(f"no browser at {browser}: not executable")
    try:
        shown = subprocess.run([browser, "--version"], capture_output=True, timeout=20, check=False,
                               stdin=subprocess.DEVNULL)
    except (OSError, subprocess.SubprocessError) as err:
        raise RenderUnavailable(f"{browser} is not a browser: {type(err).__name__}") from None
    if b"chrom" not in shown.stdout.lower():
        raise RenderUnavailable(f"{browser} is not a Chromium browser (--version does not say so)")
    return browser


def check_cdp(url: str, timeout: float = 5.0) -> None:
    """Raises RenderUnavailable unless a browser answers at the CDP address `url`."""
    parts = urlsplit(url)
    if parts.scheme not in ("http", "https", "ws", "wss") or not parts.hostname:
        raise RenderUnavailable(f"--browser-cdp {url}: not an http:// or ws:// address")
    probe = f"{'https' if parts.scheme in ('https', 'wss') else 'http'}://{parts.netloc}/json/version"
    try:
        with urllib.request.urlopen(probe, timeout=timeout) as answer:  # noqa: S310 (an address the caller named)
            answer.read(64 * 1024)
    except Exception as err:
        raise RenderUnavailable(f"no browser answers at {url}: {type(err).__name__}") from None


def check_available(browser: str | None = None, cdp: str | None = None) -> str | None:
    """What rendering needs, checked before any page is fetched: the session's
    library and a browser (or a CDP address that answers). Returns the
    browser's path (None with `cdp`); raises RenderUnavailable."""
    try:
        from scrapling.fetchers import AsyncStealthySession  # noqa: F401
    except ImportError as err:
        raise RenderUnavailable(f"rendering needs the extra: pip install 'quillmere[render]' "
                                f"({err.name or 'msgspec'} is missing)") from None
    if cdp is not None:
        check_cdp(cdp)
        return None
    return find_browser(browser)


def render_reason(mode: str, static: Any, item: Any, has_data: bool) -> RenderReason | None:
    """Why a page is rendered, or None when it is not.

    `static` is its static PageOutcome, `item` its static analysis and
    `has_data` whether that analysis found product data in the page. `auto`
    renders a page whose static fetch was blocked with a 403 or a 503 or by a
    wall, or that was read, is a product, marketplace or unclassified page
    and gave no product data; `always` every page that has a fetchable link.
    """
    if mode == "never" or static is None or static.outcome in _NOT_FETCHABLE:
        return None
    if mode == "always":
        return RenderReason.ALWAYS
    if static.outcome is FetchOutcome.BLOCKED:
        if static.status in _RENDER_STATUSES or (static.status not in BLOCK_STATUSES and
                                                 static.detail == "challenge page"):
            return RenderReason.BLOCKED
        return None
    if static.outcome is FetchOutcome.READ and item.page_type in _SELLING and not has_data:
        return RenderReason.NO_PRODUCT_DATA
    return None


def has_product_data(item: Any, bare: Any) -> bool:
    """True when the page gave product data: a price, SKU or stock status
    that the analysis of the same match without its page does not have. (A
    brand is not enough: the analysis reads one from a page's title or site
    name too.)"""
    return any(getattr(item, f) is not None and getattr(item, f) != getattr(bare, f)
               for f in ("price", "sku", "stock_status"))


def browser_pids(marker: str) -> list[int]:
    """Processes whose command line holds `marker` (the browser's own profile directory)."""
    found = []
    for entry in os.listdir("/proc") if os.path.isdir("/proc") else ():
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                line = f.read()
        except OSError:
            continue
        if marker.encode() in line:
            found.append(int(entry))
    return found


class Renderer:
    """The browser of one PageClient: started lazily, closed with it."""

    def __init__(self, *, browser: str | None = None, cdp: str | None = None, tabs: int = DEFAULT_TABS,
                 timeout: float = DEFAULT_RENDER_TIMEOUT, allow: list[tuple[str, int]] | None = None,
                 rewrite: Any = None) -> None:
        self.browser = browser
        self.cdp = cdp
        self.tabs = tabs
        self.timeout = float(timeout)
        self.allow = allow
        self.rewrite = rewrite
        self.proxy: EgressProxy | None = None
        self.starts = 0            # browsers started
        self.failures = 0          # browsers lost or not started
        self.given_up: str | None = None
        self._session: Any = None
        self._context: Any = None
        self._profile: str | None = None
        self._lost = False
        self._lock = asyncio.Lock()
        self._slots = asyncio.Semaphore(tabs)
        self._closed = False

    # ------------------------------------------------------------ lifetime
    async def _ensure(self, refuse: bool) -> Any:
        async with self._lock:
            if self._closed:
                raise RuntimeError("the renderer is closed")
            if self._context is not None and not self._lost:
                return self._context
            if self._context is not None:  # lost: drop what is left of it
                await self._drop()
            if self.given_up is not None:
                raise RuntimeError(self.given_up)
            try:
                await self._start(refuse)
            except Exception as err:
                await self._drop()
                self._failed(f"the browser did not start: {_short(err)}")
                raise RuntimeError(self.given_up or f"the browser did not start: {_short(err)}") from None
            return self._context

    def _failed(self, why: str) -> None:
        self.failures += 1
        if self.failures >= MAX_BROWSER_FAILURES and self.given_up is None:
            self.given_up = f"rendering given up after {self.failures} browser failures ({why})"
            log.warning("%s; the remaining pages are not rendered", self.given_up)

    async def _start(self, refuse: bool) -> None:
        from scrapling.fetchers import AsyncStealthySession

        if self.proxy is None:
            only = self.allow is not None
            self.proxy = await EgressProxy(refuse=refuse, allow=self.allow or (), only=only,
                                           rewrite=self.rewrite).start()
        options: dict[str, Any] = {
            "headless": True, "max_pages": self.tabs, "block_webrtc": True, "retries": 1,
            "google_search": False,
            "additional_args": {"proxy": {"server": self.proxy.url, "bypass": "<-loopback>"},
                                "service_workers": "block", "accept_downloads": False},
        }
        if self.cdp is not None:
            options["cdp_url"] = self.cdp
        else:
            self._profile = tempfile.mkdtemp(prefix="quillmere-browser-")
            _LIVE_PROFILES.add(self._profile)
            options.update(executable_path=find_browser(self.browser), user_data_dir=self._profile,
                           extra_flags=list(_LAUNCH_FLAGS))
        session = AsyncStealthySession(**options)
        if self.cdp is None:
            _quiet_browser(session)
        self._session = session
        async with asyncio.timeout(_START_SECONDS):
            await session.start()
        self._context = session.context
        self._lost = False
        self.starts += 1
        self._context.on("close", lambda *_: self._mark_lost())
        # Images, media and fonts are never loaded (a load that waits for them can stall).
        await self._context.route("**/*", _skip_heavy)
        log.debug("render: browser started (%s), egress proxy on %s",
                  self.cdp or options.get("executable_path"), self.proxy.url)

    def _mark_lost(self) -> None:
        if not self._closed and not self._lost:
            self._lost = True
            self._failed("the browser was lost")
            log.debug("render: the browser was lost")

    async def _drop(self) -> None:
        """Closes the session (never the browser behind a CDP address) and ends
        any process of the browser that is left."""
        session, self._session, self._context = self._session, None, None
        if session is not None:
            with contextlib.suppress(Exception):
                async with asyncio.timeout(10):
                    if self.cdp is not None:
                        if session.context is not None:
                            await session.context.close()
                        if session.playwright is not None:
                            await session.playwright.stop()
                    elif getattr(session, "_is_alive", True):
                        await session.close()
                    elif session.playwright is not None:  # a start that did not finish
                        await session.playwright.stop()
        if self._profile is not None:
            for pid in browser_pids(self._profile):
                with contextlib.suppress(OSError):
                    os.kill(pid, signal.SIGKILL)
            shutil.rmtree(self._profile, ignore_errors=True)
            _LIVE_PROFILES.discard(self._profile)
            self._profile = None

    async def aclose(self) -> None:
        if self._closed:
            return
        self._closed = True
        async with self._lock:
            await self._drop()
            if self.proxy is not None:
                await self.proxy.aclose()

    def pids(self) -> list[int]:
        """The processes of the browser this renderer started (none over CDP)."""
        return browser_pids(self._profile) if self._profile is not None else []

    # ------------------------------------------------------------ one page
    async def render(self, url: str, *, refuse: bool, cap: int | None) -> Rendering:
        """The page at `url` read in the browser, with its outcome; never raises
        for a fault of the page or the browser."""
        async with self._slots:
            start = time.perf_counter()
            try:
                context = await self._ensure(refuse)
            except RuntimeError as err:
                return Rendering(FetchOutcome.FAILED, detail=str(err), seconds=time.perf_counter() - start)
            page = None
            try:
                async with asyncio.timeout(self.timeout + _GRACE_SECONDS):
                    page = await context.new_page()
                    got = await self._drive(page, url, cap, start)
            except TimeoutError:
                got = Rendering(FetchOutcome.TIMEOUT, detail="the browser did not answer within the render deadline")
            except Exception as err:
                if self._lost:
                    got = Rendering(FetchOutcome.FAILED, detail="the browser was lost")
                else:
                    got = Rendering(FetchOutcome.FAILED, detail=f"the browser failed: {_short(err)}")
            finally:
                if page is not None:
                    with contextlib.suppress(Exception):
                        async with asyncio.timeout(_GRACE_SECONDS):
                            await page.close(run_before_unload=False)
            got.seconds = time.perf_counter() - start
            return got

    async def _drive(self, page: Any, url: str, cap: int | None, start: float) -> Rendering:
        loop = asyncio.get_running_loop()
        deadline = loop.time() + self.timeout
        navigations: list[Any] = []
        failed: list[tuple[str, str]] = []

        refused: list[str] = []  # main-frame navigations the proxy refused

        def on_response(response: Any) -> None:
            with contextlib.suppress(Exception):
                if response.request.is_navigation_request() and response.frame == page.main_frame:
                    navigations.append(response)
                    if response.headers.get(REFUSAL_HEADER):
                        refused.append(response.url)

        def on_failed(request: Any) -> None:
            with contextlib.suppress(Exception):
                if request.is_navigation_request() and request.frame == page.main_frame:
                    failed.append((request.url, request.failure or "failed"))

        page.on("response", on_response)
        page.on("requestfailed", on_failed)
        page.on("popup", lambda p: asyncio.ensure_future(_close_quietly(p)))
        page.on("dialog", lambda d: asyncio.ensure_future(_dismiss(d)))
        page.on("download", lambda d: asyncio.ensure_future(_cancel(d)))

        try:
            await page.goto(url, wait_until="commit", timeout=max(1.0, deadline - loop.time()) * 1000)
        except Exception as err:
            return self._not_loaded(url, err)
        # A bounded wait for product data; the page may navigate meanwhile.
        found = False
        while loop.time() < deadline and not refused and not failed:
            try:
                async with asyncio.timeout(max(0.05, deadline - loop.time())):
                    found = bool(await page.evaluate(_PROBE))
            except TimeoutError:
                break
            except Exception:
                found = False  # the document is being replaced (a navigation)
            if found:
                break
            await asyncio.sleep(min(_POLL_SECONDS, max(0.0, deadline - loop.time())))
        if refused:
            return Rendering(FetchOutcome.REFUSED, final_url=refused[-1],
                             detail=f"the page went to {refused[-1]}: refused at the egress proxy")
        # The HTML as it stands at the deadline (or once product data showed);
        # a document being replaced is given a moment to settle.
        html: Any = None
        settle = loop.time() + _GRACE_SECONDS
        while True:
            try:
                async with asyncio.timeout(max(0.05, settle - loop.time())):
                    html = await page.evaluate(_HTML, cap)
                break
            except TimeoutError:
                return Rendering(FetchOutcome.TIMEOUT, detail="the page's script held the tab past the deadline",
                                 final_url=_url_of(page))
            except Exception as err:
                if refused:
                    return Rendering(FetchOutcome.REFUSED, final_url=refused[-1],
                                     detail=f"the page went to {refused[-1]}: refused at the egress proxy")
                if "context was destroyed" not in str(err) or loop.time() >= settle:
                    return Rendering(FetchOutcome.FAILED, detail=f"the HTML could not be read: {_short(err)}",
                                     final_url=_url_of(page))
                await asyncio.sleep(_POLL_SECONDS)
        final = _url_of(page)
        status = None
        if navigations:
            status = navigations[-1].status
        if failed and (not navigations or failed[-1][0] != navigations[-1].url or not final.startswith("http")):
            where, why = failed[-1]
            return self._refused_or_unreachable(where, why, prefix=f"the page went to {where}: ")
        if not final.startswith(("http://", "https://")):
            return Rendering(FetchOutcome.FAILED, detail=f"the tab ended at {final}", final_url=final)
        if isinstance(html, int):
            return Rendering(FetchOutcome.TOO_LARGE, status=status, final_url=final,
                             detail=f"rendered HTML of {html} characters passed the cap")
        body = html.encode("utf-8", "replace")
        if cap is not None and len(body) > cap:
            return Rendering(FetchOutcome.TOO_LARGE, status=status, final_url=final, size=len(body),
                             detail="rendered HTML passed the cap")
        if status in BLOCK_STATUSES:
            return Rendering(FetchOutcome.BLOCKED, status=status, final_url=final, detail=f"HTTP {status}")
        if status is not None and status >= 400:
            return Rendering(FetchOutcome.HTTP_ERROR, status=status, final_url=final, detail=f"HTTP {status}")
        if wall_page(body):
            return Rendering(FetchOutcome.BLOCKED, status=status, final_url=final,
                             detail="challenge page (never solved)")
        if not body:
            return Rendering(FetchOutcome.EMPTY, status=status, final_url=final, detail="empty document")
        return Rendering(FetchOutcome.READ, html=html, status=status, final_url=final, size=len(body),
                         detail="product data showed" if found else "no product data by the deadline")

    def _not_loaded(self, url: str, err: Exception) -> Rendering:
        text = _short(err)
        if "Timeout" in type(err).__name__ or "Timeout" in text:
            return Rendering(FetchOutcome.TIMEOUT, detail="the page did not commit by the render deadline")
        return self._refused_or_unreachable(url, text, prefix="")

    def _refused_or_unreachable(self, url: str, why: str, *, prefix: str) -> Rendering:
        host = urlsplit(url).hostname or ""
        refusals = self.proxy.refusals_for(host) if self.proxy is not None else []
        if refusals:
            return Rendering(FetchOutcome.REFUSED, final_url=url,
                             detail=f"{prefix}refused at the egress proxy ({refusals[-1].reason})")
        return Rendering(FetchOutcome.UNREACHABLE, final_url=url, detail=f"{prefix}{why}")


async def _skip_heavy(route: Any) -> None:
    with contextlib.suppress(Exception):
        if route.request.resource_type in _SKIPPED_RESOURCES:
            await route.abort()
        else:
            await route.fallback()


def _url_of(page: Any) -> str:
    try:
        return str(page.url)
    except Exception:
        return ""


def _short(err: BaseException) -> str:
    text = str(err).strip().splitlines()
    first = text[0] if text else type(err).__name__
    return first[:200]


async def _close_quietly(page: Any) -> None:
    with contextlib.suppress(Exception):
        await page.close(run_before_unload=False)


async def _dismiss(dialog: Any) -> None:
    with contextlib.suppress(Exception):
        await dialog.dismiss()


async def _cancel(download: Any) -> None:
    with contextlib.suppress(Exception):
        await download.cancel()


__all__ = ["DEFAULT_RENDER_TIMEOUT", "DEFAULT_TABS", "MODES", "RenderUnavailable", "Renderer", "Rendering",
           "check_available", "check_mode", "find_browser", "has_product_data", "render_reason"]


# ---------------------------------------------------------------- the render pass
async def render_pass(client: Any, targets: list[Any], direct_links: list[str | None],
                      items: list[Any], recorded: dict[str, Any], analyse: Any, extended: bool,
                      bindings: Any) -> list[Any]:
    """The second step of an enrichment with rendering: the pages that qualify
    (see `render_reason`) are rendered, the matches with a rendered page are
    analysed again with it, and a rendered analysis replaces the static one
    only when it finds product data. `recorded` (the page outcomes by link)
    gains each rendered page's `RenderedPage`; `bindings` are the façade's
    fetch bindings now (the destination check and the size cap). Returns the
    items."""
    if client is None or getattr(client, "render", "never") == "never" or not items:
        return items
    from ..models import RenderedPage  # noqa: PLC0415 (kept beside its use)

    loop = asyncio.get_running_loop()
    # The analysis of the same matches without their pages tells what came from a page.
    bare = await loop.run_in_executor(None, analyse, list(targets), direct_links, {}, extended)
    reasons: dict[str, RenderReason] = {}
    for i, link in enumerate(direct_links):
        if link is None or link in reasons:
            continue
        reason = render_reason(client.render, recorded.get(link), items[i], has_product_data(items[i], bare[i]))
        if reason is not None:
            reasons[link] = reason
    if not reasons:
        return items
    renderer = client.renderer
    links = list(reasons)
    rewrite = renderer.rewrite or (lambda link: link)
    async def rendered(link: str) -> Any:
        # The per-host limit covers rendered pages too (a tab's page load is
        # a request to that host).
        async with client._host_slot(host_of(link) if client._hosts is not None else None):
            return await renderer.render(rewrite(link), refuse=bindings.refuse, cap=bindings.cap)

    got = await asyncio.gather(*(rendered(link) for link in links))
    readings = dict(zip(links, got))
    pages = {link: r.html for link, r in readings.items() if r.outcome is FetchOutcome.READ}
    used: set[str] = set()
    if pages:
        again = [i for i, link in enumerate(direct_links) if link in pages]
        fresh = await loop.run_in_executor(None, analyse, [targets[i] for i in again],
                                           [direct_links[i] for i in again], pages, extended)
        items = list(items)
        for i, item in zip(again, fresh):
            if has_product_data(item, bare[i]):
                items[i] = item
                used.add(direct_links[i])  # type: ignore[arg-type]
    for link, r in readings.items():
        info = RenderedPage.model_construct(reason=reasons[link], outcome=r.outcome, status=r.status,
                                            final_url=r.final_url, bytes=r.size, seconds=r.seconds,
                                            detail=r.detail, used=link in used)
        static = recorded[link]
        recorded[link] = static.model_copy(update={"rendered": info})
        if log.isEnabledFor(logging.DEBUG):
            log.debug("page %s: rendered (%s): %s status=%s %.0f ms%s%s", link, info.reason.value,
                      info.outcome.value, info.status, (info.seconds or 0) * 1000,
                      f" ({info.detail})" if info.detail else "", ", used" if info.used else "")
    if log.isEnabledFor(logging.DEBUG):
        log.debug("render: %d pages rendered, %d gave product data, %d not read by the browser",
                  len(readings), len(used), sum(1 for r in got if r.outcome is not FetchOutcome.READ))
    return items
