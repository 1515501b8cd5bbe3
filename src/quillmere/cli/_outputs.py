"""The output files: checked before any work, written by the engine's exports."""

from __future__ import annotations

from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ._common import CliError

if TYPE_CHECKING:
    from ..models import CommerceIntelligence


def check_outputs(targets: dict[str, Path | None], input_path: Path | None = None) -> None:
    """Refuse output paths that cannot work before any work is done."""
    seen: dict[Path, str] = {}
    for option, path in targets.items():
        if path is None:
            continue
        resolved = path.expanduser().resolve()
        if resolved.is_dir():
            raise CliError(f"{path}: is a directory ({option} needs a file name)")
        existing = next(p for p in resolved.parents if p.exists())
        if not existing.is_dir():
            raise CliError(f"{path}: cannot be created: {existing} is not a directory")
        if input_path is not None and resolved == input_path.resolve():
            raise CliError(f"{path}: is the input file; {option} would overwrite it")
        if resolved in seen:
            raise CliError(f"{path}: named by both {seen[resolved]} and {option}")
        seen[resolved] = option


def write_export(export: Callable[[Any, Path], Path], commerce_result: "CommerceIntelligence",
                 target: Path) -> Path:
    """Run an export into ``target``. The exports replace a file only once the
    new one is complete, so a failed export never leaves a damaged or emptied
    file behind; a device or a pipe (``/dev/null``) is written to, not replaced."""
    target = target.expanduser().resolve()
    try:
        return export(commerce_result, target)
    except OSError as err:
        raise CliError(f"{target}: cannot write: {err.strerror or err}") from None
    except Exception as err:
        raise CliError(f"{target}: export failed: {type(err).__name__}: {err}") from None


__all__ = ["check_outputs", "write_export"]
