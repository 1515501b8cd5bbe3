// CSV export of the enriched items, and the atomic file writer both exports
// use: reading the items' fields, and the file path.
#pragma once

#include <nanobind/nanobind.h>

#include <cerrno>
#include <deque>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "bindings/capi.hpp"
#include "bindings/def.hpp"
#include "commerce/export.hpp"
#include "commerce/numbers.hpp"

namespace quillmere::py {

// The UTF-8 text of a str the engine made itself (no lone surrogates).
inline std::string_view strict_utf8(nb::handle s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!p) throw nb::python_error();
    return {p, static_cast<std::size_t>(n)};
}

// One row's fields. Every str read is kept alive by `held` (and its UTF-8
// text cached in it) until the row has been appended.
struct Row {
    exporter::CsvRow cells;
    std::vector<nb::object> held;
    std::deque<Utf8> texts;         // lone surrogates travel as their three-byte form
    std::deque<std::string> owned;  // texts the row makes itself (stable addresses)

    std::string_view keep(nb::object s) {
        texts.push_back(utf8(s));
        held.push_back(std::move(s));
        return texts.back().view;
    }
    std::string_view own(std::string s) {
        owned.push_back(std::move(s));
        return owned.back();
    }

    std::string_view text_field(nb::handle obj, const char* attr) {
        nb::object v = obj.attr(attr);
        require_str(v, attr);
        return keep(std::move(v));
    }
    std::string_view optional_text_field(nb::handle obj, const char* attr) {
        nb::object v = obj.attr(attr);
        require_optional_str(v, attr);
        return v.is_none() ? std::string_view{} : keep(std::move(v));
    }
    // The text value of an enumeration member, or "" when the field is absent.
    std::string_view member_value(nb::handle obj, const char* attr, bool optional) {
        nb::object member = obj.attr(attr);
        if (optional && member.is_none()) return {};
        nb::object value = member.attr("value");
        if (!is_str(value)) {
            std::string name = std::string(attr) + ".value";
            type_error(name.c_str(), "str", value);
        }
        return keep(std::move(value));
    }
};

// A number as the csv module writes it: floats by repr, integers in decimal.
inline std::string number_text(nb::handle amount) {
    if (PyFloat_Check(amount.ptr())) return numbers::repr(capi::float_value(amount.ptr()));
    if (PyLong_Check(amount.ptr())) return std::string(strict_utf8(nb::str(amount)));
    type_error("price.amount", "float", amount);
}

// Gathers one item's fields, in the order the export reads them.
inline void gather(Row& row, nb::handle item) {
    using C = exporter::Column;
    exporter::CsvRow& c = row.cells;
    nb::object price = item.attr("price");
    if (!price.is_none()) {
        c[C::PRICE_AMOUNT] = row.own(number_text(price.attr("amount")));
        nb::object currency = price.attr("currency");
        require_str(currency, "price.currency");
        c[C::CURRENCY] = row.keep(std::move(currency));
    }
    c[C::STOCK_STATUS] = row.member_value(item, "stock_status", true);
    c[C::CONDITION] = row.member_value(item, "condition", true);
    c[C::RELEVANCE] = row.member_value(item, "relevance", true);
    nb::object score = item.attr("match_score");
    if (!PyLong_Check(score.ptr())) type_error("match_score", "int", score);
    c[C::MATCH_SCORE] = row.own(std::string(strict_utf8(nb::str(score))) + "%");
    c[C::PAGE_TYPE] = row.member_value(item, "page_type", false);
    c[C::BRAND] = row.optional_text_field(item, "brand");
    c[C::SKU] = row.optional_text_field(item, "sku");
    c[C::TITLE] = row.text_field(item, "title");
    c[C::MERCHANT_NAME] = row.optional_text_field(item, "merchant_name");
    c[C::MERCHANT_CATEGORY] = row.member_value(item, "merchant_category", true);
    c[C::DIRECT_URL] = row.text_field(item, "direct_url");
    c[C::ORIGINAL_URL] = row.text_field(item, "original_url");
    c[C::PRIMARY_IMAGE_URL] = row.optional_text_field(item, "primary_image_url");
}

// The file-system path of a str, bytes or os.PathLike, as bytes.
inline std::string fs_path(nb::handle path) {
    PyObject* b = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &b)) throw nb::python_error();
    nb::object owned = nb::steal(b);
    std::string_view bytes;
    if (!capi::bytes_view(b, bytes)) throw nb::python_error();
    return std::string(bytes);
}

inline void write_atomically(nb::handle path, std::string_view content,
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

inline void write_csv(nb::handle items, nb::handle path) {
    if (!PyList_Check(items.ptr())) type_error("items", "list", items);
    std::vector<nb::object> snapshot;
    for (Py_ssize_t i = 0; i < capi::list_size(items.ptr()); ++i)
        snapshot.push_back(nb::borrow(capi::list_item(items.ptr(), i)));

    std::string out;
    exporter::append_csv_row(out, exporter::csv_header());
    for (const nb::object& item : snapshot) {
        Row row;
        gather(row, item);
        exporter::append_csv_row(out, row.cells.fields);
    }
    write_atomically(path, out);
}

inline void write_bytes(nb::handle path, nb::bytes data, bool named_temporary) {
    write_atomically(path, std::string_view(data.c_str(), data.size()),
                     named_temporary ? exporter::Temporary::NAMED : exporter::Temporary::UNNAMED_IF_SUPPORTED);
}

}  // namespace quillmere::py
