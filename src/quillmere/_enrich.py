"""The awaitable enrichment entries of CommerceEnricher.

The analysis runs in the extension: the links are unwrapped before the
fetch, then each match is analysed with its page text. While the fetcher
class's `fetch_one` and `fetch_many` are the engine's own, each page is
analysed as soon as it is in (on a worker of the loop's executor, the page
keeping its fetch slot meanwhile) and its text let go, so a search's memory
depends on the fetch bound and the page size, not on its number of matches.
A host that overrides `fetch_many` or `fetch_one` keeps the batch: its
`fetch_many` gives the page map, then every match is analysed in one call.
Both give the same answers (each match is analysed with its own page and its
rank in the search).

These functions take the class they serve as `cls`, so a subclass's own
`enrich_matches_deep_async` is the one `process_async` awaits.
"""

from __future__ import annotations

import asyncio
import ctypes
from contextlib import AbstractContextManager, nullcontext
import importlib
from collections.abc import Sequence
from typing import Any

from . import _commerce
from .fetch._render import render_pass
from .fetch import PageClient, ProgressCallback, call_client, check_options, current_client, recording, using
from .models import CommerceIntelligence, CommerceSummary, EnrichedCommerceMatch, FetchOutcome, FetchReport, \
    PageOutcome, VisualMatch

# The match fields the analysis reads after the fetch, in the order it reads
# them, and whether each may be None.
_MATCH_FIELDS = (("source", True), ("price", True), ("currency", True), ("title", False))


_utf8_of: Any
try:
    _utf8_of = ctypes.pythonapi.PyUnicode_AsUTF8AndSize
    _utf8_of.argtypes = (ctypes.py_object, ctypes.c_void_p)
    _utf8_of.restype = ctypes.c_void_p
except (AttributeError, OSError):  # an interpreter without the C API through ctypes
    _utf8_of = None


def analyse_batch(targets: list[Any], direct_links: list[str | None],
                  pages: dict[str, str | None], extended: bool = False) -> list[EnrichedCommerceMatch]:
    """Page analysis and record building for the batch (run off the loop's thread).

    The extension reads each page's UTF-8 form, which CPython makes (and keeps
    with the text) while holding the GIL.  Made for all pages inside one call,
    that holds the GIL for the whole batch, about a second for 300 real pages
    with non-ASCII text, and the loop's thread cannot run meanwhile.  Made here
    first, one page per call, the GIL can pass between pages; the extension
    then finds every page's UTF-8 form ready and scans with the GIL released.
    """
    if _utf8_of is not None:
        for text in pages.values():
            if type(text) is str:
                _utf8_of(text, None)
    if extended:  # passed only when asked for, like the fetch keywords
        return _commerce._enrich_after_fetch(targets, direct_links, pages, extended=True)
    return _commerce._enrich_after_fetch(targets, direct_links, pages)


def analyse_some(targets: list[Any], link: str, text: str | None, ranks: list[int],
                 extended: bool = False) -> list[EnrichedCommerceMatch]:
    """The matches of one page (all with direct link `link`), analysed with
    its text and their ranks in the search (run off the loop's thread)."""
    if _utf8_of is not None and type(text) is str:
        _utf8_of(text, None)  # made here, so the extension scans with the GIL released
    pages = {link: text}
    if extended:
        return _commerce._enrich_after_fetch(targets, [link] * len(targets), pages, extended=True, ranks=ranks)
    return _commerce._enrich_after_fetch(targets, [link] * len(targets), pages, ranks=ranks)


