// Per-match work of the deep enrichment, after the batch fetch: domain,
// search-result price, page analysis and merchant category for each match.
// Pure C++: the bindings read the matches, run a batch here without the GIL,
// and turn the results into records.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "commerce/metadata_parser.hpp"
#include "commerce/records.hpp"

namespace quillmere::enricher {

// The direct link of one match's link, or nullopt when unwrapping refuses the
// link (it cannot be split, or its query cannot be encoded) or gives a link
// that cannot be split: such a match is not fetched and is analysed without
// a link.
std::optional<std::string> direct_link(std::string_view link);

// What the enrichment reads from one visual match, plus its direct link and
// its page text. All views must outlive the call that uses them.
struct MatchInput {
    std::string_view link;
    std::string_view title;
    std::optional<std::string_view> source;
    std::optional<std::string_view> price;
    std::optional<std::string_view> currency;
    std::optional<bool> in_stock;
    // nullopt: the link could not be split. A direct link that cannot be
    // split is taken as nullopt too.
    std::optional<std::string_view> direct_url;
    // nullopt: no page text (not fetched, or not obtained).
    std::optional<std::string_view> page;
};

struct Enriched {
    std::string domain;
    metadata::Metadata meta;
    // Only for product and marketplace pages.
    std::optional<MerchantCategory> category;
};

// One match with its rank (from 1). `extended`: the search result's price is
// read by the extended price reading and the page by the extended analysis.
Enriched enrich(const MatchInput& match, std::int64_t rank, bool extended = false);

// Every match in order, ranks counted from 1. The first error ends the batch.
std::vector<Enriched> enrich_all(std::span<const MatchInput> matches, bool extended = false);

// Matches of a larger batch analysed apart (a page at a time, as it
// arrives): ranks[i] is the rank of matches[i] in the whole batch, so the
// answers are those enrich_all gives for the batch.
std::vector<Enriched> enrich_ranked(std::span<const MatchInput> matches, std::span<const std::int64_t> ranks,
                                    bool extended = false);

}  // namespace quillmere::enricher
