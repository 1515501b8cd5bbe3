import contextlib
import csv
import errno
import fcntl
import io
import json
import os
import resource
import signal
import stat
import subprocess
import sys
import threading
import time

import pytest

from quillmere import _commerce
from quillmere.commerce import export_commerce_to_csv, export_commerce_to_json
from quillmere.models import (
    CommerceIntelligence,
    CommerceSummary,
    EnrichedCommerceMatch,
    ItemCondition,
    MatchRelevance,
    MerchantCategory,
    NormalizedPrice,
    PageType,
    StockStatus,
)

HEADER = [
    "Match Score", "Relevance", "Page Type", "Brand", "SKU", "Condition", "Title", "Price Amount", "Currency",
    "Stock Status", "Merchant Name", "Merchant Category", "Direct URL", "Original URL", "Primary Image URL",
]


def item(title="Air Max 90", amount=19.99, **kw):
    fields = dict(
        title=title,
        direct_url="https://shop.example/p/1",
        original_url="https://www.google.com/url?q=https://shop.example/p/1",
        price=None if amount is None else NormalizedPrice(raw=f"{amount:.2f} EUR", amount=amount, currency="EUR"),
        merchant_name="Shop Example",
        merchant_category=MerchantCategory.OFFICIAL_BRAND,
        thumbnail="https://img.example/t.jpg",
        match_score=98,
        page_type=PageType.PRODUCT,
        brand="Nike",
        sku="DM0029",
        condition=ItemCondition.NEW,
        stock_status=StockStatus.IN_STOCK,
        primary_image_url="https://img.example/p.jpg",
        shipping_info=None,
    )
    fields.update(kw)
    return EnrichedCommerceMatch(**fields)


def enum_text(v):
    return "" if v is None else v.value


def reference_csv(items):
    """What Python's csv module writes for the same rows."""
    buf = io.StringIO(newline="")
    w = csv.writer(buf)
    w.writerow(HEADER)
    for it in items:
        w.writerow([
            f"{it.match_score}%", enum_text(it.relevance), it.page_type.value, it.brand or "", it.sku or "",
            enum_text(it.condition), it.title, "" if it.price is None else it.price.amount,
            "" if it.price is None else it.price.currency, enum_text(it.stock_status), it.merchant_name or "",
            enum_text(it.merchant_category), it.direct_url, it.original_url, it.primary_image_url or "",
        ])
    return buf.getvalue().encode("utf-8")


@pytest.mark.parametrize(
    "items",
    [
        [],
        [item()],
        [item(title=t) for t in ('Say "hi", friend', "two\nlines", "cr\rlf\r\n", "only\rcr", " lead, ")],
        [item(title="Café Crème — ünïcødé 靴", brand="Ærø", merchant_name="Łódź, PL")],
        [item(amount=20.0), item(amount=19.99), item(amount=1e16), item(amount=1.5e-05), item(amount=0.1 + 0.2)],
        [item(amount=None, brand="", sku=None, condition=None, stock_status=None, merchant_category=None,
              merchant_name=None, primary_image_url=None, relevance=MatchRelevance.LOW)],
        [item(page_type=PageType.SOCIAL, relevance=MatchRelevance.HIGH, direct_url="https://x.example/a,b\"c")],
    ],
    ids=["empty", "plain", "quoting", "non-ascii", "amounts", "absent-fields", "quoted-url"],
)
def test_csv_bytes_match_the_csv_module(tmp_path, items):
    out = export_commerce_to_csv(CommerceIntelligence(items=items), tmp_path / "out.csv")
    assert out.read_bytes() == reference_csv(items)


def test_csv_amount_texts_and_quoting_literally(tmp_path):
    items = [item(amount=a) for a in (20.0, 19.99, 1e16, 1.5e-05)] + [item(title='a "b"\r\nc')]
    rows = export_commerce_to_csv(CommerceIntelligence(items=items), tmp_path / "o.csv").read_bytes().split(b"\r\n")
    assert rows[0] == ",".join(HEADER).encode()
    assert [r.split(b",")[7] for r in rows[1:5]] == [b"20.0", b"19.99", b"1e+16", b"1.5e-05"]
    assert b',"a ""b""\r\nc",' in b"\r\n".join(rows[5:])


