"""The page cache: pages already fetched, kept in an SQLite file between runs.

One row per checked direct link: the outcome, status, final link, size and
reason, the body (zlib) and when it was fetched. A page served from the cache
gives the engine the very text its fetch gave, so every answer built from it
is the same; its outcome says "cached" and counts no request.

* What is kept: pages that were read, for the TTL (a day by default); pages
  that answered a lasting client error (4xx other than 408 and 429) or an
  empty body, for ten minutes at most. Timeouts, unreachable or refused
  destinations, walls and throttling (401, 403, 429, 503), 5xx answers and
  other failures are never kept: they say more about the moment than the page.
* Internal destinations: a page fetched while they were allowed is stored
  as such and served only to runs that allow them too; a page fetched under
  the check serves both.
* The size cap counts the compressed bodies; past it the oldest pages are
  removed (down to nine tenths of the cap) and their room is given back.
* Several processes of one machine may share one file (WAL journal, waits of
  up to 10 s for a writer). The file must be on a local disk: SQLite's
  locking does not hold on network file systems.
* A file that cannot be used (a folder, not writable, not SQLite, another
  program's database, damaged) is refused when opened, with `CacheError`.
  (The whole file is read then, to check it, unless the opener says it was
  just checked, as the batch runner's worker processes do.)
  A failure later (a full disk, a file that became unwritable or damaged)
  costs only the caching: one warning, and the client goes on without it.
  Every row carries a checksum, so a row damaged on disk is a miss, never a
  wrong page.

All database work runs on one thread of the cache's own, off the event loop.
"""

from __future__ import annotations

import asyncio
import logging
import os
import sqlite3
import threading
import time
import zlib
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, NamedTuple

from ..models import FetchOutcome, PageOutcome
from ._outcomes import outcome

log = logging.getLogger("quillmere.fetch")

DEFAULT_TTL = 24 * 3600.0
FAILURE_TTL = 600.0
DEFAULT_MAX_BYTES = 1 << 30
_FORMAT = "quillmere page cache 1"
# Writes between two looks at the size of what is stored.
_SIZE_CHECK_EVERY = 32

# The body comes last and the index by age also holds the stored size, so
# sizing and evicting never read the bodies.
_SCHEMA = """
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS pages(
    link TEXT NOT NULL,
    checked INTEGER NOT NULL,
    outcome TEXT NOT NULL,
    status INTEGER,
    final_url TEXT,
    size INTEGER NOT NULL,
    detail TEXT,
    stored INTEGER NOT NULL,
    fetched_at REAL NOT NULL,
    checksum INTEGER NOT NULL,
    body BLOB NOT NULL,
    UNIQUE(link, checked));
CREATE INDEX IF NOT EXISTS pages_by_age ON pages(fetched_at, stored);
"""


class CacheError(Exception):
    """The cache file cannot be used; the message names it."""


class Entry(NamedTuple):
    outcome: FetchOutcome
    status: int | None
    final_url: str | None
    detail: str | None
    body: bytes


def keeps(out: PageOutcome) -> bool:
    """Whether a page with this outcome is stored."""
    if out.outcome is FetchOutcome.READ or out.outcome is FetchOutcome.EMPTY:
        return True
    return (out.outcome is FetchOutcome.HTTP_ERROR and out.status is not None
            and 400 <= out.status < 500 and out.status not in (408, 429))


def _checksum(link: str, checked: int, kind: str, status: int | None, final_url: str | None, size: int,
              detail: str | None, packed: bytes) -> int:
    head = "\x00".join((link, str(checked), kind, str(status), str(final_url), str(size), str(detail)))
    return zlib.crc32(packed, zlib.crc32(head.encode("utf-8", "surrogatepass")))


