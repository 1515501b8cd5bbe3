// Structured-data extraction from raw page text: JSON-LD product records,
// the Next.js page-data product, meta tags and the document title.
//
// The script and title patterns have the shape
//     <OPEN [^>]+ ATTR [^>]* > (.*?) CLOSE        (scripts)
//     <OPEN [^>]* > (.*?) CLOSE                  (title)
// Run as one backtracking search they go quadratic on hostile pages (many
// openings without a closing tag, or many openings inside one long tag). They
// are matched here piece by piece instead, with the same answers: given an
// opening at p, the tag ends at the first '>' at or after the opening (no
// [^>] run can cross it), so the head matches exactly when ATTR occurs
// between the opening and that '>', and the body then ends at the first
// CLOSE after the '>'. Each piece scans a stretch of the page once.
#include "commerce/extractors.hpp"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "commerce/regex.hpp"
#include "commerce/text.hpp"
#include "commerce/vocabulary.hpp"

namespace quillmere::metadata {
namespace {

using json::Value;

std::size_t next_ld_json_hint(std::string_view page, std::size_t from);

struct TagPattern {
    const Regex& open;
    const Regex* attr;  // nullptr: any attribute text, possibly empty
    const Regex& close;
    // Optional: the earliest place at or after `from` where the attribute
    // can occur (npos: nowhere), to stop early on pages without it.
    std::size_t (*hint)(std::string_view page, std::size_t from) = nullptr;
};

// Python's re, ignoring case, also takes the dotted capital I (U+0130) and
// the dotless small i (U+0131) for "i"; PCRE2 needs them spelled out.
#define ANY_I "[i\u0130\u0131]"

const TagPattern& ld_json_pattern() {
    // _LD_JSON_SCRIPT_PATTERN: <script[^>]+type=["\']application/ld\+json["\'][^>]*>(.*?)</script>
    static const Regex open("<scr" ANY_I "pt", Regex::IGNORECASE);
    static const Regex attr(R"(type=["\']appl)" ANY_I "cat" ANY_I R"(on/ld\+json["\'])", Regex::IGNORECASE);
    static const Regex close("</scr" ANY_I "pt>", Regex::IGNORECASE);
    static const TagPattern p{open, &attr, close, next_ld_json_hint};
    return p;
}

const TagPattern& next_data_pattern() {
    // <script[^>]+id=["\']__NEXT_DATA__["\'][^>]*>(.*?)</script>, case-sensitive
    static const Regex open("<script", Regex::NONE);
    static const Regex attr(R"(id=["\']__NEXT_DATA__["\'])", Regex::NONE);
    static const Regex close("</script>", Regex::NONE);
    static const TagPattern p{open, &attr, close};
    return p;
}

const TagPattern& title_pattern() {
    // <title[^>]*>(.*?)</title>, case-insensitive
    static const Regex open("<t" ANY_I "tle", Regex::IGNORECASE);
    static const Regex close("</t" ANY_I "tle>", Regex::IGNORECASE);
    static const TagPattern p{open, nullptr, close};
    return p;
}

#undef ANY_I

struct Body {
    std::size_t begin, end;  // group 1
    std::size_t next;        // where the following search starts
};

// Search states for the pieces of a TagPattern; one set per thread and
// pattern is kept, which saves allocations on every call.
struct TagMatches {
    Regex::Match open, attr, close;
    explicit TagMatches(const TagPattern& p) : open(p.open), attr(p.attr ? *p.attr : p.open), close(p.close) {}
};

// Successive matches of a TagPattern, in document order, without overlap.
class TagScanner {
public:
    TagScanner(const TagPattern& p, TagMatches& m, std::string_view page)
        : p_(p), page_(page), open_(m.open), attr_(m.attr), close_(m.close) {
        // The search states outlive the pages they searched: a new page starts afresh.
        open_.reset();
        attr_.reset();
        close_.reset();
    }

    std::optional<Body> next() {
        while (!done_ && hint_allows() && open_.search(page_, from_)) {
            std::size_t open_end = open_.end(0);
            std::size_t gt = page_.find('>', open_end);
            if (gt == std::string_view::npos) break;  // no later opening has a '>' either
            if (p_.attr) {
                // [^>]+ takes at least one character before the attribute.
                if (gt == open_end) {
                    from_ = gt + 1;
                    continue;
                }
                std::size_t after_first = open_end;
                text::next_code_point(page_, after_first);
                if (after_first >= gt || !attr_.search(page_.substr(0, gt), after_first)) {
                    from_ = gt + 1;  // every opening before this '>' fails the same way
                    continue;
                }
            }
            if (!close_.search(page_, gt + 1)) break;  // nor can any later opening close
            Body b{gt + 1, close_.start(0), close_.end(0)};
            from_ = b.next;
            return b;
        }
        done_ = true;
        return std::nullopt;
    }

private:
    const TagPattern& p_;
    std::string_view page_;
    Regex::Match &open_, &attr_, &close_;
    std::size_t from_ = 0;
    bool done_ = false;
    std::size_t hint_ = 0;  // last answer of p_.hint, kept while still ahead of from_
    bool hint_known_ = false;

    bool hint_allows() {
        if (!p_.hint) return true;
        if (!hint_known_ || (hint_ != std::string_view::npos && hint_ < from_)) {
            hint_ = p_.hint(page_, from_);
            hint_known_ = true;
        }
        return hint_ != std::string_view::npos;
    }
};

// Where "ld+json" may next occur: the first "d+j", in any letter case, at or
// after `from` (neither letter has a case partner outside ASCII), or npos.
// No JSON-LD opening after that point can match, and most pages have none.
std::size_t next_ld_json_hint(std::string_view page, std::size_t from) {
    const char* begin = page.data();
    const char* end = begin + page.size();
    const char* p = begin + std::min(from + 1, page.size());
    while (p < end) {
        const char* plus = static_cast<const char*>(std::memchr(p, '+', static_cast<std::size_t>(end - p)));
        if (!plus) break;
        if (plus + 1 < end && (plus[-1] | 0x20) == 'd' && (plus[1] | 0x20) == 'j')
            return static_cast<std::size_t>(plus - 1 - begin);
        p = plus + 1;
    }
    return std::string_view::npos;
}

bool is_product_type(const Value* t) {
    if (!t) return false;
    if (t->is_string()) {
        const std::string& s = t->str();
        return s == "Product" || s == "ProductGroup" || s == "IndividualProduct";
    }
    if (t->is_array()) {
        for (const Value& e : t->array())
            if (e.is_string() && (e.str() == "Product" || e.str() == "ProductGroup")) return true;
    }
    return false;
}

// Depth-first, pre-order; the items of an "@graph" list are walked first and
// then once more with the other member values. Nested "@graph" lists double
// the visits at every level, so the walk stops once `budget` is spent. Every
// visit is charged what it scans (the members or elements of the container,
// and the "@type" list), not just one unit: a large container repeated by
// nested "@graph" lists would otherwise cost its size at each of
// exponentially many visits.
void walk(const Value& root, std::vector<const Value*>& products, std::size_t& budget) {
    std::vector<const Value*> stack{&root};
    while (!stack.empty()) {
        const Value* v = stack.back();
        stack.pop_back();
        std::size_t cost = 1;
        const Value* type = nullptr;
        if (v->is_object()) {
            cost += v->object().members.size();
            type = v->object().find("@type");
            if (type && type->is_array()) cost += type->array().size();
        } else if (v->is_array()) {
            cost += v->array().size();
        }
        if (cost > budget) {
            budget = 0;
            return;
        }
        budget -= cost;
        if (v->is_object()) {
            const json::Object& o = v->object();
            if (is_product_type(type)) products.push_back(v);
            for (auto it = o.members.rbegin(); it != o.members.rend(); ++it)
                if (it->value.is_object() || it->value.is_array()) stack.push_back(&it->value);
            const Value* graph = o.find("@graph");
            if (graph && graph->is_array()) {
                const json::Array& g = graph->array();
                for (auto it = g.rbegin(); it != g.rend(); ++it)
                    if (it->is_object() || it->is_array()) stack.push_back(&*it);
            }
        } else if (v->is_array()) {
            const json::Array& a = v->array();
            for (auto it = a.rbegin(); it != a.rend(); ++it)
                if (it->is_object() || it->is_array()) stack.push_back(&*it);
        }
    }
}

// The first dict, in pre-order over dicts (lists are not entered), that has
// "brandName" or "brand" and also "sku" or "name".
const Value* search_dict(const Value& root) {
    std::vector<const Value*> stack{&root};
    while (!stack.empty()) {
        const Value* d = stack.back();
        stack.pop_back();
        const json::Object& o = d->object();
        if ((o.find("brandName") || o.find("brand")) && (o.find("sku") || o.find("name"))) return d;
        for (auto it = o.members.rbegin(); it != o.members.rend(); ++it)
            if (it->value.is_object()) stack.push_back(&it->value);
    }
    return nullptr;
}

}  // namespace

const std::string* MetaMap::find(std::string_view key) const {
    for (const auto& [k, v] : entries)
        if (k == key) return &v;
    return nullptr;
}

LdJsonProducts find_ld_json_products(std::string_view html) {
    LdJsonProducts out;
    thread_local TagMatches matches(ld_json_pattern());
    TagScanner scripts(ld_json_pattern(), matches, html);
    while (std::optional<Body> b = scripts.next()) {
        std::string_view body = text::strip(html.substr(b->begin, b->end - b->begin));
        if (body.empty()) continue;
        if (std::optional<Value> doc = json::parse(body)) out.documents.push_back(std::move(*doc));
    }
    // Walk only once every document has its final place in `documents`.
    std::size_t budget = 2 * html.size() + (std::size_t{1} << 20);
    for (const Value& doc : out.documents) walk(doc, out.products, budget);
    return out;
}

std::optional<NextDataProduct> find_next_data_product(std::string_view html) {
    if (html.find("__NEXT_DATA__") == std::string_view::npos) return std::nullopt;
    thread_local TagMatches matches(next_data_pattern());
    TagScanner scripts(next_data_pattern(), matches, html);
    std::optional<Body> b = scripts.next();
    if (!b) return std::nullopt;
    std::optional<Value> doc = json::parse(html.substr(b->begin, b->end - b->begin));
    if (!doc) return std::nullopt;
    NextDataProduct out{std::move(*doc), nullptr};
    // data.get("props", {}).get("pageProps", {}): anything but a dict fails.
    if (!out.document.is_object()) return std::nullopt;
    const Value* props = out.document.get("props");
    if (!props) return std::nullopt;  // {} has no page props and no product
    if (!props->is_object()) return std::nullopt;
    const Value* page_props = props->get("pageProps");
    if (!page_props || !page_props->is_object()) return std::nullopt;
    for (std::string_view key : {"productTemplate", "product", "item", "productDetails"}) {
        const Value* v = page_props->get(key);
        if (v && v->is_object()) {
            out.product = v;
            return out;
        }
    }
    out.product = search_dict(*page_props);
    if (!out.product) return std::nullopt;
    return out;
}

MetaMap extract_meta_tags(std::string_view html) {
    MetaMap out;
    // Every match ends with '>': nothing past the last one can take part, and
    // cutting it off keeps "<meta" runs without '>' from being rescanned.
    std::size_t last_gt = html.rfind('>');
    if (last_gt == std::string_view::npos) return out;
    std::string_view page = html.substr(0, last_gt + 1);
    thread_local Regex::Match tag(vocab::meta_tag());
    thread_local Regex::Match prop(vocab::meta_prop());
    thread_local Regex::Match content(vocab::meta_content());
    std::unordered_map<std::string, std::size_t> index;
    std::size_t from = 0;
    while (tag.search(page, from)) {
        from = tag.end(0);
        std::string_view attrs = tag.group(1);
        if (!prop.search(attrs) || !content.search(attrs)) continue;
        std::string key = text::lower(text::strip(prop.group(1)));
        std::string_view value = text::strip(content.group(1));
        if (key.empty() || value.empty()) continue;
        auto [it, inserted] = index.try_emplace(key, out.entries.size());
        if (inserted)
            out.entries.emplace_back(std::move(key), std::string(value));
        else
            out.entries[it->second].second.assign(value);
    }
    return out;
}

std::optional<std::string> extract_html_title(std::string_view html) {
    thread_local TagMatches matches(title_pattern());
    TagScanner titles(title_pattern(), matches, html);
    std::optional<Body> b = titles.next();
    if (!b) return std::nullopt;
    return text::collapse_whitespace(html.substr(b->begin, b->end - b->begin));
}

}  // namespace quillmere::metadata
