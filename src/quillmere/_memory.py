"""Page buffers handed back to the system once they are freed.

A page's body, its text and its UTF-8 form are large, short-lived buffers
of every size up to the cap. glibc's allocator serves such a buffer from
its own mappings only until the first one is freed, then raises its
threshold and serves them from the heap, where the holes they leave keep
the process's resident memory climbing with the number of pages read, long
after each page is gone. The engine's own processes (the command line, the
batch workers) fix the threshold at start, so buffers above it are always
mapped apart and returned when freed: a search's peak memory then follows
the pages in flight, not the pages read. A service that embeds the engine
may do the same (``quillmere.return_large_buffers()``, or the environment
variable ``MALLOC_MMAP_THRESHOLD_=262144``); nothing else changes.
"""

from __future__ import annotations

import ctypes
import sys

_M_MMAP_THRESHOLD = -3  # glibc's mallopt parameter


def return_large_buffers(threshold: int = 256 * 1024) -> bool:
    """Fixes glibc's mmap threshold at `threshold` bytes; False where there is
    no such allocator (another C library, another system)."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):
        return False
    mallopt.argtypes = (ctypes.c_int, ctypes.c_int)
    mallopt.restype = ctypes.c_int
    return bool(mallopt(_M_MMAP_THRESHOLD, threshold))


__all__ = ["return_large_buffers"]
