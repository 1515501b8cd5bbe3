"""Reading search responses: time against input size, side by side in one run.

For each shape (a visual_matches response, a Cloud Vision response with
several responses, today's array of matches) the same items are written at
growing sizes and read from their text with `matches_from_response` (every
record labelled with its line, checked and made a VisualMatch). The time per
megabyte should stay flat as the size grows: the reading is linear. Then the
refusals of deep nesting (100,000 levels) and of a huge number.

Run: PYTHONPATH=src python3 bench/bench_responses.py [largest size in MB, default 32]

Figures on the shared 2-core machine: 0.09-0.15 s/MB at 2, 8 and 32 MB for
every shape (within 1.4x of the smallest); a 103 MB visual_matches response
(232,000 matches) read in 24-34 s with a 960 MB peak, about as many seconds
per megabyte as 25 MB in the same run. Of the time, the JSON reading itself
is a quarter; the passes that find where each record starts (for the line
in its label) half; checking the fields and building the records the rest.
"""

from __future__ import annotations

import json
import sys
import time

from quillmere.responses import ResponseError, matches_from_response


def lens_item(i: int) -> dict:
    return {"position": i + 1, "title": f"Canvas tote {i}", "link": f"https://shop{i % 97}.example/p/{i}",
            "source": "Shop", "source_icon": "https://shop.example/icon.png",
            "price": {"value": f"${i % 500}.99*", "extracted_value": i % 500 + 0.99, "currency": "$"},
            "in_stock": i % 2 == 0, "thumbnail": f"https://img.example/t/{i}.jpg",
            "image": f"https://img.example/i/{i}.jpg", "image_width": 800, "image_height": 600}


def vision_page(i: int) -> dict:
    return {"url": f"https://shop{i % 97}.example/p/{i}", "score": 0.5,
            "pageTitle": f"Canvas <b>Tote</b> {i} &amp; Bag &#8211; Shop",
            "fullMatchingImages": [{"url": f"https://img.example/f/{i}.jpg"}],
            "partialMatchingImages": [{"url": f"https://img.example/p/{i}.jpg"}]}


def old_item(i: int) -> dict:
    return {"title": f"Canvas tote {i}", "link": f"https://shop{i % 97}.example/p/{i}", "source": "Shop",
            "price": f"${i % 500}.99", "in_stock": i % 2 == 0, "thumbnail": f"https://img.example/t/{i}.jpg"}


def text_of(shape: str, n: int) -> str:
    if shape == "visual_matches":
        data: object = {"search_metadata": {"id": "b"}, "visual_matches": [lens_item(i) for i in range(n)],
                        "exact_matches": [lens_item(i) for i in range(n // 10)]}
    elif shape == "cloud vision":
        per = 50
        data = {"responses": [{"webDetection": {"pagesWithMatchingImages":
                                                [vision_page(r * per + i) for i in range(per)]}}
                              for r in range(max(1, n // per))]}
    else:
        data = [old_item(i) for i in range(n)]
    return json.dumps(data, indent=1)


def timed(text: str) -> tuple[float, int]:
    start = time.perf_counter()
    matches = matches_from_response(text)
    return time.perf_counter() - start, len(matches)


def main() -> None:
    largest = float(sys.argv[1]) if len(sys.argv) > 1 else 32.0
    sizes = [largest / 16, largest / 4, largest]
    print(f"{'shape':<16}{'MB':>8}{'matches':>10}{'seconds':>10}{'s/MB':>8}{'vs smallest':>13}")
    for shape in ("visual_matches", "cloud vision", "array of matches"):
        per_item = len(text_of(shape, 1000)) / 1000
        first = None
        for mb in sizes:
            text = text_of(shape, int(mb * 1e6 / per_item))
            seconds, count = timed(text)
            rate = seconds / (len(text) / 1e6)
            first = first or rate
            print(f"{shape:<16}{len(text) / 1e6:>8.1f}{count:>10}{seconds:>10.2f}{rate:>8.3f}{rate / first:>12.2f}x")
    for name, text in (("nesting 100,000", '{"visual_matches": ' + "[" * 100_000 + "]" * 100_000 + "}"),
                       ("digits 100,000", '{"visual_matches": [{"link": "x", "price": ' + "9" * 100_000 + "}]}")):
        start = time.perf_counter()
        try:
            matches_from_response(text)
            outcome = "read"
        except ResponseError as err:
            outcome = f"refused: {err}"[:60]
        print(f"{name:<16}{time.perf_counter() - start:>10.4f} s  {outcome}")


if __name__ == "__main__":
    main()
