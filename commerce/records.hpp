// The engine's own view of the commerce records. Pure C++: the bindings turn
// these into the quillmere.models records.
#pragma once

#include <string>

namespace quillmere {

enum class MerchantCategory { MAJOR_MARKETPLACE, RESELLER_SPECIALIST, OFFICIAL_BRAND, UNVERIFIED };
enum class StockStatus { IN_STOCK, OUT_OF_STOCK, PREORDER };
enum class PageType { PRODUCT, MARKETPLACE, ARTICLE, PORTFOLIO, SOCIAL, UNCATEGORIZED };
enum class ItemCondition { NEW, USED, REFURBISHED };

// Member names of the Python enumerations, in declaration order above.
inline const char* name(MerchantCategory v) {
    static const char* n[] = {"MAJOR_MARKETPLACE", "RESELLER_SPECIALIST", "OFFICIAL_BRAND", "UNVERIFIED"};
    return n[static_cast<int>(v)];
}
inline const char* name(StockStatus v) {
    static const char* n[] = {"IN_STOCK", "OUT_OF_STOCK", "PREORDER"};
    return n[static_cast<int>(v)];
}
inline const char* name(PageType v) {
    static const char* n[] = {"PRODUCT", "MARKETPLACE", "ARTICLE", "PORTFOLIO", "SOCIAL", "UNCATEGORIZED"};
    return n[static_cast<int>(v)];
}
inline const char* name(ItemCondition v) {
    static const char* n[] = {"NEW", "USED", "REFURBISHED"};
    return n[static_cast<int>(v)];
}

// A NormalizedPrice: amount is finite and non-negative whenever the engine
// builds one (the record refuses anything else).
struct Price {
    std::string raw;
    double amount = 0.0;
    std::string currency;
};

}  // namespace quillmere
