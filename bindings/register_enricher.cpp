// The deep enrichment's native stages: unwrapping the matches' links before
// the batch fetch, and the per-match analysis and record building after it.
#include <nanobind/nanobind.h>

#include <array>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/pystr.hpp"
#include "bindings/records.hpp"
#include "commerce/commerce_enricher.hpp"
#include "commerce/url_unwrapper.hpp"

namespace nb = nanobind;
using namespace quillmere;

namespace {

// ---- reading the matches ----------------------------------------------------

// Keeps every str whose UTF-8 text the batch reads alive (and its text in
// place) while the GIL is released.
struct Keep {
    std::vector<nb::object> objects;
    std::deque<py::Utf8> texts;  // stable addresses

    std::string_view text(nb::object s) {
        texts.push_back(py::utf8(s));
        objects.push_back(std::move(s));
        return texts.back().view;
    }
    std::optional<std::string_view> optional_text(nb::object s) {
        if (s.is_none()) return std::nullopt;
        return text(std::move(s));
    }
};

nb::object read_str(nb::handle match, const char* name) {
    nb::object v = match.attr(name);
    py::require_str(v, name);
    return v;
}

nb::object read_optional_str(nb::handle match, const char* name) {
    nb::object v = match.attr(name);
    py::require_optional_str(v, name);
    return v;
}

// The list's elements as they are now: reading attributes runs Python code,
// which could change the list itself.
std::vector<nb::object> list_items(nb::handle h, const char* name) {
    if (!PyList_Check(h.ptr())) py::type_error(name, "list", h);
    std::vector<nb::object> items;
    const Py_ssize_t n = PyList_GET_SIZE(h.ptr());
    items.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) items.push_back(nb::borrow(PyList_GET_ITEM(h.ptr(), i)));
    return items;
}

// ---- building records -------------------------------------------------------

// Records are built the way validation would leave them, without paying for
// validation: the values are the engine's own, of the fields' types and
// within what the models check (finite, non-negative amounts). A fresh
// instance gets its field dictionary and its set of given fields directly.
// Used only when the model class has the plain shape this relies on;
// otherwise the records are constructed (and validated) normally.
class RecordBuilder {
public:
    RecordBuilder(const char* class_name, std::initializer_list<const char*> given)
        : cls_(py::models().attr(class_name)) {
        for (const char* g : given) given_.push_back(nb::steal<nb::str>(PyUnicode_InternFromString(g)));
        given_set_ = nb::steal(PyFrozenSet_New(nullptr));
        for (const nb::str& g : given_)
            if (PySet_Add(given_set_.ptr(), g.ptr()) != 0) throw nb::python_error();
        for (const char* slot : {"__dict__", "__pydantic_fields_set__", "__pydantic_extra__", "__pydantic_private__"})
            slot_names_.push_back(nb::steal<nb::str>(PyUnicode_InternFromString(slot)));
        nb::dict fields = nb::borrow<nb::dict>(cls_.attr("__pydantic_fields__"));
        for (auto [name, info] : fields) {
            names_.push_back(nb::borrow<nb::str>(name));
            defaults_.push_back(nb::none());
        }
        fast_ = plain_shape(fields);
    }

    // values: one per given field, in the order given to the constructor.
    nb::object build(std::vector<nb::object>& values) const {
        if (!fast_) {
            nb::dict kw;
            for (std::size_t i = 0; i < given_.size(); ++i) kw[given_[i]] = values[i];
            return cls_(**kw);
        }
        nb::dict d;
        for (std::size_t i = 0; i < names_.size(); ++i)
            d[names_[i]] = index_[i] >= 0 ? values[static_cast<std::size_t>(index_[i])] : defaults_[i];
        nb::object fields_set = nb::steal(PySet_New(given_set_.ptr()));
        if (!fields_set.is_valid()) throw nb::python_error();
        PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls_.ptr());
        nb::object obj = nb::steal(type->tp_new(type, empty_args().ptr(), nullptr));
        if (!obj.is_valid()) throw nb::python_error();
        set_slot(obj, slot_names_[0], d);
        set_slot(obj, slot_names_[1], fields_set);
        set_slot(obj, slot_names_[2], nb::none());
        set_slot(obj, slot_names_[3], nb::none());
        return obj;
    }

