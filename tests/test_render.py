"""Rendering in a browser: the egress proxy, the render session and the auto rule.

The browser tests start Debian's Chromium against loopback servers; they skip
where no browser is installed, except under QUILLMERE_REQUIRE_BROWSER=1 (CI),
where a missing browser fails. Every browser here may connect only to the
test's own server (`render_allow`), so no page, and not the browser's own
background traffic, can leave the machine.
"""

from __future__ import annotations

import asyncio
import http.client
import http.server
import os
import shutil
import signal
import threading
import time

import pytest

from quillmere import commerce
from quillmere.commerce import CommerceEnricher, PageClient
from quillmere.fetch import _render
from quillmere.fetch._egress import EgressProxy
from quillmere.models import FetchOutcome, FetchReport, RenderReason, VisualMatch

BROWSER = shutil.which("chromium") or shutil.which("chromium-browser")
needs_browser = pytest.mark.skipif(
    BROWSER is None and os.environ.get("QUILLMERE_REQUIRE_BROWSER") != "1",
    reason="no chromium installed (CI sets QUILLMERE_REQUIRE_BROWSER=1 and installs it)")

PRODUCT_LD = ('{"@context":"https://schema.org","@type":"Product","name":"Trail Shoe","sku":"TS-42",'
              '"brand":{"@type":"Brand","name":"Fellstride"},'
              '"offers":{"@type":"Offer","price":"129.00","priceCurrency":"EUR",'
              '"availability":"https://schema.org/InStock"}}')
SCRIPT_BUILT = (b"<!doctype html><html><head><title>Trail Shoe</title></head><body><h1>Trail Shoe</h1>"
                b"<script>setTimeout(function(){var s=document.createElement('script');"
                b"s.type='application/ld+json';s.text=" + repr(PRODUCT_LD).encode() + b";"
                b"document.head.appendChild(s);},200);</script></body></html>")
STATIC_PRODUCT = (b"<!doctype html><html><head><title>Trail Shoe</title><script type=\"application/ld+json\">"
                  + PRODUCT_LD.encode() + b"</script></head><body>shoe</body></html>")
ARTICLE = (b"<!doctype html><html><head><title>Ten trail shoes</title><meta property=\"og:type\" content=\"article\">"
           b"</head><body><article><h1>Ten trail shoes reviewed</h1><p>text</p></article></body></html>")
# A wall a plain client meets: 403 and a script that sets a cookie and reloads.
WALL = (b"<!doctype html><html><head><title>One moment</title></head><body>"
        b"<script>document.cookie='passed=1; path=/';location.reload();</script></body></html>")


class Site:
    """A threaded HTTP server on a loopback address; `pages` maps a path to
    a function (handler) -> (status, headers, body). Counts requests per path."""

    def __init__(self, host: str = "127.0.0.1", pages=None) -> None:
        self.pages = dict(pages or {})
        self.hits: dict[str, int] = {}
        site = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):  # noqa: N802
                path = self.path.split("?", 1)[0]
                site.hits[path] = site.hits.get(path, 0) + 1
                page = site.pages.get(path)
                if page is None:
                    status, headers, body = 404, {}, b"not here"
                else:
                    status, headers, body = page(self)
                if body is None:  # hang: never answer
                    time.sleep(30)
                    return
                self.send_response(status)
                headers = {"Content-Type": "text/html; charset=utf-8", **headers}
                for name, value in headers.items():
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(body)
                self.close_connection = True

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer((host, 0), Handler)
        self.server.daemon_threads = True
        self.host, self.port = host, self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def url(self, path: str) -> str:
        return f"http://{self.host}:{self.port}{path}"

    @property
    def total(self) -> int:
        return sum(self.hits.values())

    def close(self) -> None:
        self.server.shutdown()
        self.server.server_close()


def fixed(body: bytes, status: int = 200, headers: dict | None = None):
    return lambda handler: (status, headers or {}, body)


def wall(handler):
    if "passed=1" in (handler.headers.get("Cookie") or ""):
        return 200, {}, STATIC_PRODUCT
    return 403, {}, WALL


