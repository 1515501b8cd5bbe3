"""Running the engine for a command: loading it, the flags that shape its run,
the progress bar, and the warning for links it cannot read.

A new engine flag is two lines here: its `add_argument` in
`add_engine_options` and its keyword in `engine_options`. Every command that
runs the engine calls both.
"""

from __future__ import annotations

import argparse
import logging
import re
import sys
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from types import ModuleType
from typing import TYPE_CHECKING, Any, TextIO

from ._common import PROG, CliError, json_excerpt
from ._report import Progress, wrap

if TYPE_CHECKING:
    from ..models import CommerceIntelligence, FetchReport, VisualMatch


def add_engine_options(parser: argparse.ArgumentParser) -> None:
    """The flags that shape the engine's run, for every command that runs it."""
    parser.add_argument("--allow-internal", action="store_true",
                        help="also fetch pages whose host is on this machine or a private network "
                             "(loopback, 10.0.0.0/8, 192.168.0.0/16, ...); by default such links are not requested")
    parser.add_argument("--extended", action="store_true",
                        help="extended page analysis: finds the price, SKU and stock on more shop pages")
    add_render_options(parser)


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, not {text!r}") from None
    if not 0 < value < 3600:
        raise argparse.ArgumentTypeError(f"expected a number of seconds above 0 and below 3600, not {text!r}")
    return value


def _tabs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, not {text!r}")
    return value


def add_render_options(parser: argparse.ArgumentParser) -> None:
    """The flags of rendering in a browser (see README, "Pages that need a browser")."""
    group = parser.add_argument_group("pages that need a browser")
    group.add_argument("--render", choices=("never", "auto", "always"), default="never",
                       help="read pages in a browser after their static fetch: auto renders the pages that "
                            "were blocked (403, 503, a wall) or that sell but gave no product data; always "
                            "renders every fetchable page (default: never)")
    where = group.add_mutually_exclusive_group()
    where.add_argument("--browser", metavar="PATH",
                       help="the Chromium to start (default: chromium or chromium-browser on PATH)")
    where.add_argument("--browser-cdp", metavar="URL",
                       help="use a running browser at this CDP address instead (never closed by quillmere)")
    group.add_argument("--render-pages", type=_tabs, default=2, metavar="N",
                       help="browser tabs at once (default: 2)")
    group.add_argument("--render-timeout", type=_seconds, default=15.0, metavar="SECONDS",
                       help="time per rendered page, after its static fetch (default: 15)")


def render_settings(args: argparse.Namespace) -> dict[str, Any] | None:
    """The PageClient keywords of the render flags, or None without --render.
    What rendering needs (the extra, a browser or a CDP address that answers)
    is checked here, before any page is fetched: CliError names what to install."""
    mode = getattr(args, "render", "never")
    if mode == "never":
        if getattr(args, "browser", None) is not None or getattr(args, "browser_cdp", None) is not None:
            raise CliError("--browser and --browser-cdp need --render auto or --render always")
        return None
    from ..fetch import _render

    try:
        path = _render.check_available(browser=args.browser, cdp=args.browser_cdp)
    except _render.RenderUnavailable as err:
        raise CliError(str(err)) from None
    return {"render": mode, "browser": path, "browser_cdp": args.browser_cdp, "render_pages": args.render_pages,
            "render_timeout": args.render_timeout}


def add_fetch_options(parser: argparse.ArgumentParser, *, retries: int) -> None:
    """The flags that shape how pages are fetched: the per-host limit,
    retries (`retries`: this command's default) and the page cache. Their
    values are checked by `fetch_keywords`, so a bad one is one line and
    exit status 1."""
    group = parser.add_argument_group("fetching")
    group.add_argument("--per-host", default="4", metavar="N",
                       help="at most N requests in flight to one host (default: 4); a host that answers "
                            "429 gets fewer for the rest of the run")
    group.add_argument("--retries", default=str(retries), metavar="N",
                       help="send a request again up to N times after a 429 or 503 (after its Retry-After, "
                            "at most 30 s), a 502, a 504 or a reset connection (after a backoff); "
                            f"other failures are final (default: {retries})")
    group.add_argument("--cache", metavar="PATH",
                       help="keep fetched pages in this SQLite file and serve them from it while they are "
                            "fresh (made if missing; worker processes share it)")
    group.add_argument("--cache-ttl", default="1d", metavar="AGE",
                       help="how long a cached page is served: seconds, or a number with s, m, h, d or w "
                            "(default: 1d); failed pages are kept 10 minutes at most")
    group.add_argument("--cache-size", default="1G", metavar="SIZE",
                       help="the most the cached pages take, compressed: bytes, or a number with K, M or G "
                            "(default: 1G); the oldest go first")


