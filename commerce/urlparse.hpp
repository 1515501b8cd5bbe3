// Link splitting, query parsing and form encoding with the exact behaviour of
// CPython's urllib.parse (urlparse, urlunparse, parse_qs, unquote_plus,
// quote_plus), including its checks of bracketed hosts and of characters
// that NFKC turns into delimiters.
//
// All delimiters are ASCII, so the work is done on UTF-8 bytes; code points
// only matter for the NFKC check of the network location and for positions
// in error reports.
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

// The six components as views into the link (or into `cleaned`, the link
// without its tabs and line breaks). Only the scheme is a copy: it is
// lower-cased.
struct Split {
    std::string scheme, cleaned;
    std::string_view netloc, path, params, query, fragment;
    Split() = default;
    Split(const Split&) = delete;
    Split& operator=(const Split&) = delete;
};
void split_url(std::string_view input, Split& p);  // throws InvalidUrl

// urlunparse((scheme, netloc, path, params, query, fragment)).
std::string join_url(std::string_view scheme, std::string_view netloc, std::string_view path,
                     std::string_view params, std::string_view query, std::string_view fragment);

// unquote_plus(s, "utf-8", "replace").
std::string unquote_plus(std::string_view s);

// quote_plus(s), appended to `out`: UTF-8 bytes, only ASCII letters, digits
// and "_.-~" left as they are, a space written as "+". Throws
// UnencodableText for a lone surrogate.
void append_quote_plus(std::string_view s, std::string& out);

// Calls fn(name, value) with the raw (still encoded) text of each field
// parse_qs keeps: split at "&" only, fields without "=" and fields with an
// empty value dropped. Stops early when fn returns false.
template <class Fn>
void for_each_field(std::string_view query, Fn&& fn) {
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t amp = query.find('&', start);
        if (amp == std::string_view::npos) amp = query.size();
        std::string_view field = query.substr(start, amp - start);
        start = amp + 1;
        std::size_t eq = field.find('=');
        if (eq == std::string_view::npos || eq + 1 == field.size()) continue;
        if (!fn(field.substr(0, eq), field.substr(eq + 1))) return;
    }
}

}  // namespace quillmere::url
