"""The batch runner's pieces, in this process: reading searches, the output
file and resuming, the shared fetch bound, streaming, and one search's failure."""

from __future__ import annotations

import asyncio
import csv
import io
import json
import multiprocessing
import os
import signal
import threading
import time
from pathlib import Path
from types import SimpleNamespace

import pytest

from loopback_server import LoopbackServer
from quillmere import commerce
from quillmere.batch._input import Outcome, Search
from quillmere.batch._output import OutputError, OutputFile, completed_ids, outcome_line, write_csv
from quillmere.batch._run import stream_outcomes
from quillmere.batch._workers import WorkerFailed
from quillmere.batch import BatchInputError, SearchError, enrich_many, enrich_many_async, id_key, read_searches
from quillmere.models import VisualMatch

# Links only for fake fetchers (which never connect); loopback literals, so no
# name is ever looked up.
BASE = "http://127.0.0.1:9"


def product_page(n: int) -> bytes:
    ld = {"@context": "https://schema.org", "@type": "Product", "name": f"Lamp {n}", "sku": f"LMP-{n}",
          "brand": {"@type": "Brand", "name": "Ridgeway"},
          "offers": {"@type": "Offer", "price": f"{20 + n}.50", "priceCurrency": "EUR",
                     "availability": "https://schema.org/InStock"}}
    return (f'<html><head><title>Lamp {n}</title><script type="application/ld+json">{json.dumps(ld)}'
            "</script></head><body><p>Brass desk lamp</p></body></html>").encode()


class FakeFetcher:
    """Serves product pages after `delay` seconds; records the links asked
    for and the most requests it had in flight at once."""

    def __init__(self, delay: float = 0.0, slow: dict[str, float] | None = None) -> None:
        self.delay = delay
        self.slow = slow or {}
        self.calls: list[str] = []
        self.active = 0
        self.peak = 0

    async def get(self, url: str, timeout: int = 5, **kwargs: object) -> SimpleNamespace:
        self.calls.append(url)
        self.active += 1
        self.peak = max(self.peak, self.active)
        try:
            await asyncio.sleep(self.slow.get(url, self.delay))
            return SimpleNamespace(body=product_page(int(url.rsplit("/", 1)[1])))
        finally:
            self.active -= 1


def search(sid: object, *pages: int) -> dict:
    return {"id": sid, "matches": [{"link": f"{BASE}/p/{n}", "title": f"Lamp {n}", "source": "Ridgeway"}
                                   for n in pages]}


async def collect(agen) -> dict:
    return {sid: outcome async for sid, outcome in agen}


@pytest.fixture
def internal_allowed(monkeypatch):
    # The fake fetchers' loopback links count as internal destinations.
    monkeypatch.setattr(commerce, "REFUSE_INTERNAL_DESTINATIONS", False, raising=False)


# ------------------------------------------------------------------ input
def test_ids_line_numbers_and_blank_lines() -> None:
    text = ('{"id": "a", "matches": []}\n\n{"matches": []}\n{"id": null, "matches": []}\n'
            '{"id": 7, "matches": []}\n{"id": "7", "matches": []}\n')
    got = list(read_searches(io.StringIO(text), "in.jsonl"))
    assert [(s.id, s.where) for s in got] == [("a", "line 1"), (3, "line 3"), (4, "line 4"), (7, "line 5"),
                                              ("7", "line 6")]
    assert id_key(7) != id_key("7")


@pytest.mark.parametrize("text, message", [
    ('{"id": "a", "matches": []}\n{"id": "b", "matches": []}\n{"id": "a", "matches": []}\n',
     'in.jsonl: line 3: id "a" repeats line 1'),
    # A line without an id takes its number, which another line may name.
    ('{"matches": []}\n{"id": 1, "matches": []}\n', "in.jsonl: line 2: id 1 repeats line 1"),
    ('{"id": "a", "matches": []}\n{"id": "a", "matc', "in.jsonl: line 2: invalid JSON at column"),
    ('[1, 2]\n', "in.jsonl: line 1: expected a search object"),
    ('{"id": true, "matches": []}\n', 'in.jsonl: line 1: "id" must be a string or an integer, not a boolean'),
    ('{"id": 1.5, "matches": []}\n', 'in.jsonl: line 1: "id" must be a string or an integer, not a number'),
])
def test_input_errors_name_the_lines(text: str, message: str) -> None:
    with pytest.raises(BatchInputError) as err:
        list(read_searches(io.StringIO(text), "in.jsonl"))
    assert str(err.value).startswith(message)


def test_input_is_read_lazily() -> None:
    lines = iter(['{"id": 1, "matches": []}\n', '{"id": 1, "matches": []}\n'])
    reader = read_searches(lines)
    assert next(reader).id == 1
    with pytest.raises(BatchInputError):  # the repeat is found only when its line is read
        next(reader)


