// Crossing between Python objects and the engine's values: str <-> UTF-8
// text, and arguments checked by type with the house TypeError.
//
// Function arguments are declared with the checked types below, each named
// after its argument, e.g. `py::Str<"url">` or `py::OptStr<"currency_hint">`.
// nanobind's stubs show them as `str`, `str | None`, `int`, `bool | None`; a
// wrong type raises "<name> must be <expected>, not <type>" for the first
// wrong argument, before the function body runs.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bindings/capi.hpp"
#include "commerce/regex.hpp"

namespace quillmere::py {

namespace nb = nanobind;

// ---- str <-> UTF-8 ----------------------------------------------------------

// A str's UTF-8 text. Usually a view into the str's own UTF-8 buffer (no
// copy, nothing else held: arguments cross at the cost of one call); a str
// holding lone surrogates is encoded with "surrogatepass" into storage of
// its own. The str must outlive the view.
struct Utf8 {
    std::string_view view;

    // Only for the uncommon texts: the encoded copy of a str with lone
    // surrogates, and the mark of a long text that holds none (searches of
    // it skip looking for them).
    struct Held {
        std::string storage;
        std::unique_ptr<SurrogateFreeText> clean;
    };
    std::unique_ptr<Held> held;  // moving it keeps `view` valid

    // False with a Python error set when the text cannot be had.
    bool assign(nb::handle s) noexcept {
        Py_ssize_t n = 0;
        if (const char* p = PyUnicode_AsUTF8AndSize(s.ptr(), &n)) {
            view = std::string_view(p, static_cast<std::size_t>(n));
            if (view.size() >= SurrogateFreeText::kWorthMarking) {
                try {
                    held = std::make_unique<Held>();
                    held->clean = std::make_unique<SurrogateFreeText>(view);
                } catch (...) {  // only costs the shortcut
                }
            }
            return true;
        }
        PyErr_Clear();
        PyObject* b = PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass");
        if (!b) return false;
        std::string_view encoded;
        bool ok = capi::bytes_view(b, encoded);
        if (ok) {
            try {
                held = std::make_unique<Held>();
                held->storage.assign(encoded);
            } catch (...) {
                PyErr_NoMemory();
                ok = false;
            }
        }
        Py_DECREF(b);
        if (!ok) return false;
        view = held->storage;
        return true;
    }
    std::size_t size() const { return view.size(); }
};

inline Utf8 utf8(nb::handle s) {
    Utf8 out;
    if (!out.assign(s)) throw nb::python_error();
    return out;
}

// The engine's UTF-8 text as a str; surrogates it carries (from a str that
// held them) come back as they were.
inline nb::str str(std::string_view s) {
    PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
    if (!o) {
        PyErr_Clear();
        o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
        if (!o) throw nb::python_error();
    }
    return nb::steal<nb::str>(o);
}

inline nb::object opt_str(const std::optional<std::string>& s) { return s ? nb::object(str(*s)) : nb::none(); }

inline bool is_str(nb::handle h) { return PyUnicode_Check(h.ptr()); }

// ---- the house TypeError ----------------------------------------------------

// Sets TypeError "<name> must be <expected>, not <type>", the type named as
// type(got).__name__ names it (without a module prefix).
inline void set_type_error(const char* name, const char* expected, nb::handle got) noexcept {
    PyObject* type_name = PyType_GetName(Py_TYPE(got.ptr()));
    if (type_name) {
        PyErr_Format(PyExc_TypeError, "%s must be %s, not %U", name, expected, type_name);
        Py_DECREF(type_name);
    }
}
[[noreturn]] inline void type_error(const char* name, const char* expected, nb::handle got) {
    set_type_error(name, expected, got);
    throw nb::python_error();
}

// Checks for values read from objects (record fields, list items).
inline void require_str(nb::handle h, const char* name) {
    if (!is_str(h)) type_error(name, "str", h);
}
inline void require_optional_str(nb::handle h, const char* name) {
    if (!h.is_none() && !is_str(h)) type_error(name, "str or None", h);
}

// ---- checked arguments ------------------------------------------------------

// An argument name as a template argument.
template <std::size_t K>
struct Name {
    char text[K];
    constexpr Name(const char (&s)[K]) { std::copy_n(s, K, text); }
};

// A str argument: its UTF-8 text, and the str itself.
template <Name N>
struct Str : Utf8 {
    nb::handle obj;
    static constexpr const char* expected = "str";
    static constexpr char stub[] = "str";
    static constexpr auto& shown = stub;
    bool load(nb::handle h) noexcept {
        if (!is_str(h)) {
            set_type_error(N.text, expected, h);
            return false;
        }
        obj = h;
        return assign(h);
    }
};

// A str or None argument: the text of a str, nullopt for None.
template <Name N>
struct OptStr {
    std::optional<Utf8> text;
    nb::handle obj;
    static constexpr const char* expected = "str or None";
    static constexpr char stub[] = "str | None";
    static constexpr char shown[] = "str";
    bool load(nb::handle h) noexcept {
        obj = h;
        if (h.is_none()) return true;
        if (!is_str(h)) {
            set_type_error(N.text, expected, h);
            return false;
        }
        return text.emplace().assign(h);
    }
    bool has_value() const { return text.has_value(); }
    std::optional<std::string_view> view() const {
        return text ? std::optional<std::string_view>(text->view) : std::nullopt;
    }
    std::size_t size() const { return text ? text->size() : 0; }
};

// An int argument of any size.
template <Name N>
struct Int {
    nb::handle obj;
    static constexpr const char* expected = "int";
    static constexpr char stub[] = "int";
    static constexpr auto& shown = stub;
    bool load(nb::handle h) noexcept {
        if (!PyLong_Check(h.ptr())) {
            set_type_error(N.text, expected, h);
            return false;
        }
        obj = h;
        return true;
    }
};

// A bool or None argument (a bool exactly: 1 is refused).
template <Name N>
struct OptBool {
    std::optional<bool> value;
    static constexpr const char* expected = "bool or None";
    static constexpr char stub[] = "bool | None";
    static constexpr char shown[] = "bool";
    bool load(nb::handle h) noexcept {
        if (h.is_none()) return true;
        if (!PyBool_Check(h.ptr())) {
            set_type_error(N.text, expected, h);
            return false;
        }
        value = h.ptr() == Py_True;
        return true;
    }
};

// A bool argument (a bool exactly: 1 is refused).
template <Name N>
struct Bool {
    bool value = false;
    static constexpr const char* expected = "bool";
    static constexpr char stub[] = "bool";
    static constexpr auto& shown = stub;
    bool load(nb::handle h) noexcept {
        if (!PyBool_Check(h.ptr())) {
            set_type_error(N.text, expected, h);
            return false;
        }
        value = h.ptr() == Py_True;
        return true;
    }
};

}  // namespace quillmere::py

