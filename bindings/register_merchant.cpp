// MerchantClassifier.classify, _extract_sld and _is_match.
#include "bindings/merchant.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace quillmere;

void register_merchant(nb::module_& m) {
    py::def(m, "merchant_classify", &py::classify, "quillmere.models.MerchantCategory", "domain"_a, "title"_a = "",
            "brand"_a = nb::none(), "merchant_name"_a = nb::none(),
            "MerchantClassifier.classify: the MerchantCategory of a destination.");
    py::def(m, "merchant_extract_sld", &py::extract_sld, "str", "domain"_a,
            "MerchantClassifier._extract_sld: the label that names the site.");
    py::def(m, "merchant_is_match", &py::is_match, "bool", "alpha_sld"_a, "text"_a,
            "MerchantClassifier._is_match: whether a name agrees with the site label.");
}
