// Building quillmere.models records and enumeration members from the
// engine's values.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <optional>
#include <vector>

#include "bindings/capi.hpp"
#include "bindings/text.hpp"
#include "commerce/records.hpp"

namespace quillmere::py {

namespace nb = nanobind;

// A process-wide value, built on first use with the GIL held and kept for
// the life of the process (never destroyed: it may hold Python objects).
// Not a C++ static with a guard: building runs Python code, which may let
// another thread take the GIL and then wait on the guard. Two threads may
// both build it; the first stored is kept. One slot per call site (`make` is
// a lambda, of a type of its own).
template <typename T, typename Make>
T& once(Make make) {
    static T* slot = nullptr;
    if (!slot) {
        T* made = make();
        if (!slot)
            slot = made;
        else
            delete made;
    }
    return *slot;
}

// quillmere.models.
inline nb::handle models() {
    return once<nb::object>([] { return new nb::object(nb::module_::import_("quillmere.models")); });
}

// ---- enumeration members ----------------------------------------------------

template <typename E>
struct EnumInfo;
template <>
struct EnumInfo<MerchantCategory> {
    static constexpr const char* cls = "MerchantCategory";
    static constexpr std::size_t size = 4;
};
template <>
struct EnumInfo<StockStatus> {
    static constexpr const char* cls = "StockStatus";
    static constexpr std::size_t size = 3;
};
template <>
struct EnumInfo<PageType> {
    static constexpr const char* cls = "PageType";
    static constexpr std::size_t size = 6;
};
template <>
struct EnumInfo<ItemCondition> {
    static constexpr const char* cls = "ItemCondition";
    static constexpr std::size_t size = 3;
};

// The models enumeration's member for an engine value, looked up by member
// name once.
template <typename E>
nb::object enum_member(E v) {
    using Members = std::array<nb::object, EnumInfo<E>::size>;
    const Members& all = once<Members>([] {
        auto* a = new Members;
        nb::object cls = models().attr(EnumInfo<E>::cls);
        for (std::size_t i = 0; i < a->size(); ++i) (*a)[i] = cls.attr(name(static_cast<E>(i)));
        return a;
    });
    return all[static_cast<std::size_t>(v)];
}

template <typename E>
nb::object opt_enum(const std::optional<E>& v) {
    return v ? enum_member(*v) : nb::none();
}

// ---- records ----------------------------------------------------------------

// Builds records of one model class from named field values, without
// validating them a second time: the values are the engine's own, of the
// fields' types and within what the model checks. `Fields` is an aggregate
// of nb::object members with
//   static constexpr const char* model;             the class in models
//   static constexpr std::array<const char*, N> names;  the member names
//   std::array<nb::object*, N> values();            the members, in that order
//   static Fields sample();                          values to check against
// Model fields not in `names` must default to None.
//
// A record is laid out as validation would leave it: its fields in the
// class's field order (set through the generic attribute path, which keeps
// them in the instance's compact shared-key storage), the set of given
// fields, no extra and no private values. At first use a sample built both
// ways must be indistinguishable, and the class must have the plain shape
// this relies on; otherwise records are constructed (and validated) normally.
template <typename Fields>
class RecordBuilder {
public:
    static const RecordBuilder& get() {
        return once<RecordBuilder>([] { return new RecordBuilder(); });
    }

    nb::object build(Fields&& f) const { return fast_ ? build_plain(f) : build_validated(f); }

    bool fast() const { return fast_; }

private:
    static constexpr std::size_t N = Fields::names.size();
    static_assert(sizeof(Fields) == N * sizeof(nb::object), "every member of Fields is listed in names");

    struct Slot {
        nb::object key;
        int given;  // index into Fields::names, or -1: None
    };

    nb::object build_validated(Fields& f) const {
        auto given = f.values();
        nb::dict kw;
        for (std::size_t i = 0; i < N; ++i) kw[keys_[i]] = *given[i];
        return cls_(**kw);
    }

    nb::object build_plain(Fields& f) const {
        auto given = f.values();
        nb::object obj = nb::steal(new_(reinterpret_cast<PyTypeObject*>(cls_.ptr()), empty_args_.ptr(), nullptr));
        if (!obj.is_valid()) throw nb::python_error();
        for (const Slot& s : order_) {
            PyObject* v = s.given >= 0 ? given[static_cast<std::size_t>(s.given)]->ptr() : Py_None;
            if (PyObject_GenericSetAttr(obj.ptr(), s.key.ptr(), v) != 0) throw nb::python_error();
        }
        // The set holds only field-name strings and so can never be part of a
        // reference cycle: it is left out of the collector's work.
        nb::object set = nb::steal(PySet_New(given_set_.ptr()));
        if (!set.is_valid()) throw nb::python_error();
        PyObject_GC_UnTrack(set.ptr());
        if (set_slot(fields_set_, obj, set) || set_slot(extra_, obj, Py_None) || set_slot(private_, obj, Py_None))
            throw nb::python_error();
        return obj;
    }

