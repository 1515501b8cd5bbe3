// Module entry: only registers names; the logic lives in commerce/.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

void register_text(nb::module_& m);
void register_vocabulary(nb::module_& m);
void register_url(nb::module_& m);
void register_price(nb::module_& m);
void register_merchant(nb::module_& m);
void register_extract(nb::module_& m);
void register_metadata(nb::module_& m);
void register_enricher(nb::module_& m);
void register_export(nb::module_& m);

NB_MODULE(_commerce, m) {
    m.doc() = "quillmere commerce engine (C++ core)";
    register_text(m);
    register_vocabulary(m);
    register_url(m);
    register_price(m);
    register_merchant(m);
    register_extract(m);
    register_metadata(m);
    register_enricher(m);
    register_export(m);
}
