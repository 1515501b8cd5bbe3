// HTML character references, decoded as Python's html.unescape does.
#pragma once

#include <string>
#include <string_view>

namespace quillmere::html {

std::string unescape(std::string_view s);

}  // namespace quillmere::html
