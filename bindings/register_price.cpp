// PriceNormalizer.parse and the number helpers (the latter as _numbers, for
// the parity tests).
#include <nanobind/stl/string.h>

#include <optional>
#include <stdexcept>

#include "bindings/pystr.hpp"
#include "bindings/records.hpp"
#include "commerce/numbers.hpp"
#include "commerce/price_normalizer.hpp"
#include "commerce/price_text.hpp"
#include "commerce/regex.hpp"
#include "commerce/text.hpp"
#include "commerce/vocabulary.hpp"

namespace nb = nanobind;
using namespace quillmere;

namespace {

// Inputs at least this large are parsed with the GIL released.
constexpr std::size_t kReleaseGilAt = 1 << 16;

// Set once at load by _set_price_pattern and kept for the life of the process:
// the host's compiled PRICE_PATTERN (parse runs the engine's own copy while
// the class still holds it) and the host function that searches any other
// pattern and unpacks the match into its three groups.
PyObject* g_default_pattern = nullptr;
PyObject* g_search_groups = nullptr;
PyObject* g_pattern_name = nullptr;
// Whether the engine's copy may stand in for the default pattern: only when
// the pattern has the three groups parse unpacks (otherwise the host path
// raises the unpacking error exactly as written).
bool g_native = false;

// The ISO codes as str objects, made once.
nb::object currency_str(std::string_view code) {
    static PyObject* cache[vocab::CURRENCY_MAP.size()] = {};
    for (std::size_t i = 0; i < vocab::CURRENCY_MAP.size(); ++i) {
        if (vocab::CURRENCY_MAP[i].second != code) continue;
        if (!cache[i]) cache[i] = py::str(code).release().ptr();
        return nb::borrow(cache[i]);
    }
    return py::str(code);
}

// `text`, a part of the str `source` (`source_size` bytes), as an exact str:
// `source` itself when it is the whole of it and not of a str subclass.
nb::object part_of(nb::handle source, std::size_t source_size, std::string_view text) {
    if (text.size() == source_size && PyUnicode_CheckExact(source.ptr())) return nb::borrow(source);
    return py::str(text);
}

nb::object record(const price::PriceView& p, nb::handle source, std::size_t source_size) {
    nb::object raw = part_of(source, source_size, p.raw);
    return py::make_price(raw, p.amount, currency_str(p.currency));
}

std::optional<std::string_view> group_text(nb::handle g, std::optional<py::Utf8>& keep) {
    if (g.is_none()) return std::nullopt;
    if (!py::is_str(g)) py::type_error("price pattern group", "str or None", g);
    keep.emplace(py::utf8(g));
    return keep->view;
}

// The extended reading: the record's currency is the code the text names,
// else the hint's code (or the hint upper-cased), else USD.
nb::object parse_extended(nb::handle raw_price, std::string_view text, std::optional<std::string_view> hint) {
    std::optional<price_text::Normalized> p;
    {
        nb::gil_scoped_release unlocked;
        p = price_text::normalize(text, hint);
    }
    if (!p) return nb::none();
    return py::make_price(part_of(raw_price, text.size(), p->raw), p->amount, currency_str(p->currency));
}

nb::object parse(nb::handle cls, nb::handle raw_price, nb::handle currency_hint, nb::handle extended) {
    py::require_optional_str(raw_price, "raw_price");
    py::require_optional_str(currency_hint, "currency_hint");
    if (!PyBool_Check(extended.ptr())) py::type_error("extended", "bool", extended);
    if (raw_price.is_none()) return nb::none();
    py::Utf8 raw = py::utf8(raw_price);
    if (raw.view.empty()) return nb::none();
    std::optional<py::Utf8> hint_text;
    std::optional<std::string_view> hint;
    if (!currency_hint.is_none()) {
        hint_text.emplace(py::utf8(currency_hint));
        hint = hint_text->view;
    }

    if (extended.ptr() == Py_True) return parse_extended(raw_price, raw.view, hint);

    if (!g_search_groups) throw std::logic_error("the price pattern has not been set");
    nb::object pattern = nb::steal(PyObject_GetAttr(cls.ptr(), g_pattern_name));
    if (!pattern.is_valid()) throw nb::python_error();

    if (g_native && pattern.ptr() == g_default_pattern) {
        std::optional<price::PriceView> p;
        if (raw.view.size() >= kReleaseGilAt) {
            nb::gil_scoped_release unlocked;
            p = price::parse_view(raw.view, hint);
        } else {
            p = price::parse_view(raw.view, hint);
        }
        return p ? record(*p, raw_price, raw.view.size()) : nb::none();
    }

    // A subclass's own pattern: the host searches it and unpacks the groups.
    std::string_view cleaned = text::strip(raw.view);
    if (cleaned.empty()) return nb::none();
    nb::object cleaned_str = part_of(raw_price, raw.view.size(), cleaned);
    nb::object groups = nb::borrow(g_search_groups)(pattern, cleaned_str);
    if (groups.is_none()) return nb::none();
    if (!PyTuple_Check(groups.ptr()) || PyTuple_GET_SIZE(groups.ptr()) != 3)
        throw nb::value_error("price pattern search must give three groups");
    nb::handle number = PyTuple_GET_ITEM(groups.ptr(), 1);
    if (number.is_none()) {
        PyErr_SetString(PyExc_AttributeError, "'NoneType' object has no attribute 'replace'");
        throw nb::python_error();
    }
    std::optional<py::Utf8> kb, kn, ka;
    auto before = group_text(PyTuple_GET_ITEM(groups.ptr(), 0), kb);
    auto number_text = group_text(number, kn);
    auto after = group_text(PyTuple_GET_ITEM(groups.ptr(), 2), ka);
    std::optional<price::PriceView> p =
        price::from_groups(cleaned, before.value_or(""), *number_text, after.value_or(""), hint);
    return p ? record(*p, cleaned_str, cleaned.size()) : nb::none();
}

void set_pattern(nb::handle text, nb::handle compiled, nb::handle search_groups) {
    py::require_str(text, "pattern");
    try {
        price::set_pattern(py::utf8(text).view);
    } catch (const RegexError& e) {
        throw nb::value_error(e.what());
    }
    Py_XDECREF(g_default_pattern);
    Py_XDECREF(g_search_groups);
    g_default_pattern = nb::borrow(compiled).release().ptr();
    g_search_groups = nb::borrow(search_groups).release().ptr();
    g_native = nb::cast<int>(compiled.attr("groups")) == 3;
}

void register_numbers(nb::module_& m) {
    nb::module_ n = m.def_submodule("_numbers", "Python number formatting and parsing (for tests)");
    n.def("round2", &numbers::round2);
    n.def("repr", &numbers::repr);
    n.def("fixed2", &numbers::fixed2);
    n.def("parse_float", [](nb::handle s) -> nb::object {
        py::require_str(s, "s");
        auto v = numbers::parse_python_float(py::utf8(s).view);
        return v ? nb::object(nb::float_(*v)) : nb::none();
    });
}

}  // namespace