def test_api_searches_pairs_and_positions(internal_allowed) -> None:
    matches = [VisualMatch(link="ftp://127.0.0.1/x", title="Kept as given")]
    got = dict(enrich_many([("pair", matches), {"matches": []}, Search("typed", "here", [])]))
    assert set(got) == {"pair", 2, "typed"}
    assert got["pair"]["items"][0]["title"] == "Kept as given"
    with pytest.raises(BatchInputError, match='search 2: id "x" repeats search 1'):
        list(enrich_many([("x", []), ("x", [])]))


# --------------------------------------------------------------- outcomes
def test_results_equal_process_and_failures_stay_local(internal_allowed) -> None:
    fake = FakeFetcher()
    searches = [search("ok", 1, 2, 3), search("bad-stock", 4), {"id": "no-matches"}, {"id": "str", "matches": "x"},
                search("empty"), search("ok2", 5, 1)]
    searches[1]["matches"][0]["in_stock"] = "yes"
    got = asyncio.run(collect(enrich_many_async(searches, fetcher=fake)))
    assert set(got) == {"ok", "bad-stock", "no-matches", "str", "empty", "ok2"}
    for sid in ("ok", "empty", "ok2"):
        one_search = next(s for s in searches if s["id"] == sid)
        expected = commerce.CommerceEnricher.process([VisualMatch(**m) for m in one_search["matches"]],
                                                     fetcher=FakeFetcher())
        assert got[sid] == json.loads(expected.model_dump_json(exclude_none=True))
    assert got["ok"]["items"][0]["sku"] == "LMP-1"  # the pages were analysed, not only the search data
    assert str(got["bad-stock"]) == 'match 1: "in_stock" must be true, false or null, not "yes"'
    assert str(got["no-matches"]) == 'the search has no "matches"'
    assert str(got["str"]).startswith('"matches" must be an array')
    assert all(isinstance(got[s], SearchError) for s in ("bad-stock", "no-matches", "str"))
    assert "http://127.0.0.1:9/p/4" not in fake.calls  # a bad search fetches nothing


def test_lone_surrogate_is_replaced_not_a_failure(internal_allowed) -> None:
    bad = [{"link": "ftp://127.0.0.1/a", "title": "Tote \ud83d bag", "source": "Sh\udcffop"}]
    (sid, result), = enrich_many([("s\ud800", bad)])
    assert sid == "s\ud800"
    assert result["items"][0]["title"] == "Tote \ufffd bag"
    assert result["items"][0]["merchant_name"] == "Sh\ufffdop"
    line = outcome_line(Outcome(sid, True, json.dumps(result)))
    assert json.loads(line.decode("utf-8"))["id"] == "s\ud800"  # escaped, still valid UTF-8


def test_searches_share_one_fetch_bound(internal_allowed) -> None:
    fake = FakeFetcher(delay=0.02)
    searches = [search(k, 2 * k, 2 * k + 1) for k in range(12)]
    got = asyncio.run(collect(enrich_many_async(searches, fetcher=fake, semaphore=asyncio.Semaphore(5),
                                                in_flight=6, per_host=None)))
    assert len(got) == 12 and len(fake.calls) == 24
    # Two pages a search: five at once means pages of several searches were
    # fetched together, and never more than the shared bound allows.
    assert fake.peak == 5


def test_outcomes_come_as_searches_complete(internal_allowed) -> None:
    fake = FakeFetcher(delay=0.0, slow={f"{BASE}/p/0": 0.5})
    searches = [search(k, k) for k in range(6)]
    order = list(asyncio.run(collect(enrich_many_async(searches, fetcher=fake))))
    assert order[-1] == 0 and sorted(order) == list(range(6))


def test_bounded_in_flight_and_lazy_input() -> None:
    pulled = 0
    running = peak = 0

    def source():
        nonlocal pulled
        for k in range(40):
            pulled += 1
            yield Search(k, f"line {k}", [])

    async def run(s: Search) -> Outcome:
        nonlocal running, peak
        running += 1
        peak = max(peak, running)
        await asyncio.sleep(0.001 * (s.id % 3))
        running -= 1
        return Outcome(s.id, True, "{}")

    async def main() -> list[tuple[int, int]]:
        seen = []
        async for outcome in stream_outcomes(source(), run, 4):
            seen.append((outcome.id, pulled))
        return seen

    seen = asyncio.run(main())
    assert sorted(i for i, _ in seen) == list(range(40))
    assert peak == 4
    # When the n-th outcome is handed on, at most n + 4 searches were read.
    assert all(pulled_then <= n + 4 for n, (_, pulled_then) in enumerate(seen, start=1))


