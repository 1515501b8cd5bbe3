// The text helpers' test hooks that answer with lists.
#pragma once

#include <nanobind/nanobind.h>

#include "bindings/text.hpp"
#include "commerce/regex.hpp"
#include "commerce/text.hpp"

namespace quillmere::py {

// Code-point spans of every match, as re.finditer would give them.
inline nb::list finditer_spans(Str<"pattern"> pattern, std::uint32_t flags, Str<"subject"> subject) {
    std::string_view s = subject.view;
    Regex re(pattern.view, flags);
    Regex::Match m(re);
    nb::list out;
    std::size_t from = 0, cp_pos = 0, byte_pos = 0;
    auto to_cp = [&](std::size_t byte) {
        cp_pos += text::length(s.substr(byte_pos, byte - byte_pos));
        byte_pos = byte;
        return cp_pos;
    };
    while (from <= s.size() && m.search(s, from)) {
        std::size_t b = m.start(), e = m.end();
        std::size_t cb = to_cp(b);
        std::size_t ce = to_cp(e);
        out.append(nb::make_tuple(cb, ce));
        if (e == b) {
            if (e >= s.size()) break;
            std::size_t k = e;
            text::next_code_point(s, k);
            from = k;
        } else {
            from = e;
        }
    }
    return out;
}

inline nb::list split(Str<"s"> s) {
    nb::list out;
    for (std::string_view w : text::split(s.view)) out.append(str(w));
    return out;
}

}  // namespace quillmere::py
