"""``quillmere enrich-many`` as a user runs it (a subprocess), against pages
served on 127.0.0.1: 200 searches of 8 matches, resuming, worker processes,
a Dask LocalCluster, Ctrl-C and the progress bar."""

from __future__ import annotations

import csv
import json
import os
import pty
import signal
import subprocess
import sys
import time
from pathlib import Path
from types import SimpleNamespace

import pytest

import quillmere
from loopback_server import LoopbackServer
from quillmere import commerce
from quillmere.models import VisualMatch

PACKAGE_PARENT = str(Path(quillmere.__file__).resolve().parent.parent)
SEARCHES = 200
MATCHES = 8


def cli(*args: str, tty_stderr: bool = False, timeout: float = 240) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [PACKAGE_PARENT, os.environ.get("PYTHONPATH")])))
    cmd = [sys.executable, "-m", "quillmere", "enrich-many", *args]
    if not tty_stderr:
        return subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=timeout)
    master, slave = pty.openpty()
    with subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=slave, env=env, text=True) as proc:
        os.close(slave)
        chunks = []
        while True:
            try:
                data = os.read(master, 4096)
            except OSError:
                break
            if not data:
                break
            chunks.append(data)
        out = proc.stdout.read()
        proc.wait(timeout)
    os.close(master)
    return subprocess.CompletedProcess(cmd, proc.returncode, out, b"".join(chunks).decode("utf-8", "replace"))


def product(n: int, extra: str = "") -> bytes:
    ld = {"@context": "https://schema.org", "@type": "Product", "name": f"Trail Runner {n}", "sku": f"TR-{n:03d}",
          "brand": {"@type": "Brand", "name": "Stridelab"}, "image": [f"https://cdn.invalid/tr/{n}.jpg"],
          "offers": {"@type": "Offer", "price": f"{60 + n}.95", "priceCurrency": ["EUR", "USD", "GBP"][n % 3],
                     "availability": "https://schema.org/" + ("InStock" if n % 4 else "OutOfStock")}}
    return (f"<html><head><title>Trail Runner {n} – Stridelab</title>"
            f'<script type="application/ld+json">{json.dumps(ld)}</script></head>'
            f"<body><h1>Trail Runner {n}</h1><p>Größe wählen. {extra}</p></body></html>").encode()


def meta_page(n: int) -> bytes:
    return (f'<html><head><meta property="og:type" content="product"><meta property="og:title" content="Tote {n}">'
            f'<meta property="product:price:amount" content="{30 + n}.00">'
            '<meta property="product:price:currency" content="USD"><title>Tote</title></head><body></body></html>'
            ).encode()


ROUTES = {
    **{f"/p/{n}": (200, product(n), 0.0) for n in range(14)},
    **{f"/m/{n}": (200, meta_page(n), 0.0) for n in range(4)},
    "/blog/best-running-shoes": (200, b"<html><head><title>The best running shoes</title></head></html>", 0.0),
    "/gone": (404, b"<html><head><title>Not found</title></head></html>", 0.0),
    "/slow": (200, product(99), 0.3),
}


def links(srv: LoopbackServer) -> list[str]:
    served = [srv.url(path) for path in ROUTES]
    return served + ["ftp://127.0.0.1/file", srv.url("/p/1?utm_source=lens")]


def searches_for(srv: LoopbackServer) -> list[dict]:
    pool = links(srv)
    assert len(pool) == 23
    out = []
    for k in range(SEARCHES):
        matches = [{"link": pool[(5 * k + 3 * j) % 23], "title": f"Result {k}.{j}", "source": "Stridelab",
                    "price": f"${40 + j}.00", "thumbnail": f"https://img.invalid/{k}/{j}.jpg"} for j in range(MATCHES)]
        if k % 40 == 17:
            matches[2]["in_stock"] = "yes"  # this search fails; the others go on
        if k % 50 == 9:
            matches[5]["link"] = srv.refused_url("/closed")  # the fetch library retries it for a while
        record: dict = {"matches": matches}
        if k % 7 != 3:  # the others take their line number as id
            record = {"id": f"s{k:03d}", **record}
        out.append(record)
    return out


