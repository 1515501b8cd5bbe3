"""The argument parser and the entry point.

A new subcommand is a module with `register(commands)` (which adds its parser
and sets ``handler``) and one line in COMMANDS.
"""

from __future__ import annotations

import argparse
import errno
import os
import sys
from collections.abc import Callable, Sequence
from typing import Any, TextIO

from .. import __version__
from .._memory import return_large_buffers
from . import cmd_demo, cmd_enrich, cmd_enrich_many, cmd_html
from ._engine import show_warnings
from ._common import EXIT_BROKEN_PIPE, EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_USAGE, PROG, CliError

#: The subcommands, in the order --help lists them.
COMMANDS: list[Callable[[Any], None]] = [
    cmd_enrich.register,
    cmd_enrich_many.register,
    cmd_demo.register,
    cmd_html.register,
]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Commerce intelligence for visual-search matches: direct links, merchants, "
                    "prices, page types and a market summary.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    for register in COMMANDS:
        register(commands)
    return parser


class GuardedStdout:
    """Standard output that stops at its first failure instead of raising, so
    that a closed pipe (``quillmere ... | head``) or a full device costs the
    printed report, never the output files."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.error: OSError | None = None

    def write(self, text: str) -> int:
        if self.error is None:
            try:
                return self.stream.write(text)
            except OSError as err:
                self.error = err
        return len(text)

    def flush(self) -> None:
        if self.error is None:
            try:
                self.stream.flush()
            except OSError as err:
                self.error = err

    def __getattr__(self, name: str) -> Any:
        return getattr(self.stream, name)


def _silence_stdout() -> None:
    """Points file descriptor 1 at the null device, so that what is still
    buffered for a closed pipe goes nowhere at exit, without a complaint."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def _describe(err: OSError) -> str:
    reason = err.strerror or str(err) or type(err).__name__
    return f"{err.filename}: {reason}" if err.filename else reason


def main(argv: Sequence[str] | None = None) -> int:
    return_large_buffers()  # freed page buffers go back to the system (see quillmere._memory)
    parser = build_parser()
    args = parser.parse_args(argv)
    if getattr(args, "handler", None) is None:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    show_warnings()
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="replace")
    real_stdout = sys.stdout
    guard = GuardedStdout(real_stdout)
    sys.stdout = guard
    try:
        code = _run(args)
        guard.flush()
    finally:
        sys.stdout = real_stdout
    if guard.error is not None:
        _silence_stdout()
        if guard.error.errno == errno.EPIPE:
            # The reader went away: the files are written; stop quietly, with
            # the status of a process ended by SIGPIPE.
            return EXIT_BROKEN_PIPE
        print(f"{PROG}: cannot write to standard output: {_describe(guard.error)}", file=sys.stderr)
        return code or EXIT_FAILURE
    return code


def _run(args: argparse.Namespace) -> int:
    try:
        return int(args.handler(args))
    except CliError as err:
        print(f"{PROG}: {err}", file=sys.stderr)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        print(f"\n{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except OSError as err:
        print(f"{PROG}: {_describe(err)}", file=sys.stderr)
        return EXIT_FAILURE
    except Exception as err:  # a fault of ours: still one line, never a traceback
        print(f"{PROG}: internal error, please report it: {err or type(err).__name__}", file=sys.stderr)
        return EXIT_FAILURE


__all__ = ["COMMANDS", "GuardedStdout", "build_parser", "main"]
