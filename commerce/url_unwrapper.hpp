// Result links to clean direct links and bare domains.
#pragma once

#include <string>
#include <string_view>

#include "commerce/urlparse.hpp"

namespace quillmere::url {

std::string unwrap(std::string_view url);          // throws InvalidUrl, UnencodableText
void unwrap(std::string_view url, std::string& out);  // the same into `out`, reusing its room
std::string extract_domain(std::string_view url);  // throws InvalidUrl

}  // namespace quillmere::url
