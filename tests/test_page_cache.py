"""The page cache: warm reruns send nothing and answer the same, worker
processes share one file, a file that cannot serve is refused in one line
before any page is fetched, a damaged or half-written file never gives a
wrong page, a cache that fails mid-run costs only the caching."""

from __future__ import annotations

import asyncio
import json
import logging
import os
import signal
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import pytest

import quillmere
from loopback_server import LoopbackServer

from quillmere.batch import enrich_many, enrich_many_async
from quillmere.fetch import CacheError, PageClient
from quillmere.fetch._cache import PageCache
from quillmere.models import FetchOutcome, PageOutcome

PACKAGE_PARENT = str(Path(quillmere.__file__).resolve().parent.parent)


def page(n: int) -> bytes:
    ld = {"@context": "https://schema.org", "@type": "Product", "name": f"Lamp {n}", "sku": f"L-{n:03d}",
          "offers": {"@type": "Offer", "price": f"{40 + n}.50", "priceCurrency": "EUR"}}
    return (f"<html><head><title>Lamp {n} – Ridgeway</title><script type=\"application/ld+json\">"
            f"{json.dumps(ld)}</script></head><body>Lämpchen {n}</body></html>").encode()


PAGES = 200


@pytest.fixture(scope="module")
def server():
    routes = {f"/p/{n}": (200, page(n), 0.0) for n in range(PAGES)}
    routes["/gone"] = (404, b"<html>gone</html>", 0.0)
    with LoopbackServer(routes) as srv:
        yield srv


def searches(srv, count, per=10, gone=True):
    out = []
    for k in range(count):
        links = [srv.url(f"/p/{(k * 7 + j * 13) % PAGES}") for j in range(per)]
        if gone and k % 5 == 0:
            links.append(srv.url("/gone"))
        out.append({"id": f"s{k}", "matches": [{"link": link, "title": f"Lamp {i}", "source": "Ridgeway"}
                                                for i, link in enumerate(links)]})
    return out


def cli(*args, timeout=240):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [PACKAGE_PARENT, os.environ.get("PYTHONPATH")])))
    return subprocess.run([sys.executable, "-m", "quillmere", *args], capture_output=True, text=True, env=env,
                          timeout=timeout)


def results_of(path):
    """The result lines' ids and results, sorted; the page outcomes beside
    them tell how each page was had (fetched or cached), and are left out."""
    lines = [json.loads(line) for line in path.read_text().splitlines()]
    return sorted(json.dumps({"id": r["id"], "result": r.get("result"), "error": r.get("error")}) for r in lines)


def write_jsonl(path, items):
    path.write_text("".join(json.dumps(item) + "\n" for item in items), encoding="utf-8")


# ------------------------------------------------------------ warm reruns
def test_a_warm_rerun_sends_no_request_and_writes_identical_results(fresh, tmp_path):
    source = tmp_path / "searches.jsonl"
    write_jsonl(source, searches(fresh, 40))
    cache = tmp_path / "pages.sqlite"
    cold = cli("enrich-many", str(source), "--out", str(tmp_path / "cold.jsonl"), "--allow-internal", "--quiet",
               "--cache", str(cache))
    assert cold.returncode == 0, cold.stderr
    sent = sum(fresh.hits.values())
    assert 0 < sent <= PAGES + 1 and fresh.hits["/gone"] == 1
    fresh.reset_counts()
    warm = cli("enrich-many", str(source), "--out", str(tmp_path / "warm.jsonl"), "--allow-internal", "--quiet",
               "--cache", str(cache), "--workers", "2")
    assert warm.returncode == 0, warm.stderr
    assert sum(fresh.hits.values()) == 0
    # Two workers finish in another order: the same lines.
    assert results_of(tmp_path / "cold.jsonl") == results_of(tmp_path / "warm.jsonl")
    # The warm run's pages came from the cache, and their outcomes say so.
    warm_pages = [o for line in (tmp_path / "warm.jsonl").read_text().splitlines()
                  for o in json.loads(line).get("outcomes", ())]
    assert warm_pages and all(o["detail"] == "cached" and o["attempts"] == 0
                              for o in warm_pages if o["outcome"] == "read")
    # Uncached, the same input gives the same lines.
    fresh.reset_counts()
    plain = cli("enrich-many", str(source), "--out", str(tmp_path / "plain.jsonl"), "--allow-internal", "--quiet")
    assert plain.returncode == 0 and sum(fresh.hits.values()) > 0
    assert results_of(tmp_path / "plain.jsonl") == results_of(tmp_path / "warm.jsonl")


