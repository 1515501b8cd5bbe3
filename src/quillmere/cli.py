"""The ``quillmere`` command: enrich a file of visual matches, or run the offline demo.

``quillmere enrich MATCHES.json [--csv OUT.csv] [--json OUT.json]`` reads
visual matches (a JSON array of objects, or JSON Lines), runs the commerce
pipeline, prints the enriched matches with the market summary, and writes the
files asked for. ``quillmere demo [--out DIR]`` does the same for a bundled set
of matches whose pages are served from a loopback server.

Problems with the input are reported on one line naming the file, the record
and the problem, with exit status 1; nothing is written then. Exit status 2 is
a usage error, 130 an interruption.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import sys
import unicodedata
from collections.abc import Callable, Sequence
from pathlib import Path
from types import ModuleType
from typing import TYPE_CHECKING, Any, TextIO

from . import __version__

if TYPE_CHECKING:
    from .models import CommerceIntelligence, CommerceSummary, EnrichedCommerceMatch, VisualMatch

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

PROG = "quillmere"


class CliError(Exception):
    """A problem reported to the user as one line, without a traceback."""


# ------------------------------------------------------------------ input
# Field name -> (accepted Python types, may be null, wording for messages).
_FIELDS: dict[str, tuple[tuple[type, ...], bool, str]] = {
    "link": ((str,), False, "a string"),
    "title": ((str,), False, "a string"),
    "source": ((str,), True, "a string or null"),
    "price": ((str,), True, "a string or null"),
    "currency": ((str,), True, "a string or null"),
    "in_stock": ((bool,), True, "true, false or null"),
    "thumbnail": ((str,), True, "a string or null"),
}

_JSON_WS = re.compile(r"[ \t\n\r]*")


def _json_kind(value: object) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    return "an object"


def _json_excerpt(value: object, limit: int = 40) -> str:
    text = json.dumps(value, ensure_ascii=False)
    return text if len(text) <= limit else text[: limit - 1] + "…"


def _loads(text: str, name: str, where: str = "") -> object:
    """json.loads with the problem as one line ("FILE: [WHERE: ]problem")."""
    prefix = f"{name}: {where}: " if where else f"{name}: "
    try:
        return json.loads(text)
    except json.JSONDecodeError as err:
        at = f"column {err.colno}" if where else f"line {err.lineno}, column {err.colno}"
        raise CliError(f"{prefix}invalid JSON at {at}: {err.msg}") from None
    except RecursionError:
        raise CliError(f"{prefix}JSON nested too deeply") from None


def _line_of(text: str, pos: int) -> int:
    return text.count("\n", 0, pos) + 1


def _array_records(text: str, name: str) -> list[tuple[str, object]]:
    """Elements of a JSON array with labels "record N (line L)"."""
    data = _loads(text, name)
    assert isinstance(data, list)
    # The document is valid, so walking it element by element cannot fail; this
    # only finds where each element starts, for the messages.
    decoder = json.JSONDecoder()
    pos = _JSON_WS.match(text, text.index("[") + 1).end()  # type: ignore[union-attr]
    starts: list[int] = []
    if text[pos] != "]":
        while True:
            starts.append(pos)
            _, pos = decoder.raw_decode(text, pos)
            pos = _JSON_WS.match(text, pos).end()  # type: ignore[union-attr]
            if text[pos] != ",":
                break
            pos = _JSON_WS.match(text, pos + 1).end()  # type: ignore[union-attr]
    records = []
    line, counted = 1, 0
    for i, (start, value) in enumerate(zip(starts, data), start=1):
        line += text.count("\n", counted, start)  # counted on from the previous record
        counted = start
        records.append((f"record {i} (line {line})", value))
    return records


def _line_records(text: str, name: str) -> list[tuple[str, object]]:
    """Records of a JSON Lines text, labelled "line L"; blank lines are skipped."""
    records: list[tuple[str, object]] = []
    for lineno, line in enumerate(text.split("\n"), start=1):
        if not line.strip():
            continue
        # Parsed as written (leading white space is valid JSON), so columns
        # are those of the file.
        records.append((f"line {lineno}", _loads(line, name, f"line {lineno}")))
    return records


def parse_records(text: str, name: str) -> list[tuple[str, object]]:
    """Split an input text into labelled JSON records.

    Accepted: a JSON array of objects, JSON Lines (one object per line), or a
    single JSON object (one match).
    """
    body = text.lstrip()
    if not body:
        raise CliError(f"{name}: the file is empty (expected a JSON array of matches or JSON Lines)")
    if body.startswith("["):
        return _array_records(text, name)
    if body.startswith("{"):
        try:
            return _line_records(text, name)
        except CliError as not_lines:
            # Not JSON Lines; perhaps one object written over several lines.
            try:
                whole = json.loads(text)
            except (json.JSONDecodeError, RecursionError):
                raise not_lines from None
            return [(f"record 1 (line {_line_of(text, text.index('{'))})", whole)]
    data = _loads(text, name)
    raise CliError(f"{name}: expected a JSON array of matches or JSON Lines, found {_json_kind(data)}")


def match_fields(name: str, where: str, record: object) -> dict[str, Any]:
    """The visual-match fields of one record, type-checked; other keys are ignored."""
    if not isinstance(record, dict):
        raise CliError(f"{name}: {where}: expected a match object, found {_json_kind(record)}")
    link = record.get("link")
    if link is None:
        raise CliError(f'{name}: {where}: the match has no "link"')
    fields: dict[str, Any] = {}
    for field, (types, nullable, wording) in _FIELDS.items():
        if field not in record:
            continue
        value = record[field]
        if value is None and nullable:
            fields[field] = None
        elif isinstance(value, types) and not (bool not in types and isinstance(value, bool)):
            fields[field] = value
        else:
            raise CliError(f'{name}: {where}: "{field}" must be {wording}, not {_json_excerpt(value)}')
    if not fields["link"].strip():
        raise CliError(f'{name}: {where}: the match\'s "link" is empty')
    return fields


def read_matches(path: Path) -> tuple[list["VisualMatch"], list[str]]:
    """The visual matches of an input file and the label of each record."""
    from .models import VisualMatch

    name = str(path)
    try:
        raw = path.read_bytes()
    except FileNotFoundError:
        raise CliError(f"{name}: no such file") from None
    except IsADirectoryError:
        raise CliError(f"{name}: is a directory, not a file of matches") from None
    except OSError as err:
        raise CliError(f"{name}: cannot read: {err.strerror or err}") from None
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError as err:
        raise CliError(f"{name}: not UTF-8 text (byte 0x{raw[err.start]:02x} at offset {err.start})") from None
    records = parse_records(text, name)
    matches = [VisualMatch(**match_fields(name, where, record)) for where, record in records]
    return matches, [where for where, _ in records]


# --------------------------------------------------------------- fetching
class Progress:
    """A one-line progress bar on a terminal; silent anywhere else.

    ``update(done, total)`` is the engine's progress callback: the engine
    calls it before the first request and as each distinct page completes.
    """

    def __init__(self, label: str = "Fetching pages", stream: TextIO | None = None,
                 enabled: bool | None = None) -> None:
        self.total = 0
        self.done = 0
        self.label = label
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = self.stream.isatty() if enabled is None else enabled
        self.drawn = False

    def update(self, done: int, total: int) -> None:
        self.done, self.total = done, total
        if not self.enabled or total <= 0:
            return
        width = 24
        filled = width * min(done, total) // total
        bar = "#" * filled + "-" * (width - filled)
        self.stream.write(f"\r{self.label} [{bar}] {done}/{total}")
        self.stream.flush()
        self.drawn = True

    def finish(self) -> None:
        if self.drawn:
            self.stream.write("\n")
            self.stream.flush()
            self.drawn = False


class RewritingFetcher:
    """Wraps a page fetcher so that every link is rewritten before the request
    (the demo sends every request to its loopback server)."""

    def __init__(self, inner: Any, rewrite: Callable[[str], str]) -> None:
        self.inner = inner
        self.rewrite = rewrite

    async def get(self, url: str, timeout: int = 5, **kwargs: Any) -> Any:
        return await self.inner.get(self.rewrite(url), timeout=timeout, **kwargs)


def _load_engine() -> ModuleType:
    try:
        from . import commerce
    except ImportError as err:
        raise CliError(f"the commerce engine cannot be loaded ({err}); build and install the package first") from None
    return commerce


def warn_unreadable_links(commerce: ModuleType, matches: Sequence["VisualMatch"], labels: Sequence[str],
                          name: str) -> None:
    """Name every link that cannot be read in a warning: the engine does not
    fetch it and enriches that match from its search data alone, so the run
    goes on."""
    for match, where in zip(matches, labels):
        try:
            commerce.URLUnwrapper.unwrap(match.link)
        except ValueError as err:
            print(f"{PROG}: warning: {name}: {where}: link {_json_excerpt(match.link, 80)} cannot be read ({err}); "
                  "the match is enriched from its search data alone", file=sys.stderr)


def run_pipeline(commerce: ModuleType, matches: list["VisualMatch"], fetcher: Any,
                 stream: TextIO | None = None) -> "CommerceIntelligence":
    """Enrich ``matches`` with the engine, counting fetched pages on a progress bar."""
    progress = Progress(stream=stream)
    try:
        result = commerce.CommerceEnricher.process(matches, fetcher=fetcher, progress=progress.update)
    except Exception as err:  # the engine absorbs page failures; anything else ends the run
        raise CliError(f"enrichment failed: {type(err).__name__}: {err}") from None
    finally:
        progress.finish()
    return result


# ------------------------------------------------------------------ output
def _char_width(ch: str) -> int:
    if unicodedata.combining(ch):
        return 0
    return 2 if unicodedata.east_asian_width(ch) in ("W", "F") else 1


def text_width(text: str) -> int:
    """Columns a text takes on a terminal (wide East Asian characters count twice)."""
    return sum(_char_width(ch) for ch in text)


def fit(text: str, width: int) -> str:
    """``text`` on one line, cut to ``width`` columns with an ellipsis, padded."""
    text = " ".join(text.split())
    if text_width(text) > width:
        out, used = [], 0
        for ch in text:
            w = _char_width(ch)
            if used + w > width - 1:
                break
            out.append(ch)
            used += w
        text = "".join(out) + "…"
    return text + " " * (width - text_width(text))


def _value(member: Any) -> str:
    if member is None:
        return "-"
    return str(getattr(member, "value", member))


def table_rows(items: Sequence["EnrichedCommerceMatch"]) -> list[list[str]]:
    rows = []
    for rank, item in enumerate(items, start=1):
        rows.append([
            str(rank),
            f"{item.match_score}%",
            _value(item.relevance),
            _value(item.page_type),
            _value(item.merchant_category),
            item.price.raw if item.price is not None else "-",
            _value(item.stock_status),
            item.merchant_name or "-",
            item.title or "-",
        ])
    return rows


_HEADER = ["#", "Score", "Relevance", "Page type", "Category", "Price", "Stock", "Merchant", "Title"]
_RIGHT = {0, 1}  # right-aligned columns


def format_table(items: Sequence["EnrichedCommerceMatch"], width: int) -> str:
    """The enriched matches as a table fitted to ``width`` columns, each
    followed by its direct link on a line of its own."""
    rows = table_rows(items)
    widths = [max(text_width(r[i]) for r in [_HEADER, *rows]) for i in range(len(_HEADER))]
    gap = 2
    # Shrink the merchant and title columns to fit, keeping them readable.
    overflow = sum(widths) + gap * (len(widths) - 1) - width
    for col, floor in ((8, 20), (7, 12)):
        if overflow > 0:
            cut = min(overflow, max(0, widths[col] - floor))
            widths[col] -= cut
            overflow -= cut

    def line(cells: Sequence[str]) -> str:
        out = []
        for i, cell in enumerate(cells):
            if i in _RIGHT:
                out.append(" " * (widths[i] - text_width(cell)) + cell)
            else:
                out.append(fit(cell, widths[i]))
        return (" " * gap).join(out).rstrip()

    indent = " " * (widths[0] + gap)
    lines = [line(_HEADER)]
    for row, item in zip(rows, items):
        lines.append(line(row))
        lines.append(indent + item.direct_url)
    return "\n".join(lines)


def _label(field: str) -> str:
    return field.replace("_", " ").capitalize()


def format_summary(summary: "CommerceSummary") -> str:
    """The market summary, one field a line; amounts with the summary's currency."""
    data = summary.model_dump()
    currency = data.get("currency") or ""
    labels = {field: _label(field) for field in data}
    pad = max(map(len, labels.values()), default=0) + 2
    lines = ["Market summary"]
    for field, value in data.items():
        if value is None:
            shown = "-"
        elif isinstance(value, float) and "price" in field:
            shown = f"{value:.2f} {currency}".rstrip()
        elif isinstance(value, dict):
            shown = ", ".join(f"{_value(k)} {v}" for k, v in value.items()) or "-"
        else:
            shown = _value(value)
        lines.append(f"  {labels[field]:<{pad}}{shown}")
    return "\n".join(lines)


