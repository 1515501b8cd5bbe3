#include <nanobind/nanobind.h>

namespace nb = nanobind;

void register_enricher(nb::module_&) {}