def test_a_thousand_searches_over_two_hundred_pages_send_two_hundred_requests(fresh, tmp_path):
    async def run():
        return [x async for x in enrich_many_async(searches(fresh, 1000, gone=False), allow_internal=True,
                                                   cache=tmp_path / "c.sqlite")]
    got = asyncio.run(run())
    assert len(got) == 1000 and all(isinstance(result, dict) for _, result in got)
    assert sum(fresh.hits.values()) == PAGES and set(fresh.hits.values()) == {1}


def test_two_worker_processes_share_one_cache(fresh, tmp_path):
    cache = tmp_path / "shared.sqlite"
    first = dict(enrich_many(searches(fresh, 60), workers=2, allow_internal=True, cache=cache))
    assert sum(fresh.hits.values()) >= PAGES  # each page once, a few twice when both workers met it at once
    fresh.reset_counts()
    second = dict(enrich_many(searches(fresh, 60), workers=2, allow_internal=True, cache=cache))
    assert sum(fresh.hits.values()) == 0 and second == first
    with sqlite3.connect(cache) as db:
        assert db.execute("PRAGMA integrity_check").fetchone() == ("ok",)
        assert db.execute("SELECT COUNT(*) FROM pages").fetchone() == (PAGES + 1,)


# ------------------------------------------------------------ what is kept, for whom
def outcome_of(kind, link, status=200, detail=None):
    return PageOutcome(outcome=kind, link=link, status=status, final_url=link, bytes=5, detail=detail)


def lookup(cache, link, refuse=True, cap=None):
    async def go():
        return await cache.get(link, refuse, cap)
    return asyncio.run(go())


def test_entries_serve_only_the_settings_and_ages_they_were_fetched_under(tmp_path):
    cache = PageCache(tmp_path / "c.sqlite")
    try:
        cache.put("https://a.test/1", False, outcome_of(FetchOutcome.READ, "https://a.test/1"), b"<p>1</p>")
        cache.put("https://a.test/2", True, outcome_of(FetchOutcome.READ, "https://a.test/2"), "<p>é</p>".encode())
        cache.put("https://a.test/3", True, outcome_of(FetchOutcome.BLOCKED, "https://a.test/3", 429), b"")
        cache.put("https://a.test/4", True, outcome_of(FetchOutcome.HTTP_ERROR, "https://a.test/4", 404, "HTTP 404"),
                  None)
        cache.flush()
        # Fetched with internal destinations allowed: not served under the check.
        assert lookup(cache, "https://a.test/1", refuse=True) is None
        text, out = lookup(cache, "https://a.test/1", refuse=False)
        assert text == "<p>1</p>" and out.read and out.attempts == 0 and out.detail == "cached"
        # Fetched under the check: served either way; over a smaller cap it is fetched again.
        assert lookup(cache, "https://a.test/2", refuse=False)[0] == "<p>é</p>"
        assert lookup(cache, "https://a.test/2", cap=4) is None
        assert lookup(cache, "https://a.test/3") is None   # throttling is never kept
        text, out = lookup(cache, "https://a.test/4")
        assert text is None and out.outcome is FetchOutcome.HTTP_ERROR and out.status == 404
        cache.ttl = 0.0
        assert lookup(cache, "https://a.test/2") is None
    finally:
        cache.close()


def test_past_the_size_cap_the_oldest_pages_go(tmp_path):
    cache = PageCache(tmp_path / "c.sqlite", max_bytes=60_000)
    try:
        for n in range(80):
            body = os.urandom(2000)  # incompressible: 2 KB stored each
            cache.put(f"https://a.test/{n}", True, outcome_of(FetchOutcome.READ, f"https://a.test/{n}"), body)
        cache.flush()
        kept = [n for n in range(80) if lookup(cache, f"https://a.test/{n}") is not None]
        assert 0 < len(kept) < 80 and kept == list(range(kept[0], 80))
        with sqlite3.connect(tmp_path / "c.sqlite") as db:
            assert db.execute("SELECT SUM(stored) FROM pages").fetchone()[0] <= 60_000 + 32 * 2100
            assert db.execute("PRAGMA freelist_count").fetchone()[0] < 4   # the room was given back
    finally:
        cache.close()