def test_leaving_early_cancels_searches_in_flight() -> None:
    cancelled = []

    async def run(s: Search) -> Outcome:
        try:
            await asyncio.sleep(0 if s.id == 0 else 30)
        except asyncio.CancelledError:
            cancelled.append(s.id)
            raise
        return Outcome(s.id, True, "{}")

    async def main() -> None:
        agen = stream_outcomes((Search(k, "", []) for k in range(5)), run, 5)
        assert (await anext(agen)).id == 0
        await agen.aclose()

    asyncio.run(main())
    assert sorted(cancelled) == [1, 2, 3, 4]


def test_internal_destinations_allowed_only_during_the_run() -> None:
    seen = []

    class Recording:
        async def get(self, url: str, timeout: int = 5) -> None:
            seen.append(getattr(commerce, "REFUSE_INTERNAL_DESTINATIONS", "unset"))

    before = getattr(commerce, "REFUSE_INTERNAL_DESTINATIONS", "unset")
    asyncio.run(collect(enrich_many_async([search(1, 1)], fetcher=Recording(), allow_internal=True)))
    assert seen == [False]
    assert getattr(commerce, "REFUSE_INTERNAL_DESTINATIONS", "unset") == before


# ------------------------------------------------------------ output file
def test_resume_reads_ids_and_cuts_a_last_line_short(tmp_path: Path) -> None:
    out = tmp_path / "r.jsonl"
    with OutputFile(out) as f:
        f.write(Outcome("a", True, '{"items":[]}'))
        f.write(Outcome(2, False, "match 1: bad"))
    whole = out.read_bytes()
    out.write_bytes(whole + b'{"id": "c", "resu')
    assert completed_ids(out) == {id_key("a"), id_key(2)}
    assert out.read_bytes() == whole  # the next line starts on a line of its own
    assert completed_ids(tmp_path / "absent.jsonl") == set()
    assert completed_ids(Path(os.devnull)) == set()  # a device is written to, never read


@pytest.mark.parametrize("content", [b'{"id": 1, "result": {}}\nnot json\n{"id": 2, "result": {}}\n',
                                     b'{"name": 1}\n{"id": 2, "result": {}}\n'])
def test_a_foreign_output_file_is_not_resumed_over(tmp_path: Path, content: bytes) -> None:
    out = tmp_path / "r.jsonl"
    out.write_bytes(content)
    with pytest.raises(OutputError, match="line [12]"):
        completed_ids(out)
    assert out.read_bytes() == content


def test_csv_is_the_engines_csv_with_search_ids(tmp_path: Path, internal_allowed) -> None:
    searches = [search("s1", 1, 2), search(5, 3), search("none"), {"id": "bad", "matches": 3}]
    searches[0]["matches"][1]["title"] = 'Lamp, "brass"\nline two'
    out = tmp_path / "r.jsonl"
    fake = FakeFetcher()
    with OutputFile(out) as f:
        for sid, outcome in asyncio.run(collect(enrich_many_async(searches, fetcher=fake))).items():
            f.write(Outcome(sid, False, str(outcome)) if isinstance(outcome, SearchError)
                    else Outcome(sid, True, json.dumps(outcome)))
    rows = write_csv(out, tmp_path / "items.csv", searches_per_chunk=1)
    with open(tmp_path / "items.csv", encoding="utf-8", newline="") as fh:
        text = fh.read()
    table = list(csv.reader(io.StringIO(text)))
    assert rows == 3 and len(table) == 4 and text.endswith("\r\n")
    for sid, one_search in (("s1", searches[0]), ("5", searches[1])):
        intel = commerce.CommerceEnricher.process([VisualMatch(**m) for m in one_search["matches"]], fetcher=FakeFetcher())
        engine = tmp_path / f"{sid}.csv"
        commerce.export_commerce_to_csv(intel, engine)
        expected = list(csv.reader(io.StringIO(engine.read_text(encoding="utf-8"))))
        assert table[0] == ["search_id", *expected[0]]
        assert [row[1:] for row in table[1:] if row[0] == sid] == expected[1:]



def test_csv_and_report_files_are_written_whole_with_the_exports_permissions(tmp_path: Path) -> None:
    """The batch CSV and the HTML report replace their file only once complete,
    as the engine's exports do: a new file gets what the umask allows, a
    replaced one keeps its permissions, a failure leaves the old file, and a
    pipe is written in place."""
    import stat

    from quillmere.report._html import write_stream

    out = tmp_path / "r.jsonl"
    with OutputFile(out) as f:
        f.write(Outcome("s1", True, json.dumps({"items": []})))
    old = os.umask(0o027)
    try:
        write_csv(out, tmp_path / "new.csv")
        write_stream(tmp_path / "new.html", lambda put: put("<p>x</p>"))
    finally:
        os.umask(old)
    for name in ("new.csv", "new.html"):
        assert stat.S_IMODE(os.stat(tmp_path / name).st_mode) == 0o640, name
    kept = tmp_path / "kept.csv"
    kept.write_text("old")
    os.chmod(kept, 0o604)
    assert write_csv(out, kept) == 0  # the header alone
    assert stat.S_IMODE(os.stat(kept).st_mode) == 0o604 and kept.read_text().startswith("search_id,")

    def fails(put):
        put("<p>half")
        raise OSError("disk full")
    with pytest.raises(OSError, match="disk full"):
        write_stream(kept, fails)
    assert kept.read_text().startswith("search_id,") and sorted(os.listdir(tmp_path)) == [
        "kept.csv", "new.csv", "new.html", "r.jsonl"]
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    reader = threading.Thread(target=lambda: got.append(fifo.read_text()))
    got: list[str] = []
    reader.start()
    write_csv(out, fifo)
    reader.join(10)
    assert got and got[0].startswith("search_id,") and stat.S_ISFIFO(os.stat(fifo).st_mode)


