"""ScraplingDestinationFetcher: the real Scrapling fetcher against a loopback
server, and test doubles passed in as `fetcher=`."""

import asyncio
import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc

import pytest

from loopback_server import HANG, LoopbackServer
from resolver import PUBLIC, TableResolverLoop, forbid_name_lookups, run_with

import quillmere.commerce as commerce
from quillmere.commerce import ScraplingDestinationFetcher as Fetcher

BAD_UTF8 = b"caf\xc3\xa9 \xff \xed\xa0\x80 \xc0\xaf \xe2\x82\xac \xf0\x9f\x98"  # ends truncated
BIG = ("<p>na\u00efve \u20ac" + "x" * 1000 + "</p>").encode() * 2000  # ~2 MB

ROUTES = {
    "/page": (200, b"<html><title>Shoe</title></html>", 0),
    "/gone": (404, b"<h1>no such product</h1>", 0),
    "/empty": (200, b"", 0),
    "/bad-utf8": (200, BAD_UTF8, 0),
    "/big": (200, BIG, 0),
    "/moved": (302, b"moved", 0, {"Location": "/target"}),
    "/moved-twice": (301, b"", 0, {"Location": "/moved"}),
    "/target": (200, b"redirect target", 0),
    "/slow": (200, b"too late", 30),
    "/hang": (200, b"", HANG),
    "/caps": (200, b"never asked for", 0),
}


@pytest.fixture(scope="module")
def server():
    with LoopbackServer(ROUTES, fallback=(200, b"<p>ok</p>", 0.2)) as srv:
        yield srv


@pytest.fixture(autouse=True)
def no_name_lookups(monkeypatch):
    asked = forbid_name_lookups(monkeypatch)
    yield
    assert asked == [], "a test asked the resolver about another host"


@pytest.fixture
def allow_internal(monkeypatch):
    """The real fetcher against the loopback server: the check would refuse it."""
    monkeypatch.setattr(commerce, "REFUSE_INTERNAL_DESTINATIONS", False)


def run(coro, table=None):
    """Runs `coro` on a loop whose resolver answers every name with a public
    address (or from `table`); a broken deadline fails, never hangs."""
    return run_with(TableResolverLoop(table, default=None if table else [PUBLIC]), coro)


# --------------------------------------------------------------- real Scrapling
def test_real_fetcher_batch(fresh, allow_internal, caplog):
    srv = fresh
    assert commerce.AsyncFetcher is not None, "scrapling's AsyncFetcher did not import"
    page, gone = srv.url("/page"), srv.url("/gone")
    urls = [page, gone, srv.url("/empty"), srv.url("/bad-utf8"), srv.url("/big"), srv.url("/moved"),
            srv.url("/moved-twice"), srv.url("/slow"), srv.url("/hang"), srv.silent_url(), srv.refused_url(),
            srv.url("/caps").replace("http", "HTTP", 1), srv.url("/caps").replace("http", "ftp", 1), "",
            page, gone, page]
    got = run(Fetcher.fetch_many(urls, timeout=1))

    assert list(got) == list(dict.fromkeys(urls))
    assert got == {
        page: "<html><title>Shoe</title></html>",
        gone: None,                                    # an error page is not the product page
        srv.url("/empty"): None,                       # empty body: absent, not ""
        srv.url("/bad-utf8"): BAD_UTF8.decode("utf-8", "replace"),
        srv.url("/big"): BIG.decode(),
        srv.url("/moved"): "redirect target",          # redirects are followed, hop by hop
        srv.url("/moved-twice"): "redirect target",
        srv.url("/slow"): None,
        srv.url("/hang"): None,
        srv.silent_url(): None,
        srv.refused_url(): None,
        urls[11]: None,
        urls[12]: None,
        "": None,
    }
    assert srv.wait_idle()
    hits = srv.hits
    assert hits["/page"] == hits["/gone"] == 1           # duplicates fetched once
    assert hits["/caps"] == 0 and hits["/target"] == 2 and hits["/moved"] == 2
    # One attempt per request: nothing is sent twice.
    assert hits["/slow"] == 1 and hits["/hang"] == 1
    assert srv.abandoned["/slow"] == 1 and srv.abandoned["/hang"] == 1
    assert not [r for r in caplog.records if r.name.startswith("scrapling")]  # logger switched off


