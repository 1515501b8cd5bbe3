// Structured-data extractors, JSON values and HTML character references for
// the host: conversion of the engine's answers into Python objects.
#include <nanobind/nanobind.h>

#include <unordered_map>

#include "bindings/pystr.hpp"
#include "commerce/html_entities.hpp"
#include "commerce/json.hpp"
#include "commerce/extractors.hpp"

namespace nb = nanobind;
using namespace quillmere;

namespace {

// JSON value -> new Python object (dict, list, str, int, float, bool, None).
// Recursion is bounded by json::kMaxDepth, which the parser enforces.
class Converter {
public:
    // Objects listed here are converted once and shared, so a record found
    // twice comes back as the same dict.
    std::unordered_map<const json::Value*, PyObject*> shared;

    ~Converter() {
        for (auto& [k, o] : shared) Py_XDECREF(o);
        for (auto& [k, o] : keys_) Py_DECREF(o);
    }

    nb::object operator()(const json::Value& v) {
        PyObject* o = convert(v);
        if (!o) throw nb::python_error();
        return nb::steal(o);
    }

private:
    // Member names repeat across the objects of a document; like json.loads,
    // reuse one str per distinct name.
    std::unordered_map<std::string_view, PyObject*> keys_;

    PyObject* key(const std::string& k) {
        auto [it, inserted] = keys_.try_emplace(k, nullptr);
        if (inserted) {
            it->second = text(k);
            if (!it->second) {
                keys_.erase(it);
                return nullptr;
            }
        }
        Py_INCREF(it->second);
        return it->second;
    }

    PyObject* convert(const json::Value& v) {
        if (v.is_object() && !shared.empty()) {
            auto it = shared.find(&v);
            if (it != shared.end()) {
                if (!it->second) it->second = convert_object(v.object());
                Py_XINCREF(it->second);
                return it->second;
            }
        }
        return std::visit(
            [&](const auto& x) -> PyObject* {
                using T = std::decay_t<decltype(x)>;
                if constexpr (std::is_same_v<T, json::Null>) {
                    Py_RETURN_NONE;
                } else if constexpr (std::is_same_v<T, bool>) {
                    return PyBool_FromLong(x);
                } else if constexpr (std::is_same_v<T, std::int64_t>) {
                    return PyLong_FromLongLong(x);
                } else if constexpr (std::is_same_v<T, json::BigInt>) {
                    return PyLong_FromString(x.digits.c_str(), nullptr, 10);
                } else if constexpr (std::is_same_v<T, double>) {
                    return PyFloat_FromDouble(x);
                } else if constexpr (std::is_same_v<T, std::string>) {
                    return text(x);
                } else if constexpr (std::is_same_v<T, json::Array>) {
                    PyObject* list = PyList_New(static_cast<Py_ssize_t>(x.size()));
                    if (!list) return nullptr;
                    for (std::size_t i = 0; i < x.size(); ++i) {
                        PyObject* item = convert(x[i]);
                        if (!item) {
                            Py_DECREF(list);
                            return nullptr;
                        }
                        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
                    }
                    return list;
                } else {
                    return convert_object(x);
                }
            },
            v.v);
    }

    PyObject* convert_object(const json::Object& obj) {
        PyObject* dict = PyDict_New();
        if (!dict) return nullptr;
        for (const json::Member& m : obj.members) {
            PyObject* name = key(m.key);
            PyObject* value = name ? convert(m.value) : nullptr;
            int rc = value ? PyDict_SetItem(dict, name, value) : -1;
            Py_XDECREF(name);
            Py_XDECREF(value);
            if (rc < 0) {
                Py_DECREF(dict);
                return nullptr;
            }
        }
        return dict;
    }

    static PyObject* text(const std::string& s) {
        return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
    }
};

std::optional<json::Value> parse_released(std::string_view text) {
    nb::gil_scoped_release unlocked;
    return json::parse(text);
}

json::Value parse_or_raise(nb::handle text) {
    py::require_str(text, "text");
    auto u = py::utf8(text);
    std::optional<json::Value> v = parse_released(u.view);
    if (!v) throw nb::value_error("invalid JSON document");
    return std::move(*v);
}

// Pages from this size on are analysed without holding the GIL; for smaller
// ones releasing and taking it back would cost more than the analysis.
constexpr std::size_t kReleaseGilFrom = 64 * 1024;

// Runs f on the page's UTF-8 text.
template <typename F>
auto analyse(nb::handle html, F f) {
    py::require_str(html, "html");
    auto u = py::utf8(html);
    if (u.view.size() < kReleaseGilFrom) return f(u.view);
    nb::gil_scoped_release unlocked;
    return f(u.view);
}

}  // namespace

void register_extract(nb::module_& m) {
    m.def(
        "find_ld_json_products",
        [](nb::handle html) {
            metadata::LdJsonProducts found = analyse(html, metadata::find_ld_json_products);
            Converter convert;
            for (const json::Value* p : found.products) convert.shared.emplace(p, nullptr);
            nb::list out;
            for (const json::Value* p : found.products) out.append(convert(*p));
            return out;
        },
        nb::arg("html").none(), nb::sig("def find_ld_json_products(html: str) -> list[dict[str, typing.Any]]"),
        "The JSON-LD product records of a page, in discovery order.");
    m.def(
        "find_next_data_product",
        [](nb::handle html) -> nb::object {
            std::optional<metadata::NextDataProduct> found = analyse(html, metadata::find_next_data_product);
            if (!found) return nb::none();
            return Converter()(*found->product);
        },
        nb::arg("html").none(),
        nb::sig("def find_next_data_product(html: str) -> dict[str, typing.Any] | None"),
        "The product object of a page's Next.js data, or None.");
    m.def(
        "extract_meta_tags",
        [](nb::handle html) {
            metadata::MetaMap found = analyse(html, metadata::extract_meta_tags);
            nb::dict out;
            for (const auto& [k, v] : found.entries) out[py::str(k)] = py::str(v);
            return out;
        },
        nb::arg("html").none(), nb::sig("def extract_meta_tags(html: str) -> dict[str, str]"),
        "Lower-case meta names to their content, last value winning.");
    m.def(
        "extract_html_title",
        [](nb::handle html) -> nb::object {
            std::optional<std::string> found = analyse(html, metadata::extract_html_title);
            if (!found) return nb::none();
            return py::str(*found);
        },
        nb::arg("html").none(), nb::sig("def extract_html_title(html: str) -> str | None"),
        "The page title with white space collapsed, or None.");

    m.def("_json_loads", [](nb::handle text) { return Converter()(parse_or_raise(text)); },
          "json.loads(text) computed by the engine (for tests).");
    m.def("_json_text_form", [](nb::handle text) { return py::str(json::text_form(parse_or_raise(text))); },
          "The engine's text form of the parsed document (for tests).");
    m.def(
        "_html_unescape",
        [](nb::handle text) {
            py::require_str(text, "text");
            auto u = py::utf8(text);
            std::string out;
            {
                nb::gil_scoped_release unlocked;
                out = html::unescape(u.view);
            }
            return py::str(out);
        },
        "html.unescape(text) computed by the engine (for tests).");
}