def search_id(k: int, record: dict) -> object:
    return record.get("id", k + 1)


class ServedPages:
    """The loopback server's pages without the network, for the reference
    results: the same bodies (status codes are never looked at)."""

    def __init__(self, srv: LoopbackServer) -> None:
        self.base = srv.base

    async def get(self, url: str, timeout: int = 5, **kwargs: object) -> SimpleNamespace:
        path = url.removeprefix(self.base).split("?", 1)[0]
        if not url.startswith(self.base) or path not in ROUTES:
            raise ConnectionRefusedError(url)
        return SimpleNamespace(body=ROUTES[path][1])


def fetched_pages(record: dict, srv: LoopbackServer) -> int:
    """Requests the server gets for one search: its distinct direct links
    that the server serves (tracking parameters are dropped before)."""
    if any(m.get("in_stock") == "yes" for m in record["matches"]):
        return 0
    direct = {commerce.URLUnwrapper.unwrap(m["link"]) for m in record["matches"]}
    return len({link for link in direct if link.startswith(srv.base + "/")})


def requested_as_needed(hits, records: list[dict], srv: LoopbackServer) -> bool:
    """Every page the searches need was requested, and no more often than
    once per search that needs it (a page several searches in flight need is
    fetched once for all of them)."""
    wanted = set()
    for record in records:
        if not any(m.get("in_stock") == "yes" for m in record["matches"]):
            wanted |= {commerce.URLUnwrapper.unwrap(m["link"]) for m in record["matches"]}
    targets = {link.removeprefix(srv.base) for link in wanted if link.startswith(srv.base + "/")}
    return set(hits) == targets and sum(hits.values()) <= sum(fetched_pages(r, srv) for r in records)


def read_lines(path: Path) -> dict:
    lines = path.read_text(encoding="utf-8").splitlines()
    records = [json.loads(line) for line in lines]
    for record in records:  # the time a fetch took differs from run to run
        for entry in record.get("outcomes", ()):
            entry.pop("seconds", None)
    by_id = {json.dumps(r["id"]): r for r in records}
    assert len(by_id) == len(records), "an id is written twice"
    return by_id


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """One full run in one process, with the server, the input and its outputs."""
    tmp = tmp_path_factory.mktemp("batch")
    with LoopbackServer(ROUTES) as srv:
        records = searches_for(srv)
        source = tmp / "searches.jsonl"
        source.write_text("".join(json.dumps(r) + "\n" for r in records), encoding="utf-8")
        out, items = tmp / "results.jsonl", tmp / "items.csv"
        report = tmp / "report.html"
        proc = cli(str(source), "--out", str(out), "--csv", str(items), "--html", str(report), "--allow-internal")
        yield SimpleNamespace(srv=srv, records=records, source=source, out=out, items=items, report=report, proc=proc,
                              tmp=tmp, hits=srv.hits)


def test_every_search_once_with_its_process_result(run, monkeypatch) -> None:
    assert run.proc.returncode == 0, run.proc.stderr
    lines = read_lines(run.out)
    ids = [search_id(k, r) for k, r in enumerate(run.records)]
    assert len(lines) == SEARCHES and set(lines) == {json.dumps(i) for i in ids}
    monkeypatch.setattr(commerce, "REFUSE_INTERNAL_DESTINATIONS", False, raising=False)
    served = ServedPages(run.srv)
    items = 0
    for sid, record in zip(ids, run.records):
        line = lines[json.dumps(sid)]
        if any(m.get("in_stock") == "yes" for m in record["matches"]):
            assert line == {"id": sid, "error": 'match 3: "in_stock" must be true, false or null, not "yes"'}
            continue
        matches = [VisualMatch(**m) for m in record["matches"]]
        expected = commerce.CommerceEnricher.process(matches, fetcher=served)
        assert {k: line[k] for k in ("id", "result")} == {"id": sid, "result": json.loads(
            expected.model_dump_json(exclude_none=True))}
        # Every match's page is told, in the order of the items.
        assert [o["position"] for o in line["outcomes"]] == list(range(1, len(matches) + 1))
        assert [o["link"] for o in line["outcomes"]] == [m.link for m in matches]
        assert sum(line["pages"]["outcomes"].values()) == line["pages"]["total"] == len(matches)
        items += len(expected.items)
    assert requested_as_needed(run.hits, run.records, run.srv)
    assert f"{SEARCHES} searches: {SEARCHES - 5} enriched, 5 failed, 0 already in" in run.proc.stdout
    with open(run.items, encoding="utf-8", newline="") as f:
        table = list(csv.reader(f))
    assert table[0][:3] == ["search_id", "Match Score", "Relevance"] and len(table) == 1 + items
    assert {row[0] for row in table[1:]} == {str(i) for k, i in enumerate(ids) if k % 40 != 17}
    html = run.report.read_text(encoding="utf-8")
    assert html.count('<details class="search">') == SEARCHES and html.count('class="err">failed<') == 5
    assert f"Wrote HTML report: {run.report}" in run.proc.stdout


