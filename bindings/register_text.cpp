// The text helpers, published for the parity tests as _commerce._text.
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/pystr.hpp"
#include "commerce/regex.hpp"
#include "commerce/text.hpp"

namespace nb = nanobind;
using namespace quillmere;

namespace {
template <typename F>
nb::str apply(nb::handle s, F f) {
    py::require_str(s, "s");
    auto u = py::utf8(s);
    return py::str(f(u.view));
}
}  // namespace

void register_text(nb::module_& m) {
    nb::module_ t = m.def_submodule("_text", "Text helpers with str semantics (for tests)");
    t.def("lower", [](nb::handle s) { return apply(s, [](std::string_view v) { return text::lower(v); }); });
    t.def("title", [](nb::handle s) { return apply(s, [](std::string_view v) { return text::title(v); }); });
    t.def("upper", [](nb::handle s) { return apply(s, [](std::string_view v) { return text::upper(v); }); });
    t.def("strip", [](nb::handle s) {
        return apply(s, [](std::string_view v) { return std::string(text::strip(v)); });
    });
    t.def("collapse", [](nb::handle s) {
        return apply(s, [](std::string_view v) { return text::collapse_whitespace(v); });
    });
    t.def("split", [](nb::handle s) {
        py::require_str(s, "s");
        auto u = py::utf8(s);
        nb::list out;
        for (std::string_view w : text::split(u.view)) out.append(py::str(w));
        return out;
    });
    t.def("length", [](nb::handle s) {
        py::require_str(s, "s");
        return text::length(py::utf8(s).view);
    });
    t.def("isspace", [](std::uint32_t cp) { return text::is_space(cp); });
    t.def("decimal", [](std::uint32_t cp) { return text::decimal_value(cp); });
    t.def("space_class", [] { return text::python_space_class_body(); });
    // Code-point spans of every match, as re.finditer would give them.
    t.def("finditer_spans", [](nb::handle pattern, std::uint32_t flags, nb::handle subject) {
        py::require_str(pattern, "pattern");
        py::require_str(subject, "subject");
        auto p = py::utf8(pattern);
        auto s = py::utf8(subject);
        Regex re(p.view, flags);
        Regex::Match m(re);
        nb::list out;
        std::size_t from = 0, cp_pos = 0, byte_pos = 0;
        auto to_cp = [&](std::size_t byte) {
            cp_pos += text::length(s.view.substr(byte_pos, byte - byte_pos));
            byte_pos = byte;
            return cp_pos;
        };
        while (from <= s.view.size() && m.search(s.view, from)) {
            std::size_t b = m.start(), e = m.end();
            std::size_t cb = to_cp(b);
            std::size_t ce = to_cp(e);
            out.append(nb::make_tuple(cb, ce));
            if (e == b) {
                if (e >= s.view.size()) break;
                std::size_t k = e;
                text::next_code_point(s.view, k);
                from = k;
            } else {
                from = e;
            }
        }
        return out;
    });
}
