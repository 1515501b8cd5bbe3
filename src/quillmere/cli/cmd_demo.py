"""``quillmere demo [--out DIR]``: the whole pipeline on bundled sample pages."""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path
from typing import Any

from ._common import EXIT_OK, CliError
from ._engine import RewritingFetcher, add_engine_options, engine_options, load_engine, run_pipeline
from ._outputs import write_export
from ._report import report, stdout_width

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



def register(commands: Any) -> None:
    demo = commands.add_parser(
        "demo", help="run the pipeline offline on bundled sample pages",
        description=_DEMO_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    demo.add_argument("--out", type=Path, default=Path("quillmere-demo"), metavar="DIR",
                      help="directory for commerce.csv, commerce.json and the input matches "
                           "(default: ./quillmere-demo)")
    add_engine_options(demo)
    demo.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    from .. import demo
    from ..models import VisualMatch

    out_dir: Path = args.out
    if out_dir.exists() and not out_dir.is_dir():
        raise CliError(f"{out_dir}: exists and is not a directory")
    csv_path, json_path, input_copy = out_dir / "commerce.csv", out_dir / "commerce.json", out_dir / "matches.json"

    routes = demo.load_routes()
    raw_matches = demo.load_matches()
    matches = [VisualMatch(**m) for m in raw_matches]
    commerce = load_engine()
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
        # Every page comes from the loopback server, which the destination check
        # refuses; the links' own hosts are never looked up.
        result = run_pipeline(commerce, matches, RewritingFetcher(inner, server.loopback_url), engine_options(args),
                              allow_internal=True)

    report(sys.stdout, result, stdout_width())
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
