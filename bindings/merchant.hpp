// MerchantClassifier: the classification's arguments and answer.
#pragma once

#include "bindings/def.hpp"
#include "bindings/records.hpp"
#include "commerce/merchant_classifier.hpp"

namespace quillmere::py {

inline nb::object classify(Str<"domain"> domain, Str<"title"> title, OptStr<"brand"> brand,
                           OptStr<"merchant_name"> merchant_name) {
    std::size_t total = domain.size() + title.size() + brand.size() + merchant_name.size();
    return enum_member(released_if(total, [&] {
        return merchant::classify(domain.view, title.view, brand.view(), merchant_name.view());
    }));
}

inline nb::str extract_sld(Str<"domain"> domain) { return str(merchant::extract_sld(domain.view)); }

inline bool is_match(Str<"alpha_sld"> alpha_sld, Str<"text"> text) {
    return released_if(alpha_sld.size() + text.size(), [&] { return merchant::is_match(alpha_sld.view, text.view); });
}

}  // namespace quillmere::py
