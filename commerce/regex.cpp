#define PCRE2_CODE_UNIT_WIDTH 8
#include "commerce/regex.hpp"

#include <pcre2.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

#include "commerce/text.hpp"

namespace quillmere {
namespace {

// A JIT stack per thread, large enough for the deepest backtracking the
// page patterns can need; the default 32 KiB is too small for long lazy runs.
pcre2_jit_stack* thread_jit_stack() {
    thread_local struct Holder {
        pcre2_jit_stack* stack = pcre2_jit_stack_create(64 * 1024, 16 * 1024 * 1024, nullptr);
        ~Holder() {
            if (stack) pcre2_jit_stack_free(stack);
        }
    } holder;
    return holder.stack;
}

pcre2_match_context* thread_match_context() {
    thread_local struct Holder {
        pcre2_match_context* context = nullptr;
        Holder() {
            context = pcre2_match_context_create(nullptr);
            pcre2_jit_stack_assign(context, nullptr, thread_jit_stack());
        }
        ~Holder() { pcre2_match_context_free(context); }
    } holder;
    return holder.context;
}

// Start address -> (size, holders). Only long texts are kept: scanning a
// short one costs less than keeping it here.
struct CleanRange {
    std::size_t size;
    int holders;
};
thread_local std::map<const char*, CleanRange> surrogate_free_texts;
constexpr std::size_t kCleanTextMinimum = 4096;

}  // namespace

SurrogateFreeText::SurrogateFreeText(std::string_view text) : text_(text) {
    if (text.size() < kCleanTextMinimum) return;
    auto [it, inserted] = surrogate_free_texts.try_emplace(text.data(), CleanRange{text.size(), 0});
    if (it->second.size < text.size()) it->second.size = text.size();
    ++it->second.holders;
}

SurrogateFreeText::~SurrogateFreeText() {
    if (text_.size() < kCleanTextMinimum) return;
    auto it = surrogate_free_texts.find(text_.data());
    if (it != surrogate_free_texts.end() && --it->second.holders == 0) surrogate_free_texts.erase(it);
}

bool SurrogateFreeText::covers(std::string_view subject) {
    auto& m = surrogate_free_texts;
    auto it = m.upper_bound(subject.data());
    if (it == m.begin()) return false;
    --it;
    return subject.data() + subject.size() <= it->first + it->second.size;
}

std::string translate_python_pattern(std::string_view p, bool ignorecase) {
    // Python's re, ignoring case, also takes U+0130 and U+0131 for "i" (their
    // simple case mappings lead to it); Unicode case folding, which PCRE2
    // uses, does not. Every other letter folds alike in both.
    static constexpr std::string_view kDottedI = "\\x{130}\\x{131}";
    const std::string& ws = text::python_space_class_body();
    std::string out;
    out.reserve(p.size() + 64);
    bool in_class = false;
    bool class_has_i = false;
    char prev_literal = 0;  // previous literal in the class, for ranges
    for (std::size_t i = 0; i < p.size(); ++i) {
        char c = p[i];
        if (!in_class && c == '(' && i + 1 < p.size() && p[i + 1] == '?') {
            // Group headers are syntax, not literals: copy names and inline
            // flags through unchanged ("(?P<name>", "(?<name>", "(?P=name)", "(?i)").
            out += "(?";
            i += 2;
            bool named = i < p.size() && (p[i] == 'P' || (p[i] == '<' && i + 1 < p.size() &&
                                                          std::isalpha(static_cast<unsigned char>(p[i + 1]))));
            if (named) {
                while (i < p.size() && p[i] != '>' && p[i] != ')') out += p[i++];
                if (i < p.size()) out += p[i];
            } else {
                while (i < p.size() && (std::isalpha(static_cast<unsigned char>(p[i])) || p[i] == '-')) out += p[i++];
                --i;
            }
            continue;
        }
        if (c == '\\' && i + 1 < p.size()) {
            char n = p[i + 1];
            if ((n == 'u' && i + 5 < p.size()) || (n == 'U' && i + 9 < p.size())) {
                // Python's \uXXXX and \UXXXXXXXX; PCRE2 spells them \x{...}.
                std::size_t len = n == 'u' ? 4 : 8;
                out += "\\x{";
                out.append(p.substr(i + 2, len));
                out += '}';
                i += 1 + len;
                prev_literal = 0;
                continue;
            }
            if (n == 's') {
                out += in_class ? ws : "[" + ws + "]";
                ++i;
                prev_literal = 0;
                continue;
            }
            if (n == 'S') {
                if (in_class) throw RegexError("\\S inside a character class is not supported");
                out += "[^" + ws + "]";
                ++i;
                continue;
            }
            out += c;
            out += n;
            ++i;
            prev_literal = 0;
            continue;
        }
        if (!in_class && c == '[') {
            in_class = true;
            class_has_i = false;
            prev_literal = 0;
            out += c;
            // a leading '^', then a leading ']', are part of the class syntax
            if (i + 1 < p.size() && p[i + 1] == '^') out += p[++i];
            if (i + 1 < p.size() && p[i + 1] == ']') out += p[++i];
            continue;
        }
        if (in_class) {
            if (c == ']') {
                if (ignorecase && class_has_i) out += kDottedI;
                in_class = false;
                out += c;
                continue;
            }
            if (c == '-' && prev_literal && i + 1 < p.size() && p[i + 1] != ']' && p[i + 1] != '\\') {
                char hi = p[i + 1];
                char lo = prev_literal;
                if ((lo <= 'i' && 'i' <= hi) || (lo <= 'I' && 'I' <= hi)) class_has_i = true;
                out += c;
                out += hi;
                ++i;
                prev_literal = 0;
                continue;
            }
            if (c == 'i' || c == 'I') class_has_i = true;
            prev_literal = c;
            out += c;
            continue;
        }
        if (ignorecase && (c == 'i' || c == 'I')) {
            out += "[iI";
            out += kDottedI;
            out += ']';
            continue;
        }
        out += c;
    }
    return out;
}

Regex::Regex(std::string_view python_pattern, std::uint32_t flags)
    : pattern_(python_pattern), flags_(flags) {
    std::string translated = translate_python_pattern(python_pattern, (flags & IGNORECASE) != 0);
    std::uint32_t options = PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF;
    if (flags & IGNORECASE) options |= PCRE2_CASELESS;
    if (flags & DOTALL) options |= PCRE2_DOTALL;
    int err = 0;
    PCRE2_SIZE offset = 0;
    pcre2_compile_context* cctx = pcre2_compile_context_create(nullptr);
    pcre2_set_newline(cctx, PCRE2_NEWLINE_LF);
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(translated.data()), translated.size(), options,
                          &err, &offset, cctx);
    pcre2_compile_context_free(cctx);
    if (!code_) {
        PCRE2_UCHAR msg[256];
        pcre2_get_error_message(err, msg, sizeof msg);
        throw RegexError("cannot compile pattern " + pattern_ + ": " + reinterpret_cast<char*>(msg));
    }
    pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);  // falls back to the interpreter if JIT is absent
    pcre2_pattern_info(code_, PCRE2_INFO_CAPTURECOUNT, &groups_);
}

