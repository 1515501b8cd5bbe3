"""``quillmere enrich-many``: many searches from a JSON Lines file, results
appended to a JSON Lines file as they complete, resuming where a run stopped.

    quillmere enrich-many SEARCHES.jsonl --out RESULTS.jsonl [--csv ITEMS.csv]
        [--workers N] [--dask local|tcp://HOST:PORT] [--allow-internal] [--quiet]
        [--per-host N] [--retries N] [--cache PATH [--cache-ttl AGE] [--cache-size SIZE]]
"""

from __future__ import annotations

import argparse
import shutil
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any, TextIO

from ._common import EXIT_OK, PROG, CliError
from ._engine import add_engine_options, add_fetch_options, engine_options, fetch_keywords, render_settings
from ._outputs import OutputPlan

_HELP = """\
Enrich many image searches. SEARCHES.jsonl holds one search a line:
  {"id": "s1", "matches": [{"link": ..., "title": ..., ...}, ...]}
with the match fields `quillmere enrich` reads, or
  {"id": "s2", "response": {...}}
holding an image-search response in any shape `quillmere enrich` reads (or
the response itself as the line). A line without "id" takes its response's
search_metadata.id, else its line number.

RESULTS.jsonl gets one line per search as it completes:
  {"id": "s1", "result": {...}}   or   {"id": "s1", "error": "..."}
where "result" is the search's commerce intelligence as JSON (absent fields
left out). A failing search is written as an error and the run goes on.

If RESULTS.jsonl exists, the searches already in it are skipped and the rest
appended: a run that was stopped (Ctrl-C, killed) is resumed by running the
same command again; a last line cut short is redone.
"""


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, not {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, not {text!r}")
    return value


def _dask_address(text: str) -> str:
    if text == "local" or (text.startswith(("tcp://", "tls://")) and len(text) > 6):
        return text
    raise argparse.ArgumentTypeError(f"expected local or a scheduler address such as tcp://HOST:8786, not {text!r}")


def register(commands: Any) -> None:
    parser = commands.add_parser("enrich-many", help="enrich many searches (JSON Lines), resumable",
                                 description=_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("searches", metavar="SEARCHES.jsonl", type=Path,
                        help="searches, one JSON object a line; - reads standard input (read once, as the "
                             "searches are run: an input error then stops the run where it is found)")
    parser.add_argument("--out", required=True, type=Path, metavar="RESULTS.jsonl",
                        help="results, one JSON line per search (appended to; resumed from)")
    parser.add_argument("--csv", type=Path, metavar="ITEMS.csv",
                        help="also write every search's items as one CSV, with a first column search_id")
    parser.add_argument("--html", type=Path, metavar="OUT.html",
                        help="also write an HTML report of every search in the results (see quillmere html)")
    parser.add_argument("--workers", type=_positive, metavar="N",
                        help="run in N worker processes (with --dask local: the cluster's processes)")
    parser.add_argument("--dask", type=_dask_address, metavar="local|tcp://HOST:PORT",
                        help="run on a Dask LocalCluster, or on the cluster of this scheduler "
                             "(needs: pip install 'quillmere[dask]')")
    parser.add_argument("--partition-size", type=_positive, metavar="N",
                        help="searches per Dask task (default: 200, fewer for small runs so that every "
                             "worker thread gets four)")
    parser.add_argument("--no-exact-matches", dest="exact_matches", action="store_false",
                        help='leave out the responses\' "exact_matches" (read after their "visual_matches" by default)')
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no closing summary")
    add_engine_options(parser)  # --allow-internal and the engine's other flags
    add_fetch_options(parser, retries=2)
    parser.set_defaults(handler=run)


class BatchProgress:
    """Searches done (of those to do) and pages requested, on one terminal
    line; silent when standard error is not a terminal."""

    def __init__(self, total: int | None, counter: Any, stream: TextIO | None = None,
                 enabled: bool | None = None) -> None:
        self.total = total
        self.done = 0
        self.counter = counter
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = self.stream.isatty() if enabled is None else enabled
        self.shown = ""

    def advance(self) -> None:
        self.done += 1
        self.draw()

    def draw(self) -> None:
        if not self.enabled:
            return
        columns = shutil.get_terminal_size((80, 24)).columns
        if self.total is None:  # standard input: the count so far
            line = f"Searches: {self.done} done, {self._pages()}"[: max(columns - 1, 1)]
            self._show(line)
            return
        tail = f" {self.done}/{self.total} searches, {self._pages()}"
        width = max(0, min(30, columns - len("Searches []") - len(tail) - 1))
        filled = width * min(self.done, self.total) // self.total if self.total else width
        self._show(f"Searches [{'#' * filled}{'-' * (width - filled)}]{tail}"[: max(columns - 1, 1)])

    def _pages(self) -> str:
        read, missed = self.counter.read, self.counter.not_read
        pages = self.counter.pages
        text = f"{pages} page{'' if pages == 1 else 's'}"
        if read or missed:
            text += f" ({read} read, {missed} not)"
        return text

    def _show(self, line: str) -> None:
        if line != self.shown:
            self.stream.write("\r" + line + " " * max(0, len(self.shown) - len(line)))
            self.stream.flush()
            self.shown = line

    def finish(self) -> None:
        if self.enabled and self.shown:
            self.stream.write("\n")
            self.stream.flush()
            self.shown = ""


def _results(n: int, kind: str) -> str:
    return f"{n} {kind} result{'' if n == 1 else 's'} {'was' if n == 1 else 'were'}"


def _lines(path: Path) -> Iterator[bytes]:
    with open(path, "rb") as f:
        yield from f


def _survey(source: Path | None, name: str, out: Path) -> tuple[set[str], int, int]:
    """The ids already in `out`, and the number of searches in `source` and
    of those among them already done. This pass over the input comes first,
    so an input error (a line that is not a search, a repeated id) stops the
    command before any search is run. Standard input (None) is read only
    once, by the run: its counts start at 0."""
    from ..batch._output import OutputError, completed_ids
    from ..batch import BatchInputError, id_key, read_searches

    try:
        done = completed_ids(out)
    except OutputError as err:
        raise CliError(str(err)) from None
    except OSError as err:
        raise CliError(f"{out}: cannot read: {err.strerror or err}") from None
    total = skipped = 0
    if source is None:
        return done, total, skipped
    try:
        for search in read_searches(_lines(source), name):
            total += 1
            skipped += id_key(search.id) in done
    except BatchInputError as err:
        raise CliError(str(err)) from None
    except OSError as err:
        raise CliError(f"{name}: cannot read: {err.strerror or err}") from None
    return done, total, skipped


def run(args: argparse.Namespace) -> int:
    source = None if str(args.searches) == "-" else args.searches.expanduser()
    args.out = args.out.expanduser()
    args.csv = args.csv.expanduser() if args.csv is not None else None
    args.html = args.html.expanduser() if args.html is not None else None
    plan = OutputPlan(source)
    plan.add("--out", "results", args.out)
    plan.add("--csv", "CSV", args.csv)
    plan.add("--html", "HTML report", args.html)
    # Checked first: a bad value or a cache file that cannot serve stops the
    # command before anything is made or fetched.
    args.fetching = fetch_keywords(args)
    try:
        plan.check()  # also makes missing folders; those left empty are removed again
        return _run(args, source)
    finally:
        plan.abandon()


def _run(args: argparse.Namespace, source: Path | None) -> int:
    from ..batch._output import OutputError, OutputFile, write_csv
    from ..batch import BatchInputError, PageCount, RunOptions, id_key, read_searches, run_outcomes

    name = "<stdin>" if source is None else str(args.searches)
    if source is not None and not source.is_file():
        raise CliError(f"{name}: no such file" if not source.exists() else f"{name}: is not a file of searches")
    if args.dask not in (None, "local") and args.workers is not None:
        raise CliError("--workers sets the processes of this machine (or of --dask local); "
                       "a running cluster has its own workers")
    if args.partition_size is not None and args.dask is None:
        raise CliError("--partition-size applies to --dask only")
    for option, value in (("--csv", args.csv), ("--html", args.html)):
        if value is not None and args.out.exists() and not args.out.is_file():
            raise CliError(f"{args.out}: {option} is made from the results file, so --out must be a regular file")
    if args.dask is not None:
        try:
            import distributed  # noqa: F401
        except ImportError:
            raise CliError("--dask needs Dask: pip install 'quillmere[dask]'") from None
    # The output is opened (and locked) before the ids in it are read, so a
    # second run on the same file is refused instead of redoing searches.
    existed = args.out.exists()
    try:
        output = OutputFile(args.out)
    except OutputError as err:
        raise CliError(str(err)) from None
    except OSError as err:
        raise CliError(f"{args.out}: cannot write: {err.strerror or err}") from None
    try:
        done, total, skipped = _survey(source, name, args.out)
    except BaseException:
        output.close()
        if not existed and args.out.is_file() and not args.out.stat().st_size:
            args.out.unlink()  # nothing was run: nothing is left behind
        raise

    def todo() -> Iterator[Any]:
        nonlocal total, skipped
        lines = sys.stdin.buffer if source is None else _lines(source)
        for search in read_searches(lines, name, exact_matches=args.exact_matches):
            if id_key(search.id) not in done:
                yield search
            elif source is None:
                skipped += 1
            if source is None:
                total += 1

    counter = PageCount()
    progress = BatchProgress(None if source is None else total - skipped, counter,
                             enabled=False if args.quiet else None)
    render = render_settings(args) or {}  # what rendering needs, before any page is fetched
    options = RunOptions(allow_internal=args.allow_internal, keywords=tuple(engine_options(args).items()),
                         client=tuple({**args.fetching, **render}.items()))
    try:
        with output:
            progress.draw()
            for outcome in run_outcomes(todo(), options, workers=args.workers, dask=args.dask,
                                        partition_size=args.partition_size,
                                        expected=None if source is None else total - skipped,
                                        counter=counter, tick=progress.draw):
                output.write(outcome)
                counter.tally(outcome)
                progress.advance()
    except KeyboardInterrupt:
        progress.finish()
        print(f"{PROG}: {_results(output.written, 'more')} written to {args.out}; run the same command again "
              "to go on", file=sys.stderr)
        later = [f"{option} {value}" for option, value in (("--csv", args.csv), ("--html", args.html)) if value]
        if later:
            print(f"{PROG}: {' and '.join(later)} not written: running the same command again completes the "
                  f"run and writes {'them' if len(later) > 1 else 'it'}", file=sys.stderr)
        raise
    except BatchInputError as err:
        raise CliError(f"{err} ({output.written} results were written before it)") from None
    except OSError as err:
        raise CliError(f"{args.out}: cannot write: {err.strerror or err}") from None
    except Exception as err:
        raise CliError(f"the run stopped: {type(err).__name__}: {err}; "
                       f"{_results(output.written, 'more')} written, run again to go on") from None
    finally:
        progress.finish()

    rows = None
    if args.csv is not None:
        try:
            rows = write_csv(args.out, args.csv)
        except OSError as err:
            raise CliError(f"{args.csv}: cannot write: {err.strerror or err}") from None
    if args.html is not None:
        from ..report import write_html
        from .cmd_html import load

        results = load(args.out)
        try:
            write_html(results, args.html, source=args.out.name)
        except OSError as err:
            raise CliError(f"{args.html}: cannot write: {err.strerror or err}") from None
    if not args.quiet:
        ran = output.written
        print(f"{total} search{'' if total == 1 else 'es'}: {ran - output.failed} enriched, {output.failed} failed, "
              f"{skipped} already in {args.out}; {counter.pages} page{'' if counter.pages == 1 else 's'} requested")
        if counter.outcomes:
            from ..models import counts_line

            print(counts_line(counter.outcomes, counter.rendered))
        if ran:
            print(f"Wrote results: {args.out.expanduser().resolve()}")
        elif total:
            print(f"Nothing new: {'the search was' if total == 1 else f'all {total} searches were'} "
                  f"already in {args.out}")
        else:
            print(f"Nothing new: no searches in {args.searches}")
        if rows is not None:
            print(f"Wrote CSV ({rows} item{'' if rows == 1 else 's'}): {args.csv.expanduser().resolve()}")
        if args.html is not None:
            print(f"Wrote HTML report: {args.html.expanduser().resolve()}")
    return EXIT_OK
