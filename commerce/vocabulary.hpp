// The engine's fixed knowledge of the web: domain lists, path fragments,
// keywords, tracking parameters, currency signs and the page patterns.
// Built once, read only, shared by every call and thread.
#pragma once

#include <array>
#include <string_view>
#include <utility>

#include "commerce/regex.hpp"

namespace quillmere::vocab {

using sv = std::string_view;

inline constexpr std::array<sv, 19> MARKETPLACE_DOMAINS = {
    "amazon.com", "amazon.co.uk", "amazon.de", "amazon.fr", "amazon.ca", "amazon.co.jp",
    "ebay.com", "ebay.co.uk", "ebay.de", "walmart.com", "target.com", "aliexpress.com",
    "alibaba.com", "temu.com", "etsy.com", "bestbuy.com", "rakuten.com", "mercadolivre.com.br",
    "mercadolibre.com"};

inline constexpr std::array<sv, 10> RESELLER_DOMAINS = {
    "stockx.com", "goat.com", "grailed.com", "poshmark.com", "mercari.com",
    "therealreal.com", "rebag.com", "chrono24.com", "depop.com", "vinted.com"};

inline constexpr std::array<sv, 9> SOCIAL_DOMAINS = {
    "instagram.com", "facebook.com", "twitter.com", "x.com", "linkedin.com",
    "pinterest.com", "tiktok.com", "youtube.com", "reddit.com"};

inline constexpr std::array<sv, 6> EDITORIAL_DOMAINS = {
    "medium.com", "substack.com", "wordpress.com", "blogger.com", "lifestyleasia.com", "augustman.com"};

inline constexpr std::array<sv, 7> PORTFOLIO_DOMAINS = {
    "behance.net", "dribbble.com", "artstation.com", "figma.com", "github.io", "unsplash.com",
    "allmacwallpaper.com"};

inline constexpr std::array<sv, 18> ARTICLE_PATH_PATTERNS = {
    "/blog", "/article", "/news", "/journal", "/post", "/posts/", "/advice/", "/insights/", "/story/",
    "/fashion/", "/style/", "/author/", "/editorial/", "/guide/", "/review/", "/reviews/", "/trends/", "/hub/"};

inline constexpr std::array<sv, 12> PORTFOLIO_PATH_PATTERNS = {
    "/works", "/portfolio", "/projects", "/project", "/design", "/showcase", "/template", "/templates",
    "/themes", "/redesign", "/case-study", "/photos/"};

inline constexpr std::array<sv, 8> PORTFOLIO_KEYWORDS = {
    "portfolio", "template", "redesign", "showcase", "mockup", "theme", "wallpaper", "pictures"};

inline constexpr std::array<sv, 10> CATALOG_PATH_PATTERNS = {
    "/categories", "/category", "/collections", "/collection", "/catalog", "/shop", "/store", "/offers",
    "/sale", "/w/"};

inline constexpr std::array<sv, 12> GENERIC_TITLES = {
    "read more", "click here", "learn more", "view product", "shop now", "see details", "buy now",
    "untitled", "shoe", "shoes", "clothing", "home"};

inline constexpr std::array<sv, 12> TRACKING_PARAMS = {
    "utm_source", "utm_medium", "utm_campaign", "utm_term", "utm_content", "gclid",
    "fbclid", "msclkid", "ved", "usg", "sa", "source"};

inline constexpr std::array<std::pair<sv, sv>, 17> CURRENCY_MAP = {{
    {"$", "USD"}, {"US$", "USD"}, {"USD", "USD"},
    {"\u20AC", "EUR"}, {"EUR", "EUR"},
    {"\u00A3", "GBP"}, {"GBP", "GBP"},
    {"\u00A5", "JPY"}, {"JPY", "JPY"},
    {"CN\u00A5", "CNY"}, {"CNY", "CNY"},
    {"CA$", "CAD"}, {"CAD", "CAD"},
    {"A$", "AUD"}, {"AUD", "AUD"},
    {"\u20B9", "INR"}, {"INR", "INR"}}};

// The search service whose "<label>." hosts serve redirect links at /url.
inline constexpr sv SEARCH_REDIRECT_LABEL = "google";
// The publishing platform tested by the Open Graph step.
inline constexpr sv MEDIUM_DOMAIN = "medium.com";

inline constexpr sv LD_JSON_SCRIPT_PATTERN =
    R"(<script[^>]+type=["\']application/ld\+json["\'][^>]*>(.*?)</script>)";
inline constexpr sv META_TAG_PATTERN = R"(<meta\s+([^>]+)>)";
inline constexpr sv META_PROP_PATTERN = R"((?:property|name)=["\']([^"\']+)["\'])";
inline constexpr sv META_CONTENT_PATTERN = R"(content=["\']([^"\']*)["\'])";
inline constexpr sv PRICE_PATTERN_HEAD = R"((?:()";
inline constexpr sv PRICE_PATTERN_MIDDLE = R"()\s*)?([0-9]+(?:[,\.\s][0-9]+)*)(?:\s*()";
inline constexpr sv PRICE_PATTERN_TAIL = R"())?)";

// Compiled once, on first use (thread-safe static initialisation).
const Regex& meta_tag();         // IGNORECASE
const Regex& meta_prop();        // IGNORECASE
const Regex& meta_content();     // IGNORECASE

// Membership helpers over the tables above.
template <std::size_t N>
bool is_member(const std::array<sv, N>& table, sv value) {
    for (sv entry : table)
        if (entry == value) return true;
    return false;
}
template <std::size_t N>
bool any_contained(const std::array<sv, N>& table, sv haystack) {
    for (sv entry : table)
        if (haystack.find(entry) != sv::npos) return true;
    return false;
}

// The two domain-list rules, side by side. The domain is a network location
// as the link split gives it, lower case and without "www.".
//
// Page analysis: `entry` occurs in the host as a run of whole labels, anywhere
// in it (user name and port aside). A page type follows the site to every
// host that carries its name (amazon.com.mx, amazon.com:8443), and the label
// boundaries keep netflix.com from being a social network (x.com).
bool has_labels(sv domain, sv entry);
// Merchant classification: the domain is `entry` or a subdomain of it, with
// no port. A merchant category vouches for the registrable site itself, so a
// host that merely holds the name (amazon.com.mx, amazon.com:8443) is not it.
bool in_domain_list(sv domain, sv entry);

template <std::size_t N>
bool any_labels(const std::array<sv, N>& table, sv domain) {
    for (sv entry : table)
        if (has_labels(domain, entry)) return true;
    return false;
}
template <std::size_t N>
bool any_in_domain_list(const std::array<sv, N>& table, sv domain) {
    for (sv entry : table)
        if (in_domain_list(domain, entry)) return true;
    return false;
}

// The ISO code for a currency key, or an empty view when it is not a key.
sv currency_code(sv key);

}  // namespace quillmere::vocab
