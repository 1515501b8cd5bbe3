// JSON parsing with the answers of Python's json.loads.
//
// The parser is iterative: nesting lives on an explicit stack of frames, so
// hostile documents cannot overflow the C++ stack; anything nested deeper than
// kMaxDepth is refused like any other unparsable text.
#include "commerce/json.hpp"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <memory>
#include <set>

#include "commerce/numbers.hpp"
#include "commerce/text.hpp"

namespace quillmere::json {
namespace {



// int() refuses decimal texts longer than this (sys.get_int_max_str_digits()
// of a default interpreter), and so does json.loads.
constexpr std::size_t kMaxIntDigits = 4300;

// Objects switch from a linear scan to an ordered index of their keys once
// they hold this many members, so repeated keys stay cheap to find.
constexpr std::size_t kLinearKeys = 16;

inline bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The end of the run of characters that stand for themselves in a string
// (anything but '"', '\\' and control characters), eight bytes at a time.
const char* plain_run(const char* p, const char* end) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    while (end - p >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        std::uint64_t quote = w ^ (ones * '"');
        std::uint64_t slash = w ^ (ones * '\\');
        // a zero byte in quote/slash, or a byte below 0x20 in w
        std::uint64_t hit = ((quote - ones) & ~quote) | ((slash - ones) & ~slash) | ((w - ones * 0x20) & ~w);
        if (hit & highs) break;
        p += 8;
    }
    while (p < end) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\' || c < 0x20) break;
        ++p;
    }
    return p;
}

inline int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

locale_t c_locale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

// float(text) for a text that already has JSON number syntax: correctly
// rounded, overflowing to +-inf and underflowing to +-0 as Python does.
double to_double(const char* b, const char* e) {
    double d = 0.0;
    auto res = std::from_chars(b, e, d);
    if (res.ec == std::errc() && res.ptr == e) return d;
    std::string copy(b, e);
    return strtod_l(copy.c_str(), nullptr, c_locale());
}

// Members of an object under construction, with a key index for large ones.
struct ObjectBuilder {
    struct KeyLess {
        const std::vector<Member>* members;
        using is_transparent = void;
        std::string_view key(std::uint32_t i) const { return (*members)[i].key; }
        bool operator()(std::uint32_t a, std::uint32_t b) const { return key(a) < key(b); }
        bool operator()(std::uint32_t a, std::string_view b) const { return key(a) < b; }
        bool operator()(std::string_view a, std::uint32_t b) const { return a < key(b); }
    };

    std::vector<Member> members;  // the last one may still be unchecked
    std::unique_ptr<std::set<std::uint32_t, KeyLess>> index;

    void clear() {
        members.clear();
        index.reset();
    }

    // The last member is complete: dict[key] = value, so a repeated key keeps
    // its first place and takes the new value.
    void commit() {
        std::size_t last = members.size() - 1;
        std::string_view key = members[last].key;
        std::size_t found = last;
        if (index) {
            auto it = index->find(key);
            if (it != index->end()) found = *it;
        } else {
            for (std::size_t i = 0; i < last; ++i) {
                if (members[i].key == key) {
                    found = i;
                    break;
                }
            }
        }
        if (found != last) {
            members[found].value = std::move(members[last].value);
            members.pop_back();
            return;
        }
        if (index) {
            index->insert(static_cast<std::uint32_t>(last));
        } else if (members.size() >= kLinearKeys) {
            index = std::make_unique<std::set<std::uint32_t, KeyLess>>(KeyLess{&members});
            for (std::uint32_t i = 0; i < members.size(); ++i) index->insert(i);
        }
    }

    // The finished object, sized exactly; the builder keeps its capacity
    // for the next object at the same depth.
    Object take() {
        Object o;
        o.members.reserve(members.size());
        for (Member& m : members) o.members.push_back(std::move(m));
        clear();
        return o;
    }
};

struct Frame {
    bool is_object = false;
    Array items;
    ObjectBuilder object;

    Array take_items() {
        Array a;
        a.reserve(items.size());
        for (Value& x : items) a.push_back(std::move(x));
        items.clear();
        return a;
    }
};

