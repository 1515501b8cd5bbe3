// The deep enrichment's native stages: unwrapping the matches' links before
// the batch fetch, and the per-match analysis and record building after it.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/capi.hpp"
#include "bindings/def.hpp"
#include "bindings/metadata.hpp"
#include "bindings/records.hpp"
#include "commerce/commerce_enricher.hpp"

namespace quillmere::py {

// ---- reading the matches ----------------------------------------------------

// Keeps every str whose UTF-8 text the batch reads alive (and its text in
// place) while the GIL is released.
struct Keep {
    std::vector<nb::object> objects;
    std::deque<Utf8> texts;  // stable addresses
    std::size_t bytes = 0;

    std::string_view text(nb::object s) {
        texts.push_back(utf8(s));
        objects.push_back(std::move(s));
        bytes += texts.back().size();
        return texts.back().view;
    }
    std::optional<std::string_view> optional_text(nb::object s) {
        if (s.is_none()) return std::nullopt;
        return text(std::move(s));
    }
};

inline nb::object read_str(nb::handle record, const char* name) {
    nb::object v = record.attr(name);
    require_str(v, name);
    return v;
}

inline nb::object read_optional_str(nb::handle record, const char* name) {
    nb::object v = record.attr(name);
    require_optional_str(v, name);
    return v;
}

// The list's elements as they are now: reading attributes runs Python code,
// which could change the list itself.
inline std::vector<nb::object> list_items(nb::handle h, const char* name) {
    if (!PyList_Check(h.ptr())) type_error(name, "list", h);
    std::vector<nb::object> items;
    const Py_ssize_t n = capi::list_size(h.ptr());
    items.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) items.push_back(nb::borrow(capi::list_item(h.ptr(), i)));
    return items;
}

// The page text for a direct link: the map's entry, or absent.
inline nb::object page_for(nb::handle pages, nb::handle direct) {
    nb::object page;
    if (PyDict_Check(pages.ptr())) {
        PyObject* v = PyDict_GetItemWithError(pages.ptr(), direct.ptr());
        if (!v && PyErr_Occurred()) throw nb::python_error();
        page = v ? nb::borrow(v) : nb::none();
    } else {
        page = pages.attr("get")(direct);
    }
    require_optional_str(page, "html");
    return page;
}

// ---- EnrichedCommerceMatch ----------------------------------------------------

struct MatchFields {
    nb::object title, direct_url, original_url, price, merchant_name, merchant_category, thumbnail, match_score,
        page_type, brand, sku, condition, stock_status, primary_image_url, shipping_info;

    static constexpr const char* model = "EnrichedCommerceMatch";
    static constexpr std::array<const char*, 15> names = {
        "title", "direct_url", "original_url", "price", "merchant_name", "merchant_category", "thumbnail",
        "match_score", "page_type", "brand", "sku", "condition", "stock_status", "primary_image_url",
        "shipping_info"};
    std::array<nb::object*, 15> values() {
        return {&title, &direct_url, &original_url, &price, &merchant_name, &merchant_category, &thumbnail,
                &match_score, &page_type, &brand, &sku, &condition, &stock_status, &primary_image_url,
                &shipping_info};
    }
    static MatchFields sample() {
        nb::str link("https://shop.example/p/1");
        return {.title = nb::str("Trail Runner"),
                .direct_url = link,
                .original_url = link,
                .price = make_price(nb::str("19.99 EUR"), 19.99, nb::str("EUR")),
                .merchant_name = nb::str("Shop"),
                .merchant_category = enum_member(MerchantCategory::OFFICIAL_BRAND),
                .thumbnail = nb::none(),
                .match_score = nb::int_(98),
                .page_type = enum_member(PageType::PRODUCT),
                .brand = nb::str("Trail"),
                .sku = nb::none(),
                .condition = enum_member(ItemCondition::NEW),
                .stock_status = enum_member(StockStatus::IN_STOCK),
                .primary_image_url = nb::str("https://shop.example/p/1.jpg"),
                .shipping_info = nb::none()};
    }
};

// ---- entries ------------------------------------------------------------------

