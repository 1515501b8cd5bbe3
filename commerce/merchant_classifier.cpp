#include "commerce/merchant_classifier.hpp"

#include <array>
#include <cstdint>
#include <vector>

#include "commerce/text.hpp"
#include "commerce/vocabulary.hpp"

namespace quillmere::merchant {
namespace {

using sv = std::string_view;

// Leading labels that say nothing about the site: host prefixes and regions.
constexpr std::array<sv, 17> kDiscardedLeadingLabels = {
    "www", "store", "shop", "app", "m", "us", "uk", "ca", "eu", "de", "fr", "es", "it", "jp", "cn", "in", "au"};
// Second-level labels under which the registrable name sits one label further left.
constexpr std::array<sv, 6> kSecondLevelLabels = {"co", "com", "org", "net", "gov", "edu"};
// Words that never name a site.
constexpr std::array<sv, 3> kIgnoredWords = {"the", "and", "official"};

bool is_alnum_ascii(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// Lower-cased (full Unicode mapping), then only a-z and 0-9 kept.
std::string normalise(sv s) {
    std::string lowered = text::lower(s);
    std::string out;
    out.reserve(lowered.size());
    for (char c : lowered)
        if (is_alnum_ascii(c)) out.push_back(c);
    return out;
}

// Needles longer than this are searched with KMP, keeping every test linear.
constexpr std::size_t kShortNeedle = 64;

bool contains(sv haystack, sv needle) {
    if (needle.size() <= kShortNeedle) return haystack.find(needle) != sv::npos;
    if (needle.size() > haystack.size()) return false;
    std::vector<std::size_t> fail(needle.size(), 0);
    for (std::size_t i = 1, k = 0; i < needle.size(); ++i) {
        while (k > 0 && needle[i] != needle[k]) k = fail[k - 1];
        if (needle[i] == needle[k]) ++k;
        fail[i] = k;
    }
    for (std::size_t i = 0, k = 0; i < haystack.size(); ++i) {
        while (k > 0 && haystack[i] != needle[k]) k = fail[k - 1];
        if (haystack[i] == needle[k]) ++k;
        if (k == needle.size()) return true;
    }
    return false;
}

// Answers "is t a substring of s" in O(|t|) after O(|s|) set-up (a suffix
// automaton), so testing many name tokens against a long label stays linear.
// Short labels are searched directly.
class SubstringIndex {
public:
    explicit SubstringIndex(sv s) : s_(s) {
        if (s.size() <= kShortNeedle) return;
        states_.reserve(2 * s.size() + 1);
        states_.push_back({});
        int last = 0;
        for (char c : s) {
            int cur = new_state(states_[last].len + 1);
            int p = last;
            while (p != -1 && edge(p, c) < 0) {
                add_edge(p, c, cur);
                p = states_[p].link;
            }
            if (p == -1) {
                states_[cur].link = 0;
            } else {
                int q = edge(p, c);
                if (states_[p].len + 1 == states_[q].len) {
                    states_[cur].link = q;
                } else {
                    int clone = new_state(states_[p].len + 1);
                    for (int e = states_[q].first_edge; e >= 0; e = edges_[e].next)
                        add_edge(clone, edges_[e].symbol, edges_[e].to);
                    states_[clone].link = states_[q].link;
                    while (p != -1 && edge(p, c) == q) {
                        set_edge(p, c, clone);
                        p = states_[p].link;
                    }
                    states_[q].link = clone;
                    states_[cur].link = clone;
                }
            }
            last = cur;
        }
    }

    bool contains(sv t) const {
        if (states_.empty()) return s_.find(t) != sv::npos;
        int st = 0;
        for (char c : t) {
            st = edge(st, c);
            if (st < 0) return false;
        }
        return true;
    }

private:
    struct State {
        std::size_t len = 0;
        int link = -1;
        int first_edge = -1;
    };
    struct Edge {
        char symbol;
        int to;
        int next;
    };

    int new_state(std::size_t len) {
        states_.push_back({len, -1, -1});
        return static_cast<int>(states_.size()) - 1;
    }
    int edge(int st, char c) const {
        for (int e = states_[st].first_edge; e >= 0; e = edges_[e].next)
            if (edges_[e].symbol == c) return edges_[e].to;
        return -1;
    }
    void add_edge(int st, char c, int to) {
        edges_.push_back({c, to, states_[st].first_edge});
        states_[st].first_edge = static_cast<int>(edges_.size()) - 1;
    }
    void set_edge(int st, char c, int to) {
        for (int e = states_[st].first_edge; e >= 0; e = edges_[e].next)
            if (edges_[e].symbol == c) {
                edges_[e].to = to;
                return;
            }
    }

    sv s_;
    std::vector<State> states_;
    std::vector<Edge> edges_;
};

}  // namespace

std::string extract_sld(sv domain) {
    std::string lowered = text::lower(domain);
    sv d = text::strip(lowered);
    std::vector<sv> labels;
    for (std::size_t start = 0;;) {
        std::size_t dot = d.find('.', start);
        if (dot == sv::npos) {
            labels.push_back(d.substr(start));
            break;
        }
        labels.push_back(d.substr(start, dot - start));
        start = dot + 1;
    }
    std::size_t first = 0;
    while (first < labels.size() && vocab::is_member(kDiscardedLeadingLabels, labels[first])) ++first;
    std::size_t n = labels.size() - first;
    if (n == 0) return "";
    if (n > 2 && vocab::is_member(kSecondLevelLabels, labels[labels.size() - 2])) return std::string(labels[labels.size() - 3]);
    if (n >= 2) return std::string(labels[labels.size() - 2]);
    return std::string(labels[first]);
}

bool is_match(sv alpha_sld, sv text_value) {
    if (text_value.empty()) return false;
    std::string norm = normalise(text_value);
    if (norm.empty()) return false;
    if (contains(norm, alpha_sld) || contains(alpha_sld, norm)) return true;

    // Name tokens: runs of a-z0-9 in the lower-cased text, three characters or
    // longer, not an ignored word. All of them must occur in the label.
    std::string lowered = text::lower(text_value);
    SubstringIndex label(alpha_sld);
    bool any = false;
    for (std::size_t i = 0; i < lowered.size();) {
        if (!is_alnum_ascii(lowered[i])) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < lowered.size() && is_alnum_ascii(lowered[j])) ++j;
        sv token = sv(lowered).substr(i, j - i);
        i = j;
        if (token.size() < 3 || vocab::is_member(kIgnoredWords, token)) continue;
        if (!label.contains(token)) return false;
        any = true;
    }
    return any;
}

MerchantCategory classify(sv domain, sv title, std::optional<sv> brand, std::optional<sv> merchant_name) {
    std::string lowered = text::lower(domain);
    sv d = text::strip(lowered);
    if (d.empty()) return MerchantCategory::UNVERIFIED;
    if (vocab::any_in_domain_list(vocab::MARKETPLACE_DOMAINS, d)) return MerchantCategory::MAJOR_MARKETPLACE;
    if (vocab::any_in_domain_list(vocab::RESELLER_DOMAINS, d)) return MerchantCategory::RESELLER_SPECIALIST;

    std::string alpha_sld;
    for (char c : extract_sld(d))
        if (is_alnum_ascii(c)) alpha_sld.push_back(c);
    if (alpha_sld.size() < 3) return MerchantCategory::UNVERIFIED;

    if (brand && !brand->empty() && is_match(alpha_sld, *brand)) return MerchantCategory::OFFICIAL_BRAND;
    if (merchant_name && !merchant_name->empty() && is_match(alpha_sld, *merchant_name))
        return MerchantCategory::OFFICIAL_BRAND;
    if (!title.empty() && is_match(alpha_sld, title)) return MerchantCategory::OFFICIAL_BRAND;
    return MerchantCategory::UNVERIFIED;
}

}  // namespace quillmere::merchant