_DURATION = re.compile(r"(\d+(?:\.\d+)?)\s*([smhdw]?)", re.IGNORECASE)
_SIZE = re.compile(r"(\d+(?:\.\d+)?)\s*(?:([kmg])i?b?|b?)", re.IGNORECASE)
_SECONDS = {"": 1, "s": 1, "m": 60, "h": 3600, "d": 86400, "w": 7 * 86400}
_BYTES = {None: 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30}


def parse_duration(text: str) -> float:
    """Seconds for "90", "90s", "15m", "12h", "1d", "2w" (ValueError otherwise)."""
    found = _DURATION.fullmatch(text.strip())
    if found is None:
        raise ValueError(text)
    seconds = float(found.group(1)) * _SECONDS[found.group(2).lower()]
    if seconds == float("inf"):
        raise ValueError(text)
    return seconds


def parse_size(text: str) -> int:
    """Bytes for "1000", "500K", "200M", "1G", "1.5GiB" (ValueError otherwise)."""
    found = _SIZE.fullmatch(text.strip())
    if found is None:
        raise ValueError(text)
    unit = found.group(2).lower() if found.group(2) else None
    return int(float(found.group(1)) * _BYTES[unit])


def _whole(flag: str, text: str, least: int) -> int:
    try:
        value = int(text)
    except ValueError:
        value = least - 1
    if value < least:
        raise CliError(f"{flag} expects a whole number of at least {least}, not {text!r}")
    return value


def fetch_keywords(args: argparse.Namespace, *, check_cache: bool = True) -> dict[str, Any]:
    """The PageClient keywords the fetch flags ask for; CliError for a bad
    value, or for a cache file that cannot serve (which is made if missing,
    before any page is fetched)."""
    keywords: dict[str, Any] = {"per_host": _whole("--per-host", args.per_host, 1),
                                "retries": _whole("--retries", args.retries, 0)}
    try:
        ttl = parse_duration(args.cache_ttl)
    except ValueError:
        raise CliError(f"--cache-ttl expects an age such as 3600, 30m, 12h or 7d, not {args.cache_ttl!r}") from None
    try:
        size = parse_size(args.cache_size)
    except ValueError:
        size = 0
    if size < 1:
        raise CliError(f"--cache-size expects a size such as 500M or 2G, not {args.cache_size!r}")
    if args.cache is not None:
        from ..fetch import CacheError, check_cache as check

        keywords.update(cache=args.cache, cache_ttl=ttl, cache_max_bytes=size)
        if check_cache:
            try:
                check(args.cache)
            except CacheError as err:
                raise CliError(f"--cache {err}") from None
    return keywords


class _WarningLine(logging.Handler):
    """The engine's warnings (a page cache that stopped working, say) as
    "quillmere: warning: ..." lines on standard error."""

    def emit(self, record: logging.LogRecord) -> None:
        try:
            print(f"{PROG}: warning: {record.getMessage()}", file=sys.stderr)
        except Exception:  # a warning never stops the run
            pass


def show_warnings() -> None:
    """Shows the engine's warnings on standard error, once per process."""
    logger = logging.getLogger("quillmere")
    if not any(isinstance(h, _WarningLine) for h in logger.handlers):
        handler = _WarningLine(logging.WARNING)
        logger.addHandler(handler)


def engine_options(args: argparse.Namespace) -> dict[str, Any]:
    """The keywords for `CommerceEnricher.process` the engine flags ask for."""
    return {"extended": True} if getattr(args, "extended", False) else {}


class RewritingFetcher:
    """Wraps a page fetcher so that every link is rewritten before the request
    (the demo sends every request to its loopback server)."""

    def __init__(self, inner: Any, rewrite: Callable[[str], str]) -> None:
        self.inner = inner
        self.rewrite = rewrite

    async def get(self, url: str, timeout: int = 5, **kwargs: Any) -> Any:
        return await self.inner.get(self.rewrite(url), timeout=timeout, **kwargs)


def load_engine() -> ModuleType:
    try:
        from .. import commerce
    except ImportError as err:
        raise CliError(f"the commerce engine cannot be loaded ({err}); build and install the package first") from None
    return commerce