def test_a_worker_process_that_dies_ends_the_run_with_an_error() -> None:
    with LoopbackServer({"/p/1": (200, product_page(1), 0.5)}) as srv:
        searches = [(k, [{"link": srv.url("/p/1"), "title": "t"}]) for k in range(60)]
        outcomes = enrich_many(searches, workers=2, allow_internal=True)
        first = next(outcomes)
        victim = multiprocessing.active_children()[0]
        os.kill(victim.pid, signal.SIGKILL)
        with pytest.raises(WorkerFailed, match="ended unexpectedly"):
            list(outcomes)
    assert first[1]["items"][0]["sku"] == "LMP-1"
    assert not multiprocessing.active_children()  # the other worker was stopped too


@pytest.mark.parametrize("expected, threads, size", [(None, 4, 200), (200, 4, 13), (1000, 4, 63), (10**6, 4, 200),
                                                     (3, 8, 1), (0, 2, 1)])
def test_dask_partitions_give_every_thread_four(expected, threads, size) -> None:
    from quillmere.batch._dask import partition_size_for

    assert partition_size_for(expected, threads) == size


def test_closing_the_iterator_early_stops_the_run() -> None:
    with LoopbackServer({"/p/1": (200, product_page(1), 0.0), "/p/2": (200, product_page(2), 30.0)}) as srv:
        searches = [(0, [{"link": srv.url("/p/1"), "title": "t"}])]
        searches += [(k, [{"link": srv.url(f"/p/2?s={k}"), "title": "t"}]) for k in range(1, 6)]
        outcomes = enrich_many(searches, allow_internal=True, per_host=5)
        assert next(outcomes)[0] == 0
        deadline = time.monotonic() + 20
        while srv.in_flight < 5 and time.monotonic() < deadline:
            time.sleep(0.02)
        assert srv.in_flight == 5
        outcomes.close()  # the five searches waiting for their slow page are cancelled
        assert not [t for t in threading.enumerate() if t.name == "quillmere-batch"]
        assert srv.wait_idle(10)  # their requests were given up, not left running


def test_async_iterable_of_searches(internal_allowed) -> None:
    async def searches():
        yield search("a", 1)
        yield {"matches": []}
        yield search("a", 2)

    async def main() -> dict:
        got = {}
        with pytest.raises(BatchInputError, match='search 3: id "a" repeats search 1'):
            async for sid, outcome in enrich_many_async(searches(), fetcher=FakeFetcher()):
                got[sid] = outcome
        return got

    got = asyncio.run(main())
    assert got["a"]["items"][0]["sku"] == "LMP-1" and got[2]["items"] == []


def test_a_search_that_cannot_reach_a_worker_is_an_error_not_a_hang() -> None:
    unpicklable = [VisualMatch(link="ftp://127.0.0.1/a", title="t"), lambda: None]
    with pytest.raises(Exception, match="pickle|lambda"):
        list(enrich_many([("a", unpicklable)], workers=2))
    assert not multiprocessing.active_children()


def test_extended_analysis_is_passed_on(internal_allowed) -> None:
    # A price only the extended reading understands, on a match without a page.
    one_search = {"id": "x", "matches": [{"link": "ftp://127.0.0.1/a", "title": "Lamp", "price": "CHF 1'299.50"}]}
    matches = [VisualMatch(**m) for m in one_search["matches"]]
    got = {}
    for extended in (False, True):
        (sid, result), = asyncio.run(collect(enrich_many_async([one_search], fetcher=FakeFetcher(), extended=extended))).items()
        expected = commerce.CommerceEnricher.process(matches, fetcher=FakeFetcher(), extended=extended)
        assert result == json.loads(expected.model_dump_json(exclude_none=True))
        got[extended] = result
    assert got[False]["items"][0]["price"]["amount"] == 1.0  # the default reading, unchanged
    assert (got[True]["items"][0]["price"]["amount"], got[True]["items"][0]["price"]["currency"]) == (1299.5, "CHF")
