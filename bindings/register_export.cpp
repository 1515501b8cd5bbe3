#include <nanobind/nanobind.h>

namespace nb = nanobind;

void register_export(nb::module_&) {}
