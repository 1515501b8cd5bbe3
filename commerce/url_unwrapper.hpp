// Result links to clean direct links and bare domains, with urllib.parse's
// splitting, query parsing and form encoding.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace quillmere::url {

// urllib.parse raises ValueError for these (unmatched brackets, invalid IPv6
// literal, NFKC-delimiter characters in the network location).
struct InvalidUrl : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// urllib.parse.urlparse(url): the six components.
struct UrlParts {
    std::string scheme, netloc, path, params, query, fragment;
};
UrlParts urlparse(std::string_view url);
std::string urlunparse(const UrlParts& parts);

std::string unwrap(std::string_view url);          // throws InvalidUrl
std::string extract_domain(std::string_view url);  // throws InvalidUrl

}  // namespace quillmere::url
