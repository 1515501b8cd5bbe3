// Destination page analysis: parse_metadata turns one match, with its page
// text when the page was fetched, into the facts of the metadata map. It
// reads the page through the extractors (extractors.hpp) and the markup
// searches (markup.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "commerce/match_score.hpp"
#include "commerce/records.hpp"

namespace quillmere::extended {
struct Findings;
}

namespace quillmere::metadata {

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
    Integer rank = 1;
    bool extended = false;  // also run the extended page analysis (extended.hpp)
    // With the extended analysis: receives every candidate of each field, best
    // first, the standard analysis's answer among them (rule "standard").
    extended::Findings* trace = nullptr;
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
    Integer match_score;
    std::string fetch_source;
};

// Throws url::InvalidUrl for a direct link that cannot be split.
Metadata parse_metadata(const Input& in);

}  // namespace quillmere::metadata
