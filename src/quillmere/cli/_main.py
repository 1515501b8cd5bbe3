"""The argument parser and the entry point.

A new subcommand is a module with `register(commands)` (which adds its parser
and sets ``handler``) and one line in COMMANDS.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable, Sequence
from typing import Any

from .. import __version__
from . import cmd_demo, cmd_enrich
from ._common import EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_USAGE, PROG, CliError

#: The subcommands, in the order --help lists them.
COMMANDS: list[Callable[[Any], None]] = [
    cmd_enrich.register,
    cmd_demo.register,
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


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if getattr(args, "handler", None) is None:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="replace")
    try:
        return int(args.handler(args))
    except CliError as err:
        print(f"{PROG}: {err}", file=sys.stderr)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        print(f"\n{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (``quillmere ... | head``): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILURE
    except Exception as err:  # a fault of ours: still one line, never a traceback
        print(f"{PROG}: unexpected error: {type(err).__name__}: {err}", file=sys.stderr)
        return EXIT_FAILURE


__all__ = ["COMMANDS", "build_parser", "main"]