def test_resume_completes_a_partial_output_exactly(run) -> None:
    full = run.out.read_bytes().splitlines(keepends=True)
    partial = run.tmp / "partial.jsonl"
    partial.write_bytes(b"".join(full[:50]) + full[50][: len(full[50]) // 2])
    run.srv.reset_counts()
    proc = cli(str(run.source), "--out", str(partial), "--allow-internal")
    assert proc.returncode == 0, proc.stderr
    assert read_lines(partial) == read_lines(run.out)
    done = {line["id"] for line in map(json.loads, full[:50])}
    redone = [r for k, r in enumerate(run.records) if search_id(k, r) not in done]
    assert len(redone) == 150
    assert requested_as_needed(run.srv.hits, redone, run.srv)

    # Once complete, running it again changes nothing and fetches nothing.
    before = partial.read_bytes()
    run.srv.reset_counts()
    again = cli(str(run.source), "--out", str(partial), "--allow-internal")
    assert again.returncode == 0 and partial.read_bytes() == before
    assert f"0 enriched, 0 failed, {SEARCHES} already in" in again.stdout and not run.srv.hits
    assert f"Nothing new: all {SEARCHES} searches were already in {partial}" in again.stdout
    assert "Wrote results" not in again.stdout


@pytest.mark.parametrize("backend", [["--workers", "2"], ["--dask", "local", "--workers", "2", "--partition-size", "30"]],
                         ids=["workers", "dask-local"])
def test_worker_processes_and_dask_give_the_same_results(run, backend) -> None:
    if backend[0] == "--dask":
        pytest.importorskip("distributed", reason="the dask extra is installed by requirements-dev.txt")
    out = run.tmp / f"results-{backend[0].strip('-')}.jsonl"
    proc = cli(str(run.source), "--out", str(out), "--allow-internal", "--quiet", *backend)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == ""
    assert read_lines(out) == read_lines(run.out)


def test_input_errors_stop_before_any_work(tmp_path: Path) -> None:
    source = tmp_path / "in.jsonl"
    source.write_text('{"id": "a", "matches": []}\n{"matches": []}\n{"id": "a", "matches": []}\n')
    out = tmp_path / "out.jsonl"
    proc = cli(str(source), "--out", str(out))
    assert proc.returncode == 1 and not out.exists()
    assert proc.stderr.strip() == f'quillmere: {source}: line 3: id "a" repeats line 1'

    out.write_text('{"id": "a", "result": {}}\nnot a result\n')
    proc = cli(str(source.with_name("ok.jsonl")), "--out", str(out))
    assert proc.returncode == 1  # no such input file
    source.write_text('{"id": "b", "matches": []}\n')
    proc = cli(str(source), "--out", str(out))
    assert proc.returncode == 1 and "line 2 is not a JSON line" in proc.stderr
    for wrong in (["--dask", "tcp://127.0.0.1:1", "--workers", "2"], ["--partition-size", "5"]):
        proc = cli(str(source), "--out", str(tmp_path / "new.jsonl"), *wrong)
        assert proc.returncode == 1 and proc.stderr.startswith("quillmere: --")
    assert not (tmp_path / "new.jsonl").exists()
    assert out.read_text() == '{"id": "a", "result": {}}\nnot a result\n'


def group_ends(pgid: int, within: float) -> bool:
    """Whether every process of the group has ended within `within` seconds
    (multiprocessing's resource tracker ends a moment after the command)."""
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        try:
            os.killpg(pgid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.05)
    return False


@pytest.mark.parametrize("backend", [[], ["--workers", "2"], ["--dask", "local", "--workers", "1", "--partition-size", "2"]],
                         ids=["one-process", "workers", "dask-local"])
def test_ctrl_c_keeps_completed_lines_and_the_run_resumes(tmp_path: Path, backend: list[str]) -> None:
    if "--dask" in backend:
        pytest.importorskip("distributed", reason="the dask extra is installed by requirements-dev.txt")
    routes = {f"/p/{n}": (200, product(n), 0.4) for n in range(6)}
    with LoopbackServer(routes) as srv:
        source = tmp_path / "in.jsonl"
        source.write_text("".join(json.dumps({"id": k, "matches": [{"link": srv.url(f"/p/{k % 6}"), "title": "t"}]})
                                  + "\n" for k in range(60)))
        out = tmp_path / "out.jsonl"
        items = tmp_path / "items.csv"
        later = ["--csv", str(items)] if not backend else []
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [PACKAGE_PARENT, os.environ.get("PYTHONPATH")])))
        # In a process group of its own, which gets the SIGINT, as a terminal
        # sends Ctrl-C to every process of the command.
        with subprocess.Popen([sys.executable, "-m", "quillmere", "enrich-many", str(source), "--out", str(out),
                               "--allow-internal", *backend, *later], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, start_new_session=True) as proc:
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline and (not out.exists() or out.read_bytes().count(b"\n") < 3):
                time.sleep(0.05)
            os.killpg(proc.pid, signal.SIGINT)
            _, err = proc.communicate(timeout=60)
        assert proc.returncode == 130, err
        assert "run the same command again" in err and "Traceback" not in err
        if later:  # the CSV is made once the run is complete; the rerun does
            assert f"--csv {items} not written: running the same command again completes the run" in err
            assert not items.exists()
        assert group_ends(proc.pid, within=10)  # no worker is left behind
        text = out.read_text()
        assert text.endswith("\n")
        kept = [json.loads(line) for line in text.splitlines()]
        assert 3 <= len(kept) < 60 and all("result" in line for line in kept)

        proc2 = cli(str(source), "--out", str(out), "--allow-internal", *later)
        assert proc2.returncode == 0, proc2.stderr
        if later:
            assert len(items.read_text().splitlines()) == 61
        assert sorted(json.loads(line)["id"] for line in out.read_text().splitlines()) == list(range(60))