@pytest.mark.parametrize("export", [export_commerce_to_csv, export_commerce_to_json])
def test_path_handling(tmp_path, monkeypatch, export):
    monkeypatch.chdir(tmp_path)
    os.symlink(tmp_path / "real", tmp_path / "link", target_is_directory=True)
    (tmp_path / "real").mkdir()
    result = export(CommerceIntelligence(items=[item()]), os.path.join("link", "deep", "er", "out"))
    assert result.is_absolute() and result == tmp_path / "real" / "deep" / "er" / "out"
    first = result.read_bytes()
    again = export(CommerceIntelligence(), str(result))
    assert again == result and result.read_bytes() != first
    assert sorted(os.listdir(result.parent)) == ["out"]  # no temporary file left behind


@contextlib.contextmanager
def file_size_limit(limit):
    """Writes past `limit` bytes fail with EFBIG (instead of the signal)."""
    old_limit = resource.getrlimit(resource.RLIMIT_FSIZE)
    old_handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, old_limit[1]))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, old_limit)
        signal.signal(signal.SIGXFSZ, old_handler)


@pytest.mark.parametrize("export", [export_commerce_to_csv, export_commerce_to_json])
@pytest.mark.parametrize("failure", ["bad field", "write fails"])
def test_failed_export_leaves_the_earlier_file(tmp_path, export, failure):
    target = tmp_path / "out"
    target.write_bytes(b"earlier export")
    os.chmod(target, 0o640)
    record = CommerceIntelligence(items=[item(title=f"Item {i}") for i in range(50)])
    if failure == "write fails":
        with file_size_limit(4096), pytest.raises(OSError) as err:
            export(record, target)
        assert err.value.errno == errno.EFBIG
    else:
        # model_construct skips validation, so a bad value reaches the export
        bad = item(match_score=1).model_copy(update={"match_score": "98", "brand": object()})
        with pytest.raises(TypeError if export is export_commerce_to_csv else ValueError):
            export(CommerceIntelligence.model_construct(summary=CommerceSummary(), items=[item(), bad]), target)
    assert target.read_bytes() == b"earlier export"
    assert os.listdir(tmp_path) == ["out"]  # no temporary file left behind
    export(record, target)
    assert stat.S_IMODE(os.stat(target).st_mode) == 0o640  # a replaced file keeps its permissions


def test_new_file_gets_umask_permissions(tmp_path):
    old = os.umask(0o027)
    try:
        assert stat.S_IMODE(os.stat(export_commerce_to_csv(CommerceIntelligence(), tmp_path / "n")).st_mode) == 0o640
    finally:
        os.umask(old)


class NumberValued:
    value = 3


@pytest.mark.parametrize(
    "field, value, message",
    [
        ("match_score", 9.5, "match_score must be int"),
        ("brand", 5, "brand must be str or None"),
        ("direct_url", b"x", "direct_url must be str"),
        ("price", NormalizedPrice.model_construct(raw="1", amount="1", currency="USD"), "price.amount must be float"),
        ("price", NormalizedPrice.model_construct(raw="1", amount=1.0, currency=None), "price.currency must be str"),
        ("page_type", NumberValued(), "page_type.value must be str"),
    ],
)
def test_csv_type_errors(tmp_path, field, value, message):
    bad = item().model_copy(update={field: value})
    with pytest.raises(TypeError, match=message):
        export_commerce_to_csv(CommerceIntelligence.model_construct(items=[bad]), tmp_path / "o.csv")
    with pytest.raises(TypeError, match="items must be list"):
        export_commerce_to_csv(CommerceIntelligence.model_construct(items=(item(),)), tmp_path / "o.csv")
    assert not (tmp_path / "o.csv").exists()


def _without_lone_surrogates(value):
    return "".join("\ufffd" if 0xD800 <= ord(c) <= 0xDFFF else c for c in value)


