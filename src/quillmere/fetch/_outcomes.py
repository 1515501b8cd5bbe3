"""Deciding a page's outcome where the fetch happens.

A response is read as the destination page only when it is one: an error
status (400 or above) or a bot or challenge wall is not analysed, and the
match is built from its search data, as for a page that could not be fetched.
A response that carries no status (a fetcher a host binds, a test double)
counts as read.
"""

from __future__ import annotations

import asyncio
import re
import socket
import ssl
from typing import Any

from ..models import FetchOutcome, PageOutcome

#: Statuses with which sites turn automated clients away.
BLOCK_STATUSES = frozenset({401, 403, 429, 503})

# Walls are small pages; a product page is not searched for their marks.
_WALL_SCAN_BYTES = 256 * 1024
# Titles that challenge, bot-check and access-denied walls show (lower case).
_WALL_TITLE = re.compile(
    rb"<title[^>]{0,200}>\s{0,50}(?:just a moment\.\.\.|attention required!|access denied|robot check"
    rb"|are you a robot|pardon our interruption|security check|verify you are (?:a )?human|captcha"
    rb"|checking your browser|ddos-guard|one more step|please verify you are a human|human verification"
    rb"|you have been blocked|request unsuccessful\. incapsula)", re.IGNORECASE)
# Marks that only the challenge pages of the common bot-protection services carry.
_WALL_MARKS = (b"cf_chl_opt", b"_incapsula_resource", b"captcha-delivery.com", b"px-captcha",
               b"challenges.cloudflare.com/turnstile", b"/_sec/cp_challenge/")


class PageFailure(Exception):
    """A page that was not read, with its outcome."""

    def __init__(self, outcome: FetchOutcome, detail: str | None = None, status: int | None = None,
                 final_url: str | None = None) -> None:
        super().__init__(detail or outcome.value)
        self.outcome = outcome
        self.detail = detail
        self.status = status
        self.final_url = final_url


def wall_page(body: bytes | bytearray) -> bool:
    """True for a small page that is plainly a bot or challenge wall."""
    if len(body) > _WALL_SCAN_BYTES:
        return False
    head = body.lower()  # one copy, lowered (a bytearray stays one)
    return _WALL_TITLE.search(head) is not None or any(mark in head for mark in _WALL_MARKS)


def judge_response(status: Any, body: bytes | bytearray) -> None:
    """Raises PageFailure unless a response with `status` and `body` is the
    destination page. An empty body is never read; otherwise a response
    without a status (None) always is."""
    if status is None:
        if not body:
            raise PageFailure(FetchOutcome.EMPTY, "empty body")
        return
    if isinstance(status, bool) or not isinstance(status, int):
        raise PageFailure(FetchOutcome.FAILED, f"status is {type(status).__name__}, not int")
    if status in BLOCK_STATUSES:
        raise PageFailure(FetchOutcome.BLOCKED, f"HTTP {status}", status)
    if status >= 400:
        raise PageFailure(FetchOutcome.HTTP_ERROR, f"HTTP {status}", status)
    if not body:
        raise PageFailure(FetchOutcome.EMPTY, "empty body", status)
    if wall_page(body):
        raise PageFailure(FetchOutcome.BLOCKED, "challenge page", status)


def _curl_outcome(err: Exception) -> tuple[FetchOutcome, str] | None:
    try:
        from curl_cffi.requests import exceptions as curl
    except ImportError:
        return None
    if isinstance(err, curl.Timeout):
        return FetchOutcome.TIMEOUT, "transfer timed out"
    if isinstance(err, curl.DNSError):
        return FetchOutcome.UNREACHABLE, "name not found"
    if isinstance(err, (curl.SSLError, curl.CertificateVerifyError)):
        return FetchOutcome.UNREACHABLE, "TLS failure"
    if isinstance(err, curl.ConnectionError):
        return FetchOutcome.UNREACHABLE, "connection failed"
    if isinstance(err, curl.RequestException):
        return FetchOutcome.FAILED, f"transfer error: {type(err).__name__}"
    return None


def failure_of(err: BaseException) -> tuple[FetchOutcome, str]:
    """The outcome and a short reason for an error a fetch raised."""
    if isinstance(err, PageFailure):
        return err.outcome, err.detail or err.outcome.value
    if isinstance(err, (asyncio.TimeoutError, TimeoutError)):
        return FetchOutcome.TIMEOUT, "time limit passed"
    if isinstance(err, Exception):
        known = _curl_outcome(err)
        if known is not None:
            return known
    if isinstance(err, socket.gaierror):
        return FetchOutcome.UNREACHABLE, "name not found"
    if isinstance(err, ConnectionRefusedError):
        return FetchOutcome.UNREACHABLE, "connection refused"
    if isinstance(err, ConnectionResetError):
        return FetchOutcome.UNREACHABLE, "connection reset"
    if isinstance(err, ssl.SSLError):
        return FetchOutcome.UNREACHABLE, "TLS failure"
    if isinstance(err, OSError):
        return FetchOutcome.UNREACHABLE, type(err).__name__
    return FetchOutcome.FAILED, f"the fetcher raised {type(err).__name__}"


def outcome(kind: FetchOutcome, link: str | None, *, detail: str | None = None, status: int | None = None,
            final_url: str | None = None, size: int | None = None, seconds: float | None = None,
            attempts: int = 1) -> PageOutcome:
    # Built without validation: every field is already of its type.
    return PageOutcome.model_construct(outcome=kind, link=link, status=status, final_url=final_url, bytes=size,
                                       seconds=seconds, detail=detail, attempts=attempts)


__all__ = ["BLOCK_STATUSES", "PageFailure", "failure_of", "judge_response", "outcome", "wall_page"]