# ------------------------------------------------------------ files that cannot serve
def test_a_cache_that_cannot_serve_stops_the_command_in_one_line_before_any_fetch(fresh, tmp_path):
    source = tmp_path / "searches.jsonl"
    write_jsonl(source, searches(fresh, 3))
    other = tmp_path / "other.sqlite"
    with sqlite3.connect(other) as db:
        db.execute("CREATE TABLE notes(x)")
    (tmp_path / "text.sqlite").write_text("just some text, not a database at all" * 100)
    cases = {tmp_path: "is a folder", tmp_path / "no" / "c.sqlite": "its folder does not exist",
             tmp_path / "text.sqlite": "is not an SQLite file", other: "of something else"}
    for path, reason in cases.items():
        out = tmp_path / "out.jsonl"
        for args in (["enrich-many", str(source), "--out", str(out)], ["enrich", str(tmp_path / "m.json")]):
            (tmp_path / "m.json").write_text(json.dumps(searches(fresh, 1)[0]["matches"]))
            got = cli(*args, "--allow-internal", "--cache", str(path))
            assert got.returncode == 1 and got.stderr.count("\n") == 1, got.stderr
            assert str(path) in got.stderr and reason in got.stderr and "Traceback" not in got.stderr
        assert not out.exists()
    assert sum(fresh.hits.values()) == 0
    with pytest.raises(CacheError, match="is not an SQLite file"):
        PageClient(cache=tmp_path / "text.sqlite")


@pytest.mark.parametrize("args, flag", [
    (["--per-host", "0"], "--per-host"), (["--retries", "-1"], "--retries"), (["--retries", "two"], "--retries"),
    (["--cache-ttl", "soon"], "--cache-ttl"), (["--cache-ttl=-5m"], "--cache-ttl"),
    (["--cache-size", "0"], "--cache-size"), (["--cache-size", "lots"], "--cache-size"),
])
def test_invalid_fetch_option_values_are_one_line_and_exit_1(tmp_path, args, flag):
    (tmp_path / "s.jsonl").write_text("")
    got = cli("enrich-many", str(tmp_path / "s.jsonl"), "--out", str(tmp_path / "o.jsonl"), *args)
    assert got.returncode == 1 and got.stderr.count("\n") == 1 and flag in got.stderr, got.stderr
    assert not (tmp_path / "o.jsonl").exists()


# ------------------------------------------------------------ damage and faults
def fill(cache_path, count, start=0):
    cache = PageCache(cache_path)
    for n in range(start, start + count):
        link = f"https://a.test/{n}"
        cache.put(link, True, outcome_of(FetchOutcome.READ, link), page(n) * 20)
    cache.close()


def served_pages_are_right(cache_path, count):
    """Opens the cache (CacheError is an acceptable answer) and checks that
    every page it serves is the one stored for its link; the number served."""
    try:
        cache = PageCache(cache_path)
    except CacheError as err:
        assert str(cache_path) in str(err) and "\n" not in str(err)
        return -1
    try:
        served = 0
        for n in range(count):
            hit = lookup(cache, f"https://a.test/{n}")
            if hit is not None:
                assert hit[0] == (page(n) * 20).decode() and hit[1].read
                served += 1
        return served
    finally:
        cache.close()


