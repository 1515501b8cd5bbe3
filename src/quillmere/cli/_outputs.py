"""The output files of a command: every path checked before any work, then
all of them written, or none.

Missing folders are made during the check (so a folder that cannot be made is
found before any page is fetched) and removed again, if still empty, when the
command ends without writing.
"""

from __future__ import annotations

import os
import stat
import tempfile
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

from ._common import CliError

#: Writes the output's bytes (or its export) to the resolved path.
Writer = Callable[[Path], object]


@dataclass
class Output:
    option: str   # how the user named it, for messages ("--csv", "--out")
    kind: str     # what it holds, for the "Wrote ..." line
    path: Path    # as given
    resolved: Path
    existed: bool = False


class OutputPlan:
    """The files one command writes."""

    def __init__(self, input_path: Path | None = None) -> None:
        self.input = input_path.expanduser().resolve() if input_path is not None else None
        self.outputs: list[Output] = []
        self.made_dirs: list[Path] = []

    def add(self, option: str, kind: str, path: Path | None) -> Output | None:
        if path is None:
            return None
        output = Output(option, kind, path, path.expanduser().resolve())
        self.outputs.append(output)
        return output

    # ----------------------------------------------------------------- check
    def check(self) -> None:
        """Refuses, before any work, every output path that cannot work: a
        folder, the input, one file named twice, a folder that cannot be made
        or written to. Makes the missing folders."""
        seen: dict[Path, str] = {}
        for out in self.outputs:
            path, option, resolved = out.path, out.option, out.resolved
            if resolved.is_dir():
                raise CliError(f"{path}: is a directory ({option} needs a file name)")
            if self.input is not None and resolved == self.input:
                raise CliError(f"{path}: is the input file; {option} would overwrite it")
            if resolved in seen:
                raise CliError(f"{path}: named by both {seen[resolved]} and {option}")
            seen[resolved] = option
        for out in self.outputs:
            self._check_place(out)

    def _check_place(self, out: Output) -> None:
        path, folder = out.path, out.resolved.parent
        existing = next(p for p in out.resolved.parents if p.exists())
        if not existing.is_dir():
            raise CliError(f"{path}: cannot be created: {existing} is not a directory")
        missing = [p for p in out.resolved.parents if not p.exists()][::-1]
        for directory in missing:
            try:
                directory.mkdir()
            except FileExistsError:
                continue
            except OSError as err:
                raise CliError(f"{path}: cannot create the folder {directory}: {_reason(err)}") from None
            self.made_dirs.append(directory)
        try:
            mode = out.resolved.stat().st_mode
            out.existed = True
        except FileNotFoundError:
            mode = None
        except OSError as err:
            raise CliError(f"{path}: cannot be used: {_reason(err)}") from None
        if mode is not None and not stat.S_ISREG(mode):
            # A device or a pipe is written to in place.
            if not os.access(out.resolved, os.W_OK):
                raise CliError(f"{path}: is not writable")
            return
        try:
            # Unnamed where the platform allows it: nothing is left behind.
            with tempfile.TemporaryFile(dir=folder):
                pass
        except OSError as err:
            raise CliError(f"{path}: cannot write in {folder}: {_reason(err)}") from None

    def abandon(self) -> None:
        """Removes the folders the check made, deepest first, where still empty."""
        for directory in reversed(self.made_dirs):
            try:
                directory.rmdir()
            except OSError:
                pass
        self.made_dirs.clear()

    # ----------------------------------------------------------------- write
    def write(self, writers: list[tuple[Output, Writer]]) -> list[Output]:
        """Writes every output, in order. When one fails, those this run had
        just created are removed again; a file it had already replaced is
        named in the error."""
        done: list[Output] = []
        for out, writer in writers:
            try:
                writer(out.resolved)
            except Exception as err:
                raise CliError(self._undo(out, done, err)) from None
            done.append(out)
        self.made_dirs.clear()  # they hold the outputs now
        return done

    def _undo(self, failed: Output, done: list[Output], err: Exception) -> str:
        replaced = []
        for out in done:
            if out.existed:
                replaced.append(str(out.path))
                continue
            try:
                out.resolved.unlink()
            except OSError:
                replaced.append(str(out.path))
        self.abandon()
        if isinstance(err, OSError):
            message = f"{failed.path}: cannot write: {_reason(err)}"
        else:
            message = f"{failed.path}: the {failed.kind} output cannot be written: {err}"
        if replaced:
            message += f" (already written: {', '.join(replaced)})"
        elif done:
            message += "; nothing was written"
        return message


def _reason(err: OSError) -> str:
    return err.strerror or str(err)


__all__ = ["Output", "OutputPlan", "Writer"]