// [direct link, or None when the link cannot be split] per match.
inline nb::list unwrap_links(nb::handle matches_obj) {
    std::vector<nb::object> matches = list_items(matches_obj, "matches");
    const std::size_t n = matches.size();
    Keep keep;
    std::vector<std::string_view> links;
    links.reserve(n);
    for (std::size_t i = 0; i < n; ++i) links.push_back(keep.text(read_str(matches[i], "link")));

    std::vector<std::optional<std::string>> direct(n);
    released_if(keep.bytes, [&] {
        for (std::size_t i = 0; i < n; ++i) direct[i] = enricher::direct_link(links[i]);
    });
    nb::list out;
    for (auto& d : direct) out.append(opt_str(d));
    return out;
}

inline nb::list enrich_after_fetch(nb::handle matches_obj, nb::handle direct_obj, nb::handle pages, bool extended,
                                   nb::handle ranks_obj) {
    std::vector<nb::object> matches = list_items(matches_obj, "matches");
    std::vector<nb::object> direct_links = list_items(direct_obj, "direct_links");
    const std::size_t n = matches.size();
    if (direct_links.size() != n) throw nb::value_error("one direct link per match is needed");
    // The matches' ranks in their whole batch, when they are analysed apart
    // from it (None: 1, 2, ... in order).
    std::vector<std::int64_t> ranks;
    if (!ranks_obj.is_none()) {
        std::vector<nb::object> given = list_items(ranks_obj, "ranks");
        if (given.size() != n) throw nb::value_error("one rank per match is needed");
        for (const nb::object& r : given) {
            if (!PyLong_Check(r.ptr()) || PyBool_Check(r.ptr())) type_error("rank", "int", r);
            const long long v = PyLong_AsLongLong(r.ptr());
            if (v == -1 && PyErr_Occurred()) throw nb::python_error();
            if (v < 1) throw nb::value_error("ranks count from 1");
            ranks.push_back(v);
        }
    }

    Keep keep;
    std::vector<enricher::MatchInput> inputs(n);
    std::vector<nb::object> links(n), thumbnails(n);
    for (std::size_t i = 0; i < n; ++i) {
        nb::handle match = matches[i];
        enricher::MatchInput& in = inputs[i];
        in.source = keep.optional_text(read_optional_str(match, "source"));
        in.price = keep.optional_text(read_optional_str(match, "price"));
        in.currency = keep.optional_text(read_optional_str(match, "currency"));
        in.title = keep.text(read_str(match, "title"));
        nb::object stock = match.attr("in_stock");
        if (!stock.is_none() && !PyBool_Check(stock.ptr())) type_error("in_stock", "bool or None", stock);
        if (!stock.is_none()) in.in_stock = stock.ptr() == Py_True;
        thumbnails[i] = read_optional_str(match, "thumbnail");
        links[i] = read_str(match, "link");
        in.link = keep.text(links[i]);

        nb::handle direct = direct_links[i];
        require_optional_str(direct, "direct link");
        if (!direct.is_none()) {
            in.page = keep.optional_text(page_for(pages, direct));
            in.direct_url = keep.text(nb::borrow(direct));
        }
    }

    std::vector<enricher::Enriched> results = released_if(keep.bytes, [&] {
        return ranks.empty() && ranks_obj.is_none() ? enricher::enrich_all(inputs, extended)
                                                    : enricher::enrich_ranked(inputs, ranks, extended);
    });

    const RecordBuilder<MatchFields>& builder = RecordBuilder<MatchFields>::get();
    nb::list out;
    for (std::size_t i = 0; i < n; ++i) {
        const metadata::Metadata& md = results[i].meta;
        const nb::object& direct = direct_links[i];
        const std::optional<std::string>& image = md.primary_image_url;
        out.append(builder.build({
            .title = str(md.title),
            .direct_url = direct.is_none() ? links[i] : direct,  // an unsplittable link stands for itself
            .original_url = links[i],
            .price = opt_price(md.price),
            .merchant_name = str(md.merchant_name),
            .merchant_category = opt_enum(results[i].category),
            .thumbnail = thumbnails[i],
            .match_score = int_of(md.match_score),
            .page_type = enum_member(md.page_type),
            .brand = opt_str(md.brand),
            .sku = opt_str(md.sku),
            .condition = opt_enum(md.condition),
            .stock_status = opt_enum(md.stock_status),
            .primary_image_url = image && !image->empty() ? nb::object(str(*image)) : thumbnails[i],
            .shipping_info = nb::none(),
        }));
    }
    return out;
}

}  // namespace quillmere::py
