"""The HTML report of an ``enrich-many`` results file: its size, the time
and memory to write it, and in headless Chromium the time until the first
search rows are drawn and until the page has loaded, at several sizes.

Each search has 20 matches built from the demo's (real-looking fields,
every 7th with outcomes, as the page-outcome lines carry them). The budget
the report is built to: a file at most half the results file, written
(read, checked and written: two passes over the results) at 10 MB of
results a second or more in memory that does not grow with the file, and a
first paint within 1 s at 10,000 searches.

A second table: one search (an ``enrich --json`` export) of many matches,
one in a hundred with a 100 KB title: the time and the size per match stay
flat as the matches grow (the report is linear in its input).

    PYTHONPATH=src python3 bench/bench_report.py [--searches 1000,3000,10000] [--browser] [--matches 10000,100000]
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))


def demo_items() -> list[dict]:
    """The demo's enriched matches, from a demo run."""
    import report_browser

    with tempfile.TemporaryDirectory() as scratch:
        report_browser.demo_report(Path(scratch))
        return json.loads((Path(scratch) / "commerce.json").read_text(encoding="utf-8"))["items"]


def results_file(path: Path, searches: int, items: list[dict]) -> None:
    with open(path, "w", encoding="utf-8") as f:
        for k in range(searches):
            matches = [dict(items[n % len(items)], title=f"{items[n % len(items)]['title']} {k}-{n}")
                       for n in range(20)]
            record: dict = {"id": f"search-{k}", "result": {"summary": {"total_matches": 20, "currency": "USD",
                                                                        "total_priced_matches": 15,
                                                                        "lowest_price": 12.5,
                                                                        "highest_price": 1299.0},
                                                            "items": matches}}
            if k % 7 == 0:
                record["pages"] = {"total": 20, "read": 18, "not_read": 2}
                record["outcomes"] = [{"position": n + 1, "outcome": "read" if n < 18 else "timeout"}
                                      for n in range(20)]
            f.write(json.dumps(record) + "\n")


def write(results: Path, out: Path) -> tuple[float, float]:
    """Seconds (reading and writing) and peak memory (MB) of a report made
    in a process of its own."""
    code = ("import resource,sys,time;from pathlib import Path;from quillmere.cli.cmd_html import load;"
            "from quillmere.report import write_html;t=time.perf_counter();"
            "write_html(load(Path(sys.argv[1])),Path(sys.argv[2]));"
            "print(time.perf_counter()-t, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss/1024)")
    out_text = subprocess.run([sys.executable, "-c", code, str(results), str(out)], check=True,
                              capture_output=True, text=True).stdout.split()
    return float(out_text[0]), float(out_text[1])


def in_browser(report: Path) -> tuple[float, float]:
    """Seconds from the navigation's start to the first contentful paint
    and to the load event, as the page's own timing tells them."""
    import report_browser

    with report_browser.browser() as (chrome, _):
        opened = chrome.open(report, wait="load")
        timing = opened.page.evaluate("""() => {
            const nav = performance.getEntriesByType('navigation')[0];
            const paint = performance.getEntriesByName('first-contentful-paint')[0];
            return [paint ? paint.startTime : NaN, nav.loadEventStart];
        }""")
        return timing[0] / 1000, timing[1] / 1000


def export_table(sizes: list[int], items: list[dict], scratch: Path) -> None:
    print(f"\n{'matches':>9} {'export MB':>9} {'report MB':>9} {'write s':>8} {'us/match':>9} {'bytes/match':>11}")
    for n in sizes:
        export = {"summary": {"total_matches": n},
                  "items": [dict(items[k % len(items)], title=("long title " * 9300 if k % 100 == 0 else
                                                               f"{items[k % len(items)]['title']} {k}"))
                            for k in range(n)]}
        source, report = scratch / f"e{n}.json", scratch / f"e{n}.html"
        source.write_text(json.dumps(export), encoding="utf-8")
        seconds, _ = write(source, report)
        size_in, size_out = source.stat().st_size, report.stat().st_size
        print(f"{n:>9} {size_in / 1e6:>9.1f} {size_out / 1e6:>9.1f} {seconds:>8.2f} {seconds / n * 1e6:>9.1f} "
              f"{size_out / n:>11.0f}", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--searches", default="1000,3000,10000")
    parser.add_argument("--browser", action="store_true", help="also open each report in chromium")
    parser.add_argument("--matches", default="10000,100000", help="sizes of the one-search table ('' for none)")
    args = parser.parse_args()
    items = demo_items()
    print(f"{'searches':>9} {'results MB':>10} {'report MB':>9} {'ratio':>6} {'write s':>8} {'MB/s':>6} "
          f"{'peak MB':>8}" + (f" {'first paint s':>13} {'loaded s':>9}" if args.browser else ""))
    with tempfile.TemporaryDirectory(prefix="quillmere-bench-report-") as scratch:
        for searches in map(int, args.searches.split(",")):
            results, report = Path(scratch) / f"r{searches}.jsonl", Path(scratch) / f"r{searches}.html"
            results_file(results, searches, items)
            seconds, peak = write(results, report)
            size_in, size_out = results.stat().st_size / 1e6, report.stat().st_size / 1e6
            line = (f"{searches:>9} {size_in:>10.1f} {size_out:>9.1f} {size_out / size_in:>6.2f} {seconds:>8.2f} "
                    f"{size_in / seconds:>6.1f} {peak:>8.0f}")
            if args.browser:
                first, loaded = in_browser(report)
                line += f" {first:>13.2f} {loaded:>9.2f}"
            print(line, flush=True)
        if args.matches:
            export_table([int(n) for n in args.matches.split(",")], items, Path(scratch))


if __name__ == "__main__":
    main()
