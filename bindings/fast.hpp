// A fast door for the entry points called once per link or price.
//
// nanobind's general dispatch (keyword matching, the checked argument types,
// the exception translation set up around every call) costs about as much
// as unwrapping a usual link does (bench/bench_url.py). So these entries are
// registered twice: the checked nanobind function, which keeps the stub
// signature, the house TypeError, keyword calls and every error exactly as
// before; and in front of it, under the public name, a plain vectorcall
// function that takes the usual call (positional arguments of exactly the
// expected types, texts short enough to be analysed with the GIL held)
// straight to the engine. Every other call, and anything the engine
// refuses, goes on to the checked function, which answers or raises as
// always: the door never raises on its own.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "bindings/def.hpp"

namespace quillmere::py {

namespace nb = nanobind;

// A door's engine: the answer to the positional arguments as a new
// reference, or nullptr (an error set or not) to leave the call to the
// checked function. It may throw: the checked function then decides.
using DoorEngine = PyObject* (*)(PyObject* const* args, Py_ssize_t nargs);

// The UTF-8 text of an exact str short enough for the door, else nullptr.
inline const char* door_text(PyObject* s, std::string_view& view) {
    if (!PyUnicode_CheckExact(s)) return nullptr;
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(s, &n);  // fails for lone surrogates
    if (!text || static_cast<std::size_t>(n) >= kReleaseGilFrom) return nullptr;
    view = std::string_view(text, static_cast<std::size_t>(n));
    return text;
}

namespace detail {

template <DoorEngine Engine>
struct FastDoor {
    static inline PyObject* checked = nullptr;  // the checked function, held for the module's life

    static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        if (!kwnames) {
            PyObject* r = nullptr;
            try {
                r = Engine(args, nargs);  // a count of positional arguments (METH_FASTCALL)
            } catch (...) {
            }
            if (r) return r;
            PyErr_Clear();
        }
        return PyObject_Vectorcall(checked, args, static_cast<std::size_t>(nargs), kwnames);
    }
};

}  // namespace detail

// Puts the fast door in front of the function already registered as
// `name`; `params` are its parameters as inspect shows them, `doc` its
// docstring. The stub keeps the checked function's signature
// (tools/stub_patterns.txt).
template <DoorEngine Engine>
void front_with_fast_door(nb::module_& m, const char* name, const char* params, const char* doc) {
    using Door = detail::FastDoor<Engine>;
    static std::string text_signature = std::string(name) + "(" + params + ")\n--\n\n" + doc;
    static PyMethodDef def = {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Door::call)),
                              METH_FASTCALL | METH_KEYWORDS, text_signature.c_str()};
    Door::checked = nb::getattr(m, name).release().ptr();
    nb::object door = nb::steal(PyCFunction_NewEx(&def, nullptr, nb::str(nb::getattr(m, "__name__")).ptr()));
    if (!door) throw nb::python_error();
    nb::setattr(m, name, door);
}

// What a str -> str engine did with its text.
enum class Fast { kSame, kWritten };  // the argument itself is the answer; `out` is

// The door's engine for a str -> str function of one argument.
template <Fast (*F)(std::string_view, std::string&)>
PyObject* str_to_str(PyObject* const* args, Py_ssize_t nargs) {
    std::string_view text;
    if (nargs != 1 || !door_text(args[0], text)) return nullptr;
    thread_local std::string out;  // at most three bytes for one of a text under kReleaseGilFrom
    if (F(text, out) == Fast::kSame) return Py_NewRef(args[0]);
    return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "surrogatepass");
}

}  // namespace quillmere::py
