// The deep enrichment's native stages, around the batch fetch.
#include "bindings/enricher.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace quillmere;

void register_enricher(nb::module_& m) {
    m.def("_enrich_unwrap_links", &py::unwrap_links, "matches"_a,
          "Direct link of each match's link, or None where the link cannot be split.");
    m.def("_enrich_after_fetch", &py::enrich_after_fetch, "matches"_a, "direct_links"_a, "pages"_a, nb::kw_only(),
          "extended"_a = false, "ranks"_a.none() = nb::none(),
          "EnrichedCommerceMatch records for the matches, given their direct links and the page map; `ranks`, "
          "when given, are the matches' ranks in the whole batch they belong to.");
}
