#include "commerce/vocabulary.hpp"

namespace quillmere::vocab {

const Regex& meta_tag() {
    static const Regex re(META_TAG_PATTERN, Regex::IGNORECASE);
    return re;
}
const Regex& meta_prop() {
    static const Regex re(META_PROP_PATTERN, Regex::IGNORECASE);
    return re;
}
const Regex& meta_content() {
    static const Regex re(META_CONTENT_PATTERN, Regex::IGNORECASE);
    return re;
}

namespace {

// The host of a network location, as urlparse's hostname finds it (letter
// case aside): without user information and port.
sv host_of(sv netloc) {
    if (std::size_t at = netloc.rfind('@'); at != sv::npos) netloc.remove_prefix(at + 1);
    if (!netloc.empty() && netloc.front() == '[') return netloc;  // an IPv6 literal has no names
    return netloc.substr(0, netloc.find(':'));
}

}  // namespace

bool has_labels(sv domain, sv entry) {
    sv host = host_of(domain);
    for (std::size_t p = host.find(entry); p != sv::npos; p = host.find(entry, p + 1)) {
        std::size_t q = p + entry.size();
        if ((p == 0 || host[p - 1] == '.') && (q == host.size() || host[q] == '.')) return true;
    }
    return false;
}

bool in_domain_list(sv domain, sv entry) {
    if (domain == entry) return true;
    return domain.size() > entry.size() && domain.ends_with(entry) && domain[domain.size() - entry.size() - 1] == '.';
}

sv currency_code(sv key) {
    for (const auto& [k, code] : CURRENCY_MAP)
        if (k == key) return code;
    return {};
}

}  // namespace quillmere::vocab
