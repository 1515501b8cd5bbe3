#include <nanobind/nanobind.h>

namespace nb = nanobind;

void register_extract(nb::module_&) {}