void register_price(nb::module_& m) {
    g_pattern_name = PyUnicode_InternFromString("PRICE_PATTERN");
    m.def("_set_price_pattern", &set_pattern, nb::arg("text").none(), nb::arg("compiled"), nb::arg("search_groups"),
          "Hands the composed price pattern to the engine (called once at load).");
    m.def("price_parse", &parse, nb::arg("cls"), nb::arg("raw_price").none(),
          nb::arg("currency_hint").none() = nb::none(), nb::kw_only(), nb::arg("extended").none() = false,
          nb::sig("def price_parse(cls: type[object], raw_price: str | None, currency_hint: str | None = None, "
                  "*, extended: bool = False) -> quillmere.models.NormalizedPrice | None"),
          "PriceNormalizer.parse: a price text to a NormalizedPrice, or None.");
    m.def("_price_record_fast_path", [] { return py::PriceRecords::get().fast(); },
          "Whether NormalizedPrice records are built without revalidation.");
    m.def("_price_record",
          [](nb::handle raw, double amount, nb::handle currency) {
              py::require_str(raw, "raw");
              py::require_str(currency, "currency");
              return py::make_price(raw, amount, currency);
          },
          nb::arg("raw").none(), nb::arg("amount"), nb::arg("currency").none(),
          "The engine's NormalizedPrice construction on its own (for measurements).");
    register_numbers(m);
}