Regex::~Regex() { pcre2_code_free(code_); }

Regex::Match::Match(const Regex& re) : re_(re), data_(pcre2_match_data_create_from_pattern(re.code_, nullptr)) {}
Regex::Match::~Match() { pcre2_match_data_free(data_); }

void Regex::Match::reset() {
    scan_base_ = nullptr;
    scan_size_ = 0;
    masked_.clear();
    has_surrogates_ = false;
}

bool Regex::Match::search(std::string_view subject, std::size_t from) {
    subject_ = subject;
    if (from > subject.size()) return false;
    // PCRE2 takes a lone surrogate (a str may hold one) for invalid UTF-8 that
    // nothing matches, while Python's re treats it as an ordinary character
    // without case, digit, word or space properties; so does a private-use
    // character, which is also three bytes long.
    // A continued search of a text looked at before (or of a later stretch of
    // it, as when the subject grows with each search) reuses that work and
    // only looks at the new bytes, which keeps repeated searches linear.
    const char* begin = subject.data();
    const char* end = begin + subject.size();
    bool continued = from > 0 && scan_base_ != nullptr && begin >= scan_base_ && begin <= scan_base_ + scan_size_;
    if (!continued) {
        reset();
        scan_base_ = begin;
    }
    const char* seen_end = scan_base_ + scan_size_;
    if (end > seen_end) {
        if (has_surrogates_) masked_.append(seen_end, static_cast<std::size_t>(end - seen_end));
        scan_size_ = static_cast<std::size_t>(end - scan_base_);
        if (!SurrogateFreeText::covers(subject)) {
            // A surrogate may straddle the end of the stretch seen before.
            const char* p = seen_end - std::min<std::size_t>(2, static_cast<std::size_t>(seen_end - scan_base_));
            while (p < end && (p = static_cast<const char*>(std::memchr(p, '\xED', static_cast<std::size_t>(end - p))))) {
                if (end - p >= 3 && (static_cast<unsigned char>(p[1]) & 0xE0) == 0xA0) {
                    if (!has_surrogates_) {
                        masked_.assign(scan_base_, scan_size_);
                        has_surrogates_ = true;
                    }
                    std::size_t at = static_cast<std::size_t>(p - scan_base_);
                    masked_[at] = '\xEE';
                    masked_[at + 1] = '\x80';
                }
                ++p;
            }
        }
    }
    std::string_view target =
        has_surrogates_ ? std::string_view(masked_).substr(static_cast<std::size_t>(begin - scan_base_), subject.size())
                        : subject;
    int rc = pcre2_match(re_.code_, reinterpret_cast<PCRE2_SPTR>(target.data()), target.size(), from, 0, data_,
                         thread_match_context());
    if (rc == PCRE2_ERROR_NOMATCH) return false;
    if (rc < 0) {
        PCRE2_UCHAR msg[256];
        pcre2_get_error_message(rc, msg, sizeof msg);
        throw RegexError(std::string("pattern match failed: ") + reinterpret_cast<char*>(msg));
    }
    return true;
}

bool Regex::Match::matched(unsigned group) const {
    return pcre2_get_ovector_pointer(data_)[2 * group] != PCRE2_UNSET;
}
std::size_t Regex::Match::start(unsigned group) const { return pcre2_get_ovector_pointer(data_)[2 * group]; }
std::size_t Regex::Match::end(unsigned group) const { return pcre2_get_ovector_pointer(data_)[2 * group + 1]; }

std::string_view Regex::Match::group(unsigned group) const {
    if (!matched(group)) return {};
    return subject_.substr(start(group), end(group) - start(group));
}

}  // namespace quillmere