def warn_unreadable_links(commerce: ModuleType, matches: Sequence["VisualMatch"], labels: Sequence[str],
                          name: str) -> None:
    """Name every link that cannot be read in a warning: the engine does not
    fetch it and enriches that match from its search data alone, so the run
    goes on."""
    unwrapper = commerce.URLUnwrapper
    for match, where in zip(matches, labels):
        try:
            # As the engine decides: the link, or what unwrapping makes of it,
            # cannot be split.
            unwrapped = unwrapper.unwrap(match.link)
            unwrapper.extract_domain(unwrapped)
        except ValueError as err:
            print(f"{PROG}: warning: {name}: {where}: link {json_excerpt(match.link, 80)} cannot be read ({err}); "
                  "the match is enriched from its search data alone", file=sys.stderr)
            continue
        if not _fetchable(unwrapped):
            became = "" if unwrapped == match.link else f" (unwrapped: {json_excerpt(unwrapped, 80)})"
            print(f"{PROG}: warning: {name}: {where}: link {json_excerpt(match.link, 80)}{became} is not an "
                  "http(s) link, so no page is fetched for it; the match is enriched from its search data alone",
                  file=sys.stderr)


def _fetchable(link: str) -> bool:
    """Whether a link (as unwrapped) names an http(s) page with a host: the
    others (no scheme, another scheme, empty) are never fetched."""
    from urllib.parse import urlsplit

    try:
        parts = urlsplit(link)
    except ValueError:
        return False
    return link.startswith(("http://", "https://")) and bool(parts.netloc)


@contextmanager
def internal_destinations(commerce: Any, allowed: bool) -> Iterator[None]:
    """For the block, the engine requests internal destinations too if `allowed`."""
    saved = commerce.REFUSE_INTERNAL_DESTINATIONS
    commerce.REFUSE_INTERNAL_DESTINATIONS = saved and not allowed
    try:
        yield
    finally:
        commerce.REFUSE_INTERNAL_DESTINATIONS = saved


def run_pipeline(commerce: ModuleType, matches: list["VisualMatch"], fetcher: Any,
                 options: dict[str, Any] | None = None, stream: TextIO | None = None, *,
                 allow_internal: bool = False, report: "FetchReport | None" = None) -> "CommerceIntelligence":
    """Enrich ``matches`` with the engine, counting fetched pages on a progress
    bar; `options` are further keywords for the engine (see engine_options);
    `allow_internal` lifts the destination check for this run (--allow-internal);
    `report` receives every match's page outcome."""
    progress = Progress(stream=stream)
    keywords = dict(options or {})
    if report is not None:
        keywords["report"] = report
    client = keywords.get("client")
    try:
        with internal_destinations(commerce, allow_internal):
            result = commerce.CommerceEnricher.process(matches, fetcher=fetcher, progress=progress.update,
                                                       **keywords)
    except Exception as err:  # the engine absorbs page failures; anything else ends the run
        raise CliError(f"enrichment failed: {err or type(err).__name__}") from None
    finally:
        progress.finish()
        if client is not None:
            client.close_cache()  # what was fetched is written before the command ends
    return result


def tell_pages(report: "FetchReport", out: TextIO, err: TextIO, width: int) -> None:
    """The closing line that counts page outcomes (after a blank line), and a
    warning when no page at all could be read."""
    if not report.outcomes:
        return
    print("\n" + wrap(report.summary_line(), width, indent=2), file=out)
    if report.read == 0:
        print(f"{PROG}: warning: no destination page could be read; every row comes from the search data alone",
              file=err)


def page_client(args: argparse.Namespace, render: dict[str, Any] | None = None) -> Any:
    """The PageClient of a one-search command (enrich, demo), from its flags;
    `render`: the keywords of render_settings (None: no rendering)."""
    from ..fetch import CacheError, PageClient

    keywords = {**fetch_keywords(args, check_cache=False), **(render or {})}
    try:
        return PageClient(**keywords)
    except CacheError as err:
        raise CliError(f"--cache {err}") from None


__all__ = ["RewritingFetcher", "tell_pages", "add_render_options", "render_settings", "add_engine_options", "add_fetch_options", "fetch_keywords", "page_client",
           "parse_duration", "parse_size", "show_warnings", "engine_options", "internal_destinations", "load_engine",
           "run_pipeline", "warn_unreadable_links"]
