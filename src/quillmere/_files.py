"""Files written whole or not at all."""

from __future__ import annotations

import os
import stat
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import TextIO


@contextmanager
def replaced_when_complete(path: Path, *, newline: str, buffering: int = -1) -> Iterator[TextIO]:
    """A UTF-8 text file through which to write `path`: a temporary file beside
    it, which replaces it only once the block completes. A failure leaves the
    old file as it was and no temporary file behind. A new file gets the
    permissions the umask allows and a replaced one keeps its own, as the
    engine's exports do. A device or a pipe is written in place."""
    path = Path(path).expanduser().resolve()
    if path.exists() and not path.is_file():
        with open(path, "w", encoding="utf-8", newline=newline) as f:
            yield f
        return
    path.parent.mkdir(parents=True, exist_ok=True)
    try:
        mode = stat.S_IMODE(path.stat().st_mode)
    except FileNotFoundError:
        mode = 0o666 & ~_umask()
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=path.parent)
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline=newline, buffering=buffering) as f:
            yield f
        os.chmod(tmp, mode)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
