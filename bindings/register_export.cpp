// CSV export of the enriched items, and the atomic file writer both exports use.
#include "bindings/export.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace quillmere;

void register_export(nb::module_& m) {
    m.def("_write_commerce_csv", &py::write_csv, "items"_a, "path"_a,
          "Writes the items as CSV (header and one row per item) to path, replacing it atomically.");
    m.def("_write_file_atomically", &py::write_bytes, "path"_a, "data"_a, nb::kw_only(), "named_temporary"_a = false,
          "Writes data to path through a temporary file beside it that then replaces path "
          "(a named one throughout with named_temporary).");
}
