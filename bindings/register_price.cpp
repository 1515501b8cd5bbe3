#include <nanobind/nanobind.h>

namespace nb = nanobind;

void register_price(nb::module_&) {}