    RecordBuilder() : cls_(models().attr(Fields::model)), empty_args_(nb::steal(PyTuple_New(0))) {
        for (std::size_t i = 0; i < N; ++i) keys_[i] = nb::steal(PyUnicode_InternFromString(Fields::names[i]));
        given_set_ = nb::steal(PyFrozenSet_New(nullptr));
        for (const nb::object& k : keys_)
            if (PySet_Add(given_set_.ptr(), k.ptr()) != 0) throw nb::python_error();
        try {
            fast_ = plain_shape() && probe();
        } catch (const nb::python_error&) {
            fast_ = false;
        }
    }

    // The slot descriptor `name` as found along the class's MRO.
    nb::object slot(const char* name) const {
        for (nb::handle base : nb::object(cls_.attr("__mro__"))) {
            nb::object ns = base.attr("__dict__");
            if (PyMapping_HasKeyString(ns.ptr(), name)) {
                nb::object d = ns[name];
                return Py_TYPE(d.ptr()) == &PyMemberDescr_Type ? d : nb::object();
            }
        }
        return nb::object();
    }

    // Every given name a field; the others default to None; no post-init
    // hook, no extras, no private attributes, no custom __new__.
    bool plain_shape() {
        if (!PyType_Check(cls_.ptr())) return false;
        new_ = capi::type_new_slot(reinterpret_cast<PyTypeObject*>(cls_.ptr()));
        if (!new_) throw nb::python_error();
        nb::dict fields = nb::borrow<nb::dict>(cls_.attr("__pydantic_fields__"));
        std::size_t found = 0;
        for (auto [name, info] : fields) {
            Slot s{nb::borrow(name), -1};
            for (std::size_t i = 0; i < N; ++i)
                if (keys_[i].equal(name)) s.given = static_cast<int>(i);
            if (s.given >= 0) {
                ++found;
            } else if (nb::cast<bool>(info.attr("is_required")()) || !info.attr("default_factory").is_none() ||
                       !info.attr("default").is_none()) {
                return false;
            }
            order_.push_back(std::move(s));
        }
        if (found != N) return false;
        nb::object extra = cls_.attr("model_config").attr("get")("extra");
        bool plain_extra = extra.is_none() || (is_str(extra) && utf8(extra).view == "ignore");
        fields_set_ = slot("__pydantic_fields_set__");
        extra_ = slot("__pydantic_extra__");
        private_ = slot("__pydantic_private__");
        // The three are member descriptors (see slot()): one setter for all.
        if (fields_set_.is_valid()) {
            descr_set_ = capi::descr_set_slot(Py_TYPE(fields_set_.ptr()));
            if (!descr_set_) throw nb::python_error();
        }
        nb::handle object_type = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
        return plain_extra && fields_set_.is_valid() && extra_.is_valid() && private_.is_valid() &&
               cls_.attr("__pydantic_post_init__").is_none() &&
               nb::len(nb::object(cls_.attr("__private_attributes__"))) == 0 &&
               !nb::cast<bool>(cls_.attr("__pydantic_root_model__")) &&
               nb::getattr(cls_, "__new__").is(nb::getattr(object_type, "__new__"));
    }

    // The sample, built both ways, must be indistinguishable.
    bool probe() const {
        Fields sample = Fields::sample();
        nb::object checked = build_validated(sample);
        nb::object built = build_plain(sample);
        auto same = [&](const char* attr) { return checked.attr(attr).equal(built.attr(attr)); };
        return built.type().is(checked.type()) && checked.equal(built) && same("__dict__") &&
               same("__pydantic_fields_set__") && same("__pydantic_extra__") && same("__pydantic_private__") &&
               nb::repr(checked).equal(nb::repr(built)) &&
               checked.attr("model_dump_json")().equal(built.attr("model_dump_json")());
    }

    int set_slot(const nb::object& descr, const nb::object& obj, nb::handle value) const {
        return descr_set_(descr.ptr(), obj.ptr(), value.ptr());
    }

    nb::object cls_, empty_args_, given_set_;
    std::array<nb::object, N> keys_;
    std::vector<Slot> order_;
    nb::object fields_set_, extra_, private_;
    newfunc new_ = nullptr;             // the class's tp_new
    descrsetfunc descr_set_ = nullptr;  // the member descriptors' setter
    bool fast_ = false;
};

// ---- NormalizedPrice ------------------------------------------------------------

struct PriceFields {
    nb::object raw, amount, currency;

    static constexpr const char* model = "NormalizedPrice";
    static constexpr std::array<const char*, 3> names = {"raw", "amount", "currency"};
    std::array<nb::object*, 3> values() { return {&raw, &amount, &currency}; }
    static PriceFields sample() { return {nb::str("US$ 1,299.99"), nb::float_(1299.99), nb::str("USD")}; }
};

// A NormalizedPrice the engine built: its amount is finite and non-negative.
inline nb::object make_price(nb::handle raw, double amount, nb::handle currency) {
    nb::object value = nb::steal(PyFloat_FromDouble(amount));
    if (!value.is_valid()) throw nb::python_error();
    return RecordBuilder<PriceFields>::get().build({nb::borrow(raw), std::move(value), nb::borrow(currency)});
}
inline nb::object make_price(const Price& p) { return make_price(str(p.raw), p.amount, str(p.currency)); }
inline nb::object opt_price(const std::optional<Price>& p) { return p ? make_price(*p) : nb::none(); }

}  // namespace quillmere::py