@pytest.fixture(scope="module")
def site():
    s = Site(pages={"/built": fixed(SCRIPT_BUILT), "/static": fixed(STATIC_PRODUCT), "/article": fixed(ARTICLE),
                    "/wall": wall, "/too-many": fixed(WALL, 429)})
    yield s
    s.close()


@pytest.fixture(scope="module")
def internal():
    """Second and third loopback hosts a page reaches for; nothing may arrive there."""
    a = Site("127.0.0.2", {"/": fixed(b"<html>secret</html>"), "/x": fixed(b"secret")})
    b = Site("127.0.0.3", {"/": fixed(b"secret")})
    yield a, b
    a.close()
    b.close()


@pytest.fixture(scope="module")
def loop():
    lp = asyncio.new_event_loop()
    yield lp
    lp.close()


@pytest.fixture
def static_internal(monkeypatch):
    # The static fetch must reach the test's own loopback server; the browser
    # is held to that one server by render_allow.
    monkeypatch.setattr(commerce, "REFUSE_INTERNAL_DESTINATIONS", False)


def client_for(site, **kw) -> PageClient:
    return PageClient(render_allow=[(site.host, site.port)], render_timeout=kw.pop("render_timeout", 6), **kw)


def enrich(loop, client, links):
    matches = [VisualMatch(link=link, title="Trail Shoe") for link in links]
    report = FetchReport()
    result = loop.run_until_complete(CommerceEnricher.process_async(matches, client=client, report=report))
    return result.items, report.outcomes


# ---------------------------------------------------------------- no browser needed
def test_egress_proxy_checks_the_address_it_connects_to(loop, site, internal):
    hidden, _ = internal

    async def run():
        async with EgressProxy(allow=[(site.host, site.port)], only=True) as proxy:
            def ask(method, target):
                conn = http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=10)
                conn.request(method, target)
                answer = conn.getresponse()
                body = answer.read()
                conn.close()
                return answer.status, body

            results = {
                "allowed": await asyncio.to_thread(ask, "GET", site.url("/static")),
                "internal": await asyncio.to_thread(ask, "GET", hidden.url("/x")),
                "tunnel": await asyncio.to_thread(ask, "CONNECT", f"{hidden.host}:{hidden.port}"),
                "name": await asyncio.to_thread(ask, "GET", f"http://localhost:{site.port}/static"),
                "public": await asyncio.to_thread(ask, "CONNECT", "shop.example:443"),
            }
            return results, proxy

    results, proxy = loop.run_until_complete(run())
    assert results["allowed"] == (200, STATIC_PRODUCT)
    for name in ("internal", "tunnel", "name", "public"):
        assert results[name][0] == 403, name
    assert hidden.total == 0
    assert proxy.refused == 4 and proxy.connections == 1
    assert {r.host for r in proxy.recent} == {"127.0.0.2", "localhost", "shop.example"}


def test_render_options_and_the_auto_rule():
    for bad, error in (({"render": "sometimes"}, ValueError), ({"render_pages": 0}, ValueError),
                       ({"render_timeout": 0}, ValueError), ({"browser": 3}, TypeError),
                       ({"browser": "/a", "browser_cdp": "http://127.0.0.1:1"}, ValueError)):
        with pytest.raises(error):
            PageClient(**bad)
    from quillmere.models import PageOutcome, PageType

    class Item:
        def __init__(self, page_type):
            self.page_type = page_type

    def out(kind, status=None, detail=None):
        return PageOutcome(outcome=kind, link="http://a/", status=status, detail=detail)

    product = Item(PageType.PRODUCT)
    rule = _render.render_reason
    assert rule("auto", out(FetchOutcome.BLOCKED, 403, "HTTP 403"), product, False) is RenderReason.BLOCKED
    assert rule("auto", out(FetchOutcome.BLOCKED, 503, "HTTP 503"), product, False) is RenderReason.BLOCKED
    assert rule("auto", out(FetchOutcome.BLOCKED, 200, "challenge page"), product, False) is RenderReason.BLOCKED
    assert rule("auto", out(FetchOutcome.BLOCKED, 429, "HTTP 429"), product, False) is None
    assert rule("auto", out(FetchOutcome.BLOCKED, 401, "HTTP 401"), product, False) is None
    assert rule("auto", out(FetchOutcome.READ, 200), product, False) is RenderReason.NO_PRODUCT_DATA
    assert rule("auto", out(FetchOutcome.READ, 200), product, True) is None
    for kind in (PageType.ARTICLE, PageType.SOCIAL, PageType.PORTFOLIO):
        assert rule("auto", out(FetchOutcome.READ, 200), Item(kind), False) is None
    assert rule("always", out(FetchOutcome.READ, 200), Item(PageType.ARTICLE), True) is RenderReason.ALWAYS
    assert rule("always", out(FetchOutcome.REFUSED), product, False) is None
    assert rule("never", out(FetchOutcome.BLOCKED, 403), product, False) is None


