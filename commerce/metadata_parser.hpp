// Destination page analysis: structured-data extraction and parse_metadata.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commerce/json.hpp"
#include "commerce/records.hpp"

namespace quillmere::metadata {

// ---- extractors ----------------------------------------------------------

// The parsed JSON-LD documents (kept alive here) and the product records
// found in them, in discovery order; a record may be listed twice.
struct LdJsonProducts {
    std::vector<json::Value> documents;
    std::vector<const json::Value*> products;
};
LdJsonProducts find_ld_json_products(std::string_view html);

struct NextDataProduct {
    json::Value document;
    const json::Value* product = nullptr;  // points into document
};
std::optional<NextDataProduct> find_next_data_product(std::string_view html);

// Lower-case meta name -> content, in first-insertion order, last value wins.
struct MetaMap {
    std::vector<std::pair<std::string, std::string>> entries;
    const std::string* find(std::string_view key) const;
};
MetaMap extract_meta_tags(std::string_view html);

std::optional<std::string> extract_html_title(std::string_view html);

// ---- markup patterns -----------------------------------------------------

// The shop markup that page analysis searches when structured data is missing.
enum class Markup {
    SHOP_PRICE,
    MICRODATA_PRICE,
    MICRODATA_CURRENCY,
    MICRODATA_SKU,
    SKU_ELEMENT,
    SKU_ATTRIBUTE,
    IN_STOCK_CLASS,
    OUT_OF_STOCK_CLASS,
};
inline constexpr int kMarkupCount = 8;

// The pattern text (Python syntax, searched case-insensitively).
std::string_view markup_pattern(Markup which);

struct MarkupMatch {
    std::size_t start;       // byte offset of the match
    std::string_view group;  // group 1; empty for the stock-class patterns
};
// The first match, as re.search(pattern, html, re.IGNORECASE) finds it, in
// time linear in the page whatever it holds.
std::optional<MarkupMatch> find_markup(Markup which, std::string_view html);

// Whether html.lower() contains `needle` (ASCII, lower case), without
// lower-casing the page where that can be avoided.
bool lower_contains(std::string_view html, std::string_view needle);

// ---- parse_metadata ------------------------------------------------------

struct InitialPrice {
    double amount;
    std::string currency;
};

struct Input {
    std::optional<std::string_view> html;
    std::string_view direct_url;
    std::string_view initial_title;
    std::string_view initial_merchant;
    std::optional<InitialPrice> initial_price;
    std::optional<bool> initial_stock;
    std::int64_t rank = 1;  // the binding handles ranks outside int64
    bool extended = false;  // also run the extended page analysis (extended.hpp)
};

struct Metadata {
    std::string title;
    std::string merchant_name;
    std::optional<std::string> brand;
    std::optional<std::string> sku;
    std::optional<Price> price;
    std::optional<StockStatus> stock_status;
    std::optional<ItemCondition> condition;
    std::optional<std::string> primary_image_url;
    PageType page_type = PageType::UNCATEGORIZED;
    std::int64_t match_score = 0;
    std::string fetch_source;
};

// Throws url::InvalidUrl for a direct link that cannot be split.
Metadata parse_metadata(const Input& in);

}  // namespace quillmere::metadata
