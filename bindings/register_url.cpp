// Link unwrapping: url_unwrap, url_extract_domain and the splitter itself
// (_url_parse) for the tests.
#include "bindings/def.hpp"
#include "bindings/fast.hpp"
#include <nanobind/stl/string.h>
#include "commerce/url_unwrapper.hpp"
#include "commerce/urlparse.hpp"

#include <string>

namespace nb = nanobind;
using namespace nb::literals;
using namespace quillmere;

namespace {

constexpr const char* kUnwrapDoc =
    "The clean direct link: one level of search redirect unwrapped, tracking parameters "
    "and text-fragment directives removed.";
constexpr const char* kDomainDoc = "The lower-case network location without one leading \"www.\".";

py::Fast unwrap(std::string_view link, std::string& out) {
    return url::unwrap(link, out) ? py::Fast::kSame : py::Fast::kWritten;
}
py::Fast extract_domain(std::string_view link, std::string& out) {
    out = url::extract_domain(link);
    return py::Fast::kWritten;
}

// The host interpreter's urllib.parse rules where they differ between
// releases (commerce/urlparse.hpp), read once as the module loads. Should
// the reading fail, the building Python's rules stay, and a warning says so.
void adopt_host_url_rules() {
    try {
        nb::module_ parse = nb::module_::import_("urllib.parse");
        url::HostRules rules;
        nb::object rebuilt = parse.attr("urlunsplit")(nb::make_tuple("http", "", "p", "", ""));
        rules.unsplit_keeps_relative_path = nb::cast<std::string>(rebuilt) == "http:p";
        try {
            parse.attr("urlsplit")("http://a[::1]/");
            rules.checks_bracketed_netloc = false;
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_ValueError)) throw;
            rules.checks_bracketed_netloc = true;
        }
        for (nb::handle s : parse.attr("uses_netloc")) rules.uses_netloc.push_back(nb::cast<std::string>(s));
        for (nb::handle s : parse.attr("uses_params")) rules.uses_params.push_back(nb::cast<std::string>(s));
        url::adopt_host_rules(std::move(rules));
    } catch (const std::exception& e) {
        std::string what = std::string("quillmere: could not read this Python's urllib.parse rules (") + e.what() +
                           "); links are split as the building Python splits them";
        // Where warnings are errors, the import fails with it.
        if (PyErr_WarnEx(PyExc_RuntimeWarning, what.c_str(), 1) != 0) throw nb::python_error();
    }
}

}  // namespace

void register_url(nb::module_& m) {
    adopt_host_url_rules();
    py::def(m, "url_unwrap", +[](py::Str<"url"> u) -> nb::object {
        // One output buffer per thread; a link that comes back unchanged is
        // returned as it is (when it is a plain str).
        thread_local std::string out;
        bool same = py::released_if(u.size(), [&] { return url::unwrap(u.view, out); });
        nb::object r = !same ? nb::object(py::str(out))
                       : PyUnicode_CheckExact(u.obj.ptr()) ? nb::borrow(u.obj)
                                                            : nb::object(py::str(u.view));
        if (out.capacity() > 4 * py::kReleaseGilFrom) std::string().swap(out);
        return r;
    }, "str", "url"_a, kUnwrapDoc);
    py::def(m, "url_extract_domain", +[](py::Str<"url"> u) {
        return py::str(py::released_if(u.size(), [&] { return url::extract_domain(u.view); }));
    }, "str", "url"_a, kDomainDoc);
    // Once per link: the usual call skips the general dispatch (bindings/fast.hpp).
    py::front_with_fast_door<py::str_to_str<unwrap>>(m, "url_unwrap", "url", kUnwrapDoc);
    py::front_with_fast_door<py::str_to_str<extract_domain>>(m, "url_extract_domain", "url", kDomainDoc);
    m.def("_url_parse", [](py::Str<"url"> u) {
        url::UrlParts p = url::urlparse(u.view);
        return nb::make_tuple(py::str(p.scheme), py::str(p.netloc), py::str(p.path), py::str(p.params),
                              py::str(p.query), py::str(p.fragment));
    }, "url"_a, "urllib.parse.urlparse(url) as a plain 6-tuple.");
}
