"""``quillmere html RESULTS [--outcomes FILE] --out OUT.html``: a results
file (an ``enrich --json`` export or ``enrich-many --out`` results) as one
self-contained HTML report."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

from ._common import EXIT_OK, PROG, CliError
from ._outputs import OutputPlan


def register(commands: Any) -> None:
    parser = commands.add_parser(
        "html", help="write an HTML report of a results file",
        description="Turn an `enrich --json` export or an `enrich-many --out` results file into one "
                    "self-contained HTML file: a summary, a price chart and every match with its image, "
                    "merchant, price and page outcome. The report loads nothing but the matches' images.")
    parser.add_argument("results", metavar="RESULTS", type=Path,
                        help="an enrich --json export or an enrich-many results file (JSON Lines)")
    parser.add_argument("--outcomes", type=Path, metavar="FILE",
                        help="the page outcomes of the same enrich run (its --report file)")
    parser.add_argument("--out", required=True, type=Path, metavar="OUT.html", help="the report to write")
    parser.set_defaults(handler=run)


def load(results_path: Path, outcomes_path: Path | None = None) -> Any:
    """The results (and outcomes) read and checked whole, as CliError when
    they cannot make a report; warnings are printed."""
    from ..report import ReportInputError, read_outcomes, read_results

    for path in (results_path, outcomes_path):
        if path is not None and not path.is_file():
            raise CliError(f"{path}: no such file" if not path.exists() else f"{path}: is not a file")
    try:
        results = read_results(results_path)
        if outcomes_path is not None:
            if results.many:
                raise CliError(f"{outcomes_path}: --outcomes goes with an enrich --json export; "
                               f"the lines of {results_path} carry their own")
            pages, matches = read_outcomes(outcomes_path)
            assert results.single is not None
            if len(matches) != len(results.single.items):
                raise CliError(f"{outcomes_path}: has {len(matches)} page outcomes for "
                               f"{len(results.single.items)} matches in {results_path}")
            results.single.pages, results.single.outcomes = pages, matches
    except ReportInputError as err:
        raise CliError(str(err)) from None
    for warning in results.warnings:
        print(f"{PROG}: warning: {warning}", file=sys.stderr)
    return results


def run(args: argparse.Namespace) -> int:
    from ..report import write_html

    plan = OutputPlan(args.results)
    out = plan.add("--out", "HTML report", args.out)
    assert out is not None
    if args.outcomes is not None and args.outcomes.expanduser().resolve() == out.resolved:
        raise CliError(f"{args.out}: is the --outcomes file; --out would overwrite it")
    try:
        plan.check()
        results = load(args.results, args.outcomes)
        written = plan.write([(out, lambda path: write_html(results, path, source=args.results.name))])
    finally:
        plan.abandon()
    for done in written:
        print(f"Wrote {done.kind}: {done.resolved}")
    return EXIT_OK