def test_progress_on_a_terminal_only(tmp_path: Path) -> None:
    with LoopbackServer({"/p/1": (200, product(1), 0.0)}) as srv:
        source = tmp_path / "in.jsonl"
        source.write_text("".join(json.dumps({"matches": [{"link": srv.url("/p/1"), "title": "t"}]}) + "\n"
                                  for _ in range(5)))
        shown = cli(str(source), "--out", str(tmp_path / "a.jsonl"), "--allow-internal", tty_stderr=True)
        assert shown.returncode == 0
        assert "Searches [" in shown.stderr and "5/5 searches, 5 pages" in shown.stderr
        quiet = cli(str(source), "--out", str(tmp_path / "b.jsonl"), "--allow-internal", "--quiet", tty_stderr=True)
        assert quiet.returncode == 0 and "Searches" not in quiet.stderr and quiet.stdout == ""
        piped = cli(str(source), "--out", str(tmp_path / "c.jsonl"), "--allow-internal")
        assert piped.returncode == 0 and piped.stderr == ""


def test_an_existing_dask_cluster_by_its_address() -> None:
    distributed = pytest.importorskip("distributed", reason="the dask extra is installed by requirements-dev.txt")
    from quillmere.batch import enrich_many

    with LoopbackServer({f"/p/{n}": (200, product(n), 0.0) for n in range(4)}) as srv, \
            distributed.LocalCluster(n_workers=1, threads_per_worker=2, host="127.0.0.1", dashboard_address=None,
                                     processes=True) as cluster:
        # A query of its own per search: every search requests its own pages.
        searches = [{"id": k, "matches": [{"link": srv.url(f"/p/{(k + j) % 4}?s={k}"), "title": "t"}
                                          for j in range(3)]} for k in range(12)]
        got = dict(enrich_many(searches, dask=cluster.scheduler_address, partition_size=5, allow_internal=True))
        assert cluster.scheduler_address.startswith("tcp://127.0.0.1:")
    assert sorted(got) == list(range(12))
    assert [item["sku"] for item in got[5]["items"]] == ["TR-001", "TR-002", "TR-003"]
    assert sum(srv.hits.values()) == 36


