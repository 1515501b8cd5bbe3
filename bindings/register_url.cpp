#include <nanobind/nanobind.h>

namespace nb = nanobind;

void register_url(nb::module_&) {}
