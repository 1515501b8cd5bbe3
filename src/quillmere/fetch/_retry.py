"""Which failed requests are sent again, and after how long.

* 429 and 503: after the answer's Retry-After (seconds or an HTTP date),
  at most `MAX_RETRY_AFTER` seconds; without one, as below.
* A connection reset (also an empty reply or a send or receive error of
  curl's), 502 and 504: after a jittered exponential backoff, about 0.5 s,
  1 s, 2 s, ... (each between half and all of that), at most 8 s.
* Anything else is final: other 4xx and 5xx statuses, walls, refused or
  unreachable destinations, timeouts (the page already had its time), pages
  over the cap.

A page that may be retried has an overall deadline, counted from its first
request: ``(timeout + 1) * (retries + 1)`` seconds, room for every attempt at
its full time limit. A retry is sent only when its wait and a whole attempt
still fit before the deadline; otherwise the page ends with the failure it has.
"""

from __future__ import annotations

import random
import time
from email.utils import parsedate_to_datetime

from ._outcomes import PageFailure

#: The longest Retry-After honoured, in seconds.
MAX_RETRY_AFTER = 30.0
BACKOFF_BASE = 0.5
BACKOFF_MAX = 8.0
#: Statuses retried with the answer's Retry-After, when it names one.
THROTTLE_STATUSES = frozenset({429, 503})
#: Statuses retried with a backoff.
GATEWAY_STATUSES = frozenset({502, 504})
# libcurl: empty reply from the server, failure sending, failure receiving.
_CURL_RESETS = frozenset({52, 55, 56})


def retry_after_seconds(value: str | None, now: float | None = None) -> float | None:
    """Seconds a Retry-After header asks to wait (0 for a date past), at
    most MAX_RETRY_AFTER; None when there is none or it cannot be read."""
    if value is None:
        return None
    text = value.strip()
    if text.isascii() and text.isdigit():
        return min(float(text[:6]), MAX_RETRY_AFTER)
    try:
        when = parsedate_to_datetime(text)
    except (TypeError, ValueError, IndexError, OverflowError):
        return None
    if when is None or when.tzinfo is None:
        return None
    wait = when.timestamp() - (time.time() if now is None else now)
    return min(max(wait, 0.0), MAX_RETRY_AFTER)


def backoff(retry: int, rng: random.Random | None = None) -> float:
    """The wait before retry number `retry` (1 for the first)."""
    full = min(BACKOFF_BASE * 2 ** (retry - 1), BACKOFF_MAX)
    return full * (rng or random).uniform(0.5, 1.0)


def _reset(err: BaseException) -> bool:
    if isinstance(err, ConnectionResetError):
        return True
    code = getattr(err, "code", None)
    if isinstance(code, int) and code in _CURL_RESETS:
        try:
            from curl_cffi.curl import CurlError
        except ImportError:
            return False
        return isinstance(err, CurlError)
    return False


def retry_wait(err: BaseException, retry: int) -> float | None:
    """How long to wait before retry number `retry` of a request that
    failed with `err`; None when it is not retried."""
    if isinstance(err, PageFailure):
        if err.status in THROTTLE_STATUSES:
            asked = retry_after_seconds(err.retry_after)
            return asked if asked is not None else backoff(retry)
        if err.status in GATEWAY_STATUSES:
            return backoff(retry)
        return None
    if _reset(err):
        return backoff(retry)
    return None


def page_deadline(timeout: int, retries: int) -> float:
    """Seconds a page that may be retried is given in all."""
    return float((timeout + 1) * (retries + 1))


__all__ = ["MAX_RETRY_AFTER", "backoff", "page_deadline", "retry_after_seconds", "retry_wait"]