def test_csv_writes_lone_surrogates_as_replacement_characters(tmp_path):
    target = tmp_path / "o.csv"
    target.write_text("earlier")
    texts = dict(title='bad \udc80, "quoted"\ud800', brand="\ud83d\ude00", sku="\udfff\ud7ff\ue000",
                 merchant_name="M\udbff", direct_url="https://x.example/\udc80?a=1", primary_image_url="\udc80")
    items = [item(**texts), item(title="\ud800", amount=None), item()]
    data = export_commerce_to_csv(CommerceIntelligence(items=items), target).read_bytes()
    clean = [it.model_copy(update={k: _without_lone_surrogates(v) for k, v in texts.items()}) for it in items[:1]]
    clean += [items[1].model_copy(update={"title": "\ufffd"}), items[2]]
    assert data == reference_csv(clean)
    # a pair of surrogates held as two code points is two lone surrogates; U+D7FF and U+E000 are kept
    assert "\ufffd\ufffd,\ufffd\ud7ff\ue000".encode() in data and data.decode("utf-8")


def test_both_exports_write_the_same_text_for_lone_surrogates(tmp_path):
    record = CommerceIntelligence(items=[item(title="a\udc80b \ud83d\ude00", brand="\udbff", sku=None)])
    rows = list(csv.reader(io.StringIO(export_commerce_to_csv(record, tmp_path / "o.csv").read_text("utf-8"))))
    data = json.loads(export_commerce_to_json(record, tmp_path / "o.json").read_text("utf-8"))
    assert rows[1][HEADER.index("Title")] == data["items"][0]["title"] == "a\ufffdb \ufffd\ufffd"
    assert rows[1][HEADER.index("Brand")] == data["items"][0]["brand"] == "\ufffd"


@pytest.mark.parametrize(
    "record",
    [
        CommerceIntelligence(),
        CommerceIntelligence(
            summary=CommerceSummary(total_matches=2, total_priced_matches=1, by_page_type={"product": 1}),
            items=[item(title="Crème brûlée\nset", relevance=MatchRelevance.HIGH), item(amount=None, brand=None)],
        ),
    ],
    ids=["default", "items"],
)
def test_json_export(tmp_path, record):
    out = export_commerce_to_json(record, tmp_path / "o.json")
    data = out.read_bytes()
    assert data == record.model_dump_json(indent=2, exclude_none=True).encode("utf-8")
    parsed = json.loads(data)
    assert CommerceIntelligence.model_validate(parsed) == record
    if record.items:
        assert "Crème brûlée".encode() in data and "brand" not in parsed["items"][1]
    else:
        assert parsed["items"] == []


@pytest.mark.parametrize("export", [export_commerce_to_csv, export_commerce_to_json])
def test_a_pipe_is_written_to_not_replaced(tmp_path, export):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    record = CommerceIntelligence(items=[item()])
    got = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_bytes()), daemon=True)
    reader.start()
    try:
        assert export(record, fifo) == fifo
    finally:
        reader.join(10)
    assert stat.S_ISFIFO(os.stat(fifo).st_mode) and os.listdir(tmp_path) == ["pipe"]
    written = got[0] if got else b""
    assert written == (reference_csv(record.items) if export is export_commerce_to_csv
                       else record.model_dump_json(indent=2, exclude_none=True).encode())


# ---- a writer killed mid-export ---------------------------------------------------------------

# Exports a large result with a file-size limit far below its size. The write that crosses the
# limit raises SIGXFSZ, whose handler here (libc's pause) never returns: the writer stays frozen
# in the middle of the export, its temporary file open and partly written, until it is killed.
FROZEN_WRITER = r"""
import ctypes, resource, signal, sys
from quillmere import _commerce
from quillmere.commerce import export_commerce_to_csv
from quillmere.models import CommerceIntelligence, EnrichedCommerceMatch, PageType

target, how = sys.argv[1], sys.argv[2]
items = [EnrichedCommerceMatch(title=f"Item {i} " + "x" * 200, direct_url=f"https://shop.example/p/{i}",
                               original_url=f"https://shop.example/p/{i}", match_score=90,
                               page_type=PageType.PRODUCT) for i in range(4000)]
libc = ctypes.CDLL(None, use_errno=True)
libc.signal.restype = ctypes.c_void_p
libc.signal.argtypes = [ctypes.c_int, ctypes.c_void_p]
libc.signal(signal.SIGXFSZ, ctypes.cast(libc.pause, ctypes.c_void_p))
resource.setrlimit(resource.RLIMIT_FSIZE, (64 * 1024, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
if how == "export":
    export_commerce_to_csv(CommerceIntelligence(items=items), target)
else:
    _commerce._write_file_atomically(target, b"y" * (1 << 20), named_temporary=True)
print("the export finished", flush=True)
"""


