// Unwrapping of result links: one level of search redirect followed,
// tracking parameters dropped from the query, text-fragment directives
// dropped from the fragment. The link grammar itself is urlparse's.

#include "commerce/url_unwrapper.hpp"

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "commerce/text.hpp"
#include "commerce/vocabulary.hpp"

namespace quillmere::url {
namespace {

using sv = std::string_view;

bool is_tracking(sv name) {
    std::string low = text::lower(name);
    for (sv t : vocab::TRACKING_PARAMS)
        if (low == t) return true;
    return false;
}

// The first value of "q", else of "url", in the redirect's query.
std::optional<std::string> redirect_target(sv query) {
    std::optional<std::string> url_value;
    std::optional<std::string> q_value;
    for_each_field(query, [&](sv raw_name, sv raw_value) {
        std::string name = unquote_plus(raw_name);
        if (name == "q") {
            q_value = unquote_plus(raw_value);
            return false;
        }
        if (name == "url" && !url_value) url_value = unquote_plus(raw_value);
        return true;
    });
    return q_value ? q_value : url_value;
}

// parse_qs, tracking names dropped, re-encoded with urlencode(doseq=True).
std::string clean_query(sv query) {
    struct Entry {
        std::string name;
        bool keep;
        std::vector<std::string> values;
    };
    std::vector<Entry> entries;
    std::unordered_map<std::string, std::size_t> index;  // used once there are many names
    constexpr std::size_t kLinearLimit = 16;

    for_each_field(query, [&](sv raw_name, sv raw_value) {
        std::string name = unquote_plus(raw_name);
        std::size_t at = entries.size();
        if (entries.size() <= kLinearLimit) {
            for (std::size_t k = 0; k < entries.size(); ++k)
                if (entries[k].name == name) {
                    at = k;
                    break;
                }
        } else {
            if (index.empty())
                for (std::size_t k = 0; k < entries.size(); ++k) index.emplace(entries[k].name, k);
            auto it = index.find(name);
            if (it != index.end()) at = it->second;
        }
        if (at == entries.size()) {
            bool keep = !is_tracking(name);
            if (!index.empty()) index.emplace(name, at);
            entries.push_back(Entry{std::move(name), keep, {}});
        }
        if (entries[at].keep) entries[at].values.push_back(unquote_plus(raw_value));
        return true;
    });

    std::string out;
    out.reserve(query.size() + 16);
    std::string quoted_name;
    for (const Entry& e : entries) {
        if (!e.keep) continue;
        quoted_name.clear();
        append_quote_plus(e.name, quoted_name);
        for (const std::string& v : e.values) {
            if (!out.empty()) out.push_back('&');
            out += quoted_name;
            out.push_back('=');
            append_quote_plus(v, out);
        }
    }
    return out;
}

bool drops_fragment(sv fragment) {
    return text::contains(fragment, ":~:text=") || text::starts_with(fragment, ":~:");
}

}  // namespace

std::string unwrap(std::string_view url) {
    if (url.empty()) return {};
    Split outer;
    split_url(url, outer);
    Split inner;
    const Split* p = &outer;

    static const std::string label = std::string(vocab::SEARCH_REDIRECT_LABEL) + '.';
    std::string target;
    if (outer.path == "/url" && text::contains(outer.netloc, label)) {
        if (std::optional<std::string> t = redirect_target(outer.query)) {
            target = std::move(*t);
            split_url(target, inner);
            p = &inner;
        }
    }

    std::string query = p->query.empty() ? std::string() : clean_query(p->query);
    sv fragment = drops_fragment(p->fragment) ? sv() : p->fragment;
    return join_url(p->scheme, p->netloc, p->path, p->params, query, fragment);
}

std::string extract_domain(std::string_view url) {
    if (url.empty()) return {};
    Split p;
    split_url(url, p);
    std::string host = text::lower(p.netloc);
    if (text::starts_with(host, "www.")) host.erase(0, 4);
    return host;
}

}  // namespace quillmere::url
