"""What every part of the command line shares: exit statuses, the program
name and the one-line error."""

from __future__ import annotations

import json

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE, as for a process the signal ended

PROG = "quillmere"


class CliError(Exception):
    """A problem reported to the user as one line, without a traceback."""


def json_excerpt(value: object, limit: int = 40) -> str:
    """`value` as JSON, cut to `limit` characters with an ellipsis."""
    text = json.dumps(value, ensure_ascii=False)
    return text if len(text) <= limit else text[: limit - 1] + "…"


__all__ = ["EXIT_BROKEN_PIPE", "EXIT_FAILURE", "EXIT_INTERRUPTED", "EXIT_OK", "EXIT_USAGE", "PROG", "CliError", "json_excerpt"]
