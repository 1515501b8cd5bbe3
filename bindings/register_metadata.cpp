// DestinationMetadataParser.parse_metadata; the analysis itself runs in
// commerce/metadata_parser.cpp without the GIL.
#include "bindings/metadata.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace quillmere;

void register_metadata(nb::module_& m) {
    py::def(m, "parse_metadata", &py::parse_metadata, "dict[str, typing.Any]", "html"_a, "direct_url"_a,
            "initial_title"_a = "", "initial_merchant"_a = "", "initial_price"_a = nb::none(),
            "initial_stock"_a = nb::none(), "rank"_a = 1, nb::kw_only(), "extended"_a = false,
            "DestinationMetadataParser.parse_metadata: one match and its page (or None) to the metadata map.");

    m.def("_extended_trace", &py::extended_trace);
    m.def("_markup_patterns", &py::markup_patterns);
    m.def("_markup_search", &py::markup_search);
    m.def("_lower_contains", &py::lower_contains);
}