namespace nanobind::detail {

// One caster for every checked argument type. Loading always succeeds as far
// as nanobind's overload resolution is concerned: the check runs left to
// right over the arguments, the first wrong one sets the house TypeError and
// the later ones leave it standing; the error is raised when nanobind asks
// for the values, before the function body runs.
template <typename Checked>
struct checked_caster {
    using Value = Checked;
    // nanobind's own rendering (a docstring without py::def) appends
    // " | None" to every argument that reaches its caster as None.
    static constexpr auto Name = const_name(Checked::shown);
    template <typename T_>
    using Cast = movable_cast_t<T_>;
    template <typename T_>
    static constexpr bool can_cast() {
        return true;
    }

    bool from_python(handle src, uint8_t, cleanup_list*) noexcept {
        failed = PyErr_Occurred() != nullptr || !value.load(src);
        return true;
    }
    explicit operator Value*() { return &get(); }
    explicit operator Value&() { return get(); }
    explicit operator Value&&() { return std::move(get()); }

    Value& get() {
        if (failed) throw python_error();
        return value;
    }

    Value value;
    bool failed = false;
};

// Every checked argument reaches its caster, None included (the caster
// decides); the signature comes from py::def (bindings/def.hpp).
template <quillmere::py::Name N>
struct type_caster<quillmere::py::Str<N>> : checked_caster<quillmere::py::Str<N>> {};
template <quillmere::py::Name N>
struct type_caster<quillmere::py::OptStr<N>> : checked_caster<quillmere::py::OptStr<N>> {};
template <quillmere::py::Name N>
struct type_caster<quillmere::py::Int<N>> : checked_caster<quillmere::py::Int<N>> {};
template <quillmere::py::Name N>
struct type_caster<quillmere::py::OptBool<N>> : checked_caster<quillmere::py::OptBool<N>> {};
template <quillmere::py::Name N>
struct has_arg_defaults<quillmere::py::Str<N>> : std::true_type {};
template <quillmere::py::Name N>
struct has_arg_defaults<quillmere::py::OptStr<N>> : std::true_type {};
template <quillmere::py::Name N>
struct has_arg_defaults<quillmere::py::Int<N>> : std::true_type {};
template <quillmere::py::Name N>
struct has_arg_defaults<quillmere::py::OptBool<N>> : std::true_type {};
template <quillmere::py::Name N>
struct type_caster<quillmere::py::Bool<N>> : checked_caster<quillmere::py::Bool<N>> {};
template <quillmere::py::Name N>
struct has_arg_defaults<quillmere::py::Bool<N>> : std::true_type {};

}  // namespace nanobind::detail