class Parser {
public:
    explicit Parser(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

    std::optional<Value> run() {
        skip_ws();
        int depth = 0;  // frames in use
        for (;;) {
            // ---- a value starts at p_
            if (p_ == end_) return std::nullopt;
            char c = *p_;
            if (c == '[' || c == '{') {
                if (depth == kMaxDepth) return std::nullopt;
                Frame& f = frame(depth++);
                f.is_object = c == '{';
                ++p_;
                skip_ws();
                if (p_ < end_ && *p_ == (f.is_object ? '}' : ']')) {
                    ++p_;
                    close(f, slot(depth - 1));
                    --depth;
                } else if (f.is_object) {
                    if (!read_key(f)) return std::nullopt;
                    continue;
                } else {
                    continue;
                }
            } else if (!scalar(slot(depth))) {
                return std::nullopt;
            }
            // ---- a value is complete: continue or close the enclosing containers
            for (;;) {
                if (depth == 0) {
                    skip_ws();
                    if (p_ != end_) return std::nullopt;
                    return std::move(root_);
                }
                Frame& f = *frames_[depth - 1];
                if (f.is_object) f.object.commit();
                skip_ws();
                if (p_ == end_) return std::nullopt;
                char d = *p_++;
                if (d == ',') {
                    skip_ws();
                    if (f.is_object && !read_key(f)) return std::nullopt;
                    break;  // parse the next value
                }
                if (d != (f.is_object ? '}' : ']')) return std::nullopt;
                close(f, slot(depth - 1));
                --depth;
            }
        }
    }

private:
    const char* p_;
    const char* end_;
    Value root_;
    std::vector<std::unique_ptr<Frame>> frames_;

    Frame& frame(int depth) {
        if (static_cast<std::size_t>(depth) == frames_.size()) frames_.push_back(std::make_unique<Frame>());
        Frame& f = *frames_[depth];
        f.items.clear();
        f.object.clear();
        return f;
    }

    // Where the next value inside the first `depth` open containers goes:
    // the document itself, a new array element, or the member whose key was
    // just read.
    Value& slot(int depth) {
        if (depth == 0) return root_;
        Frame& f = *frames_[depth - 1];
        return f.is_object ? f.object.members.back().value : f.items.emplace_back();
    }

    static void close(Frame& f, Value& out) {
        if (f.is_object)
            out.v = f.object.take();
        else
            out.v = f.take_items();
    }

    void skip_ws() {
        while (p_ < end_ && is_ws(*p_)) ++p_;
    }

    // `"key"` then `:`, as a new member; leaves p_ at the start of the value.
    bool read_key(Frame& f) {
        if (p_ == end_ || *p_ != '"') return false;
        if (!string(f.object.members.emplace_back().key)) return false;
        skip_ws();
        if (p_ == end_ || *p_ != ':') return false;
        ++p_;
        skip_ws();
        return true;
    }

    bool literal(std::string_view word) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word)
            return false;
        p_ += word.size();
        return true;
    }

    bool scalar(Value& v) {
        switch (*p_) {
            case '"':
                return string(v.v.emplace<std::string>());
            case 'n':
                if (!literal("null")) return false;
                v.v = Null{};
                return true;
            case 't':
                if (!literal("true")) return false;
                v.v = true;
                return true;
            case 'f':
                if (!literal("false")) return false;
                v.v = false;
                return true;
            case 'N':
                if (!literal("NaN")) return false;
                v.v = std::nan("");
                return true;
            case 'I':
                if (!literal("Infinity")) return false;
                v.v = HUGE_VAL;
                return true;
            case '-':
                if (literal("-Infinity")) {
                    v.v = -HUGE_VAL;
                    return true;
                }
                return number(v);
            default:
                return number(v);
        }
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?
    bool number(Value& v) {
        const char* b = p_;
        const char* q = p_;
        bool neg = false;
        if (*q == '-') {
            neg = true;
            ++q;
            if (q == end_) return false;
        }
        const char* int_begin = q;
        if (*q >= '1' && *q <= '9') {
            ++q;
            while (q < end_ && is_digit(*q)) ++q;
        } else if (*q == '0') {
            ++q;
        } else {
            return false;
        }
        const char* int_end = q;
        bool is_float = false;
        if (q + 1 < end_ && *q == '.' && is_digit(q[1])) {
            is_float = true;
            q += 2;
            while (q < end_ && is_digit(*q)) ++q;
        }
        if (q < end_ && (*q == 'e' || *q == 'E')) {
            const char* r = q + 1;
            if (r < end_ && (*r == '+' || *r == '-')) ++r;
            if (r < end_ && is_digit(*r)) {
                while (r < end_ && is_digit(*r)) ++r;
                is_float = true;
                q = r;
            }
            // else: the number ends before the 'e', which nothing may follow
        }
        p_ = q;
        if (is_float) {
            v.v = to_double(b, q);
            return true;
        }
        std::size_t ndigits = static_cast<std::size_t>(int_end - int_begin);
        if (ndigits <= 18) {
            std::int64_t n = 0;
            for (const char* d = int_begin; d < int_end; ++d) n = n * 10 + (*d - '0');
            v.v = neg ? -n : n;
            return true;
        }
        std::int64_t n = 0;
        auto res = std::from_chars(b, int_end, n);
        if (res.ec == std::errc() && res.ptr == int_end) {
            v.v = n;
            return true;
        }
        if (ndigits > kMaxIntDigits) return false;
        v.v = BigInt{std::string(b, int_end)};
        return true;
    }

    // A string starting at the opening quote; appends the decoded text to out.
    bool string(std::string& out) {
        ++p_;  // opening quote
        for (;;) {
            const char* run = p_;
            p_ = plain_run(p_, end_);
            out.append(run, p_);
            if (p_ == end_) return false;  // unterminated
            char c = *p_++;
            if (c == '"') return true;
            if (c != '\\') return false;  // control character
            if (p_ == end_) return false;
            char e = *p_++;
            switch (e) {
                case '"': out.push_back('"'); break;
                case '\\': out.push_back('\\'); break;
                case '/': out.push_back('/'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'u': {
                    int cp = hex4(p_);
                    if (cp < 0) return false;
                    p_ += 4;
                    if (cp >= 0xD800 && cp <= 0xDBFF && end_ - p_ >= 6 && p_[0] == '\\' && p_[1] == 'u') {
                        int lo = hex4(p_ + 2);
                        if (lo < 0) return false;
                        if (lo >= 0xDC00 && lo <= 0xDFFF) {
                            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                            p_ += 6;
                        }
                    }
                    // a lone surrogate stays, written as its three-byte form
                    text::append_utf8(out, static_cast<char32_t>(cp));
                    break;
                }
                default:
                    return false;
            }
        }
    }

    int hex4(const char* at) const {
        if (end_ - at < 4) return -1;
        int cp = 0;
        for (int k = 0; k < 4; ++k) {
            int h = hex_value(at[k]);
            if (h < 0) return -1;
            cp = cp * 16 + h;
        }
        return cp;
    }
};

// str() of a scalar; strings are written with repr() when `quoted`.
void append_scalar(std::string& out, const Value& v, bool quoted) {
    std::visit(
        [&](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, Null>) {
                out += "None";
            } else if constexpr (std::is_same_v<T, bool>) {
                out += x ? "True" : "False";
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                out += std::to_string(x);
            } else if constexpr (std::is_same_v<T, BigInt>) {
                out += x.digits;
            } else if constexpr (std::is_same_v<T, double>) {
                out += numbers::repr(x);
            } else if constexpr (std::is_same_v<T, std::string>) {
                if (quoted)
                    out += text::repr(x);
                else
                    out += x;
            }
        },
        v.v);
}

}  // namespace

