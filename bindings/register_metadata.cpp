#include <nanobind/nanobind.h>

namespace nb = nanobind;

void register_metadata(nb::module_&) {}
