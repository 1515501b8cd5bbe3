"""Commerce records exchanged with the engine (pydantic v2 models)."""

from __future__ import annotations

import math
from enum import Enum
from typing import Dict, List, Optional

from pydantic import BaseModel, Field, SerializerFunctionWrapHandler, field_validator, model_serializer


class MerchantCategory(str, Enum):
    MAJOR_MARKETPLACE = "major_marketplace"
    RESELLER_SPECIALIST = "reseller_specialist"
    OFFICIAL_BRAND = "official_brand"
    UNVERIFIED = "unverified"


class StockStatus(str, Enum):
    IN_STOCK = "in_stock"
    OUT_OF_STOCK = "out_of_stock"
    PREORDER = "preorder"


class PageType(str, Enum):
    PRODUCT = "product"
    MARKETPLACE = "marketplace"
    ARTICLE = "article"
    PORTFOLIO = "portfolio"
    SOCIAL = "social"
    UNCATEGORIZED = "uncategorized"


class ItemCondition(str, Enum):
    NEW = "new"
    USED = "used"
    REFURBISHED = "refurbished"


class MatchRelevance(str, Enum):
    """Relevance grade of an enriched match (set by quillmere.relevance)."""

    HIGH = "high"
    MEDIUM = "medium"
    LOW = "low"


class VisualMatch(BaseModel):
    """One visual match of an image search, as the search tool reports it."""

    link: str
    title: str = ""
    source: Optional[str] = None
    price: Optional[str] = None
    currency: Optional[str] = None
    in_stock: Optional[bool] = None
    thumbnail: Optional[str] = None


class NormalizedPrice(BaseModel):
    raw: str
    amount: float
    currency: str

    @field_validator("amount")
    @classmethod
    def _finite_non_negative(cls, v: float) -> float:
        # An infinite or negative amount is not a price.
        if not math.isfinite(v) or v < 0:
            raise ValueError("amount must be a finite, non-negative number")
        return v


class EnrichedCommerceMatch(BaseModel):
    title: str
    direct_url: str
    original_url: str
    price: Optional[NormalizedPrice] = None
    merchant_name: Optional[str] = None
    merchant_category: Optional[MerchantCategory] = None
    thumbnail: Optional[str] = None
    match_score: int
    page_type: PageType
    brand: Optional[str] = None
    sku: Optional[str] = None
    condition: Optional[ItemCondition] = None
    stock_status: Optional[StockStatus] = None
    primary_image_url: Optional[str] = None
    shipping_info: Optional[str] = None
    relevance: Optional[MatchRelevance] = None


class CommerceSummary(BaseModel):
    total_matches: int = 0
    currency: str = "USD"
    total_priced_matches: int = 0
    lowest_price: Optional[float] = None
    highest_price: Optional[float] = None
    median_price: Optional[float] = None
    average_price: Optional[float] = None
    in_stock_count: int = 0
    by_merchant_category: Dict[str, int] = Field(default_factory=dict)
    by_page_type: Dict[str, int] = Field(default_factory=dict)


class CommerceIntelligence(BaseModel):
    summary: CommerceSummary = Field(default_factory=CommerceSummary)
    items: List[EnrichedCommerceMatch] = Field(default_factory=list)


class FetchOutcome(str, Enum):
    """What became of a match's destination page."""

    READ = "read"                # fetched and handed to the page analysis
    NO_LINK = "no_link"          # no fetchable link (not http(s), unsplittable)
    REFUSED = "refused"          # an internal destination, not requested
    TOO_LARGE = "too_large"      # the body passed the size cap
    TIMEOUT = "timeout"          # the time limit passed
    UNREACHABLE = "unreachable"  # name not found, connection refused or reset, TLS failure
    HTTP_ERROR = "http_error"    # an error status (400 or above) that is not a block
    BLOCKED = "blocked"          # 401, 403, 429 or 503, or a bot or challenge wall
    EMPTY = "empty"              # an empty body
    NO_FETCHER = "no_fetcher"    # no page fetcher available
    FAILED = "failed"            # the fetcher raised or gave an unusable response


_OUTCOME_LABELS = {
    FetchOutcome.NO_LINK: "no link", FetchOutcome.TOO_LARGE: "too large", FetchOutcome.NO_FETCHER: "no fetcher",
}


class RenderReason(str, Enum):
    """Why a page was rendered in a browser after its static fetch."""

    BLOCKED = "blocked"                  # the static fetch met a 403, a 503 or a wall
    NO_PRODUCT_DATA = "no_product_data"  # read, of a type that sells, but no product data in it
    ALWAYS = "always"                    # every fetchable page is rendered (render="always")


class RenderedPage(BaseModel):
    """The browser's reading of a page, beside its static fetch."""

    reason: RenderReason
    outcome: FetchOutcome            # read, or why the browser did not give the page
    status: Optional[int] = None     # the main document's last HTTP status in the browser
    final_url: Optional[str] = None  # where the tab was at the end
    bytes: Optional[int] = None      # size of the rendered HTML
    seconds: Optional[float] = None  # time in the tab, waiting for a tab not counted
    detail: Optional[str] = None     # a short reason when not read, or what the render found
    used: bool = False               # True when the rendered analysis replaced the static one