const Value* Object::find(std::string_view key) const {
    for (const Member& m : members)
        if (m.key == key) return &m.value;
    return nullptr;
}

const Value* Value::get(std::string_view key) const {
    if (const Object* o = std::get_if<Object>(&v)) return o->find(key);
    return nullptr;
}

std::optional<Value> parse(std::string_view text) { return Parser(text).run(); }

bool is_empty(const Value& v) {
    return std::visit(
        [](const auto& x) -> bool {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, Null>) return true;
            else if constexpr (std::is_same_v<T, bool>) return !x;
            else if constexpr (std::is_same_v<T, std::int64_t>) return x == 0;
            else if constexpr (std::is_same_v<T, BigInt>) return false;  // never zero
            else if constexpr (std::is_same_v<T, double>) return x == 0.0;
            else if constexpr (std::is_same_v<T, std::string>) return x.empty();
            else if constexpr (std::is_same_v<T, Array>) return x.empty();
            else return x.members.empty();
        },
        v.v);
}

std::string text_form(const Value& root) {
    std::string out;
    if (!root.is_array() && !root.is_object()) {
        append_scalar(out, root, false);
        return out;
    }
    // str() of a list or dict, written without recursion.
    struct Open {
        const Value* container;
        std::size_t next;
    };
    std::vector<Open> stack;
    auto open = [&](const Value* c) {
        out.push_back(c->is_array() ? '[' : '{');
        stack.push_back({c, 0});
    };
    open(&root);
    while (!stack.empty()) {
        Open& top = stack.back();
        const Value* c = top.container;
        std::size_t i = top.next;
        std::size_t n = c->is_array() ? c->array().size() : c->object().members.size();
        if (i == n) {
            out.push_back(c->is_array() ? ']' : '}');
            stack.pop_back();
            continue;
        }
        ++top.next;
        if (i > 0) out += ", ";
        const Value* child;
        if (c->is_array()) {
            child = &c->array()[i];
        } else {
            const Member& m = c->object().members[i];
            out += text::repr(m.key);
            out += ": ";
            child = &m.value;
        }
        if (child->is_array() || child->is_object())
            open(child);  // `top` is not used after this
        else
            append_scalar(out, *child, true);
    }
    return out;
}

}  // namespace quillmere::json
