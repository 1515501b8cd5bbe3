// The text helpers, published for the parity tests as _commerce._text.
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/pystr.hpp"
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
}
