// HTML character references, decoded as Python's html.unescape does.
#pragma once

#include <string>
#include <string_view>

namespace quillmere::html {

// Like html.unescape, a decimal reference of more than 4300 digits fails:
// std::domain_error carrying int()'s message (a ValueError in the host).
std::string unescape(std::string_view s);

}  // namespace quillmere::html
