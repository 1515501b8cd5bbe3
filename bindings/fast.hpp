// A fast door for the str -> str entry points called once per link.
//
// nanobind's general dispatch (keyword matching, the checked argument types,
// the exception translation set up around every call) costs about as much
// as unwrapping a usual link does (bench/bench_url.py). So these entries are
// registered twice: the checked nanobind function, which keeps the stub
// signature, the house TypeError, keyword calls and every error exactly as
// before; and in front of it, under the public name, a plain vectorcall
// function that takes the usual call (one positional argument, a str exactly,
// short enough to be analysed with the GIL held) straight to the engine.
// Every other call, and any text the engine refuses, goes on to the checked
// function, which then answers or raises as always.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "bindings/def.hpp"

namespace quillmere::py {

namespace nb = nanobind;

// What a fast entry did with its argument.
enum class Fast { kSame, kWritten, kChecked };  // the argument itself is the answer; `out` is; ask the checked path

namespace detail {

template <Fast (*Engine)(std::string_view, std::string&)>
struct FastDoor {
    static inline PyObject* checked = nullptr;  // the checked function, held for the module's life

    static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        if (nargs == 1 && !kwnames && PyUnicode_CheckExact(args[0])) {
            Py_ssize_t n = 0;
            const char* text = PyUnicode_AsUTF8AndSize(args[0], &n);
            if (text && static_cast<std::size_t>(n) < kReleaseGilFrom) {
                thread_local std::string out;
                Fast done = Fast::kChecked;
                try {
                    done = Engine(std::string_view(text, static_cast<std::size_t>(n)), out);
                } catch (...) {  // the checked path raises it as the engine's error
                }
                if (done == Fast::kSame) return Py_NewRef(args[0]);
                if (done == Fast::kWritten)
                    return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "surrogatepass");
            }
            PyErr_Clear();  // a str with lone surrogates: the checked path encodes it
        }
        return PyObject_Vectorcall(checked, args, static_cast<std::size_t>(nargs), kwnames);
    }
};

}  // namespace detail

// Puts the fast door in front of the function already registered as
// `name`, whose one argument is `arg`. `doc` is the function's docstring;
// the stub keeps the checked function's signature (tools/stub_patterns.txt).
template <Fast (*Engine)(std::string_view, std::string&)>
void front_with_fast_door(nb::module_& m, const char* name, const char* arg, const char* doc) {
    using Door = detail::FastDoor<Engine>;
    static std::string text_signature = std::string(name) + "(" + arg + ")\n--\n\n" + doc;
    static PyMethodDef def = {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Door::call)),
                              METH_FASTCALL | METH_KEYWORDS, text_signature.c_str()};
    Door::checked = nb::getattr(m, name).release().ptr();
    nb::object door = nb::steal(PyCFunction_NewEx(&def, nullptr, nb::str(nb::getattr(m, "__name__")).ptr()));
    if (!door) throw nb::python_error();
    nb::setattr(m, name, door);
}

}  // namespace quillmere::py