private:
    static nb::handle empty_args() {
        static PyObject* t = PyTuple_New(0);
        return t;
    }

    static void set_slot(nb::handle obj, nb::handle name, nb::handle value) {
        if (PyObject_GenericSetAttr(obj.ptr(), name.ptr(), value.ptr()) != 0) throw nb::python_error();
    }

    // Fields not given must default to None; no post-init hook, no extras,
    // no private attributes, no custom __new__.
    bool plain_shape(nb::dict fields) {
        index_.assign(names_.size(), -1);
        for (std::size_t g = 0; g < given_.size(); ++g) {
            bool found = false;
            for (std::size_t i = 0; i < names_.size(); ++i)
                if (PyUnicode_Compare(names_[i].ptr(), given_[g].ptr()) == 0) {
                    index_[i] = static_cast<int>(g);
                    found = true;
                }
            if (!found) return false;
        }
        for (std::size_t i = 0; i < names_.size(); ++i) {
            if (index_[i] >= 0) continue;
            nb::object info = fields[names_[i]];
            if (nb::cast<bool>(info.attr("is_required")())) return false;
            if (!info.attr("default_factory").is_none() || !info.attr("default").is_none()) return false;
        }
        nb::object extra = cls_.attr("model_config").attr("get")("extra");
        bool plain_extra = extra.is_none() || (py::is_str(extra) && py::utf8(extra).view == "ignore");
        return plain_extra && cls_.attr("__pydantic_post_init__").is_none() &&
               nb::len(nb::object(cls_.attr("__private_attributes__"))) == 0 &&
               !nb::cast<bool>(cls_.attr("__pydantic_root_model__")) &&
               nb::getattr(cls_, "__new__").is(nb::getattr(nb::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)), "__new__"));
    }

    nb::object cls_;
    nb::object given_set_;
    std::vector<nb::str> given_, names_, slot_names_;
    std::vector<nb::object> defaults_;
    std::vector<int> index_;
    bool fast_ = false;
};

// Built on first use under the GIL. No function-local static guards here:
// building runs Python code, which may let another thread in, and that
// thread would then wait on the guard while holding the GIL. Two threads
// may both build one; the first stored is kept.
template <typename T, typename Make>
const T& first_built(T*& slot, Make make) {
    if (!slot) {
        T* made = make();
        if (!slot)
            slot = made;
        else
            delete made;
    }
    return *slot;
}

RecordBuilder* g_match_builder = nullptr;
RecordBuilder* g_price_builder = nullptr;

const RecordBuilder& match_builder() {
    return first_built(g_match_builder, [] {
        return new RecordBuilder(
            "EnrichedCommerceMatch",
            {"title", "direct_url", "original_url", "price", "merchant_name", "merchant_category", "thumbnail",
             "match_score", "page_type", "brand", "sku", "condition", "stock_status", "primary_image_url",
             "shipping_info"});
    });
}

const RecordBuilder& price_builder() {
    return first_built(g_price_builder, [] { return new RecordBuilder("NormalizedPrice", {"raw", "amount", "currency"}); });
}

nb::object optional_str(const std::optional<std::string>& s) {
    return s ? nb::object(py::str(*s)) : nb::none();
}

// Enumeration members by engine value, looked up once (and kept for the
// life of the process, like the records module itself).
template <typename E, std::size_t N>
nb::object member(E v) {
    static std::array<nb::object, N>* members = nullptr;
    const auto& all = first_built(members, [] {
        auto* a = new std::array<nb::object, N>;
        for (std::size_t i = 0; i < N; ++i) (*a)[i] = py::to_py(static_cast<E>(i));
        return a;
    });
    return all[static_cast<std::size_t>(v)];
}
nb::object to_py(PageType v) { return member<PageType, 6>(v); }
nb::object to_py(StockStatus v) { return member<StockStatus, 3>(v); }
nb::object to_py(ItemCondition v) { return member<ItemCondition, 3>(v); }
nb::object to_py(MerchantCategory v) { return member<MerchantCategory, 4>(v); }

template <typename E>
nb::object optional_member(const std::optional<E>& v) {
    return v ? to_py(*v) : nb::none();
}

nb::object make_price(const std::optional<Price>& p) {
    if (!p) return nb::none();
    std::vector<nb::object> v = {py::str(p->raw), nb::float_(p->amount), py::str(p->currency)};
    return price_builder().build(v);
}

// ---- entries ------------------------------------------------------------------

// [direct link, or None when the link cannot be split] per match.
nb::list unwrap_links(nb::handle matches_obj) {
    std::vector<nb::object> matches = list_items(matches_obj, "matches");
    const std::size_t n = matches.size();
    Keep keep;
    std::vector<std::string_view> links;
    links.reserve(n);
    for (std::size_t i = 0; i < n; ++i) links.push_back(keep.text(read_str(matches[i], "link")));

    std::vector<std::optional<std::string>> direct(n);
    {
        nb::gil_scoped_release unlocked;
        for (std::size_t i = 0; i < n; ++i) direct[i] = enricher::direct_link(links[i]);
    }
    nb::list out;
    for (auto& d : direct) out.append(d ? nb::object(py::str(*d)) : nb::none());
    return out;
}

