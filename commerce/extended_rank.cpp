#include "commerce/extended_rank.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "commerce/numbers.hpp"
#include "commerce/price_text.hpp"
#include "commerce/text.hpp"

namespace quillmere::extended {

using sv = std::string_view;

bool Pool::open(Source s) const {
    if (every_) return true;
    for (const Candidate& c : list_)
        if (c.source <= s) return false;
    return true;
}

const Candidate* Pool::best() const {
    const Candidate* out = nullptr;
    for (const Candidate& c : list_)
        if (!out || c.source < out->source) out = &c;
    return out;
}

std::vector<Candidate> Pool::ranked() const {
    std::vector<Candidate> out = list_;
    std::stable_sort(out.begin(), out.end(), [](const Candidate& a, const Candidate& b) { return a.source < b.source; });
    return out;
}

std::optional<double> machine_number(sv s) {
    s = text::strip(s);
    if (s.empty() || s.size() > 40) return std::nullopt;
    std::size_t dots = 0;
    for (char c : s) {
        if (c == '.') ++dots;
        else if (c < '0' || c > '9') return std::nullopt;
    }
    if (dots > 1 || s.front() == '.' || s.back() == '.') return std::nullopt;
    double v = std::strtod(std::string(s).c_str(), nullptr);
    if (!std::isfinite(v)) return std::nullopt;
    return numbers::round2(v);
}

std::string code_of(sv hint) {
    std::string code = price_text::currency_code(hint);
    sv h = text::strip(hint);
    if (code.empty() && h.size() == 3 && std::all_of(h.begin(), h.end(), [](char c) {
            return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        }))
        code = text::upper(h);
    return code;
}

std::optional<Amount> amount_of(sv text, sv hint) {
    if (auto v = machine_number(text)) return Amount{*v, code_of(hint)};
    auto r = price_text::read(text, hint.empty() ? std::nullopt : std::optional<sv>(hint));
    if (!r) return std::nullopt;
    std::string code = !r->currency.empty() ? r->currency : code_of(hint);
    return Amount{r->amount, code};
}

bool one_word(sv s) { return !s.empty() && s.size() <= 64 && text::split(s).size() == 1; }

bool alnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool has_digit(sv s) {
    return std::any_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool word_in(sv names, sv word) {
    for (std::size_t p = names.find(word); p != sv::npos; p = names.find(word, p + 1)) {
        char before = p ? names[p - 1] : ' ';
        if (!((before >= 'a' && before <= 'z') || (before >= '0' && before <= '9'))) return true;
    }
    return false;
}

bool page_has(sv html, sv token) {
    return !token.empty() && ::memmem(html.data(), html.size(), token.data(), token.size()) != nullptr;
}

}  // namespace quillmere::extended
