// The text helpers, published for the parity tests as _commerce._text.
#include <nanobind/stl/string.h>

#include "bindings/text_hooks.hpp"

namespace nb = nanobind;
using namespace quillmere;

void register_text(nb::module_& m) {
    nb::module_ t = m.def_submodule("_text", "Text helpers with str semantics (for tests)");
    t.def("lower", [](py::Str<"s"> s) { return py::str(text::lower(s.view)); });
    t.def("title", [](py::Str<"s"> s) { return py::str(text::title(s.view)); });
    t.def("upper", [](py::Str<"s"> s) { return py::str(text::upper(s.view)); });
    t.def("strip", [](py::Str<"s"> s) { return py::str(text::strip(s.view)); });
    t.def("collapse", [](py::Str<"s"> s) { return py::str(text::collapse_whitespace(s.view)); });
    t.def("split", &py::split);
    t.def("length", [](py::Str<"s"> s) { return text::length(s.view); });
    t.def("isspace", [](std::uint32_t cp) { return text::is_space(cp); });
    t.def("decimal", [](std::uint32_t cp) { return text::decimal_value(cp); });
    t.def("space_class", [] { return text::python_space_class_body(); });
    t.def("finditer_spans", &py::finditer_spans);
}
