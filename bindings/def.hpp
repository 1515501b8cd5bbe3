// Registering functions: the signature a stub shows, made from the checked
// argument types (bindings/text.hpp), the argument annotations and the
// declared result; and running the engine with the GIL released.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>

#include "bindings/text.hpp"

namespace quillmere::py {

namespace nb = nanobind;

// Texts from this size on are analysed with the GIL released; for shorter
// ones releasing and taking it back costs more than the work.
inline constexpr std::size_t kReleaseGilFrom = 16 * 1024;

template <typename F>
decltype(auto) released_if(std::size_t bytes, F&& f) {
    if (bytes < kReleaseGilFrom) return f();
    nb::gil_scoped_release unlocked;
    return f();
}

// An argument of any type, shown in the stub as `Stub`; the function reads it.
template <Name Stub>
struct Object {
    nb::handle obj;
    static constexpr auto& stub = Stub.text;
    static constexpr char shown[] = "object";
    bool load(nb::handle h) noexcept {
        obj = h;
        return true;
    }
};

namespace detail {

template <typename... A, typename... Extra>
std::string signature(const char* name, const char* returns, const Extra&... extra) {
    const char* stubs[] = {std::remove_cvref_t<A>::stub..., nullptr};
    std::string s = std::string("def ") + name + "(";
    std::size_t i = 0;
    bool first = true;
    auto next = [&] {
        if (!first) s += ", ";
        first = false;
    };
    auto one = [&](const auto& e) {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, nb::kw_only>) {
            next();
            s += "*";
        } else if constexpr (nb::detail::arg_traits<E>::is_arg) {
            next();
            s += e.name_;
            s += ": ";
            s += stubs[i++];
            if constexpr (nb::detail::arg_traits<E>::has_default) {
                s += " = ";
                s += nb::repr(e.value).c_str();
            }
        }
    };
    (one(extra), ...);
    return s + ") -> " + returns;
}

}  // namespace detail

// m.def(name, f, extra...) with the signature "def name(args) -> returns".
// Every argument of f is a checked type with an nb::arg annotation.
template <typename R, typename... A, typename... Extra>
void def(nb::module_& m, const char* name, R (*f)(A...), const char* returns, const Extra&... extra) {
    std::string sig = detail::signature<A...>(name, returns, extra...);
    m.def(name, f, extra..., nb::sig(sig.c_str()));
}

}  // namespace quillmere::py

namespace nanobind::detail {
template <quillmere::py::Name N>
struct type_caster<quillmere::py::Object<N>> : checked_caster<quillmere::py::Object<N>> {};
template <quillmere::py::Name N>
struct has_arg_defaults<quillmere::py::Object<N>> : std::true_type {};
}  // namespace nanobind::detail
