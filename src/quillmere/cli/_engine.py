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
    try:
        with internal_destinations(commerce, allow_internal):
            result = commerce.CommerceEnricher.process(matches, fetcher=fetcher, progress=progress.update,
                                                       **keywords)
    except Exception as err:  # the engine absorbs page failures; anything else ends the run
        raise CliError(f"enrichment failed: {err or type(err).__name__}") from None
    finally:
        progress.finish()
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


__all__ = ["RewritingFetcher", "tell_pages", "add_engine_options", "engine_options", "internal_destinations", "load_engine",
           "run_pipeline", "warn_unreadable_links"]