def report(out: TextIO, commerce_result: "CommerceIntelligence", width: int) -> None:
    if commerce_result.items:
        out.write(format_table(commerce_result.items, width) + "\n\n")
    else:
        out.write("No matches.\n\n")
    out.write(format_summary(commerce_result.summary) + "\n")


def check_outputs(targets: dict[str, Path | None], input_path: Path | None = None) -> None:
    """Refuse output paths that cannot work before any work is done."""
    seen: dict[Path, str] = {}
    for option, path in targets.items():
        if path is None:
            continue
        resolved = path.expanduser().resolve()
        if resolved.is_dir():
            raise CliError(f"{path}: is a directory ({option} needs a file name)")
        existing = next(p for p in resolved.parents if p.exists())
        if not existing.is_dir():
            raise CliError(f"{path}: cannot be created: {existing} is not a directory")
        if input_path is not None and resolved == input_path.resolve():
            raise CliError(f"{path}: is the input file; {option} would overwrite it")
        if resolved in seen:
            raise CliError(f"{path}: named by both {seen[resolved]} and {option}")
        seen[resolved] = option


def write_export(export: Callable[[Any, Path], Path], commerce_result: "CommerceIntelligence",
                 target: Path) -> Path:
    """Run an export into ``target``. The exports replace a file only once the
    new one is complete, so a failed export never leaves a damaged or emptied
    file behind; a device or a pipe (``/dev/null``) is written to, not replaced."""
    target = target.expanduser().resolve()
    try:
        return export(commerce_result, target)
    except OSError as err:
        raise CliError(f"{target}: cannot write: {err.strerror or err}") from None
    except Exception as err:
        raise CliError(f"{target}: export failed: {type(err).__name__}: {err}") from None