def test_the_local_cluster_listens_on_loopback_only() -> None:
    pytest.importorskip("distributed", reason="the dask extra is installed by requirements-dev.txt")
    from quillmere.batch._dask import _start_cluster

    client, cluster = _start_cluster("local", 1)
    try:
        info = client.scheduler_info()
        addresses = [cluster.scheduler_address, *info["workers"], *(w["nanny"] for w in info["workers"].values())]
        assert len(addresses) == 3 and all(a.startswith("tcp://127.0.0.1:") for a in addresses)
    finally:
        client.close()
        cluster.close()


def test_a_second_run_on_the_same_output_is_refused(tmp_path: Path) -> None:
    import fcntl

    source = tmp_path / "in.jsonl"
    source.write_text('{"id": "a", "matches": []}\n')
    out = tmp_path / "out.jsonl"
    out.write_text('{"id": "z", "result": {}}\n')
    with open(out, "ab") as held:  # as the run that is writing it holds it
        fcntl.flock(held.fileno(), fcntl.LOCK_EX)
        proc = cli(str(source), "--out", str(out))
    assert proc.returncode == 1 and proc.stderr.strip() == f"quillmere: {out}: another run is writing to it"
    assert out.read_text() == '{"id": "z", "result": {}}\n'
    proc = cli(str(source), "--out", str(out))  # once that run is over
    assert proc.returncode == 0 and out.read_text().count("\n") == 2


def test_searches_from_standard_input(tmp_path: Path) -> None:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [PACKAGE_PARENT, os.environ.get("PYTHONPATH")])))

    def run_stdin(text: str, out: Path) -> subprocess.CompletedProcess:
        return subprocess.run([sys.executable, "-m", "quillmere", "enrich-many", "-", "--out", str(out),
                               "--allow-internal"], input=text, capture_output=True, text=True, env=env, timeout=120)

    with LoopbackServer({"/p/1": (200, product(1), 0.0)}) as srv:
        lines = [json.dumps({"id": f"s{k}", "matches": [{"link": srv.url("/p/1"), "title": "t"}]}) for k in range(4)]
        out = tmp_path / "out.jsonl"
        first = run_stdin("\n".join(lines[:3]) + "\n", out)
        assert first.returncode == 0, first.stderr
        assert "3 searches: 3 enriched, 0 failed, 0 already in" in first.stdout
        again = run_stdin("\n".join(lines) + "\n", out)  # one more: only it is run
        assert "4 searches: 1 enriched, 0 failed, 3 already in" in again.stdout
        assert sorted(json.loads(line)["id"] for line in out.read_text().splitlines()) == ["s0", "s1", "s2", "s3"]

        # Read once, as the run goes: a repeated id stops it where it is found.
        out2 = tmp_path / "out2.jsonl"
        bad = run_stdin("\n".join([lines[0], lines[1], lines[0]]) + "\n", out2)
        assert bad.returncode == 1
        assert bad.stderr.strip() == ('quillmere: <stdin>: line 3: id "s0" repeats line 1 '
                                      "(2 results were written before it)")
        assert sorted(json.loads(line)["id"] for line in out2.read_text().splitlines()) == ["s0", "s1"]