// The page text for a direct link: the map's entry, or absent.
nb::object page_for(nb::handle pages, nb::handle direct) {
    nb::object page;
    if (PyDict_Check(pages.ptr())) {
        PyObject* v = PyDict_GetItemWithError(pages.ptr(), direct.ptr());
        if (!v && PyErr_Occurred()) throw nb::python_error();
        page = v ? nb::borrow(v) : nb::none();
    } else {
        page = pages.attr("get")(direct);
    }
    py::require_optional_str(page, "html");
    return page;
}

nb::list enrich_after_fetch(nb::handle matches_obj, nb::handle direct_obj, nb::handle pages, bool extended) {
    std::vector<nb::object> matches = list_items(matches_obj, "matches");
    std::vector<nb::object> direct_links = list_items(direct_obj, "direct_links");
    const std::size_t n = matches.size();
    if (direct_links.size() != n) throw nb::value_error("one direct link per match is needed");

    Keep keep;
    std::vector<enricher::MatchInput> inputs(n);
    std::vector<nb::object> links(n), thumbnails(n);
    for (std::size_t i = 0; i < n; ++i) {
        nb::handle match = matches[i];
        enricher::MatchInput& in = inputs[i];
        in.source = keep.optional_text(read_optional_str(match, "source"));
        in.price = keep.optional_text(read_optional_str(match, "price"));
        in.currency = keep.optional_text(read_optional_str(match, "currency"));
        in.title = keep.text(read_str(match, "title"));
        nb::object stock = match.attr("in_stock");
        if (!stock.is_none() && !PyBool_Check(stock.ptr())) py::type_error("in_stock", "bool or None", stock);
        if (!stock.is_none()) in.in_stock = stock.ptr() == Py_True;
        thumbnails[i] = read_optional_str(match, "thumbnail");
        links[i] = read_str(match, "link");
        in.link = keep.text(links[i]);

        nb::handle direct = direct_links[i];
        py::require_optional_str(direct, "direct link");
        if (!direct.is_none()) {
            in.page = keep.optional_text(page_for(pages, direct));
            in.direct_url = keep.text(nb::borrow(direct));
        }
    }

    std::vector<enricher::Enriched> results;
    std::optional<std::string> invalid_link;
    {
        nb::gil_scoped_release unlocked;
        try {
            results = enricher::enrich_all(inputs, extended);
        } catch (const url::InvalidUrl& e) {
            invalid_link = e.message;
        }
    }
    if (invalid_link) {
        PyErr_SetObject(PyExc_ValueError, py::str(*invalid_link).ptr());
        throw nb::python_error();
    }

    const RecordBuilder& builder = match_builder();
    nb::list out;
    std::vector<nb::object> v(15);
    for (std::size_t i = 0; i < n; ++i) {
        const metadata::Metadata& md = results[i].meta;
        const nb::object& direct = direct_links[i];
        v[0] = py::str(md.title);
        v[1] = direct.is_none() ? links[i] : direct;  // an unsplittable link stands for itself
        v[2] = links[i];
        v[3] = make_price(md.price);
        v[4] = py::str(md.merchant_name);
        v[5] = optional_member(results[i].category);
        v[6] = thumbnails[i];
        v[7] = nb::int_(md.match_score);
        v[8] = to_py(md.page_type);
        v[9] = optional_str(md.brand);
        v[10] = optional_str(md.sku);
        v[11] = optional_member(md.condition);
        v[12] = optional_member(md.stock_status);
        v[13] = md.primary_image_url && !md.primary_image_url->empty() ? nb::object(py::str(*md.primary_image_url))
                                                                       : thumbnails[i];
        v[14] = nb::none();
        out.append(builder.build(v));
    }
    return out;
}

}  // namespace

void register_enricher(nb::module_& m) {
    m.def("_enrich_unwrap_links", &unwrap_links, nb::arg("matches"),
          "Direct link of each match's link, or None where the link cannot be split.");
    m.def("_enrich_after_fetch", &enrich_after_fetch, nb::arg("matches"), nb::arg("direct_links"),
          nb::arg("pages"), nb::kw_only(), nb::arg("extended") = false,
          "EnrichedCommerceMatch records for the matches, given their direct links and the page map.");
}
