#include "commerce/commerce_enricher.hpp"

#include "commerce/price_text.hpp"

#include "commerce/merchant_classifier.hpp"
#include "commerce/price_normalizer.hpp"
#include "commerce/url_unwrapper.hpp"

namespace quillmere::enricher {

std::optional<std::string> direct_link(std::string_view link) {
    try {
        std::string direct = url::unwrap(link);
        // Unwrapping can turn a link that splits into one that does not
        // ("http:////[x" becomes "http://[x"); every later step splits the
        // direct link again, so such a link has no direct link either.
        url::extract_domain(direct);
        return direct;
    } catch (const url::InvalidUrl&) {
        return std::nullopt;
    } catch (const url::UnencodableText&) {  // lone surrogates in the query: no link to fetch either
        return std::nullopt;
    }
}

namespace {

bool non_empty(const std::optional<std::string_view>& s) { return s && !s->empty(); }

}  // namespace

Enriched enrich(const MatchInput& m, std::int64_t rank, bool extended) {
    Enriched out;

    // A link that cannot be split keeps its source as domain, and its page
    // analysis sees an empty link and no page, so no link test can fail on
    // it again. A direct link handed in that does not split either is
    // treated alike.
    std::optional<std::string_view> direct_url = m.direct_url;
    if (direct_url) {
        try {
            out.domain = url::extract_domain(*direct_url);
        } catch (const url::InvalidUrl&) {
            direct_url.reset();
        }
    }
    const std::string_view direct = direct_url.value_or(std::string_view{});
    if (out.domain.empty() && non_empty(m.source)) out.domain = std::string(*m.source);

    std::optional<Price> search_price;
    if (m.price && !extended) search_price = price::parse(*m.price, m.currency);
    if (m.price && extended)
        if (auto p = price_text::normalize(*m.price, m.currency)) search_price = Price{p->raw, p->amount, p->currency};

    metadata::Input in;
    if (direct_url) in.html = m.page;
    in.direct_url = direct;
    in.initial_title = m.title;
    in.initial_merchant = non_empty(m.source) ? *m.source : std::string_view(out.domain);
    if (search_price) in.initial_price = metadata::InitialPrice{search_price->amount, search_price->currency};
    in.initial_stock = m.in_stock;
    in.rank = rank;
    in.extended = extended;
    out.meta = metadata::parse_metadata(in);

    if (out.meta.page_type == PageType::PRODUCT || out.meta.page_type == PageType::MARKETPLACE) {
        std::optional<std::string_view> brand, merchant_name;
        if (out.meta.brand) brand = *out.meta.brand;
        merchant_name = out.meta.merchant_name;
        out.category = merchant::classify(out.domain, out.meta.title, brand, merchant_name);
    }
    return out;
}

std::vector<Enriched> enrich_all(std::span<const MatchInput> matches, bool extended) {
    std::vector<Enriched> out;
    out.reserve(matches.size());
    std::int64_t rank = 1;
    for (const MatchInput& m : matches) out.push_back(enrich(m, rank++, extended));
    return out;
}

std::vector<Enriched> enrich_ranked(std::span<const MatchInput> matches, std::span<const std::int64_t> ranks,
                                    bool extended) {
    std::vector<Enriched> out;
    out.reserve(matches.size());
    for (std::size_t i = 0; i < matches.size(); ++i) out.push_back(enrich(matches[i], ranks[i], extended));
    return out;
}

}  // namespace quillmere::enricher