def test_what_rendering_needs_is_checked_before_any_fetch(tmp_path):
    not_a_browser = tmp_path / "browser"
    not_a_browser.write_text("#!/bin/sh\necho hello\n")
    not_a_browser.chmod(0o755)
    plain = tmp_path / "plain"
    plain.write_text("x")
    for path, says in ((str(tmp_path / "missing"), "no such file"), (str(plain), "not executable"),
                       (str(not_a_browser), "not a Chromium browser")):
        with pytest.raises(_render.RenderUnavailable, match=says):
            _render.check_available(browser=path)
    with socket_closed_port() as port:
        with pytest.raises(_render.RenderUnavailable, match="no browser answers"):
            _render.check_available(cdp=f"http://127.0.0.1:{port}")


class socket_closed_port:
    def __enter__(self):
        import socket
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        return self.sock.getsockname()[1]

    def __exit__(self, *exc):
        self.sock.close()


# ---------------------------------------------------------------- with Chromium
@needs_browser
def test_auto_renders_what_needs_it_and_nothing_else(loop, site, static_internal):
    links = [site.url("/built"), site.url("/wall"), site.url("/static"), site.url("/article"),
             site.url("/too-many")]
    items, outs = enrich(loop, PageClient(), links)  # never: today's answers
    assert [o.rendered for o in outs] == [None] * 5
    assert items[0].sku is None and items[1].sku is None and items[2].sku == "TS-42"

    client = client_for(site, render="auto")
    before = dict(site.hits)
    try:
        items, outs = enrich(loop, client, links)
    finally:
        loop.run_until_complete(client.aclose())
    built, walled, static, article, slow_down = outs
    assert built.rendered.reason is RenderReason.NO_PRODUCT_DATA and built.rendered.used
    assert built.rendered.outcome is FetchOutcome.READ and built.rendered.status == 200
    assert items[0].sku == "TS-42" and items[0].price.amount == 129.0
    assert walled.outcome is FetchOutcome.BLOCKED and walled.status == 403
    assert walled.rendered.reason is RenderReason.BLOCKED and walled.rendered.used
    assert items[1].sku == "TS-42"
    assert static.rendered is None and article.rendered is None and slow_down.rendered is None
    # one static fetch each, no browser visit
    assert site.hits["/static"] - before["/static"] == 1 and site.hits["/article"] - before["/article"] == 1
    assert "2 rendered: 2 gave product data, 0 failed" in FetchReport(outcomes=outs).summary_line()
    assert "rendered" not in outs[2].model_dump() and "rendered" in outs[0].model_dump()


