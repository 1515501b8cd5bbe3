"""``python -m quillmere``: the same as the ``quillmere`` command."""

from __future__ import annotations

import sys

from .cli import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())
