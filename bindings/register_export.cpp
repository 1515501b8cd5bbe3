// CSV export of the enriched items, and the atomic file writer both exports use.
#include <nanobind/nanobind.h>

#include <array>
#include <cerrno>
#include <deque>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "bindings/pystr.hpp"
#include "commerce/export.hpp"
#include "commerce/numbers.hpp"

namespace nb = nanobind;
using namespace quillmere;

namespace {

// The UTF-8 text of a str the engine made itself (no lone surrogates).
std::string_view strict_utf8(nb::handle s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!p) throw nb::python_error();
    return {p, static_cast<std::size_t>(n)};
}

// One row's fields. Every str read is kept alive by `held` (and its UTF-8
// text cached in it) until the row has been appended.
struct Row {
    std::array<std::string_view, 15> fields{};
    std::vector<nb::object> held;
    std::deque<py::Utf8> texts;     // lone surrogates travel as their three-byte form
    std::deque<std::string> owned;  // texts the row makes itself (stable addresses)

    std::string_view keep(nb::object s) {
        texts.push_back(py::utf8(s));
        held.push_back(std::move(s));
        return texts.back().view;
    }
    std::string_view own(std::string s) {
        owned.push_back(std::move(s));
        return owned.back();
    }
};

enum Col { SCORE, RELEVANCE, PAGE_TYPE, BRAND, SKU, CONDITION, TITLE, AMOUNT, CURRENCY, STOCK, MERCHANT,
           CATEGORY, DIRECT, ORIGINAL, IMAGE };

std::string_view text_field(Row& row, nb::handle obj, const char* attr) {
    nb::object v = obj.attr(attr);
    py::require_str(v, attr);
    return row.keep(std::move(v));
}

std::string_view optional_text_field(Row& row, nb::handle obj, const char* attr) {
    nb::object v = obj.attr(attr);
    py::require_optional_str(v, attr);
    return v.is_none() ? std::string_view{} : row.keep(std::move(v));
}

// The text value of an enumeration member, or "" when the field is absent.
std::string_view member_value(Row& row, nb::handle obj, const char* attr, bool optional) {
    nb::object member = obj.attr(attr);
    if (optional && member.is_none()) return {};
    nb::object value = member.attr("value");
    if (!py::is_str(value)) {
        std::string name = std::string(attr) + ".value";
        py::type_error(name.c_str(), "str", value);
    }
    return row.keep(std::move(value));
}

// A number as the csv module writes it: floats by repr, integers in decimal.
std::string number_text(nb::handle amount) {
    if (PyFloat_Check(amount.ptr())) return numbers::repr(PyFloat_AS_DOUBLE(amount.ptr()));
    if (PyLong_Check(amount.ptr())) {
        nb::str s = nb::str(amount);
        return std::string(strict_utf8(s));
    }
    py::type_error("price.amount", "float", amount);
}

// Gathers one item's fields, in the order the export reads them.
void gather(Row& row, nb::handle item) {
    nb::object price = item.attr("price");
    if (!price.is_none()) {
        row.fields[AMOUNT] = row.own(number_text(price.attr("amount")));
        nb::object currency = price.attr("currency");
        py::require_str(currency, "price.currency");
        row.fields[CURRENCY] = row.keep(std::move(currency));
    }
    row.fields[STOCK] = member_value(row, item, "stock_status", true);
    row.fields[CONDITION] = member_value(row, item, "condition", true);
    row.fields[RELEVANCE] = member_value(row, item, "relevance", true);
    nb::object score = item.attr("match_score");
    if (!PyLong_Check(score.ptr())) py::type_error("match_score", "int", score);
    row.fields[SCORE] = row.own(std::string(strict_utf8(nb::str(score))) + "%");
    row.fields[PAGE_TYPE] = member_value(row, item, "page_type", false);
    row.fields[BRAND] = optional_text_field(row, item, "brand");
    row.fields[SKU] = optional_text_field(row, item, "sku");
    row.fields[TITLE] = text_field(row, item, "title");
    row.fields[MERCHANT] = optional_text_field(row, item, "merchant_name");
    row.fields[CATEGORY] = member_value(row, item, "merchant_category", true);
    row.fields[DIRECT] = text_field(row, item, "direct_url");
    row.fields[ORIGINAL] = text_field(row, item, "original_url");
    row.fields[IMAGE] = optional_text_field(row, item, "primary_image_url");
}

// The file-system path of a str, bytes or os.PathLike, as bytes.
std::string fs_path(nb::handle path) {
    PyObject* b = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &b)) throw nb::python_error();
    nb::object owned = nb::steal(b);
    return std::string(PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b)));
}

void write_atomically(nb::handle path, std::string_view content,
                      exporter::Temporary temporary = exporter::Temporary::UNNAMED_IF_SUPPORTED) {
    std::string target = fs_path(path);
    int err = 0;
    {
        nb::gil_scoped_release unlocked;
        try {
            exporter::write_file_atomically(target, content, temporary);
        } catch (const std::system_error& e) {
            err = e.code().value();
        }
    }
    if (err != 0) {
        errno = err;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
        throw nb::python_error();
    }
}

void write_csv(nb::handle items, nb::handle path) {
    if (!PyList_Check(items.ptr())) py::type_error("items", "list", items);
    std::vector<nb::object> snapshot;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i)
        snapshot.push_back(nb::borrow(PyList_GET_ITEM(items.ptr(), i)));

    std::string out;
    exporter::append_csv_row(out, exporter::csv_header());
    for (const nb::object& item : snapshot) {
        Row row;
        gather(row, item);
        exporter::append_csv_row(out, row.fields);
    }
    write_atomically(path, out);
}

void write_bytes(nb::handle path, nb::bytes data, bool named_temporary) {
    write_atomically(path, std::string_view(data.c_str(), data.size()),
                     named_temporary ? exporter::Temporary::NAMED : exporter::Temporary::UNNAMED_IF_SUPPORTED);
}

}  // namespace

void register_export(nb::module_& m) {
    m.def("_write_commerce_csv", &write_csv, nb::arg("items"), nb::arg("path"),
          "Writes the items as CSV (header and one row per item) to path, replacing it atomically.");
    m.def("_write_file_atomically", &write_bytes, nb::arg("path"), nb::arg("data"), nb::kw_only(),
          nb::arg("named_temporary") = false,
          "Writes data to path through a temporary file beside it that then replaces path "
          "(a named one throughout with named_temporary).");
}
