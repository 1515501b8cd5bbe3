// Temporary placeholders so this branch links before the real definitions
// land; removed once they are merged.
#include <optional>
#include <string>
#include <string_view>

#include "commerce/html_entities.hpp"
#include "commerce/json.hpp"
#include "commerce/metadata_parser.hpp"
#include "commerce/price_normalizer.hpp"
#include "commerce/url_unwrapper.hpp"

namespace quillmere {
namespace text {
__attribute__((weak)) std::string upper(std::string_view s);
__attribute__((weak)) std::string upper(std::string_view s) { return std::string(s); }
}  // namespace text
namespace json {
__attribute__((weak)) std::optional<Value> parse(std::string_view) { return std::nullopt; }
__attribute__((weak)) bool is_empty(const Value&) { return true; }
__attribute__((weak)) std::string text_form(const Value&) { return {}; }
__attribute__((weak)) const Value* Value::get(std::string_view) const { return nullptr; }
}  // namespace json
namespace html {
__attribute__((weak)) std::string unescape(std::string_view s) { return std::string(s); }
}  // namespace html
namespace url {
__attribute__((weak)) UrlParts urlparse(std::string_view) { return {}; }
}  // namespace url
namespace price {
__attribute__((weak)) std::optional<Price> parse(std::string_view, std::optional<std::string_view>) { return std::nullopt; }
}  // namespace price
namespace metadata {
__attribute__((weak)) LdJsonProducts find_ld_json_products(std::string_view) { return {}; }
__attribute__((weak)) std::optional<NextDataProduct> find_next_data_product(std::string_view) { return std::nullopt; }
__attribute__((weak)) MetaMap extract_meta_tags(std::string_view) { return {}; }
__attribute__((weak)) const std::string* MetaMap::find(std::string_view) const { return nullptr; }
__attribute__((weak)) std::optional<std::string> extract_html_title(std::string_view) { return std::nullopt; }
}  // namespace metadata
}  // namespace quillmere
