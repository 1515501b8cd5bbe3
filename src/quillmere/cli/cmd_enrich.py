"""``quillmere enrich MATCHES.json [--csv OUT.csv] [--json OUT.json]``."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

from ._common import EXIT_OK, PROG
from ._engine import add_engine_options, engine_options, load_engine, run_pipeline, warn_unreadable_links
from ._input import read_matches
from ._outputs import check_outputs, write_export
from ._report import report, stdout_width


def register(commands: Any) -> None:
    enrich = commands.add_parser(
        "enrich", help="enrich a file of visual matches",
        description="Read visual matches (a JSON array of objects with the fields link, title, source, "
                    "price, currency, in_stock, thumbnail; or JSON Lines), fetch their destination pages, "
                    "print the enriched matches and the market summary, and write the files asked for.")
    enrich.add_argument("matches", metavar="MATCHES.json", help="visual matches: JSON array or JSON Lines")
    enrich.add_argument("--csv", type=Path, metavar="OUT.csv", help="write the enriched matches as CSV")
    enrich.add_argument("--json", type=Path, metavar="OUT.json",
                        help="write the whole result (summary and matches) as JSON")
    add_engine_options(enrich)
    enrich.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    source = Path(args.matches)
    outputs = {"--csv": args.csv, "--json": args.json}
    check_outputs(outputs, source)
    matches, labels = read_matches(source)
    commerce = load_engine()
    warn_unreadable_links(commerce, matches, labels, str(source))
    if commerce.AsyncFetcher is None and matches:
        print(f"{PROG}: note: the Scrapling library cannot be imported, so destination pages are not "
              "fetched; results come from the search data alone", file=sys.stderr)
    result = run_pipeline(commerce, matches, commerce.AsyncFetcher, engine_options(args),
                          allow_internal=args.allow_internal)
    report(sys.stdout, result, stdout_width())
    written = []
    if args.csv is not None:
        written.append(("CSV", write_export(commerce.export_commerce_to_csv, result, args.csv)))
    if args.json is not None:
        written.append(("JSON", write_export(commerce.export_commerce_to_json, result, args.json)))
    if written:
        print()
    for kind, path in written:
        print(f"Wrote {kind}: {path}")
    return EXIT_OK
