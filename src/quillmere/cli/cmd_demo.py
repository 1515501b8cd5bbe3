"""``quillmere demo [--out DIR]``: the whole pipeline on bundled sample pages."""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path
from typing import Any

from .. import _export
from ._common import EXIT_OK, CliError
from ._engine import RewritingFetcher, add_engine_options, add_fetch_options, engine_options, load_engine, \
    page_client, render_settings, run_pipeline, tell_pages
from ._outputs import OutputPlan
from ._report import report, stdout_width, wrap

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

With --render auto|always a sample shop page whose product data is built by
script joins the matches (the default run's matches and outputs stay as they
are); the browser is held to the sample server, and its requests to the
samples' made-up hosts are rewritten to it by the egress proxy, never looked up.
"""



def register(commands: Any) -> None:
    demo = commands.add_parser(
        "demo", help="run the pipeline offline on bundled sample pages",
        description=_DEMO_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    demo.add_argument("--out", type=Path, default=Path("quillmere-demo"), metavar="DIR",
                      help="directory for commerce.csv, commerce.json, report.html and the input matches "
                           "(default: ./quillmere-demo)")
    add_engine_options(demo)
    add_fetch_options(demo, retries=0)
    demo.set_defaults(handler=run)


def _to_server(server: Any) -> Any:
    """The rewrite of the browser's links: a sample host's to the sample
    server, the server's own (a page's relative links) left as they are."""
    own = f"127.0.0.1:{server.port}"

    def rewrite(url: str) -> str:
        from urllib.parse import urlsplit

        return url if urlsplit(url).netloc == own else server.loopback_url(url)

    return rewrite


def run(args: argparse.Namespace) -> int:
    from .. import demo
    from ..models import VisualMatch
    from ..report import write_result_html

    out_dir: Path = args.out
    if out_dir.exists() and not out_dir.is_dir():
        raise CliError(f"{out_dir}: exists and is not a directory")
    plan = OutputPlan()
    input_copy = plan.add("--out", "the input matches", out_dir / "matches.json")
    csv_out = plan.add("--out", "CSV", out_dir / "commerce.csv")
    json_out = plan.add("--out", "JSON", out_dir / "commerce.json")
    html_out = plan.add("--out", "HTML report", out_dir / "report.html")
    assert input_copy is not None and csv_out is not None and json_out is not None and html_out is not None
    client = page_client(args)  # a cache that cannot serve stops the command here
    try:
        plan.check()
        routes = demo.load_routes()
        raw_matches = demo.load_matches()
        render = render_settings(args)  # what rendering needs, before any page is fetched
        if render is not None:
            extra_routes, extra_matches = demo.load_render_sample()
            routes.update(extra_routes)
            raw_matches = raw_matches + extra_matches
        matches = [VisualMatch(**m) for m in raw_matches]
        commerce = load_engine()
        inner: Any = commerce.AsyncFetcher
        fetcher_name = "Scrapling"
        if inner is None:
            inner, fetcher_name = demo.StdlibFetcher, "urllib (Scrapling is not installed)"

        width = stdout_width()
        with demo.SampleServer(routes) as server:
            print(wrap(f"{len(matches)} visual matches, {len(routes)} sample pages served from {server.base_url} "
                       f"through the {fetcher_name} fetcher; nothing leaves this machine.", width))
            print(wrap("One page answers 404 and one is slower than the 5 s time limit, "
                       "so this takes a few seconds.", width) + "\n")
            sys.stdout.flush()
            if render is not None:
                # The browser may reach the sample server alone; the proxy sends
                # every plain-HTTP request for a sample host there.
                render.update(render_allow=[("127.0.0.1", server.port)], render_rewrite=_to_server(server))
                client.close_cache()
                client = page_client(args, render)  # the same fetch flags, and the browser
            # Every page comes from the loopback server, which the destination
            # check refuses; the links' own hosts are never looked up.
            pages = commerce.FetchReport()
            result = run_pipeline(commerce, matches, RewritingFetcher(inner, server.loopback_url),
                                  {**engine_options(args), "client": client}, allow_internal=True,
                                  report=pages)

        report(sys.stdout, result, width, outcomes=[o.label for o in pages.outcomes])
        tell_pages(pages, sys.stdout, sys.stderr, width)
        print("\nSample pages")
        for rank, item in enumerate(result.items, start=1):
            route = routes.get(demo.route_key(item.direct_url))
            print(f"  {rank:>2}  {route.about if route else 'no sample page'}")

        copy = (json.dumps(raw_matches, indent=2, ensure_ascii=False) + "\n").encode("utf-8")
        data = _export.render_json(result)
        entries = _export.page_entries(pages, [m.link for m in matches], [i.direct_url for i in result.items])
        counts = _export.page_counts(pages) if pages.outcomes else None
        written = plan.write([
            (input_copy, lambda path: _export.write_bytes(path, copy)),
            (csv_out, lambda path: commerce.export_commerce_to_csv(result, path)),
            (json_out, lambda path: _export.write_bytes(path, data)),
            (html_out, lambda path: write_result_html(result, path, outcomes=entries or None, pages=counts,
                                                      source="the demo")),
        ])
    finally:
        client.close_cache()
        plan.abandon()
    print()
    for out in written:
        print(f"Wrote {out.kind}: {out.resolved}")
    return EXIT_OK
