// The few CPython C-API accessors the bindings use that the limited C API
// (the stable ABI, Py_LIMITED_API) lacks. A version-specific build keeps the
// unchecked macros; a stable-ABI build calls the function forms, which check
// their argument and can fail, so each accessor here reports failure the same
// way in both builds (a Python error set, then nb::python_error thrown, or
// false/nullptr returned where the caller must not throw).
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string_view>

namespace quillmere::py::capi {

namespace nb = nanobind;

// The contents of the bytes object `b`, valid while `b` lives. False, with a
// Python error set, when they cannot be had (a stable-ABI build checks that
// `b` is a bytes object; the macros assume it).
inline bool bytes_view(PyObject* b, std::string_view& out) noexcept {
#ifdef Py_LIMITED_API
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(b, &data, &size) != 0) return false;
#else
    const char* data = PyBytes_AS_STRING(b);
    const Py_ssize_t size = PyBytes_GET_SIZE(b);
#endif
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

// The value of a float object (an exact float or a subclass, which is read
// without calling __float__).
inline double float_value(PyObject* f) {
#ifdef Py_LIMITED_API
    const double v = PyFloat_AsDouble(f);
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
#else
    return PyFloat_AS_DOUBLE(f);
#endif
}

// The length of the list `l`.
inline Py_ssize_t list_size(PyObject* l) {
#ifdef Py_LIMITED_API
    const Py_ssize_t n = PyList_Size(l);
    if (n < 0) throw nb::python_error();
    return n;
#else
    return PyList_GET_SIZE(l);
#endif
}

// The item `i` of the list `l` (borrowed); `i` must be within the list.
inline PyObject* list_item(PyObject* l, Py_ssize_t i) {
#ifdef Py_LIMITED_API
    PyObject* item = PyList_GetItem(l, i);
    if (!item) throw nb::python_error();
    return item;
#else
    return PyList_GET_ITEM(l, i);
#endif
}

// Stores `item` (the reference is stolen, also on failure) at `i` of the new
// list `l`. False, with a Python error set, when it cannot be stored.
inline bool list_init_item(PyObject* l, Py_ssize_t i, PyObject* item) noexcept {
#ifdef Py_LIMITED_API
    return PyList_SetItem(l, i, item) == 0;
#else
    PyList_SET_ITEM(l, i, item);
    return true;
#endif
}

// The type's tp_new; nullptr, with a TypeError set, when it has none.
inline newfunc type_new_slot(PyTypeObject* type) noexcept {
#ifdef Py_LIMITED_API
    auto f = reinterpret_cast<newfunc>(PyType_GetSlot(type, Py_tp_new));
    if (!f && PyErr_Occurred()) return nullptr;
#else
    newfunc f = type->tp_new;
#endif
    if (!f) PyErr_SetString(PyExc_TypeError, "the type cannot be instantiated");
    return f;
}

// The descriptor type's tp_descr_set; nullptr, with a TypeError set, when it
// has none.
inline descrsetfunc descr_set_slot(PyTypeObject* type) noexcept {
#ifdef Py_LIMITED_API
    auto f = reinterpret_cast<descrsetfunc>(PyType_GetSlot(type, Py_tp_descr_set));
    if (!f && PyErr_Occurred()) return nullptr;
#else
    descrsetfunc f = type->tp_descr_set;
#endif
    if (!f) PyErr_SetString(PyExc_TypeError, "the descriptor cannot be set");
    return f;
}

}  // namespace quillmere::py::capi
