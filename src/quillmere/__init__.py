"""quillmere: commerce intelligence for visual-search matches.

The engine lives in :mod:`quillmere.commerce`; records in :mod:`quillmere.models`.
"""

__version__ = "0.1.0"
