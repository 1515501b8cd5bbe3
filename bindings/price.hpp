// PriceNormalizer.parse: from the engine's parsed price to a NormalizedPrice.
#pragma once

#include <nanobind/nanobind.h>

#include <string_view>

#include "bindings/def.hpp"
#include "bindings/fast.hpp"
#include "bindings/records.hpp"
#include "commerce/price_normalizer.hpp"
#include "commerce/price_text.hpp"
#include "commerce/vocabulary.hpp"

namespace quillmere::py {

// The ISO codes as str objects, made once.
inline nb::object currency_str(std::string_view code) {
    using Codes = std::array<nb::object, vocab::CURRENCY_MAP.size()>;
    const Codes& codes = once<Codes>([] {
        auto* c = new Codes;
        for (std::size_t i = 0; i < c->size(); ++i) (*c)[i] = str(vocab::CURRENCY_MAP[i].second);
        return c;
    });
    for (std::size_t i = 0; i < codes.size(); ++i)
        if (vocab::CURRENCY_MAP[i].second == code) return codes[i];
    return str(code);
}

// The record for a price read out of the whole of `raw_price`: its raw text
// is the caller's own str when the price took all of it.
template <typename Parsed>
nb::object record_of(nb::handle raw_price, std::size_t raw_size, const Parsed& p) {
    nb::object text = p.raw.size() == raw_size && PyUnicode_CheckExact(raw_price.ptr()) ? nb::borrow(raw_price)
                                                                                        : str(p.raw);
    return make_price(text, p.amount, currency_str(p.currency));
}

// PriceNormalizer.parse with the engine's own pattern, or (extended) the
// extended reading: the record's currency is then the code the text names,
// else the hint's code (or the hint upper-cased), else USD.
inline nb::object parse_price(OptStr<"raw_price"> raw_price, OptStr<"currency_hint"> currency_hint,
                              Bool<"extended"> extended) {
    if (!raw_price.has_value() || raw_price.size() == 0) return nb::none();
    const Utf8& raw = *raw_price.text;
    if (extended.value) {
        std::optional<price_text::Normalized> p =
            released_if(raw.size(), [&] { return price_text::normalize(raw.view, currency_hint.view()); });
        return p ? record_of(raw_price.obj, raw.size(), *p) : nb::none();
    }
    std::optional<price::PriceView> p =
        released_if(raw.size(), [&] { return price::parse_view(raw.view, currency_hint.view()); });
    return p ? record_of(raw_price.obj, raw.size(), *p) : nb::none();
}

// parse(raw_price) and parse(raw_price, currency_hint) through the fast
// door (bindings/fast.hpp): texts as exact str, the hint a str or None.
inline PyObject* parse_price_door(PyObject* const* args, Py_ssize_t nargs) {
    std::string_view raw, hint;
    if (nargs < 1 || nargs > 2 || !door_text(args[0], raw)) return nullptr;
    bool hinted = nargs == 2 && args[1] != Py_None;
    if (hinted && !door_text(args[1], hint)) return nullptr;
    if (raw.empty()) return Py_NewRef(Py_None);
    std::optional<price::PriceView> p = price::parse_view(raw, hinted ? std::optional(hint) : std::nullopt);
    return p ? record_of(args[0], raw.size(), *p).release().ptr() : Py_NewRef(Py_None);
}

// The rest of parse once a pattern has matched the stripped text `cleaned`:
// currency, separators, rounding and the record.
inline nb::object price_from_groups(Str<"cleaned"> cleaned, OptStr<"before"> before, Str<"number"> number,
                                    OptStr<"after"> after, OptStr<"currency_hint"> currency_hint) {
    std::optional<price::PriceView> p =
        price::from_groups(cleaned.view, before.view().value_or(""), number.view, after.view().value_or(""),
                           currency_hint.view());
    if (!p) return nb::none();
    return make_price(nb::borrow(cleaned.obj), p->amount, currency_str(p->currency));
}

}  // namespace quillmere::py