def _stdout_width() -> int:
    """Columns for the table: $COLUMNS, else the terminal's width; no limit
    when the output goes to a file or a pipe."""
    if not os.environ.get("COLUMNS") and not sys.stdout.isatty():
        return 1 << 16
    return max(60, shutil.get_terminal_size((120, 24)).columns)


# ---------------------------------------------------------------- commands
def cmd_enrich(args: argparse.Namespace) -> int:
    source = Path(args.matches)
    outputs = {"--csv": args.csv, "--json": args.json}
    check_outputs(outputs, source)
    matches, labels = read_matches(source)
    commerce = _load_engine()
    warn_unreadable_links(commerce, matches, labels, str(source))
    if commerce.AsyncFetcher is None and matches:
        print(f"{PROG}: note: the Scrapling library cannot be imported, so destination pages are not "
              "fetched; results come from the search data alone", file=sys.stderr)
    result = run_pipeline(commerce, matches, commerce.AsyncFetcher)
    report(sys.stdout, result, _stdout_width())
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


def cmd_demo(args: argparse.Namespace) -> int:
    from . import demo
    from .models import VisualMatch

    out_dir: Path = args.out
    if out_dir.exists() and not out_dir.is_dir():
        raise CliError(f"{out_dir}: exists and is not a directory")
    csv_path, json_path, input_copy = out_dir / "commerce.csv", out_dir / "commerce.json", out_dir / "matches.json"

    routes = demo.load_routes()
    raw_matches = demo.load_matches()
    matches = [VisualMatch(**m) for m in raw_matches]
    commerce = _load_engine()
    inner: Any = commerce.AsyncFetcher
    fetcher_name = "Scrapling"
    if inner is None:
        inner, fetcher_name = demo.StdlibFetcher, "urllib (Scrapling is not installed)"

    with demo.SampleServer(routes) as server:
        print(f"{len(matches)} visual matches, {len(routes)} sample pages served from {server.base_url} "
              f"through the {fetcher_name} fetcher; nothing leaves this machine.")
        print("One page answers 404 and one is slower than the 5 s time limit, "
              "so this takes a few seconds.\n")
        sys.stdout.flush()
        result = run_pipeline(commerce, matches, RewritingFetcher(inner, server.loopback_url))

    report(sys.stdout, result, _stdout_width())
    print("\nSample pages")
    for rank, item in enumerate(result.items, start=1):
        route = routes.get(demo.route_key(item.direct_url))
        print(f"  {rank:>2}  {route.about if route else 'no sample page'}")

    out_dir.mkdir(parents=True, exist_ok=True)
    input_copy.write_text(json.dumps(raw_matches, indent=2, ensure_ascii=False) + "\n", encoding="utf-8")
    print()
    print(f"Wrote the input matches: {input_copy.resolve()}")
    print(f"Wrote CSV: {write_export(commerce.export_commerce_to_csv, result, csv_path)}")
    print(f"Wrote JSON: {write_export(commerce.export_commerce_to_json, result, json_path)}")
    return EXIT_OK


