// Building quillmere.models records from the engine's values.
#pragma once

#include <nanobind/nanobind.h>

#include "bindings/pystr.hpp"
#include "commerce/records.hpp"

namespace quillmere::py {

namespace nb = nanobind;

// quillmere.models, imported once and kept for the life of the process.
// Not a C++ static with a guard: the import runs Python code, which may let
// another thread take the GIL and wait on the guard.
inline nb::handle models() {
    static PyObject* mod = nullptr;
    if (!mod) {
        PyObject* m = PyImport_ImportModule("quillmere.models");
        if (!m) throw nb::python_error();
        if (mod)
            Py_DECREF(m);
        else
            mod = m;
    }
    return mod;
}

// Enumeration members, looked up by member name.
template <typename E>
nb::object member(const char* enum_name, E v) {
    return nb::borrow(models().attr(enum_name).attr(name(v)));
}
inline nb::object to_py(MerchantCategory v) { return member("MerchantCategory", v); }
inline nb::object to_py(StockStatus v) { return member("StockStatus", v); }
inline nb::object to_py(PageType v) { return member("PageType", v); }
inline nb::object to_py(ItemCondition v) { return member("ItemCondition", v); }

// NormalizedPrice records, built without validating them a second time: the
// engine only builds prices the record accepts (finite, non-negative amounts).
// The instance is laid out exactly as validation would leave it (field dict in
// field order, fields-set, no extra, no private values). At first use that
// layout is checked against a validated record; should the installed pydantic
// disagree, model_construct is used instead.
class PriceRecords {
public:
    // The process-wide builder. Call with the GIL held.
    static PriceRecords& get() {
        // Not a C++ static: its guard could deadlock against the GIL if the
        // set-up (which runs Python code) let another thread in.
        static PriceRecords* instance = nullptr;
        if (!instance) {
            auto* made = new PriceRecords();
            if (instance) {
                delete made;
            } else {
                instance = made;
            }
        }
        return *instance;
    }

    nb::object make(nb::handle raw, double amount, nb::handle currency) const {
        nb::object value = nb::steal(PyFloat_FromDouble(amount));
        if (!value.is_valid()) throw nb::python_error();
        if (!fast_) {
            return cls_.attr("model_construct")(nb::arg("raw") = raw, nb::arg("amount") = value,
                                                nb::arg("currency") = currency);
        }
        return build(raw, value, currency);
    }

    bool fast() const { return fast_; }

private:
    PriceRecords() {
        cls_ = nb::borrow(models().attr("NormalizedPrice"));
        key_raw_ = nb::steal(PyUnicode_InternFromString("raw"));
        key_amount_ = nb::steal(PyUnicode_InternFromString("amount"));
        key_currency_ = nb::steal(PyUnicode_InternFromString("currency"));
        empty_args_ = nb::steal(PyTuple_New(0));
        fast_ = prepare();
        if (PyErr_Occurred()) PyErr_Clear();
    }

    // The slot descriptor `name` as found along the class's MRO.
    nb::object slot(const char* name) const {
        nb::object mro = cls_.attr("__mro__");
        for (nb::handle base : mro) {
            nb::object namespace_ = base.attr("__dict__");
            if (PyMapping_HasKeyString(namespace_.ptr(), name)) {
                nb::object d = namespace_[name];
                return Py_TYPE(d.ptr()) == &PyMemberDescr_Type ? d : nb::object();
            }
        }
        return nb::object();
    }

    bool prepare() {
        try {
            if (!PyType_Check(cls_.ptr())) return false;
            nb::object names = nb::steal(PySequence_List(cls_.attr("__pydantic_fields__").ptr()));
            if (!names.is_valid()) throw nb::python_error();
            auto name_at = [&](Py_ssize_t i) { return nb::handle(PyList_GET_ITEM(names.ptr(), i)); };
            if (PyList_GET_SIZE(names.ptr()) != 3 || !key_raw_.equal(name_at(0)) ||
                !key_amount_.equal(name_at(1)) || !key_currency_.equal(name_at(2)))
                return false;
            if (!cls_.attr("__pydantic_post_init__").is_none()) return false;
            if (PyObject_IsTrue(cls_.attr("__pydantic_root_model__").ptr()) != 0) return false;
            fields_set_ = slot("__pydantic_fields_set__");
            extra_ = slot("__pydantic_extra__");
            private_ = slot("__pydantic_private__");
            if (!fields_set_.is_valid() || !extra_.is_valid() || !private_.is_valid()) return false;
            // The probe: the same values, built both ways, must be
            // indistinguishable.
            nb::str raw("US$ 1,299.99"), currency("USD");
            nb::object amount = nb::float_(1299.99);
            nb::object checked = cls_(nb::arg("raw") = raw, nb::arg("amount") = amount,
                                      nb::arg("currency") = currency);
            nb::object built = build(raw, amount, currency);
            auto same = [&](const char* attr) {
                return checked.attr(attr).equal(built.attr(attr));
            };
            return built.type().is(checked.type()) && checked.equal(built) && same("__dict__") &&
                   same("__pydantic_fields_set__") && same("__pydantic_extra__") && same("__pydantic_private__") &&
                   nb::repr(checked).equal(nb::repr(built)) &&
                   checked.attr("model_dump_json")().equal(built.attr("model_dump_json")());
        } catch (const nb::python_error&) {
            return false;
        }
    }

    nb::object build(nb::handle raw, nb::handle amount, nb::handle currency) const {
        auto* type = reinterpret_cast<PyTypeObject*>(cls_.ptr());
        nb::object obj = nb::steal(type->tp_new(type, empty_args_.ptr(), nullptr));
        if (!obj.is_valid()) throw nb::python_error();
        // Fields go in through the generic attribute path (not the model's
        // validating __setattr__), which keeps them in the instance's compact
        // shared-key storage; its __dict__ appears, in field order, when read.
        // The fields-set holds only field-name strings and so can never be
        // part of a reference cycle: it is left out of the collector's work,
        // which halves the collector's share of building many records.
        nb::object set = nb::steal(PySet_New(nullptr));
        if (!set.is_valid() || PyObject_GenericSetAttr(obj.ptr(), key_raw_.ptr(), raw.ptr()) ||
            PyObject_GenericSetAttr(obj.ptr(), key_amount_.ptr(), amount.ptr()) ||
            PyObject_GenericSetAttr(obj.ptr(), key_currency_.ptr(), currency.ptr()) ||
            PySet_Add(set.ptr(), key_raw_.ptr()) || PySet_Add(set.ptr(), key_amount_.ptr()) ||
            PySet_Add(set.ptr(), key_currency_.ptr()))
            throw nb::python_error();
        PyObject_GC_UnTrack(set.ptr());
        if (set_slot(fields_set_, obj, set) || set_slot(extra_, obj, Py_None) || set_slot(private_, obj, Py_None))
            throw nb::python_error();
        return obj;
    }

    static int set_slot(const nb::object& descr, const nb::object& obj, nb::handle value) {
        return Py_TYPE(descr.ptr())->tp_descr_set(descr.ptr(), obj.ptr(), value.ptr());
    }

    nb::object cls_, key_raw_, key_amount_, key_currency_, empty_args_;
    nb::object fields_set_, extra_, private_;
    bool fast_ = false;
};

inline nb::object make_price(nb::handle raw, double amount, nb::handle currency) {
    return PriceRecords::get().make(raw, amount, currency);
}
inline nb::object make_price(const Price& p) { return make_price(str(p.raw), p.amount, str(p.currency)); }

}  // namespace quillmere::py
