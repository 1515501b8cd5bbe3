// DestinationMetadataParser.parse_metadata: argument checks and conversion;
// the analysis itself runs in commerce/metadata_parser.cpp without the GIL.
#include <nanobind/nanobind.h>

#include <cmath>
#include <cstdint>
#include <optional>

#include "bindings/pystr.hpp"
#include "bindings/records.hpp"
#include "commerce/markup.hpp"
#include "commerce/metadata_parser.hpp"
#include "commerce/text.hpp"
#include "commerce/url_unwrapper.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace quillmere;

namespace {

nb::object opt_str(const std::optional<std::string>& s) {
    return s ? nb::object(py::str(*s)) : nb::none();
}
template <typename E>
nb::object opt_enum(const std::optional<E>& e) {
    return e ? py::to_py(*e) : nb::none();
}

nb::object price_record(const Price& p) {
    if (std::isfinite(p.amount) && p.amount >= 0) return py::make_price(p);
    // Only a caller's initial price can carry such an amount; the record
    // refuses it with its own validation error, as it refuses any other.
    // (Looked up on this rare path each time: a guarded static whose set-up
    // runs Python code could deadlock against the GIL.)
    nb::object cls = py::models().attr("NormalizedPrice");
    return cls(nb::arg("raw") = py::str(p.raw), nb::arg("amount") = p.amount,
               nb::arg("currency") = py::str(p.currency));
}

// Ranks the engine scores directly; beyond them the score is 50 for large
// ranks and 98 - 3 * (rank - 1) in Python integers for very negative ones.
constexpr long long kRankLimit = 1LL << 60;

nb::object python_score(nb::handle rank) {
    // 98 - 3 * (rank - 1) == 101 - 3 * rank
    nb::object three_rank = nb::steal(PyNumber_Multiply(nb::int_(3).ptr(), rank.ptr()));
    if (!three_rank.is_valid()) throw nb::python_error();
    nb::object score = nb::steal(PyNumber_Subtract(nb::int_(101).ptr(), three_rank.ptr()));
    if (!score.is_valid()) throw nb::python_error();
    return score;
}

nb::dict parse_metadata(nb::handle html, nb::handle direct_url, nb::handle initial_title,
                        nb::handle initial_merchant, nb::handle initial_price, nb::handle initial_stock,
                        nb::handle rank) {
    py::require_optional_str(html, "html");
    py::require_str(direct_url, "direct_url");
    py::require_str(initial_title, "initial_title");
    py::require_str(initial_merchant, "initial_merchant");
    if (!initial_stock.is_none() && !PyBool_Check(initial_stock.ptr()))
        py::type_error("initial_stock", "bool or None", initial_stock);
    if (!PyLong_Check(rank.ptr())) py::type_error("rank", "int", rank);

    std::optional<py::Utf8> page;
    py::Utf8 link = py::utf8(direct_url), title = py::utf8(initial_title), merchant = py::utf8(initial_merchant);
    metadata::Input in;
    if (!html.is_none()) in.html = page.emplace(py::utf8(html)).view;
    in.direct_url = link.view;
    in.initial_title = title.view;
    in.initial_merchant = merchant.view;
    if (!initial_stock.is_none()) in.initial_stock = initial_stock.ptr() == Py_True;

    if (!initial_price.is_none()) {
        // The link is split before the price is read: its error comes first.
        url::urlparse(link.view);
        nb::object amount = initial_price.attr("amount");
        nb::object as_float = nb::steal(PyNumber_Float(amount.ptr()));
        if (!as_float.is_valid()) throw nb::python_error();
        nb::object currency = initial_price.attr("currency");
        if (!py::is_str(currency)) py::type_error("initial_price.currency", "str", currency);
        in.initial_price = metadata::InitialPrice{PyFloat_AS_DOUBLE(as_float.ptr()),
                                                  std::string(py::utf8(currency).view)};
    }

    int overflow = 0;
    long long r = PyLong_AsLongLongAndOverflow(rank.ptr(), &overflow);
    if (r == -1 && PyErr_Occurred()) throw nb::python_error();
    bool huge_negative = overflow < 0 || (overflow == 0 && r < -kRankLimit);
    if (overflow > 0 || (overflow == 0 && r > kRankLimit))
        in.rank = 17;  // scores 50 like every rank from 17 on
    else if (huge_negative)
        in.rank = 0;  // scores 101, or 99 with the brand bonus
    else
        in.rank = r;

    metadata::Metadata md;
    {
        nb::gil_scoped_release unlocked;
        md = metadata::parse_metadata(in);
    }

    nb::object score = nb::int_(md.match_score);
    if (huge_negative && md.match_score == 101) score = python_score(rank);

    nb::dict out;
    out["title"] = py::str(md.title);
    out["merchant_name"] = py::str(md.merchant_name);
    out["brand"] = opt_str(md.brand);
    out["sku"] = opt_str(md.sku);
    out["price"] = md.price ? price_record(*md.price) : nb::none();
    out["stock_status"] = opt_enum(md.stock_status);
    out["condition"] = opt_enum(md.condition);
    out["primary_image_url"] = opt_str(md.primary_image_url);
    out["shipping_info"] = nb::none();
    out["page_type"] = py::to_py(md.page_type);
    out["match_score"] = score;
    out["fetch_source"] = py::str(md.fetch_source);
    return out;
}

}  // namespace

void register_metadata(nb::module_& m) {
    // Every argument admits None here so that the checks above name the
    // expected type in the house form.
    m.def("parse_metadata", &parse_metadata, "html"_a.none(), "direct_url"_a.none(),
          "initial_title"_a.none() = "", "initial_merchant"_a.none() = "", "initial_price"_a.none() = nb::none(),
          "initial_stock"_a.none() = nb::none(), "rank"_a.none() = 1,
          nb::sig("def parse_metadata(html: str | None, direct_url: str, initial_title: str = '', "
                  "initial_merchant: str = '', initial_price: quillmere.models.NormalizedPrice | None = None, "
                  "initial_stock: bool | None = None, rank: int = 1) -> dict[str, typing.Any]"),
          "DestinationMetadataParser.parse_metadata: one match and its page (or None) to the metadata map.");

    // Test hooks: the markup searches against Python's re on the same text.
    m.def("_markup_patterns", [] {
        nb::list out;
        for (int k = 0; k < metadata::kMarkupCount; ++k)
            out.append(py::str(metadata::markup_pattern(static_cast<metadata::Markup>(k))));
        return out;
    });
    m.def("_markup_search", [](int which, nb::handle html) -> nb::object {
        py::require_str(html, "html");
        if (which < 0 || which >= metadata::kMarkupCount) throw nb::index_error("no such markup pattern");
        auto page = py::utf8(html);
        std::optional<metadata::MarkupMatch> found;
        {
            nb::gil_scoped_release unlocked;
            found = metadata::find_markup(static_cast<metadata::Markup>(which), page.view);
        }
        if (!found) return nb::none();
        // Offsets in code points, as re reports them.
        std::size_t start = text::length(page.view.substr(0, found->start));
        return nb::make_tuple(start, py::str(found->group));
    });
    m.def("_lower_contains", [](nb::handle html, nb::handle needle) {
        py::require_str(html, "html");
        py::require_str(needle, "needle");
        auto page = py::utf8(html);
        auto n = py::utf8(needle);
        return metadata::lower_contains(page.view, n.view);
    });
}
