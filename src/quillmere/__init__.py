"""quillmere: commerce intelligence for visual-search matches.

The engine lives in :mod:`quillmere.commerce`; records in :mod:`quillmere.models`.
"""

from ._memory import return_large_buffers

__version__ = "0.1.0"

__all__ = ["return_large_buffers"]