@needs_browser
def test_a_rendered_page_reaches_no_other_address(loop, site, internal):
    hidden, third = internal
    sw = b"self.addEventListener('fetch', e => e.respondWith(fetch('" + hidden.url("/x").encode() + b"')));"
    reach = (b"<!doctype html><html><head><title>p</title></head><body><script>"
             b"fetch('" + hidden.url("/x").encode() + b"').catch(()=>0);"
             b"try{new WebSocket('ws://" + f"{third.host}:{third.port}".encode() + b"/')}catch(e){}"
             b"if(navigator.serviceWorker){navigator.serviceWorker.register('/sw.js').catch(()=>0)}"
             b"var i=new Image();i.src='" + hidden.url("/x").encode() + b"';"
             b"</script><img src=\"/photo.png\"><video src=\"/clip.mp4\" autoplay></video></body></html>")
    site.pages.update({
        "/reach": fixed(reach), "/sw.js": fixed(sw, headers={"Content-Type": "text/javascript"}),
        "/hop": fixed(b"", 302, {"Location": hidden.url("/")}),
        "/away": fixed(b"<html><body>x<script>setTimeout(()=>{location='" + hidden.url("/").encode()
                       + b"'},100)</script></body></html>"),
    })
    client = client_for(site, render="always", render_timeout=3)

    async def run():
        r = client.renderer
        got = [await r.render(site.url(p), refuse=True, cap=None) for p in ("/reach", "/hop", "/away")]
        return got, r.proxy

    try:
        (reached, hop, away), proxy = loop.run_until_complete(run())
    finally:
        loop.run_until_complete(client.aclose())
    assert hidden.total == 0 and third.total == 0
    assert reached.outcome is FetchOutcome.READ
    assert site.hits.get("/sw.js", 0) == 0  # service workers are blocked
    assert site.hits.get("/photo.png", 0) == 0 and site.hits.get("/clip.mp4", 0) == 0  # nor images, media
    refused = {(r.host, r.port) for r in proxy.recent}
    assert (hidden.host, hidden.port) in refused and (third.host, third.port) in refused
    assert hop.outcome is FetchOutcome.REFUSED and "egress proxy" in hop.detail
    assert away.outcome is FetchOutcome.REFUSED and hidden.url("/") in away.detail


@needs_browser
def test_a_page_that_never_loads_is_read_at_the_deadline(loop, site):
    site.pages.update({
        "/hang.js": lambda h: (200, {}, None),
        "/endless": fixed(b"<!doctype html><html><head><title>Trail Shoe</title>"
                          b"<script type=\"application/ld+json\">" + PRODUCT_LD.encode() + b"</script></head>"
                          b"<body><p>shoe</p><script src=\"/hang.js\"></script><p>after</p></body></html>"),
        "/spin": fixed(b"<html><body><p>x</p><script>setTimeout(()=>{for(;;){}},300)</script></body></html>"),
        "/dialogs": fixed(b"<html><body><script>alert(1);window.open('/static');confirm(2);</script>"
                          b"<p>dialogs</p></body></html>"),
        "/captcha": fixed(b"<html><head><title>Just a moment...</title></head><body>"
                          b"<div class=\"cf-turnstile\">verify you are human</div></body></html>"),
        "/huge": fixed(b"<html><body><script>var s='<p>'+'x'.repeat(1<<16)+'</p>';"
                       b"for(var i=0;i<64;i++){document.body.insertAdjacentHTML('beforeend',s)}</script></body></html>"),
    })
    client = client_for(site, render="always", render_timeout=2)

    async def run():
        r = client.renderer
        return [await r.render(site.url(p), refuse=True, cap=1 << 20)
                for p in ("/endless", "/spin", "/dialogs", "/huge", "/captcha")]

    try:
        endless, spin, dialogs, huge, captcha = loop.run_until_complete(run())
    finally:
        loop.run_until_complete(client.aclose())
    assert endless.outcome is FetchOutcome.READ and "TS-42" in endless.html and "after" not in endless.html
    assert spin.outcome is FetchOutcome.TIMEOUT
    assert dialogs.outcome is FetchOutcome.READ and "dialogs" in dialogs.html
    assert huge.outcome is FetchOutcome.TOO_LARGE
    assert captcha.outcome is FetchOutcome.BLOCKED and "never solved" in captcha.detail  # no CAPTCHA is solved


