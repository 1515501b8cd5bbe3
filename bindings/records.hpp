// Building quillmere.models records from the engine's values.
#pragma once

#include <nanobind/nanobind.h>

#include "bindings/pystr.hpp"
#include "commerce/records.hpp"

namespace quillmere::py {

namespace nb = nanobind;

// quillmere.models, imported once and kept for the life of the process.
inline nb::handle models() {
    static PyObject* mod = [] {
        PyObject* m = PyImport_ImportModule("quillmere.models");
        if (!m) throw nb::python_error();
        return m;
    }();
    return mod;
}

inline nb::handle model_attr(const char* name) { return nb::object(models().attr(name)).release(); }

// Enumeration members, looked up by member name.
template <typename E>
nb::object member(const char* enum_name, E v) {
    return nb::borrow(models().attr(enum_name).attr(name(v)));
}
inline nb::object to_py(MerchantCategory v) { return member("MerchantCategory", v); }
inline nb::object to_py(StockStatus v) { return member("StockStatus", v); }
inline nb::object to_py(PageType v) { return member("PageType", v); }
inline nb::object to_py(ItemCondition v) { return member("ItemCondition", v); }

// A NormalizedPrice. The engine only builds prices the record accepts
// (finite, non-negative amounts), so validation is not paid twice.
inline nb::object make_price(const Price& p) {
    static nb::handle cls = model_attr("NormalizedPrice");
    nb::object construct = cls.attr("model_construct");
    return construct(nb::arg("raw") = str(p.raw), nb::arg("amount") = p.amount,
                     nb::arg("currency") = str(p.currency));
}

}  // namespace quillmere::py
