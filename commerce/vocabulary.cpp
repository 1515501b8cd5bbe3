#include "commerce/vocabulary.hpp"

namespace quillmere::vocab {

const Regex& ld_json_script() {
    static const Regex re(LD_JSON_SCRIPT_PATTERN, Regex::DOTALL | Regex::IGNORECASE);
    return re;
}
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

sv currency_code(sv key) {
    for (const auto& [k, code] : CURRENCY_MAP)
        if (k == key) return code;
    return {};
}

}  // namespace quillmere::vocab
