"""Fetching destination pages: the destination check, one page's transfer
(cap, redirects, the streamed Scrapling body), bounded concurrent fetching and
the outcome of every page.

Nothing here imports the façade: what a host may rebind on
``quillmere.commerce`` reaches these functions as `Bindings`, read at every call.
"""

from ._cache import CacheError, check_cache
from ._client import FetchStats, PageClient, call_client, current_client, using
from ._outcomes import BLOCK_STATUSES, PageFailure, failure_of, judge_response, wall_page
from ._pages import Bindings, Consumer, ProgressCallback, check_options, default_bound, fetch_each, fetch_many, \
    fetch_one, fetch_page, recording, settings

__all__ = [
    "BLOCK_STATUSES", "Bindings", "CacheError", "Consumer", "FetchStats", "PageClient", "check_cache", "fetch_each",
    "call_client", "current_client", "using", "PageFailure", "ProgressCallback", "check_options", "default_bound", "failure_of",
    "fetch_many", "fetch_one", "fetch_page", "judge_response", "recording", "settings", "wall_page",
]
