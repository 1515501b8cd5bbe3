// PriceNormalizer.parse and the number helpers (the latter as _numbers, for
// the parity tests).
#include "bindings/price.hpp"
#include <nanobind/stl/string.h>

#include "commerce/numbers.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace quillmere;

void register_price(nb::module_& m) {
    constexpr const char* kParseDoc = "PriceNormalizer.parse: a price text to a NormalizedPrice, or None.";
    py::def(m, "price_parse", &py::parse_price, "quillmere.models.NormalizedPrice | None", "raw_price"_a,
            "currency_hint"_a = nb::none(), nb::kw_only(), "extended"_a = false, kParseDoc);
    // Once per match: the usual call skips the general dispatch (bindings/fast.hpp).
    py::front_with_fast_door<py::parse_price_door>(m, "price_parse", "raw_price, currency_hint=None, *, extended=False",
                                                   kParseDoc);
    py::def(m, "_price_from_groups", &py::price_from_groups, "quillmere.models.NormalizedPrice | None", "cleaned"_a,
            "before"_a, "number"_a, "after"_a, "currency_hint"_a,
            "What parse does once a pattern has matched the stripped text: currency, separators, rounding, record.");
    m.def("_price_record_fast_path", [] { return py::RecordBuilder<py::PriceFields>::get().fast(); },
          "Whether NormalizedPrice records are built without revalidation.");
    m.def("_price_record", [](py::Str<"raw"> raw, double amount, py::Str<"currency"> currency) {
        return py::make_price(raw.obj, amount, currency.obj);
    }, "raw"_a, "amount"_a, "currency"_a, "The engine's NormalizedPrice construction on its own (for measurements).");

    nb::module_ n = m.def_submodule("_numbers", "Python number formatting and parsing (for tests)");
    n.def("round2", &numbers::round2);
    n.def("repr", &numbers::repr);
    n.def("fixed2", &numbers::fixed2);
    n.def("parse_float", [](py::Str<"s"> s) -> nb::object {
        auto v = numbers::parse_python_float(s.view);
        return v ? nb::object(nb::float_(*v)) : nb::none();
    });
}
