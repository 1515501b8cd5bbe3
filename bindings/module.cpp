// Module entry: registers the names, and maps the engine's errors to
// Python's. The logic lives in commerce/.
#include <nanobind/nanobind.h>

#include <exception>

#include "bindings/text.hpp"
#include "commerce/regex.hpp"
#include "commerce/url_unwrapper.hpp"

namespace nb = nanobind;
namespace py = quillmere::py;
namespace url = quillmere::url;

void register_text(nb::module_& m);
void register_vocabulary(nb::module_& m);
void register_url(nb::module_& m);
void register_price(nb::module_& m);
void register_merchant(nb::module_& m);
void register_extract(nb::module_& m);
void register_metadata(nb::module_& m);
void register_enricher(nb::module_& m);
void register_export(nb::module_& m);

namespace {

// Messages may quote the caller's text, lone surrogates included: they are
// decoded as the engine's other texts are.
void set_error(PyObject* type, std::string_view message) {
    try {
        PyErr_SetObject(type, py::str(message).ptr());
    } catch (nb::python_error& e) {
        e.restore();
    }
}

// A link urllib.parse cannot split: ValueError, as urlsplit raises it.
// Text quote_plus cannot encode (lone surrogates): UnicodeEncodeError, as
// quote_plus raises it. A search the regular-expression engine cannot finish:
// RuntimeError.
void translate(const std::exception_ptr& p, void*) {
    try {
        std::rethrow_exception(p);
    } catch (const url::InvalidUrl& e) {
        set_error(PyExc_ValueError, e.message);
    } catch (const url::UnencodableText& e) {
        try {
            nb::str text = py::str(e.text);
            PyObject* exc = PyObject_CallFunction(PyExc_UnicodeEncodeError, "sOnns", "utf-8", text.ptr(),
                                                  static_cast<Py_ssize_t>(e.start),
                                                  static_cast<Py_ssize_t>(e.end), "surrogates not allowed");
            if (exc) {
                PyErr_SetObject(PyExc_UnicodeEncodeError, exc);
                Py_DECREF(exc);
            }
        } catch (nb::python_error& err) {
            err.restore();
        }
    } catch (const quillmere::RegexError& e) {
        set_error(PyExc_RuntimeError, e.what());
    }
}

}  // namespace

NB_MODULE(_commerce, m) {
    m.doc() = "quillmere commerce engine (C++ core)";
    nb::register_exception_translator(translate);
    register_text(m);
    register_vocabulary(m);
    register_url(m);
    register_price(m);
    register_merchant(m);
    register_extract(m);
    register_metadata(m);
    register_enricher(m);
    register_export(m);
}
