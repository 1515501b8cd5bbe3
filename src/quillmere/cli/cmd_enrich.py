"""``quillmere enrich MATCHES.json [--csv OUT.csv] [--json OUT.json]``."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

from .. import _export
from ._common import EXIT_OK, PROG
from ._engine import add_engine_options, engine_options, load_engine, render_settings, run_pipeline, \
    warn_unreadable_links
from ._input import read_matches
from ._outputs import OutputPlan, Writer
from ._report import report, stdout_width


def register(commands: Any) -> None:
    enrich = commands.add_parser(
        "enrich", help="enrich a file of visual matches",
        description="Read visual matches (a JSON array of objects with the fields link, title, source, "
                    "price, currency, in_stock, thumbnail; JSON Lines; or an object whose \"matches\" holds "
                    "the array), fetch their destination pages, print the enriched matches and the market "
                    "summary, and write the files asked for (missing folders are made).")
    enrich.add_argument("matches", metavar="MATCHES.json",
                        help="visual matches: JSON array or JSON Lines; - reads standard input")
    enrich.add_argument("--csv", type=Path, metavar="OUT.csv", help="write the enriched matches as CSV")
    enrich.add_argument("--json", type=Path, metavar="OUT.json",
                        help="write the whole result (summary and matches) as JSON")
    enrich.add_argument("-q", "--quiet", action="store_true",
                        help="print no table of matches (the summary and the files written still are)")
    add_engine_options(enrich)
    enrich.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    source = None if args.matches == "-" else Path(args.matches)
    plan = OutputPlan(source)
    csv_out = plan.add("--csv", "CSV", args.csv)
    json_out = plan.add("--json", "JSON", args.json)
    try:
        plan.check()
        matches, labels = read_matches(source)
        commerce = load_engine()
        render = render_settings(args)  # what rendering needs, before any page is fetched
        warn_unreadable_links(commerce, matches, labels, "<stdin>" if source is None else str(source))
        if commerce.AsyncFetcher is None and matches:
            print(f"{PROG}: note: the Scrapling library cannot be imported, so destination pages are not "
                  "fetched; results come from the search data alone", file=sys.stderr)
        result = run_pipeline(commerce, matches, commerce.AsyncFetcher, engine_options(args),
                              allow_internal=args.allow_internal, render=render)
        writers: list[tuple[Any, Writer]] = []
        if json_out is not None:
            data = _export.render_json(result)  # before anything is written: it can fail on content
            writers.append((json_out, lambda path: _export.write_bytes(path, data)))
        if csv_out is not None:
            writers.insert(0, (csv_out, lambda path: commerce.export_commerce_to_csv(result, path)))
        report(sys.stdout, result, stdout_width(), table=not args.quiet)
        written = plan.write(writers)
    finally:
        plan.abandon()
    if written:
        print()
    for out in written:
        print(f"Wrote {out.kind}: {out.resolved}")
    return EXIT_OK
