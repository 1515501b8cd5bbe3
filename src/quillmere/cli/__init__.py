"""The ``quillmere`` command: enrich a file of visual matches, or run the offline demo.

``quillmere enrich MATCHES.json [--csv OUT.csv] [--json OUT.json]`` reads
visual matches (a JSON array of objects, or JSON Lines), runs the commerce
pipeline, prints the enriched matches with the market summary, and writes the
files asked for. ``quillmere demo [--out DIR]`` does the same for a bundled set
of matches whose pages are served from a loopback server.

Problems with the input are reported on one line naming the file, the record
and the problem, with exit status 1; nothing is written then. Exit status 2 is
a usage error, 130 an interruption, 141 a standard output closed early (the
files are written all the same).

The package's rooms: ``_input`` reads matches, ``_report`` prints (table,
summary, progress bar), ``_outputs`` checks and writes the output files,
``_engine`` runs the engine (and holds its flags), one ``cmd_*`` module per
subcommand, registered in ``_main.COMMANDS``.
"""

from __future__ import annotations

from ._common import EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, CliError
from ._input import parse_records, read_matches
from ._main import build_parser, main
from ._report import Progress, fit, format_summary, format_table, text_width

__all__ = ["EXIT_FAILURE", "EXIT_INTERRUPTED", "EXIT_OK", "EXIT_USAGE", "CliError", "Progress", "build_parser",
           "fit", "format_summary", "format_table", "main", "parse_records", "read_matches", "text_width"]
