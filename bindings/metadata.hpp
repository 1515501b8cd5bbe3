// DestinationMetadataParser.parse_metadata: its arguments read into the
// engine's input, and the metadata map built from the answer.
#pragma once

#include <nanobind/nanobind.h>

#include <cmath>
#include <optional>
#include <string>

#include "bindings/capi.hpp"
#include "bindings/def.hpp"
#include "bindings/records.hpp"
#include "commerce/extended.hpp"
#include "commerce/markup.hpp"
#include "commerce/metadata_parser.hpp"
#include "commerce/text.hpp"
#include "commerce/url_unwrapper.hpp"

namespace quillmere::py {

// A Python int as the engine's integer of any size.
inline metadata::Integer integer_of(nb::handle n) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow == 0) return metadata::Integer(v);
    nb::str digits = nb::str(n);
    return metadata::Integer::from_decimal(digits.c_str());
}

inline nb::object int_of(const metadata::Integer& n) {
    if (n.fits()) return nb::int_(n.value);
    PyObject* o = PyLong_FromString(n.decimal().c_str(), nullptr, 10);
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

// A price from the page's own figures; only a caller's initial price can
// carry an amount the record refuses, and then the record's own validation
// error is raised, as for any other refused value.
inline nb::object page_price(const Price& p) {
    if (std::isfinite(p.amount) && p.amount >= 0) return make_price(p);
    nb::object cls = models().attr("NormalizedPrice");
    return cls(nb::arg("raw") = str(p.raw), nb::arg("amount") = p.amount, nb::arg("currency") = str(p.currency));
}

inline nb::dict parse_metadata(OptStr<"html"> html, Str<"direct_url"> direct_url, Str<"initial_title"> initial_title,
                               Str<"initial_merchant"> initial_merchant,
                               Object<"quillmere.models.NormalizedPrice | None"> initial_price,
                               OptBool<"initial_stock"> initial_stock, Int<"rank"> rank,
                               Bool<"extended"> extended) {
    metadata::Input in;
    in.extended = extended.value;
    in.html = html.view();
    in.direct_url = direct_url.view;
    in.initial_title = initial_title.view;
    in.initial_merchant = initial_merchant.view;
    in.initial_stock = initial_stock.value;
    nb::handle price = initial_price.obj;
    if (!price.is_none()) {
        // The link is split before the price is read: its error comes first.
        url::urlparse(direct_url.view);
        nb::object as_float = nb::steal(PyNumber_Float(nb::object(price.attr("amount")).ptr()));
        if (!as_float.is_valid()) throw nb::python_error();
        nb::object currency = price.attr("currency");
        if (!is_str(currency)) type_error("initial_price.currency", "str", currency);
        in.initial_price = metadata::InitialPrice{capi::float_value(as_float.ptr()), std::string(utf8(currency).view)};
    }
    in.rank = integer_of(rank.obj);

    metadata::Metadata md = released_if(html.size(), [&] { return metadata::parse_metadata(in); });

    nb::dict out;
    out["title"] = str(md.title);
    out["merchant_name"] = str(md.merchant_name);
    out["brand"] = opt_str(md.brand);
    out["sku"] = opt_str(md.sku);
    out["price"] = md.price ? page_price(*md.price) : nb::none();
    out["stock_status"] = opt_enum(md.stock_status);
    out["condition"] = opt_enum(md.condition);
    out["primary_image_url"] = opt_str(md.primary_image_url);
    out["shipping_info"] = nb::none();
    out["page_type"] = enum_member(md.page_type);
    out["match_score"] = int_of(md.match_score);
    out["fetch_source"] = str(md.fetch_source);
    return out;
}

// Bench hook: every candidate of the extended analysis for price, SKU and
// availability, best first, each as (value, rule); a price value is
// (amount, currency). The first of each list is parse_metadata's answer.
inline nb::dict extended_trace(Str<"html"> html, Str<"direct_url"> direct_url) {
    metadata::Input in;
    in.extended = true;
    in.html = html.view;
    in.direct_url = direct_url.view;
    extended::Findings x;
    in.trace = &x;
    released_if(html.size(), [&] { return metadata::parse_metadata(in); });
    nb::list prices, skus, stocks;
    for (const auto& c : x.prices) prices.append(nb::make_tuple(nb::make_tuple(c.amount, str(c.currency)), str(c.rule)));
    for (const auto& c : x.skus) skus.append(nb::make_tuple(str(c.text), str(c.rule)));
    for (const auto& c : x.stocks) stocks.append(nb::make_tuple(opt_enum(std::optional<StockStatus>(c.stock)), str(c.rule)));
    nb::dict out;
    out["price"] = prices;
    out["sku"] = skus;
    out["availability"] = stocks;
    return out;
}

// Test hooks: the markup searches against Python's re on the same text.
inline nb::list markup_patterns() {
    nb::list out;
    for (int k = 0; k < metadata::kMarkupCount; ++k)
        out.append(str(metadata::markup_pattern(static_cast<metadata::Markup>(k))));
    return out;
}

inline nb::object markup_search(int which, Str<"html"> html) {
    if (which < 0 || which >= metadata::kMarkupCount) throw nb::index_error("no such markup pattern");
    std::optional<metadata::MarkupMatch> found =
        released_if(html.size(), [&] { return metadata::find_markup(static_cast<metadata::Markup>(which), html.view); });
    if (!found) return nb::none();
    // Offsets in code points, as re reports them.
    std::size_t start = text::length(html.view.substr(0, found->start));
    return nb::make_tuple(start, str(found->group));
}

inline bool lower_contains(Str<"html"> html, Str<"needle"> needle) {
    return metadata::lower_contains(html.view, needle.view);
}

}  // namespace quillmere::py
