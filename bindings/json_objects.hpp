// JSON values to the Python objects json.loads gives.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <variant>

#include "bindings/capi.hpp"
#include "commerce/json.hpp"

namespace quillmere::py {

namespace nb = nanobind;

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
                        if (!capi::list_init_item(list, static_cast<Py_ssize_t>(i), item)) {
                            Py_DECREF(list);
                            return nullptr;
                        }
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

}  // namespace quillmere::py
