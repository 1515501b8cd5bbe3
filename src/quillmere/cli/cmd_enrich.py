"""``quillmere enrich MATCHES.json [--csv OUT.csv] [--json OUT.json]``."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

from .. import _export
from ..report import write_result_html
from ._common import EXIT_OK, PROG
from ._engine import add_engine_options, add_fetch_options, engine_options, load_engine, page_client, \
    render_settings, run_pipeline, tell_pages, warn_unreadable_links
from ._input import read_matches
from ._outputs import OutputPlan, Writer
from ._report import report, stdout_width


def register(commands: Any) -> None:
    enrich = commands.add_parser(
        "enrich", help="enrich a file of visual matches",
        description="Read visual matches (a JSON array of objects with the fields link, title, source, "
                    "price, currency, in_stock, thumbnail; JSON Lines; an object whose \"matches\" holds "
                    "the array; an image-search response with \"visual_matches\"; or a Cloud Vision "
                    "web-detection response), fetch their destination pages, print the enriched matches and the market "
                    "summary, and write the files asked for (missing folders are made).")
    enrich.add_argument("matches", metavar="MATCHES.json",
                        help="visual matches: JSON array, JSON Lines or a search response; - reads standard input")
    enrich.add_argument("--csv", type=Path, metavar="OUT.csv", help="write the enriched matches as CSV")
    enrich.add_argument("--json", type=Path, metavar="OUT.json",
                        help="write the whole result (summary and matches) as JSON")
    enrich.add_argument("--report", type=Path, metavar="FILE",
                        help="write every match's page outcome (read, or why not) as JSON")
    enrich.add_argument("--html", type=Path, metavar="OUT.html",
                        help="write an HTML report to look at (see quillmere html)")
    enrich.add_argument("-q", "--quiet", action="store_true",
                        help="print no table of matches (the summary and the files written still are)")
    enrich.add_argument("--no-exact-matches", dest="exact_matches", action="store_false",
                        help='leave out a response\'s "exact_matches" (read after its "visual_matches" by default)')
    add_engine_options(enrich)
    add_fetch_options(enrich, retries=0)
    enrich.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    source = None if args.matches == "-" else Path(args.matches)
    plan = OutputPlan(source)
    csv_out = plan.add("--csv", "CSV", args.csv)
    json_out = plan.add("--json", "JSON", args.json)
    report_out = plan.add("--report", "page report", args.report)
    html_out = plan.add("--html", "HTML report", args.html)
    # What rendering needs, and a cache that cannot serve, stop the command
    # here, before anything is made or fetched.
    client = page_client(args, render_settings(args))
    try:
        plan.check()
        matches, labels = read_matches(source, exact_matches=args.exact_matches)
        commerce = load_engine()
        warn_unreadable_links(commerce, matches, labels, "<stdin>" if source is None else str(source))
        if commerce.AsyncFetcher is None and matches:
            print(f"{PROG}: note: the Scrapling library cannot be imported, so destination pages are not "
                  "fetched; results come from the search data alone", file=sys.stderr)
        pages = commerce.FetchReport()
        result = run_pipeline(commerce, matches, commerce.AsyncFetcher, {**engine_options(args), "client": client},
                              allow_internal=args.allow_internal, report=pages)
        writers: list[tuple[Any, Writer]] = []
        if report_out is not None:
            page_data = _export.render_page_report(pages, [m.link for m in matches],
                                                   [item.direct_url for item in result.items])
            writers.append((report_out, lambda path: _export.write_bytes(path, page_data)))
        if json_out is not None:
            data = _export.render_json(result)  # before anything is written: it can fail on content
            writers.append((json_out, lambda path: _export.write_bytes(path, data)))
        if html_out is not None:
            entries = _export.page_entries(pages, [m.link for m in matches], [i.direct_url for i in result.items])
            counts = _export.page_counts(pages) if pages.outcomes else None
            writers.append((html_out, lambda path: write_result_html(
                result, path, outcomes=entries or None, pages=counts, source=str(source or "<stdin>"))))
        if csv_out is not None:
            writers.insert(0, (csv_out, lambda path: commerce.export_commerce_to_csv(result, path)))
        report(sys.stdout, result, stdout_width(), table=not args.quiet, outcomes=[o.label for o in pages.outcomes])
        tell_pages(pages, sys.stdout, sys.stderr, stdout_width())
        written = plan.write(writers)
    finally:
        client.close_cache()
        plan.abandon()
    if written:
        print()
    for out in written:
        print(f"Wrote {out.kind}: {out.resolved}")
    return EXIT_OK
