// Structured-data extractors, JSON values and HTML character references.
#include "bindings/extract.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace quillmere;

void register_extract(nb::module_& m) {
    py::def(m, "find_ld_json_products", &py::ld_json_products, "list[dict[str, typing.Any]]", "html"_a,
            "The JSON-LD product records of a page, in discovery order.");
    py::def(m, "find_next_data_product", &py::next_data_product, "dict[str, typing.Any] | None", "html"_a,
            "The product object of a page's Next.js data, or None.");
    py::def(m, "extract_meta_tags", &py::meta_tags, "dict[str, str]", "html"_a,
            "Lower-case meta names to their content, last value winning.");
    py::def(m, "extract_html_title", &py::html_title, "str | None", "html"_a,
            "The page title with white space collapsed, or None.");

    m.def("_json_loads", &py::json_loads, "json.loads(text) computed by the engine (for tests).");
    m.def("_json_text_form", &py::json_text_form, "The engine's text form of the parsed document (for tests).");
    m.def("_html_unescape", &py::html_unescape, "html.unescape(text) computed by the engine (for tests).");
}
