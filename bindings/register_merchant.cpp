// MerchantClassifier.classify, _extract_sld and _is_match.
#include <optional>

#include "bindings/pystr.hpp"
#include "bindings/records.hpp"
#include "commerce/merchant_classifier.hpp"

namespace nb = nanobind;
using namespace quillmere;

namespace {

// Texts at least this large in total are classified with the GIL released.
constexpr std::size_t kReleaseGilAt = 1 << 16;

nb::object category(MerchantCategory c) {
    static PyObject* members[4] = {};
    PyObject*& slot = members[static_cast<int>(c)];
    if (!slot) slot = py::to_py(c).release().ptr();
    return nb::borrow(slot);
}

std::optional<std::string_view> optional_text(nb::handle h, std::optional<py::Utf8>& keep) {
    if (h.is_none()) return std::nullopt;
    keep.emplace(py::utf8(h));
    return keep->view;
}

nb::object classify(nb::handle domain, nb::handle title, nb::handle brand, nb::handle merchant_name) {
    py::require_str(domain, "domain");
    py::require_str(title, "title");
    py::require_optional_str(brand, "brand");
    py::require_optional_str(merchant_name, "merchant_name");
    py::Utf8 d = py::utf8(domain), t = py::utf8(title);
    std::optional<py::Utf8> kb, km;
    auto b = optional_text(brand, kb);
    auto mn = optional_text(merchant_name, km);
    std::size_t total = d.view.size() + t.view.size() + (b ? b->size() : 0) + (mn ? mn->size() : 0);
    MerchantCategory c;
    if (total >= kReleaseGilAt) {
        nb::gil_scoped_release unlocked;
        c = merchant::classify(d.view, t.view, b, mn);
    } else {
        c = merchant::classify(d.view, t.view, b, mn);
    }
    return category(c);
}

nb::str extract_sld(nb::handle domain) {
    py::require_str(domain, "domain");
    return py::str(merchant::extract_sld(py::utf8(domain).view));
}

bool is_match(nb::handle alpha_sld, nb::handle text) {
    py::require_str(alpha_sld, "alpha_sld");
    py::require_str(text, "text");
    py::Utf8 a = py::utf8(alpha_sld), t = py::utf8(text);
    if (a.view.size() + t.view.size() >= kReleaseGilAt) {
        nb::gil_scoped_release unlocked;
        return merchant::is_match(a.view, t.view);
    }
    return merchant::is_match(a.view, t.view);
}

}  // namespace

void register_merchant(nb::module_& m) {
    m.def("merchant_classify", &classify, nb::arg("domain").none(), nb::arg("title").none() = "",
          nb::arg("brand").none() = nb::none(), nb::arg("merchant_name").none() = nb::none(),
          nb::sig("def merchant_classify(domain: str, title: str = '', brand: str | None = None, "
                  "merchant_name: str | None = None) -> quillmere.models.MerchantCategory"),
          "MerchantClassifier.classify: the MerchantCategory of a destination.");
    m.def("merchant_extract_sld", &extract_sld, nb::arg("domain").none(),
          nb::sig("def merchant_extract_sld(domain: str) -> str"),
          "MerchantClassifier._extract_sld: the label that names the site.");
    m.def("merchant_is_match", &is_match, nb::arg("alpha_sld").none(), nb::arg("text").none(),
          nb::sig("def merchant_is_match(alpha_sld: str, text: str) -> bool"),
          "MerchantClassifier._is_match: whether a name agrees with the site label.");
}