_DEMO_HELP = """\
Run the whole pipeline offline on bundled sample pages and write the results.

The visual matches link to real-looking hosts (a brand's shop, eBay, StockX,
Instagram, Behance, an article, ...), some through search redirect links with
tracking parameters, one of them twice. No request leaves this machine: the
engine is handed a page fetcher that rewrites every link to a loopback HTTP
server that answers from the bundled pages, the original host becoming the
first path segment (https://www.ebay.com/itm/1 is fetched as
http://127.0.0.1:PORT/www.ebay.com/itm/1). The engine itself still sees, cleans
and classifies the original links. One sample page answers 404 and one answers
after the time limit.
"""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Commerce intelligence for visual-search matches: direct links, merchants, "
                    "prices, page types and a market summary.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    enrich = commands.add_parser(
        "enrich", help="enrich a file of visual matches",
        description="Read visual matches (a JSON array of objects with the fields link, title, source, "
                    "price, currency, in_stock, thumbnail; or JSON Lines), fetch their destination pages, "
                    "print the enriched matches and the market summary, and write the files asked for.")
    enrich.add_argument("matches", metavar="MATCHES.json", help="visual matches: JSON array or JSON Lines")
    enrich.add_argument("--csv", type=Path, metavar="OUT.csv", help="write the enriched matches as CSV")
    enrich.add_argument("--json", type=Path, metavar="OUT.json",
                        help="write the whole result (summary and matches) as JSON")
    enrich.set_defaults(handler=cmd_enrich)

    demo = commands.add_parser(
        "demo", help="run the pipeline offline on bundled sample pages",
        description=_DEMO_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    demo.add_argument("--out", type=Path, default=Path("quillmere-demo"), metavar="DIR",
                      help="directory for commerce.csv, commerce.json and the input matches "
                           "(default: ./quillmere-demo)")
    demo.set_defaults(handler=cmd_demo)

    from .cli_batch import add_parser as add_enrich_many
    add_enrich_many(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if getattr(args, "handler", None) is None:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="replace")
    try:
        return int(args.handler(args))
    except CliError as err:
        print(f"{PROG}: {err}", file=sys.stderr)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        print(f"\n{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (``quillmere ... | head``): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILURE
    except Exception as err:  # a fault of ours: still one line, never a traceback
        print(f"{PROG}: unexpected error: {type(err).__name__}: {err}", file=sys.stderr)
        return EXIT_FAILURE


__all__ = ["CliError", "Progress", "RewritingFetcher", "build_parser", "main", "parse_records", "read_matches"]