def _reason(err: BaseException) -> str:
    text = " ".join(str(err).split())[:200] or type(err).__name__
    if isinstance(err, sqlite3.DatabaseError):
        lowered = text.lower()
        if "not a database" in lowered:
            return "is not an SQLite file"
        if "malformed" in lowered or "corrupt" in lowered:
            return "is damaged (delete it to start afresh)"
        if "readonly" in lowered or "read-only" in lowered:
            return "is not writable"
        if "unable to open" in lowered:
            return "cannot be opened"
        if "locked" in lowered or "busy" in lowered:
            return "is locked by another process"
    return text


class PageCache:
    """An open cache file; see the module's description. `ttl` is the age in
    seconds past which a stored page is fetched again, `max_bytes` the cap
    on the stored bodies."""

    def __init__(self, path: str | os.PathLike[str], *, ttl: float = DEFAULT_TTL,
                 max_bytes: int = DEFAULT_MAX_BYTES, verify: bool = True) -> None:
        self.path = Path(os.fspath(path)).expanduser()
        self.ttl = float(ttl)
        self.max_bytes = max_bytes
        self.failure: str | None = None   # why the cache stopped, once it has
        self.hits = self.stored = self.dropped = 0
        self._writes = 0
        self._lock = threading.Lock()
        self._verify = verify
        self._db = self._open()   # the writer's connection
        try:
            self._reader = sqlite3.connect(self.path, timeout=10.0, isolation_level=None, check_same_thread=False)
        except sqlite3.Error as err:
            self._db.close()
            raise self._refuse(_reason(err)) from None
        # Pages handed over and not yet written, served meanwhile: a caller
        # that asks right after a fetch never misses because of the queue.
        self._pending: dict[tuple[str, int], Entry] = {}
        # Lookups and writes (with their compression) each have a thread and
        # a connection: a lookup never waits behind a large page being packed.
        self._pool: ThreadPoolExecutor | None = ThreadPoolExecutor(1, thread_name_prefix="quillmere-cache-write")
        self._reads = ThreadPoolExecutor(1, thread_name_prefix="quillmere-cache-read")

    # ------------------------------------------------------------ opening
    def _refuse(self, reason: str) -> CacheError:
        return CacheError(f"{self.path}: {reason}")

    def _open(self) -> sqlite3.Connection:
        path = self.path
        if path.is_dir():
            raise self._refuse("is a folder, not a cache file")
        if not path.parent.is_dir():
            raise self._refuse("its folder does not exist")
        if path.exists() and not path.is_file():
            raise self._refuse("is not a regular file")
        if path.exists() and not os.access(path, os.R_OK | os.W_OK):
            raise self._refuse("is not writable")
        if not os.access(path.parent, os.W_OK):  # the journal files are made beside it
            raise self._refuse("its folder is not writable")
        try:
            db = sqlite3.connect(path, timeout=10.0, isolation_level=None, check_same_thread=False)
        except sqlite3.Error as err:
            raise self._refuse(_reason(err)) from None
        try:
            self._prepare(db)
        except sqlite3.Error as err:
            db.close()
            raise self._refuse(_reason(err)) from None
        except CacheError:
            db.close()
            raise
        return db

    def _prepare(self, db: sqlite3.Connection) -> None:
        tables = {row[0] for row in db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        if tables and "pages" not in tables:
            raise self._refuse("is an SQLite database of something else, not a page cache")
        check = db.execute("PRAGMA quick_check(1)").fetchone() if self._verify else ("ok",)
        if check is None or check[0] != "ok":
            said = " ".join(str(check[0]).split()) if check else "no answer"
            raise self._refuse(f"is damaged ({said[:160]}); delete it to start afresh")
        if not tables:
            db.execute("PRAGMA auto_vacuum = INCREMENTAL")  # only takes on a database without tables
        mode = db.execute("PRAGMA journal_mode = WAL").fetchone()
        if mode is None or str(mode[0]).lower() != "wal":
            raise self._refuse("cannot keep a write-ahead journal here")
        db.execute("PRAGMA synchronous = NORMAL")
        db.execute("BEGIN IMMEDIATE")  # also proves the file writable
        try:
            for statement in _SCHEMA.split(";"):
                if statement.strip():
                    db.execute(statement)
            row = db.execute("SELECT value FROM meta WHERE key = 'format'").fetchone()
            if row is None:
                db.execute("INSERT INTO meta(key, value) VALUES ('format', ?)", (_FORMAT,))
            elif row[0] != _FORMAT:
                raise self._refuse(f"is a page cache of another format ({row[0]!r})")
            db.execute("COMMIT")
        except BaseException:
            if db.in_transaction:
                db.execute("ROLLBACK")
            raise

    # ------------------------------------------------------------ failing
    def _fail(self, err: BaseException) -> None:
        """Stops the caching after an error, with one warning."""
        with self._lock:
            if self.failure is not None:
                return
            self.failure = _reason(err)
        log.warning("page cache %s: %s; the run goes on without the cache", self.path, self.failure)

    @property
    def working(self) -> bool:
        return self.failure is None and self._pool is not None

    # ------------------------------------------------------------ on the cache's thread
    def _lookup(self, link: str, refuse: bool, cap: int | None) -> tuple[Entry, float] | None:
        if self.failure is not None:
            return None
        now = time.time()
        try:
            rows = self._reader.execute(
                "SELECT checked, outcome, status, final_url, size, detail, body, fetched_at, checksum FROM pages"
                " WHERE link = ? AND (checked = 1 OR ? = 0) AND fetched_at >= ?"
                " ORDER BY fetched_at DESC", (link, int(refuse), now - self.ttl)).fetchall()
        except sqlite3.Error as err:
            self._fail(err)
            return None
        for checked, kind, status, final_url, size, detail, packed, fetched_at, checksum in rows:
            try:
                if _checksum(link, checked, kind, status, final_url, size, detail, packed) != checksum:
                    raise ValueError("checksum")
                got = FetchOutcome(kind)
                body = zlib.decompress(packed) if packed else b""
                if len(body) != size:
                    raise ValueError("size")
            except (ValueError, TypeError, zlib.error):
                self._drop(link, checked)
                continue
            if got is not FetchOutcome.READ and fetched_at < now - min(self.ttl, FAILURE_TTL):
                continue
            if got is FetchOutcome.READ and cap is not None and size > cap:
                continue  # read under a larger cap: fetched again, to be judged under this one
            return Entry(got, status, final_url, detail, body), fetched_at
        return None

    def _drop(self, link: str, checked: int) -> None:
        self.dropped += 1
        log.warning("page cache %s: the damaged entry of %s was dropped", self.path, link)
        try:
            self._reader.execute("DELETE FROM pages WHERE link = ? AND checked = ?", (link, checked))
        except sqlite3.Error as err:
            self._fail(err)

    def _store(self, link: str, refuse: bool, out: PageOutcome, body: bytes, entry: Entry | None = None) -> None:
        try:
            self._write(link, refuse, out, body)
        finally:
            if entry is not None:
                with self._lock:
                    if self._pending.get((link, int(refuse))) is entry:
                        del self._pending[link, int(refuse)]

    def _write(self, link: str, refuse: bool, out: PageOutcome, body: bytes) -> None:
        if self.failure is not None:
            return
        packed = zlib.compress(body, 1) if body else b""
        if len(packed) > self.max_bytes:
            return
        checked = int(refuse)
        kind = out.outcome.value
        size = len(body)
        checksum = _checksum(link, checked, kind, out.status, out.final_url, size, out.detail, packed)
        try:
            self._db.execute(
                "INSERT OR REPLACE INTO pages(link, checked, outcome, status, final_url, size, detail, body, stored,"
                " fetched_at, checksum) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (link, checked, kind, out.status, out.final_url, size, out.detail, packed, len(packed),
                 time.time(), checksum))
            self.stored += 1
            self._writes += 1
            if self._writes % _SIZE_CHECK_EVERY == 1:
                self._evict()
        except sqlite3.Error as err:
            self._fail(err)

    def _evict(self) -> None:
        total = self._db.execute("SELECT COALESCE(SUM(stored), 0) FROM pages").fetchone()[0]
        if total <= self.max_bytes:
            return
        excess = total - self.max_bytes * 9 // 10
        self._db.execute(
            "DELETE FROM pages WHERE fetched_at <= (SELECT fetched_at FROM (SELECT fetched_at, SUM(stored) OVER"
            " (ORDER BY fetched_at ROWS UNBOUNDED PRECEDING) AS upto FROM pages) WHERE upto >= ?"
            " ORDER BY fetched_at LIMIT 1)", (excess,))
        # One page a step: executescript steps it to the end, where execute stops after one.
        self._db.executescript("PRAGMA incremental_vacuum;")

    # ------------------------------------------------------------ from the loop
    def _waiting(self, link: str, refuse: bool, cap: int | None) -> Entry | None:
        with self._lock:
            entry = self._pending.get((link, 1))
            if entry is None and not refuse:
                entry = self._pending.get((link, 0))
        if entry is not None and entry.outcome is FetchOutcome.READ and cap is not None and len(entry.body) > cap:
            return None
        return entry

    async def get(self, link: str, refuse: bool, cap: int | None) -> tuple[str | None, PageOutcome] | None:
        """The text and outcome stored for `link`, or None."""
        if not self.working:
            return None
        start = time.perf_counter()
        entry = self._waiting(link, refuse, cap)
        if entry is None:
            try:
                found = await asyncio.get_running_loop().run_in_executor(self._reads, self._lookup, link, refuse, cap)
            except RuntimeError:  # the pool was shut meanwhile
                return None
            if found is None:
                return None
            entry = found[0]
        self.hits += 1
        seconds = time.perf_counter() - start
        if entry.outcome is FetchOutcome.READ:
            return entry.body.decode("utf-8", "replace"), outcome(
                FetchOutcome.READ, link, status=entry.status, final_url=entry.final_url, size=len(entry.body),
                seconds=seconds, detail="cached", attempts=0)
        detail = f"{entry.detail} (cached)" if entry.detail else "cached"
        return None, outcome(entry.outcome, link, status=entry.status, final_url=entry.final_url, seconds=seconds,
                             detail=detail, attempts=0)

    def put(self, link: str, refuse: bool, out: PageOutcome, body: bytes | bytearray | None) -> None:
        """Stores the page in the background, when its outcome is one kept."""
        if not self.working or not keeps(out):
            return
        data = bytes(body or b"")
        entry = Entry(out.outcome, out.status, out.final_url, out.detail, data)
        with self._lock:
            self._pending[link, int(refuse)] = entry
        try:
            self._pool.submit(self._store, link, refuse, out, data, entry)  # type: ignore[union-attr]
        except RuntimeError:  # shut meanwhile
            with self._lock:
                self._pending.pop((link, int(refuse)), None)

    def flush(self) -> None:
        """Returns once the writes submitted so far are made."""
        pool = self._pool
        if pool is not None:
            try:
                pool.submit(lambda: None).result()
            except RuntimeError:  # shut meanwhile
                pass

    def close(self) -> None:
        """Writes what is still waiting, then closes the file."""
        pool, self._pool = self._pool, None
        if pool is None:
            return
        pool.shutdown(wait=True)
        self._reads.shutdown(wait=True)
        for db in (self._reader, self._db):
            try:
                db.close()
            except sqlite3.Error:
                pass


def open_cache(path: Any, *, ttl: float = DEFAULT_TTL, max_bytes: int = DEFAULT_MAX_BYTES) -> PageCache:
    """Opens (or makes) the cache file at `path`; CacheError when it cannot be used."""
    return PageCache(path, ttl=ttl, max_bytes=max_bytes)


def check_cache(path: Any) -> None:
    """Raises CacheError unless the file at `path` can serve as a cache (made if missing)."""
    open_cache(path).close()


__all__ = ["CacheError", "DEFAULT_MAX_BYTES", "DEFAULT_TTL", "FAILURE_TTL", "PageCache", "check_cache", "keeps",
           "open_cache"]
