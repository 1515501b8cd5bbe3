// Crossing between Python str and the engine's UTF-8 text.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <string>
#include <string_view>

#include "commerce/regex.hpp"

namespace quillmere::py {

namespace nb = nanobind;

// A str's UTF-8 text. Usually a view into the str's own UTF-8 buffer (no
// copy); a str holding lone surrogates is encoded with "surrogatepass" into
// `storage`. The str must outlive the view.
struct Utf8 {
    std::string_view view;
    std::string storage;
    // A str that encodes strictly holds no lone surrogates: its searches can
    // skip looking for them.
    std::unique_ptr<SurrogateFreeText> clean;
    Utf8() = default;
    Utf8(const Utf8&) = delete;
    Utf8(Utf8&& o) noexcept : clean(std::move(o.clean)) {
        bool owned = !o.storage.empty() && o.view.data() == o.storage.data();
        storage = std::move(o.storage);
        view = owned ? std::string_view(storage) : o.view;
    }
};

inline Utf8 utf8(nb::handle s) {
    Utf8 out;
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (p) {
        out.view = std::string_view(p, static_cast<std::size_t>(n));
        out.clean = std::make_unique<SurrogateFreeText>(out.view);
        return out;
    }
    PyErr_Clear();
    PyObject* b = PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass");
    if (!b) throw nb::python_error();
    out.storage.assign(PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b)));
    Py_DECREF(b);
    out.view = out.storage;
    return out;
}

inline nb::str str(std::string_view s) {
    PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
    if (!o) {
        PyErr_Clear();
        o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
        if (!o) throw nb::python_error();
    }
    return nb::steal<nb::str>(o);
}

inline bool is_str(nb::handle h) { return PyUnicode_Check(h.ptr()); }

// TypeError in the house form: "<name> must be <expected>, not <type>", the
// type named as type(got).__name__ names it (without a module prefix).
[[noreturn]] inline void type_error(const char* name, const char* expected, nb::handle got) {
    PyObject* type_name = PyType_GetName(Py_TYPE(got.ptr()));
    if (type_name) {
        PyErr_Format(PyExc_TypeError, "%s must be %s, not %U", name, expected, type_name);
        Py_DECREF(type_name);
    }
    throw nb::python_error();
}

inline void require_str(nb::handle h, const char* name) {
    if (!is_str(h)) type_error(name, "str", h);
}
inline void require_optional_str(nb::handle h, const char* name) {
    if (!h.is_none() && !is_str(h)) type_error(name, "str or None", h);
}

}  // namespace quillmere::py
