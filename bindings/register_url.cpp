// Link unwrapping: url_unwrap, url_extract_domain and the splitter itself
// (_url_parse) for the tests.
#include <nanobind/nanobind.h>

#include <string>

#include "bindings/pystr.hpp"
#include "commerce/url_unwrapper.hpp"

namespace nb = nanobind;
namespace py = quillmere::py;
namespace url = quillmere::url;

namespace {

// Links longer than this are worth letting other threads run meanwhile.
constexpr std::size_t kReleaseGilAbove = 4096;

[[noreturn]] void raise_value_error(const url::InvalidUrl& e) {
    nb::str msg = py::str(e.message);
    PyErr_SetObject(PyExc_ValueError, msg.ptr());
    throw nb::python_error();
}

// The UnicodeEncodeError quote_plus raises for a str holding lone surrogates.
[[noreturn]] void raise_encode_error(const url::UnencodableText& e) {
    nb::str text = py::str(e.text);
    PyObject* exc = PyObject_CallFunction(PyExc_UnicodeEncodeError, "sOnns", "utf-8", text.ptr(),
                                          static_cast<Py_ssize_t>(e.start),
                                          static_cast<Py_ssize_t>(e.end), "surrogates not allowed");
    if (exc) {
        PyErr_SetObject(PyExc_UnicodeEncodeError, exc);
        Py_DECREF(exc);
    }
    throw nb::python_error();
}

template <class Fn>
auto call_engine(nb::handle arg, Fn&& fn) {
    py::require_str(arg, "url");
    py::Utf8 text = py::utf8(arg);
    try {
        if (text.view.size() > kReleaseGilAbove) {
            nb::gil_scoped_release release;
            return fn(text.view);
        }
        return fn(text.view);
    } catch (const url::InvalidUrl& e) {
        raise_value_error(e);
    } catch (const url::UnencodableText& e) {
        raise_encode_error(e);
    }
}

}  // namespace

void register_url(nb::module_& m) {
    m.def(
        "url_unwrap",
        [](nb::handle u) -> nb::object {
            // One buffer per thread; a link that comes back unchanged is returned as it is.
            thread_local std::string out;
            bool same = call_engine(u, [](std::string_view s) { return url::unwrap(s, out), out == s; });
            nb::object r = same ? nb::borrow(u) : nb::object(py::str(out));
            if (out.capacity() > 4 * kReleaseGilAbove) std::string().swap(out);
            return r;
        },
        nb::arg("url").none(), nb::sig("def url_unwrap(url: str) -> str"),
        "The clean direct link: one level of search redirect unwrapped, tracking parameters "
        "and text-fragment directives removed.");
    m.def(
        "url_extract_domain",
        [](nb::handle u) {
            return py::str(call_engine(u, [](std::string_view s) { return url::extract_domain(s); }));
        },
        nb::arg("url").none(), nb::sig("def url_extract_domain(url: str) -> str"),
        "The lower-case network location without one leading \"www.\".");
    m.def(
        "_url_parse",
        [](nb::handle u) {
            url::UrlParts p = call_engine(u, [](std::string_view s) { return url::urlparse(s); });
            return nb::make_tuple(py::str(p.scheme), py::str(p.netloc), py::str(p.path), py::str(p.params),
                                  py::str(p.query), py::str(p.fragment));
        },
        nb::arg("url").none(), "urllib.parse.urlparse(url) as a plain 6-tuple.");
}