async def analyse_as_they_arrive(fetcher_class: Any, targets: list[Any], direct_links: list[str | None],
                                 options: dict[str, Any], extended: bool) -> list[EnrichedCommerceMatch]:
    """Every match's record, each page analysed as soon as it is in."""
    loop = asyncio.get_running_loop()
    results: list[Any] = [None] * len(targets)
    by_link: dict[str, list[int]] = {}
    unsplit: list[int] = []
    for i, link in enumerate(direct_links):
        if link is None:
            unsplit.append(i)
        else:
            by_link.setdefault(link, []).append(i)

    async def consume(link: str, text: str | None) -> None:
        where = by_link[link]
        records = await loop.run_in_executor(None, analyse_some, [targets[i] for i in where], link, text,
                                             [i + 1 for i in where], extended)
        for i, record in zip(where, records):
            results[i] = record

    await fetcher_class._fetch_each(list(by_link), consume, **options)
    if unsplit:  # links that cannot be split: analysed without a page
        some = [targets[i] for i in unsplit]
        ranks = [i + 1 for i in unsplit]
        keywords: dict[str, Any] = {"extended": True} if extended else {}
        records = await loop.run_in_executor(None, lambda: _commerce._enrich_after_fetch(
            some, [None] * len(some), {}, ranks=ranks, **keywords))
        for i, record in zip(unsplit, records):
            results[i] = record
    return results


def require_list(value: object, name: str) -> None:
    if not isinstance(value, list):
        raise TypeError(f"{name} must be list, not {type(value).__name__}")


def fetch_options(fetcher: Any, progress: ProgressCallback | None,
                  semaphore: asyncio.Semaphore | None) -> dict[str, Any]:
    """The keywords the caller gave, checked, to pass on. Those left at None
    are not passed, so an override written without them keeps working."""
    check_options(fetcher, progress, semaphore)
    given = {"fetcher": fetcher, "progress": progress, "semaphore": semaphore}
    return {name: value for name, value in given.items() if value is not None}


def check_extended(extended: object) -> None:
    if not isinstance(extended, bool):
        raise TypeError(f"extended must be bool, not {type(extended).__name__}")


def check_client(client: object) -> None:
    if client is not None and not isinstance(client, PageClient):
        raise TypeError(f"client must be PageClient or None, not {type(client).__name__}")


def check_report(report: object) -> None:
    if report is not None and not isinstance(report, FetchReport):
        raise TypeError(f"report must be FetchReport or None, not {type(report).__name__}")


def match_outcomes(direct_links: Sequence[str | None], pages: dict[str, str | None],
                   recorded: dict[str, PageOutcome]) -> list[PageOutcome]:
    """The page outcome of each match, by its direct link. A page the fetch
    did not record (a host's own fetch_one or fetch_many) is read when it has
    text, and failed when it has none."""
    outcomes = []
    for link in direct_links:
        out: PageOutcome | None
        if link is None:
            out = PageOutcome.model_construct(outcome=FetchOutcome.NO_LINK, link=None, status=None, final_url=None,
                                              bytes=None, seconds=None, detail="the link cannot be split",
                                              attempts=0)
        else:
            found = recorded.get(link)
            if found is not None:
                out = found
            else:
                text = pages.get(link)
                out = PageOutcome.model_construct(
                    outcome=FetchOutcome.READ if text is not None else FetchOutcome.FAILED, link=link, status=None,
                    final_url=None, bytes=None, seconds=None, attempts=1,
                    detail=None if text is not None else "the fetch gave no page")
        outcomes.append(out)
    return outcomes


def check_match_fields(matches: Sequence[Any]) -> None:
    """The type checks the analysis makes, made before any page is fetched,
    with the same messages (the analysis checks again)."""
    for match in matches:
        for name, nullable in _MATCH_FIELDS:
            value = getattr(match, name)
            if not isinstance(value, str) and not (nullable and value is None):
                expected = "str or None" if nullable else "str"
                raise TypeError(f"{name} must be {expected}, not {type(value).__name__}")
        stock = match.in_stock
        if stock is not None and not isinstance(stock, bool):
            raise TypeError(f"in_stock must be bool or None, not {type(stock).__name__}")
        thumbnail = match.thumbnail
        if thumbnail is not None and not isinstance(thumbnail, str):
            raise TypeError(f"thumbnail must be str or None, not {type(thumbnail).__name__}")


