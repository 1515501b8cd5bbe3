"""Commerce records exchanged with the engine (pydantic v2 models)."""

from __future__ import annotations

import math
from enum import Enum
from typing import Dict, List, Optional

from pydantic import BaseModel, Field, field_validator


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
]
