// Structured data read straight out of a page: the JSON-LD product records,
// the Next.js page-data product, the meta tags and the document title.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commerce/json.hpp"

namespace quillmere::metadata {

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

}  // namespace quillmere::metadata
