"""Running the engine for a command: loading it, the flags that shape its run,
the progress bar, and the warning for links it cannot read.

A new engine flag is two lines here: its `add_argument` in
`add_engine_options` and its keyword in `engine_options`. Every command that
runs the engine calls both.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from types import ModuleType
from typing import TYPE_CHECKING, Any, TextIO

from ._common import PROG, CliError, json_excerpt
from ._report import Progress

if TYPE_CHECKING:
    from ..models import CommerceIntelligence, VisualMatch


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
            unwrapper.extract_domain(unwrapper.unwrap(match.link))
        except ValueError as err:
            print(f"{PROG}: warning: {name}: {where}: link {json_excerpt(match.link, 80)} cannot be read ({err}); "
                  "the match is enriched from its search data alone", file=sys.stderr)


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
                 allow_internal: bool = False, render: dict[str, Any] | None = None) -> "CommerceIntelligence":
    """Enrich ``matches`` with the engine, counting fetched pages on a progress
    bar; `options` are further keywords for the engine (see engine_options);
    `allow_internal` lifts the destination check for this run (--allow-internal);
    `render` (see render_settings) reads pages in a browser too, one browser
    for the run, closed at its end whatever ends it."""
    progress = Progress(stream=stream)
    try:
        with internal_destinations(commerce, allow_internal):
            if render is None:
                result = commerce.CommerceEnricher.process(matches, fetcher=fetcher, progress=progress.update,
                                                           **(options or {}))
            else:
                result = _rendered_run(commerce, matches, fetcher, progress, options or {}, render)
    except Exception as err:  # the engine absorbs page failures; anything else ends the run
        raise CliError(f"enrichment failed: {err or type(err).__name__}") from None
    finally:
        progress.finish()
    return result


def _rendered_run(commerce: ModuleType, matches: list["VisualMatch"], fetcher: Any, progress: Progress,
                  options: dict[str, Any], render: dict[str, Any]) -> "CommerceIntelligence":
    from .._loop import _run_coroutine
    from ..models import FetchReport, render_counts

    report = FetchReport()

    async def run() -> "CommerceIntelligence":
        async with commerce.PageClient(**render) as client:
            return await commerce.CommerceEnricher.process_async(
                matches, fetcher=fetcher, progress=progress.update, client=client, report=report, **options)

    result = _run_coroutine(run())
    counts = render_counts(report.outcomes)
    progress.finish()
    print(f"{PROG}: rendered {counts['rendered']} pages in a browser: {counts['used']} gave product data, "
          f"{counts['failed']} not read by the browser", file=sys.stderr)
    return result


__all__ = ["RewritingFetcher", "add_render_options", "render_settings", "add_engine_options", "engine_options", "internal_destinations", "load_engine",
           "run_pipeline", "warn_unreadable_links"]