@pytest.mark.parametrize("library", ["present", "missing"])
def test_fetcher_bound_at_load(library):
    code = textwrap.dedent(f"""
        import logging, sys
        if "{library}" == "missing":
            sys.modules["scrapling"] = None  # import fails as if not installed
        import quillmere.commerce as commerce
        if "{library}" == "missing":
            assert commerce.AsyncFetcher is None
        else:
            from scrapling.fetchers import AsyncFetcher
            assert commerce.AsyncFetcher is AsyncFetcher
        assert logging.getLogger("scrapling").disabled
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("max_workers, processors, bound", [(3, 8, 3), (None, 1, 4)])
def test_real_fetcher_in_flight_bound(fresh, allow_internal, monkeypatch, max_workers, processors, bound):
    monkeypatch.setattr(os, "cpu_count", lambda: processors)
    urls = [fresh.url(f"/slot/{i}") for i in range(3 * bound)]  # fallback: 0.2 s each
    got = run(Fetcher.fetch_many(urls, max_workers=max_workers, timeout=2))
    assert got == dict.fromkeys(urls, "<p>ok</p>")
    assert fresh.max_in_flight == bound


# --------------------------------------------------------------- test doubles
class FakeResponse:
    def __init__(self, body, truth=True):
        self._body, self._truth = body, truth

    def __bool__(self):
        return self._truth

    @property
    def body(self):
        if isinstance(self._body, BaseException):
            raise self._body
        return self._body


class FakeFetcher:
    """Stands in for Scrapling's AsyncFetcher; `outcome(url)` is awaited per request."""

    def __init__(self, outcome=None, delay=0.0):
        self.outcome = outcome or (lambda url: FakeResponse(f"<p>{url}</p>".encode()))
        self.delay = delay
        self.calls, self.active, self.max_active, self.cancelled = [], 0, 0, 0

    def get(self, url, **kwargs):
        self.calls.append((url, kwargs))
        return self._request(url)

    async def _request(self, url):
        self.active += 1
        self.max_active = max(self.max_active, self.active)
        try:
            await asyncio.sleep(self.delay)
            result = self.outcome(url)
            return await result if asyncio.iscoroutine(result) else result
        except asyncio.CancelledError:
            self.cancelled += 1
            raise
        finally:
            self.active -= 1


async def forever(url):
    await asyncio.Event().wait()


@pytest.fixture
def fake(monkeypatch):
    """Makes a double to pass as `fetcher=`. The module's own fetcher is unbound
    meanwhile, so a call that ignores the keyword fetches nothing and fails."""
    monkeypatch.setattr(commerce, "AsyncFetcher", None)
    return FakeFetcher


class Untouchable:
    async def __aenter__(self):
        raise AssertionError("semaphore entered")

    async def __aexit__(self, *exc):
        return False


@pytest.mark.parametrize("url, requested", [
    ("https://shop.example/p/1", True), ("http://shop.example/p/1", True),
    ("", False), ("ftp://shop.example/p/1", False), ("HTTP://shop.example/p/1", False),
    ("Https://shop.example/", False), ("//shop.example/p", False), ("mailto:a@b.c", False),
])
def test_fetch_one_link_filter(fake, url, requested):
    double = fake()
    sem = asyncio.Semaphore(1) if requested else Untouchable()
    got = run(Fetcher.fetch_one(url, sem, timeout=7, fetcher=double))
    assert got == (url, f"<p>{url}</p>" if requested else None)
    assert double.calls == ([(url, {"timeout": 7})] if requested else [])


def raiser(exc):
    def fail(*args, **kwargs):
        raise exc
    return fail


@pytest.mark.parametrize("outcome", [
    lambda url: None,
    lambda url: FakeResponse(b"<p>x</p>", truth=False),
    lambda url: FakeResponse(b""),
    lambda url: FakeResponse("<p>x</p>"),             # text, not bytes
    lambda url: FakeResponse(bytearray(b"<p>x</p>")),
    lambda url: FakeResponse(None),
    lambda url: FakeResponse(OSError("reset while reading")),
    lambda url: object(),                             # no body at all
    raiser(ConnectionError("refused")),
    raiser(TimeoutError()),
], ids=["none", "false", "empty", "str-body", "bytearray", "none-body", "body-raises",
        "no-body", "raises", "timeout-error"])
def test_fetch_one_absorbs_unusable_responses(fake, outcome):
    double = fake(outcome)
    sem = asyncio.Semaphore(1)

    async def go():
        pair = await Fetcher.fetch_one("https://x.example/", sem, fetcher=double)
        return pair, sem.locked()

    assert run(go()) == (("https://x.example/", None), False)


@pytest.mark.parametrize("get", [
    lambda url, timeout: 42,                                   # not awaitable
    raiser(ValueError("bad link")),                            # fails before returning
], ids=["not-awaitable", "raises-on-call"])
def test_fetch_one_absorbs_broken_get(fake, get):
    broken = type("Broken", (), {"get": staticmethod(get)})
    assert run(Fetcher.fetch_one("http://x.example/", asyncio.Semaphore(1), fetcher=broken)) == ("http://x.example/", None)


def test_never_completing_request_is_cut_and_frees_its_slot(fake):
    double = fake(forever)

    async def go():
        sem = asyncio.Semaphore(1)
        pair = await Fetcher.fetch_one("http://x.example/", sem, timeout=0, fetcher=double)  # deadline: 1 s
        return pair, sem.locked()

    assert run(go()) == (("http://x.example/", None), False)
    assert double.cancelled == 1 and double.active == 0


def test_cancellation_propagates_and_frees_every_slot(fake):
    double = fake(forever)
    urls = [f"http://x.example/{i}" for i in range(5)]

    async def go():
        many = asyncio.ensure_future(Fetcher.fetch_many(urls, max_workers=2, fetcher=double))
        sem = asyncio.Semaphore(2)
        ones = [asyncio.ensure_future(Fetcher.fetch_one(u, sem, fetcher=double)) for u in urls]
        while double.active < 4:
            await asyncio.sleep(0)
        for task in (many, *ones):
            task.cancel()
        for task in (many, *ones):
            with pytest.raises(asyncio.CancelledError):
                await task
        # Both slots of the caller's semaphore are back.
        await asyncio.wait_for(sem.acquire(), 5)
        assert not sem.locked()
        sem.release()

    run(go())
    assert len(double.calls) == 4 and double.cancelled == 4 and double.active == 0


@pytest.mark.parametrize("processors, max_workers, bound", [
    (None, None, 16), (0, None, 16), (1, None, 4), (2, None, 8), (64, None, 32),
    (2, 0, 8), (64, 40, 40),
])
def test_concurrency_bound(fake, monkeypatch, processors, max_workers, bound):
    monkeypatch.setattr(os, "cpu_count", lambda: processors)
    double = fake(delay=0.01)
    urls = [f"http://x.example/{i}" for i in range(50)]
    got = run(Fetcher.fetch_many(urls, max_workers=max_workers, timeout=3, fetcher=double))
    assert list(got) == urls and all(got.values())
    assert double.max_active == bound
    assert {kw["timeout"] for _, kw in double.calls} == {3}


def test_without_the_library_nothing_is_requested(fresh, allow_internal, monkeypatch):
    monkeypatch.setattr(commerce, "AsyncFetcher", None)
    urls = [fresh.url("/page"), fresh.url("/gone"), fresh.url("/page")]
    assert run(Fetcher.fetch_many(urls, max_workers=-1)) == dict.fromkeys(urls[:2])
    assert run(Fetcher.fetch_one(urls[0], Untouchable())) == (urls[0], None)
    assert sum(fresh.hits.values()) == 0


def test_negative_bound_is_refused_but_not_for_empty_input(fake):
    double = fake()
    assert run(Fetcher.fetch_many([], max_workers=-1, fetcher=double)) == {}
    with pytest.raises(ValueError):
        run(Fetcher.fetch_many(["http://x.example/"], max_workers=-1, fetcher=double))
    assert double.calls == []


@pytest.mark.parametrize("call, message", [
    (lambda f: Fetcher.fetch_many(("http://a/",), fetcher=f), "urls must be list, not tuple"),
    (lambda f: Fetcher.fetch_many(["http://a/", b"http://b/"], fetcher=f), "urls[1] must be str, not bytes"),
    (lambda f: Fetcher.fetch_many(["http://a/"], max_workers=2.0, fetcher=f),
     "max_workers must be int or None, not float"),
    (lambda f: Fetcher.fetch_many(["http://a/"], timeout=5.0, fetcher=f), "timeout must be int, not float"),
    (lambda f: Fetcher.fetch_many([], timeout=None, fetcher=f), "timeout must be int, not NoneType"),
    (lambda f: Fetcher.fetch_many(["http://a/"], fetcher=f, progress="bar"), "progress must be callable or None"),
    (lambda f: Fetcher.fetch_many(["http://a/"], fetcher=f, semaphore=4),
     "semaphore must be asyncio.Semaphore or None, not int"),
    (lambda f: Fetcher.fetch_many(["http://a/"], fetcher=object()), "fetcher must be an object with a get method"),
    (lambda f: Fetcher.fetch_one(None, asyncio.Semaphore(), fetcher=f), "url must be str, not NoneType"),
    (lambda f: Fetcher.fetch_one("http://a/", asyncio.Semaphore(), timeout="5", fetcher=f),
     "timeout must be int, not str"),
])
def test_argument_types_checked_before_any_work(fake, call, message):
    double = fake()
    with pytest.raises(TypeError) as err:
        run(call(double))
    assert str(err.value).startswith(message) and double.calls == []


def test_the_module_fetcher_is_looked_up_at_call_time(monkeypatch):
    first, second = FakeFetcher(), FakeFetcher()
    monkeypatch.setattr(commerce, "AsyncFetcher", first)
    assert run(Fetcher.fetch_many(["http://a.example/"])) == {"http://a.example/": "<p>http://a.example/</p>"}
    monkeypatch.setattr(commerce, "AsyncFetcher", second)
    run(Fetcher.fetch_one("http://b.example/", asyncio.Semaphore(1)))
    # A fetcher passed in wins over the module's.
    run(Fetcher.fetch_many(["http://c.example/"], fetcher=first))
    assert [u for u, _ in first.calls] == ["http://a.example/", "http://c.example/"]
    assert [u for u, _ in second.calls] == ["http://b.example/"]


def test_progress_counts_requested_pages_as_they_complete(fake):
    double = fake(lambda url: None if "fail" in url else FakeResponse(b"<p>x</p>"), delay=0.01)
    calls = []
    urls = ["http://a.example/1", "ftp://a.example/f", "http://a.example/fail", "", "http://a.example/1",
            "https://a.example/2"]
    got = run(Fetcher.fetch_many(urls, fetcher=double, progress=lambda done, total: calls.append((done, total))))
    assert list(got) == list(dict.fromkeys(urls))
    # Three distinct links are requested (a failed page counts as done too);
    # the others are not counted.
    assert calls == [(0, 3), (1, 3), (2, 3), (3, 3)]
    assert len(double.calls) == 3


def test_progress_without_a_fetcher_reports_nothing_to_do(fake):
    calls = []
    got = run(Fetcher.fetch_many(["http://a.example/"], progress=lambda *a: calls.append(a)))
    assert got == {"http://a.example/": None} and calls == [(0, 0)]


def test_an_error_in_progress_ends_the_call_and_stops_the_other_requests(fake):
    double = fake(lambda url: forever(url) if url.endswith("/slow") else FakeResponse(b"<p>x</p>"))

    def progress(done, total):
        if done == 1:
            raise LookupError("display broke")

    with pytest.raises(LookupError, match="display broke"):
        run(Fetcher.fetch_many(["http://a.example/slow", "http://a.example/quick"], fetcher=double,
                               progress=progress))
    assert double.active == 0 and double.cancelled == 1


def test_a_shared_semaphore_bounds_several_calls_together(fake):
    double = fake(delay=0.02)

    async def go():
        sem = asyncio.Semaphore(3)
        batches = [[f"http://x.example/{b}/{i}" for i in range(6)] for b in range(3)]
        # max_workers is ignored when a semaphore is given.
        maps = await asyncio.gather(*(Fetcher.fetch_many(urls, max_workers=50, fetcher=double, semaphore=sem)
                                      for urls in batches))
        return batches, maps, sem.locked()

    batches, maps, locked = run(go())
    assert [list(m) for m in maps] == batches and all(all(m.values()) for m in maps)
    assert double.max_active == 3 and not locked


def test_many_fetch_one_calls_leave_nothing_behind():
    response = FakeResponse(b"<html>" + b"p" * 200 + b"</html>")

    class Quick:
        @staticmethod
        async def get(url, timeout):
            await asyncio.sleep(0)  # a request always lets the loop run (and purge its timers)
            return response

    async def fetch(n, sem):
        for i in range(n):
            url, text = await Fetcher.fetch_one(f"http://h/{i}", sem, fetcher=Quick)
            assert text is not None

    async def go():
        sem = asyncio.Semaphore(4)
        await fetch(500, sem)  # warm caches
        gc.collect()
        objects, (memory, _) = len(gc.get_objects()), tracemalloc.get_traced_memory()
        await fetch(10_000, sem)
        gc.collect()
        return len(gc.get_objects()) - objects, tracemalloc.get_traced_memory()[0] - memory

    tracemalloc.start()
    try:
        object_growth, memory_growth = run_with(TableResolverLoop(default=[PUBLIC], record=False), go())
    finally:
        tracemalloc.stop()
    assert object_growth < 100 and memory_growth < 64 * 1024
