// The structured-data extractors and the JSON and character-reference
// decoders, with their answers as Python objects.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>

#include "bindings/def.hpp"
#include "bindings/json_objects.hpp"
#include "commerce/html_entities.hpp"
#include "commerce/extractors.hpp"
#include "commerce/json.hpp"

namespace quillmere::py {

inline nb::list ld_json_products(Str<"html"> html) {
    metadata::LdJsonProducts found = released_if(html.size(), [&] { return metadata::find_ld_json_products(html.view); });
    Converter convert;
    for (const json::Value* p : found.products) convert.shared.emplace(p, nullptr);
    nb::list out;
    for (const json::Value* p : found.products) out.append(convert(*p));
    return out;
}

inline nb::object next_data_product(Str<"html"> html) {
    std::optional<metadata::NextDataProduct> found =
        released_if(html.size(), [&] { return metadata::find_next_data_product(html.view); });
    if (!found) return nb::none();
    return Converter()(*found->product);
}

inline nb::dict meta_tags(Str<"html"> html) {
    metadata::MetaMap found = released_if(html.size(), [&] { return metadata::extract_meta_tags(html.view); });
    nb::dict out;
    for (const auto& [k, v] : found.entries) out[str(k)] = str(v);
    return out;
}

inline nb::object html_title(Str<"html"> html) {
    std::optional<std::string> found = released_if(html.size(), [&] { return metadata::extract_html_title(html.view); });
    return opt_str(found);
}

inline json::Value parse_json(const Str<"text">& text) {
    std::optional<json::Value> v = released_if(text.size(), [&] { return json::parse(text.view); });
    if (!v) throw nb::value_error("invalid JSON document");
    return std::move(*v);
}

inline nb::object json_loads(Str<"text"> text) { return Converter()(parse_json(text)); }
inline nb::str json_text_form(Str<"text"> text) { return str(json::text_form(parse_json(text))); }
inline nb::str html_unescape(Str<"text"> text) {
    return str(released_if(text.size(), [&] { return html::unescape(text.view); }));
}

}  // namespace quillmere::py
