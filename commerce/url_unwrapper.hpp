// Result links to clean direct links and bare domains, with urllib.parse's
// splitting, query parsing and form encoding.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace quillmere::url {

// urllib.parse raises ValueError for these (unmatched brackets, invalid IPv6
// literal, NFKC-delimiter characters in the network location).
struct InvalidUrl : std::invalid_argument {
    explicit InvalidUrl(const std::string& msg) : std::invalid_argument(msg), message(msg) {}
    std::string message;  // the whole text: what() stops at a NUL the link may hold
};

// Python's quote_plus encodes with UTF-8 "strict" and raises
// UnicodeEncodeError for lone surrogates. `text` is the str being encoded;
// [start, end) is the run of surrogates, in code points.
struct UnencodableText : std::invalid_argument {
    UnencodableText(std::string text_, std::size_t start_, std::size_t end_, const std::string& what)
        : std::invalid_argument(what), text(std::move(text_)), start(start_), end(end_) {}
    std::string text;
    std::size_t start, end;
};

// urllib.parse.urlparse(url): the six components.
struct UrlParts {
    std::string scheme, netloc, path, params, query, fragment;
};
UrlParts urlparse(std::string_view url);
std::string urlunparse(const UrlParts& parts);

std::string unwrap(std::string_view url);          // throws InvalidUrl, UnencodableText
std::string extract_domain(std::string_view url);  // throws InvalidUrl

}  // namespace quillmere::url
