// Result links to clean direct links and bare domains.
#pragma once

#include <string>
#include <string_view>

#include "commerce/urlparse.hpp"

namespace quillmere::url {

std::string unwrap(std::string_view url);          // throws InvalidUrl, UnencodableText
// The same into `out`, reusing its room; true (and `out` of no use) when the
// clean link is `url` itself.
bool unwrap(std::string_view url, std::string& out);
std::string extract_domain(std::string_view url);  // throws InvalidUrl

}  // namespace quillmere::url
