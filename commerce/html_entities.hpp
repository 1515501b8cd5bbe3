// HTML character references, decoded as Python's html.unescape does.
#pragma once

#include <string>
#include <string_view>

namespace quillmere::html {

// One difference: html.unescape raises for a decimal reference of more than
// 4300 digits (int()'s limit), which would let one page's title end a whole
// enrichment. Here such a reference decodes by its value like any other: a
// number past U+10FFFF gives U+FFFD. Never throws.
std::string unescape(std::string_view s);

}  // namespace quillmere::html