@needs_browser
def test_a_killed_browser_costs_its_pages_and_is_started_again(loop, site):
    site.pages["/slow"] = lambda h: (time.sleep(3), (200, {}, STATIC_PRODUCT))[1]
    client = client_for(site, render="always", render_timeout=8)

    async def run():
        r = client.renderer
        first = await r.render(site.url("/static"), refuse=True, cap=None)
        pids = r.pids()
        slow = asyncio.ensure_future(r.render(site.url("/slow"), refuse=True, cap=None))
        await asyncio.sleep(1)
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        lost = await slow
        again = await r.render(site.url("/static"), refuse=True, cap=None)
        return first, lost, again, pids, r

    try:
        first, lost, again, pids, renderer = loop.run_until_complete(run())
        second = renderer.pids()
    finally:
        loop.run_until_complete(client.aclose())
    assert pids and first.outcome is FetchOutcome.READ
    assert lost.outcome is not FetchOutcome.READ
    assert again.outcome is FetchOutcome.READ and renderer.starts == 2
    assert second and not set(second) & set(pids)
    assert renderer.pids() == [] and not any(running(p) for p in second + pids)


def running(pid: int) -> bool:
    """True while `pid` runs (a zombie that nobody reaped yet does not)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rpartition(")")[2].split()[0] != "Z"
    except OSError:
        return False


@needs_browser
def test_demo_render_auto_reads_the_script_built_sample(tmp_path, capsys):
    from quillmere.cli import main

    assert main(["demo", "--out", str(tmp_path), "--render", "auto"]) == 0
    rows = (tmp_path / "commerce.csv").read_text(encoding="utf-8").splitlines()
    carafe = [row for row in rows if "glass-carafe" in row]
    # Its JSON-LD comes from a script on a made-up host, which the proxy sent to the sample server.
    assert len(carafe) == 1 and "LH-CAR-1000" in carafe[0] and "48.0" in carafe[0]
    assert "; 1 rendered: 1 gave product data, 0 failed" in capsys.readouterr().out


@needs_browser
@pytest.mark.parametrize("workers", [None, 2])
def test_enrich_many_renders_in_each_process(tmp_path, site, workers, capsys):
    import json

    from quillmere.cli import main

    searches = tmp_path / "s.jsonl"
    searches.write_text("".join(json.dumps({"id": f"s{n}", "matches": [{"link": site.url(p), "title": "Trail Shoe"}]})
                                + "\n" for n, p in enumerate(["/built", "/article", "/built", "/wall"])))
    out = tmp_path / "r.jsonl"
    argv = ["enrich-many", str(searches), "--out", str(out), "--allow-internal", "--render", "auto", "-q"]
    if workers:
        argv += ["--workers", str(workers)]
    assert main(argv) == 0
    lines = {r["id"]: r for r in map(json.loads, out.read_text().splitlines())}
    results = {sid: line["result"] for sid, line in lines.items()}
    assert results["s0"]["items"][0]["sku"] == "TS-42" and results["s3"]["items"][0]["sku"] == "TS-42"
    assert "sku" not in results["s1"]["items"][0]
    # The lines tell which pages were rendered, and why.
    assert lines["s0"]["pages"]["rendered"] == {"rendered": 1, "used": 1, "failed": 0}
    assert lines["s0"]["outcomes"][0]["rendered"]["used"] is True
    assert lines["s3"]["outcomes"][0]["rendered"]["reason"] == "blocked"
    assert "rendered" not in lines["s1"]["pages"] and "rendered" not in lines["s1"]["outcomes"][0]
    assert not _render.browser_pids("quillmere-browser-")  # every worker closed its browser


@needs_browser
def test_a_browser_over_cdp_is_held_to_the_proxy_and_left_running(loop, site, internal, tmp_path):
    import socket
    import subprocess

    hidden, _ = internal
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    browser = subprocess.Popen([BROWSER or "chromium", "--headless", "--no-sandbox", f"--remote-debugging-port={port}",
                                f"--user-data-dir={tmp_path / 'profile'}", "--disable-component-update",
                                "--force-webrtc-ip-handling-policy=disable_non_proxied_udp", "about:blank"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 20
        while True:  # until it answers on its CDP port
            try:
                _render.check_cdp(f"http://127.0.0.1:{port}", timeout=1)
                break
            except _render.RenderUnavailable:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
        client = PageClient(render="always", browser_cdp=f"http://127.0.0.1:{port}",
                            render_allow=[(site.host, site.port)], render_timeout=5)

        async def run():
            r = client.renderer
            return (await r.render(site.url("/built"), refuse=True, cap=None),
                    await r.render(hidden.url("/"), refuse=True, cap=None), r.proxy.connections)

        try:
            built, refused, connections = loop.run_until_complete(run())
        finally:
            loop.run_until_complete(client.aclose())
        assert built.outcome is FetchOutcome.READ and "TS-42" in built.html
        assert refused.outcome is FetchOutcome.REFUSED and hidden.total == 0
        assert connections >= 1  # the page itself came through the proxy, loopback included
        assert browser.poll() is None  # a browser reached over CDP is never closed by quillmere
    finally:
        browser.kill()
        browser.wait()


@needs_browser
def test_no_browser_outlives_a_killed_process(site, tmp_path):
    import subprocess
    import sys

    script = tmp_path / "run.py"
    script.write_text(
        "import asyncio, sys\n"
        "from quillmere.commerce import PageClient\n"
        "async def main():\n"
        f"    c = PageClient(render='always', render_allow=[('127.0.0.1', {site.port})])\n"
        f"    got = await c.renderer.render('{site.url('/static')}', refuse=True, cap=None)\n"
        "    print(c.renderer._profile, got.outcome.value, flush=True)\n"
        "    await asyncio.sleep(60)\n"
        "asyncio.run(main())\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE, env=env, text=True)
    try:
        profile, outcome = child.stdout.readline().split()
        assert outcome == "read" and _render.browser_pids(profile)
    finally:
        child.kill()
        child.wait()
    deadline = time.monotonic() + 15
    while [p for p in _render.browser_pids(profile) if running(p)] and time.monotonic() < deadline:
        time.sleep(0.2)
    assert not [p for p in _render.browser_pids(profile) if running(p)]
    shutil.rmtree(profile, ignore_errors=True)  # a killed process cannot remove its browser's profile


def test_the_command_stops_before_any_fetch_without_what_rendering_needs(tmp_path, site, capsys):
    import json

    from quillmere.cli import main

    matches = tmp_path / "m.json"
    matches.write_text(json.dumps([{"link": site.url("/preflight"), "title": "x"}]))
    for extra, says in ((["--render", "auto", "--browser", str(tmp_path / "none")], "no such file"),
                        (["--render", "always", "--browser-cdp", "http://127.0.0.1:9"], "no browser answers"),
                        (["--browser", "/usr/bin/chromium"], "need --render auto or --render always")):
        assert main(["enrich", str(matches), "--allow-internal", "-q", *extra]) == 1
        err = capsys.readouterr().err
        assert says in err and err.count("\n") == 1
    assert site.hits.get("/preflight", 0) == 0


@needs_browser
def test_the_blocking_entry_closes_its_browser_with_the_call(site, static_internal):
    client = client_for(site, render="auto")
    result = CommerceEnricher.process([VisualMatch(link=site.url("/built"), title="Trail Shoe")], client=client)
    assert result.items[0].sku == "TS-42"
    assert not client.rendering_started and not _render.browser_pids("quillmere-browser-")


def test_a_browser_that_keeps_failing_is_given_up_with_one_warning(loop, tmp_path, caplog):
    import logging

    pytest.importorskip("msgspec")
    fake = tmp_path / "chromium"
    fake.write_text("#!/bin/sh\n[ \"$1\" = --version ] && echo 'Chromium 1.0' && exit 0\nexit 3\n")
    fake.chmod(0o755)
    client = PageClient(render="always", browser=str(fake), render_allow=[("127.0.0.1", 1)], render_timeout=3)

    async def run():
        return [await client.renderer.render("http://127.0.0.1:1/", refuse=True, cap=None) for _ in range(5)]

    with caplog.at_level(logging.WARNING, logger="quillmere.fetch"):
        try:
            got = loop.run_until_complete(run())
        finally:
            loop.run_until_complete(client.aclose())
    assert all(g.outcome is FetchOutcome.FAILED for g in got)
    assert "did not start" in got[0].detail and "given up" in got[-1].detail
    assert [r.message for r in caplog.records].count(got[-1].detail + "; the remaining pages are not rendered") == 1
