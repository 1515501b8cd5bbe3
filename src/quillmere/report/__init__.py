"""The HTML report of a search's results (``quillmere html``): one
self-contained file to look at, safe against whatever the pages said."""

from ._html import CSP, write_html, write_result_html
from ._read import ReportInputError, Results, read_outcomes, read_results

__all__ = ["CSP", "ReportInputError", "Results", "read_outcomes", "read_results", "write_html", "write_result_html"]