def bytes_written_in(pid, directory):
    """Sizes of the files in `directory` (named or not) that process `pid` holds open."""
    sizes = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        with contextlib.suppress(OSError):
            if os.readlink(f"/proc/{pid}/fd/{fd}").startswith(str(directory) + "/"):
                sizes.append(os.stat(f"/proc/{pid}/fd/{fd}").st_size)
    return sizes


def kill_mid_export(target, how):
    """Runs FROZEN_WRITER on `target` and kills it with SIGKILL while it writes."""
    child = subprocess.Popen([sys.executable, "-c", FROZEN_WRITER, str(target), how],
                             env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"), stdout=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 60
        while not any(size >= 64 * 1024 for size in bytes_written_in(child.pid, target.parent)):
            assert child.poll() is None, "the writer ended before it was killed"
            assert time.monotonic() < deadline, "the writer never reached the size limit"
            time.sleep(0.01)
        os.kill(child.pid, signal.SIGKILL)  # frozen at the limit, its temporary file 64 KiB long
    finally:
        child.kill()
        out, _ = child.communicate(timeout=30)
    assert child.returncode == -signal.SIGKILL and b"finished" not in out


def stale_names(directory):
    return sorted(n for n in os.listdir(directory) if n.startswith("."))


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="unnamed temporary files are Linux's")
def test_a_killed_export_leaves_no_file_behind(tmp_path):
    target = tmp_path / "out.csv"
    target.write_bytes(b"earlier export")
    kill_mid_export(target, "export")
    assert os.listdir(tmp_path) == ["out.csv"] and target.read_bytes() == b"earlier export"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_the_next_export_removes_what_a_killed_named_writer_left(tmp_path):
    target = tmp_path / "out.csv"
    target.write_bytes(b"earlier export")
    kill_mid_export(target, "named")
    left = stale_names(tmp_path)
    assert len(left) == 1 and left[0].startswith(".out.csv.") and left[0].endswith(".tmp")
    assert target.read_bytes() == b"earlier export"
    _commerce._write_file_atomically(target, b"next export", named_temporary=True)
    assert os.listdir(tmp_path) == ["out.csv"] and target.read_bytes() == b"next export"


def test_only_temporaries_that_no_writer_holds_are_removed(tmp_path):
    target = tmp_path / "out.csv"
    ended = subprocess.Popen([sys.executable, "-c", "pass"])
    ended.wait()
    dead, me = ended.pid, os.getpid()
    removed = [f".out.csv.{dead}.0123456789ab.tmp",  # its writer is gone
               f".out.csv.{me}.00000000beef.tmp"]    # a writer of this pid, but minutes old
    kept = [f".out.csv.{me}.00000000cafe.tmp",       # new: its writer may not have locked it yet
            f".out.csv.{dead}.aaaaaaaaaaaa.tmp",     # locked below: a writer the pid test cannot see
            f".out.csv.{dead}.bbbbbbbbbbbb.tmp",     # a second link to a file that is kept
            f".other.csv.{dead}.0123456789ab.tmp",   # another target's
            ".out.csv.backup.tmp", f".out.csv.{dead}.0123456789AB.tmp", f".out.csv.{dead}.0123456789ab.tmp~",
            f".out.csv.x{dead}.0123456789ab.tmp", "out.csv.1.0123456789ab.tmp"]
    for name in removed + kept:
        (tmp_path / name).write_bytes(b"partial")
    minutes_ago = time.time() - 300
    os.utime(tmp_path / removed[1], (minutes_ago, minutes_ago))
    os.link(tmp_path / kept[2], tmp_path / "second-link")
    (tmp_path / "elsewhere").write_bytes(b"not a temporary")
    os.symlink(tmp_path / "elsewhere", tmp_path / f".out.csv.{dead}.cccccccccccc.tmp")
    kept += ["second-link", "elsewhere", f".out.csv.{dead}.cccccccccccc.tmp"]
    with open(tmp_path / kept[1], "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        _commerce._write_file_atomically(target, b"next export", named_temporary=True)
    assert sorted(os.listdir(tmp_path)) == sorted(kept + ["out.csv"])
    assert (tmp_path / "elsewhere").read_bytes() == b"not a temporary"