async def enrich_matches_deep_async(cls: Any, matches: list[VisualMatch], max_items: int | None = None, *,
                                    fetcher: Any = None, progress: ProgressCallback | None = None,
                                    semaphore: asyncio.Semaphore | None = None,
                                    extended: bool = False, report: FetchReport | None = None,
                                    client: PageClient | None = None,
                                    fetcher_class: Any) -> list[EnrichedCommerceMatch]:
    require_list(matches, "matches")
    if max_items is not None and not isinstance(max_items, int):
        raise TypeError(f"max_items must be int or None, not {type(max_items).__name__}")
    options = fetch_options(fetcher, progress, semaphore)
    check_extended(extended)
    check_report(report)
    check_client(client)
    if not matches:
        if report is not None:
            report.outcomes = []
        return []
    targets = matches if max_items is None else matches[:max_items]
    # None where unwrapping refuses a link (it cannot be split or encoded):
    # that match is not fetched and is analysed without a page, so one bad
    # link spoils nothing else.
    direct_links = _commerce._enrich_unwrap_links(targets)
    check_match_fields(targets)
    links = [d for d in direct_links if d is not None]
    # The matches as they are now: a task that changes the caller's list
    # meanwhile changes nothing here.
    targets = list(targets)
    streamed = getattr(fetcher_class, "_own_fetching", None)
    streamed = bool(streamed is not None and streamed())

    async def fetch_and_analyse() -> tuple[list[EnrichedCommerceMatch] | None, dict[str, str | None]]:
        if streamed:
            return await analyse_as_they_arrive(fetcher_class, targets, direct_links, options, extended), {}
        return None, await fetcher_class.fetch_many(links, **options)

    # A client that renders decides by the pages' outcomes which to render.
    rendering = client or current_client()
    if rendering is not None and rendering.render == "never":
        rendering = None
    # The pages' outcomes are kept only for a report or a render pass that asks for them.
    keeping: AbstractContextManager[dict[str, PageOutcome]] = (
        recording() if report is not None or rendering is not None else nullcontext({}))
    with keeping as recorded:
        async with call_client(client):
            items, pages = await fetch_and_analyse()
    if items is None:
        # A host's fetch_many: the analysis of the whole batch runs on a worker
        # of the loop's executor, so the host's other tasks keep running meanwhile.
        loop = asyncio.get_running_loop()
        items = await loop.run_in_executor(None, analyse_batch, targets, direct_links, pages, extended)
    # Rendering in a browser, when the client asks for it: a second step for the pages that qualify.
    if rendering is not None:
        items = await render_pass(rendering, targets, direct_links, items, recorded, analyse_batch, extended,
                                  fetcher_class._fetch_bindings())
    if report is not None:
        report.outcomes = match_outcomes(direct_links, pages, recorded)
    return items


async def process_async(cls: Any, matches: list[VisualMatch], *, fetcher: Any = None,
                        progress: ProgressCallback | None = None,
                        semaphore: asyncio.Semaphore | None = None, extended: bool = False,
                        report: FetchReport | None = None,
                        client: PageClient | None = None) -> CommerceIntelligence:
    require_list(matches, "matches")
    options = fetch_options(fetcher, progress, semaphore)
    check_extended(extended)
    check_report(report)
    check_client(client)
    # Passed only when asked for, so an override without the keyword keeps working.
    if extended:
        options["extended"] = True
    if report is not None:
        options["report"] = report
    if not matches:
        if report is not None:
            report.outcomes = []
        return CommerceIntelligence()
    if client is not None:
        # Lent through the context, so an override of enrich_matches_deep_async
        # written without the keyword still fetches through it.
        with using(client):
            items = await cls.enrich_matches_deep_async(matches, **options)
    else:
        items = await cls.enrich_matches_deep_async(matches, **options)
    require_list(items, "enriched items")
    relevance = importlib.import_module("quillmere.relevance")
    classify = relevance.classify_match_relevance
    recompute = relevance.recompute_market_summary
    for item in items:
        if item.relevance is None:
            item.relevance = classify(item, None)
    base = CommerceSummary(total_matches=len(matches), currency="USD")
    summary = recompute(items, base)
    return CommerceIntelligence(summary=summary, items=items)


__all__ = ["analyse_as_they_arrive", "analyse_some", "analyse_batch", "check_extended", "check_client", "check_report", "match_outcomes", "check_match_fields", "enrich_matches_deep_async", "fetch_options",
           "process_async", "require_list"]
