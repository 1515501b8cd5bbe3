"""Links per second for URLUnwrapper.unwrap / extract_domain against the same
steps written in Python with urllib.parse, over a mixed set of result links.

Run: PYTHONPATH=src python3 bench/bench_url.py [links]
"""
import random
import sys
import time
from urllib.parse import quote

from quillmere.commerce import URLUnwrapper


from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from reference import ref_extract_domain as py_extract_domain  # noqa: E402
from reference import ref_unwrap as py_unwrap  # noqa: E402

SHOPS = ["www.amazon.com", "www.ebay.co.uk", "shop.example-brand.com", "www.zalando.de", "stockx.com",
         "www.etsy.com", "boutique.example.fr", "WWW.Example-Store.COM:8443"]
WORDS = ["sneaker", "leather-bag", "watch", "dress", "jacket", "lamp", "chair", "ring"]


def make_links(n, rng):
    links = []
    for i in range(n):
        path = f"/{rng.choice(WORDS)}/{rng.choice(WORDS)}-{i}"
        params = [f"id={i}", f"color={rng.choice(['red', 'blue', 'noir'])}"][: rng.randint(0, 2)]
        if rng.random() < 0.6:
            params += ["utm_source=google", "utm_medium=cpc", f"gclid=Cj0KCQ{i}x"][: rng.randint(1, 3)]
        rng.shuffle(params)
        link = f"https://{rng.choice(SHOPS)}{path}" + ("?" + "&".join(params) if params else "")
        if rng.random() < 0.2:
            link += rng.choice(["#reviews", "#:~:text=free%20shipping"])
        kind = rng.random()
        if kind < 0.4:  # search redirect
            link = (f"https://www.google.com/url?sa=t&rct=j&q={quote(link, safe='')}"
                    f"&ved=2ahUKEwi{i}&usg=AOvVaw{i}")
        links.append(link)
    return links


def rate(fn, links, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        for u in links:
            fn(u)
        best = min(best, time.perf_counter() - t)
    return len(links) / best


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    links = make_links(n, random.Random(7))
    assert [URLUnwrapper.unwrap(u) for u in links] == [py_unwrap(u) for u in links]
    for name, native, python in [("unwrap", URLUnwrapper.unwrap, py_unwrap),
                                 ("extract_domain", URLUnwrapper.extract_domain, py_extract_domain)]:
        c, p = rate(native, links), rate(python, links)
        print(f"{name:15s} C++ {c:12,.0f} links/s   Python urllib {p:10,.0f} links/s   x{c / p:.1f}")


if __name__ == "__main__":
    main()