class PageOutcome(BaseModel):
    """One page's fate: read (with its status, final link, size and time) or why not.

    The fields tell the static fetch; `rendered` (only when the page was
    rendered in a browser) tells the browser's reading beside it. A dump
    leaves `rendered` out when it is None, so records of runs without
    rendering are what they were.
    """

    outcome: FetchOutcome
    link: Optional[str] = None       # the checked direct link; None when the match has none
    status: Optional[int] = None     # the last HTTP status seen; None when the fetcher gave none
    final_url: Optional[str] = None  # the link after redirects
    bytes: Optional[int] = None      # body size
    seconds: Optional[float] = None  # time of the fetch, waiting for a slot not counted
    detail: Optional[str] = None     # a short reason, such as "connection refused" or "challenge page"
    attempts: int = 1                # requests sent for this page
    rendered: Optional[RenderedPage] = None

    @model_serializer(mode="wrap")
    def _leave_out_unrendered(self, handler: SerializerFunctionWrapHandler) -> dict:
        data = handler(self)
        if isinstance(data, dict) and data.get("rendered", 0) is None:
            del data["rendered"]
        return data

    @property
    def read(self) -> bool:
        return self.outcome is FetchOutcome.READ

    @property
    def label(self) -> str:
        """A short label: "read", "blocked", "HTTP 404", "no link", ..."""
        if self.outcome is FetchOutcome.HTTP_ERROR and self.status is not None:
            return f"HTTP {self.status}"
        return _OUTCOME_LABELS.get(self.outcome, self.outcome.value)


class FetchReport(BaseModel):
    """The page outcome of every match of one search, in the order of its
    enriched items. Pass an empty one as ``report=`` to an enrichment entry;
    it is filled in as the pages are fetched."""

    outcomes: List[PageOutcome] = Field(default_factory=list)

    @property
    def read(self) -> int:
        return sum(1 for o in self.outcomes if o.read)

    @property
    def not_read(self) -> int:
        return len(self.outcomes) - self.read

    def counts(self) -> Dict[str, int]:
        """Matches by outcome value, most frequent first (ties in the order of FetchOutcome), zeros left out."""
        return outcome_counts(self.outcomes)

    def summary_line(self) -> str:
        """"Pages: 1 read, 5 not read: 2 blocked, 1 HTTP 404, 1 timeout"."""
        return pages_line(self.outcomes)


def outcome_counts(outcomes: List[PageOutcome]) -> Dict[str, int]:
    order = {o: i for i, o in enumerate(FetchOutcome)}
    tally: Dict[FetchOutcome, int] = {}
    for o in outcomes:
        tally[o.outcome] = tally.get(o.outcome, 0) + 1
    return {k.value: v for k, v in sorted(tally.items(), key=lambda kv: (-kv[1], order[kv[0]]))}


def _closing_line(read: int, misses: Dict[str, int], rendered: Optional[Dict[str, int]]) -> str:
    """"Pages: R read, N not read: n label, ...; K rendered: ..." from the
    pages read, those not read by label, and the rendered counts."""
    line = f"Pages: {read} read"
    if misses:
        parts = ", ".join(f"{n} {label}" for label, n in sorted(misses.items(), key=lambda kv: -kv[1]))
        line += f", {sum(misses.values())} not read: {parts}"
    if rendered and rendered.get("rendered"):
        line += (f"; {rendered['rendered']} rendered: {rendered.get('used', 0)} gave product data"
                 f", {rendered.get('failed', 0)} failed")
    return line


def counts_line(counts: Dict[str, int], rendered: Optional[Dict[str, int]] = None) -> str:
    """The closing line over outcome counts by value (HTTP errors together)
    and, when given, the rendered counts (see `render_counts`)."""
    labels = {o.value: ("HTTP error" if o is FetchOutcome.HTTP_ERROR else _OUTCOME_LABELS.get(o, o.value))
              for o in FetchOutcome}
    misses = {labels.get(k, k): v for k, v in counts.items() if k != FetchOutcome.READ.value and v}
    return _closing_line(counts.get(FetchOutcome.READ.value, 0), misses, rendered)


def pages_line(outcomes: List[PageOutcome]) -> str:
    """The closing line that counts outcomes; HTTP errors are told by status."""
    misses: Dict[str, int] = {}
    for o in outcomes:
        if not o.read:
            misses[o.label] = misses.get(o.label, 0) + 1
    return _closing_line(sum(1 for o in outcomes if o.read), misses, render_counts(outcomes))


def render_counts(outcomes: List[PageOutcome]) -> Dict[str, int]:
    """Pages rendered in a browser, those whose rendering gave the product
    data used, and those the browser did not read."""
    rendered = [o.rendered for o in outcomes if o.rendered is not None]
    return {"rendered": len(rendered), "used": sum(1 for r in rendered if r.used),
            "failed": sum(1 for r in rendered if r.outcome is not FetchOutcome.READ)}


__all__ = [
    "MerchantCategory",
    "StockStatus",
    "PageType",
    "ItemCondition",
    "MatchRelevance",
    "VisualMatch",
    "NormalizedPrice",
    "EnrichedCommerceMatch",
    "CommerceSummary",
    "CommerceIntelligence",
    "FetchOutcome",
    "PageOutcome",
    "FetchReport",
    "RenderReason",
    "RenderedPage",
]