def test_a_damaged_file_is_refused_or_serves_only_right_pages(tmp_path, caplog):
    size = None
    for where in ("header", "middle", "tail", "truncated"):
        path = tmp_path / f"{where}.sqlite"
        fill(path, 60)
        size = path.stat().st_size
        with open(path, "r+b") as f:
            if where == "truncated":
                f.truncate(size // 2)
            else:
                f.seek({"header": 0, "middle": size // 2, "tail": size - 3000}[where])
                f.write(b"\xa5" * 1500)
        with caplog.at_level(logging.WARNING, logger="quillmere.fetch"):
            served = served_pages_are_right(path, 60)
        assert served == -1 or served < 60, where
    assert served_pages_are_right(tmp_path / "fresh.sqlite", 1) == 0


def test_a_body_damaged_in_its_row_is_a_miss_not_a_wrong_page(tmp_path, caplog):
    path = tmp_path / "c.sqlite"
    fill(path, 5)
    with sqlite3.connect(path) as db:
        (body,) = db.execute("SELECT body FROM pages WHERE link = 'https://a.test/3'").fetchone()
        db.execute("UPDATE pages SET body = ? WHERE link = 'https://a.test/3'",
                   (body[:100] + bytes([body[100] ^ 1]) + body[101:],))
        db.execute("UPDATE pages SET status = 201 WHERE link = 'https://a.test/4'")
    with caplog.at_level(logging.WARNING, logger="quillmere.fetch"):
        assert served_pages_are_right(path, 5) == 3
    assert sum("damaged entry" in r.getMessage() for r in caplog.records) == 2


KILLED_WRITER = r"""
import sys, time
sys.path.insert(0, sys.argv[2])
from test_page_cache import outcome_of, page
from quillmere.fetch._cache import PageCache
from quillmere.models import FetchOutcome
cache = PageCache(sys.argv[1])
n = 0
while True:
    link = f"https://a.test/{n % 400}"
    cache._store(link, True, outcome_of(FetchOutcome.READ, link), page(n % 400) * 20)
    n += 1
    if n == 50:
        print("writing", flush=True)
"""


def test_a_file_left_by_a_writer_killed_mid_write_opens_and_serves_right_pages(tmp_path):
    path = tmp_path / "c.sqlite"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE_PARENT, os.environ.get("PYTHONPATH", "")]))
    for round_ in range(3):
        proc = subprocess.Popen([sys.executable, "-c", KILLED_WRITER, str(path), str(Path(__file__).parent)],
                                stdout=subprocess.PIPE, env=env)
        assert proc.stdout.readline() == b"writing\n"
        time.sleep(0.2 + 0.1 * round_)
        os.kill(proc.pid, signal.SIGKILL)
        proc.wait()
        assert served_pages_are_right(path, 400) > 0   # the journal kept what was committed
    with sqlite3.connect(path) as db:
        assert db.execute("PRAGMA integrity_check").fetchone() == ("ok",)


def test_a_cache_that_fills_up_mid_run_costs_only_the_caching(fresh, tmp_path, caplog, monkeypatch):
    from quillmere import commerce
    from quillmere.batch._input import _as_searches

    uncached = dict(enrich_many(searches(fresh, 20), allow_internal=True))
    path = tmp_path / "c.sqlite"
    client = PageClient(cache=path)
    db = client.cache._db
    # A "disk" that is full after a few pages: SQLite's own SQLITE_FULL.
    db.execute(f"PRAGMA max_page_count = {db.execute('PRAGMA page_count').fetchone()[0] + 3}")
    monkeypatch.setattr(commerce, "REFUSE_INTERNAL_DESTINATIONS", False)

    async def run():
        out = {}
        async with client:
            for search in _as_searches(searches(fresh, 20)):
                intel = await commerce.CommerceEnricher.process_async(
                    [commerce.VisualMatch(**m) for m in search.matches], client=client)
                out[search.id] = json.loads(intel.model_dump_json(exclude_none=True))
        return out

    with caplog.at_level(logging.WARNING, logger="quillmere.fetch"):
        got = asyncio.run(run())
    assert got == uncached
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert len(warnings) == 1 and str(path) in warnings[0] and "full" in warnings[0], warnings
    assert client.cache.failure is not None and 0 < client.cache.stored < PAGES


def test_the_demo_warm_from_its_cache_writes_the_same_files(tmp_path):
    cache = tmp_path / "demo.sqlite"
    for run in ("cold", "warm"):
        got = cli("demo", "--out", str(tmp_path / run), "--cache", str(cache))
        assert got.returncode == 0, got.stderr
    for name in ("commerce.csv", "commerce.json"):
        assert (tmp_path / "cold" / name).read_bytes() == (tmp_path / "warm" / name).read_bytes()
    with sqlite3.connect(cache) as db:
        kept = dict(db.execute("SELECT outcome, COUNT(*) FROM pages GROUP BY outcome").fetchall())
    assert kept == {"read": 10, "http_error": 1}   # the page past the time limit is not kept
