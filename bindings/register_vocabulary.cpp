// Publishes the vocabulary tables and the price patterns; quillmere.commerce
// wraps them read-only.
#include <nanobind/stl/string.h>

#include "bindings/text.hpp"
#include "commerce/price_normalizer.hpp"
#include "commerce/vocabulary.hpp"

namespace nb = nanobind;
using namespace quillmere;

namespace {
template <std::size_t N>
nb::list as_list(const std::array<std::string_view, N>& table) {
    nb::list out;
    for (auto v : table) out.append(py::str(v));
    return out;
}
}  // namespace

void register_vocabulary(nb::module_& m) {
    nb::dict d;
    d["MARKETPLACE_DOMAINS"] = as_list(vocab::MARKETPLACE_DOMAINS);
    d["RESELLER_DOMAINS"] = as_list(vocab::RESELLER_DOMAINS);
    d["SOCIAL_DOMAINS"] = as_list(vocab::SOCIAL_DOMAINS);
    d["EDITORIAL_DOMAINS"] = as_list(vocab::EDITORIAL_DOMAINS);
    d["PORTFOLIO_DOMAINS"] = as_list(vocab::PORTFOLIO_DOMAINS);
    d["ARTICLE_PATH_PATTERNS"] = as_list(vocab::ARTICLE_PATH_PATTERNS);
    d["PORTFOLIO_PATH_PATTERNS"] = as_list(vocab::PORTFOLIO_PATH_PATTERNS);
    d["PORTFOLIO_KEYWORDS"] = as_list(vocab::PORTFOLIO_KEYWORDS);
    d["CATALOG_PATH_PATTERNS"] = as_list(vocab::CATALOG_PATH_PATTERNS);
    d["GENERIC_TITLES"] = as_list(vocab::GENERIC_TITLES);
    d["TRACKING_PARAMS"] = as_list(vocab::TRACKING_PARAMS);
    nb::dict currency;
    for (const auto& [k, v] : vocab::CURRENCY_MAP) currency[py::str(k)] = py::str(v);
    d["CURRENCY_MAP"] = currency;
    d["_LD_JSON_SCRIPT_PATTERN"] = py::str(vocab::LD_JSON_SCRIPT_PATTERN);
    d["_META_TAG_PATTERN"] = py::str(vocab::META_TAG_PATTERN);
    d["_META_PROP_PATTERN"] = py::str(vocab::META_PROP_PATTERN);
    d["_META_CONTENT_PATTERN"] = py::str(vocab::META_CONTENT_PATTERN);
    d["CURRENCY_TOKEN_PATTERN"] = py::str(price::currency_token_pattern());
    d["PRICE_PATTERN"] = py::str(price::price_pattern());
    m.attr("_vocabulary") = d;
}
