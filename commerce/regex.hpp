// PCRE2 patterns that behave like Python's re on the same pattern text.
//
// Patterns are written in Python's syntax and translated once: \s becomes the
// white-space class of Python (PCRE2's own misses U+001C..U+001F). Matching is
// UTF + UCP with JIT compilation, which keeps the lazy "(.*?)" patterns linear
// on hostile pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

struct pcre2_real_code_8;
struct pcre2_real_match_data_8;

namespace quillmere {

struct RegexError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Regex {
public:
    enum Flags : std::uint32_t { NONE = 0, IGNORECASE = 1, DOTALL = 2 };

    Regex(std::string_view python_pattern, std::uint32_t flags);
    ~Regex();
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    const std::string& pattern() const { return pattern_; }
    std::uint32_t flags() const { return flags_; }
    std::uint32_t group_count() const { return groups_; }

    // One search state; reuse it across searches of the same pattern.
    class Match {
    public:
        explicit Match(const Regex& re);
        ~Match();
        Match(const Match&) = delete;
        Match& operator=(const Match&) = delete;

        // First match at or after byte offset `from`; false when none.
        // A search from 0 looks at the subject afresh. A continued search
        // (from > 0) trusts what earlier searches of this Match learnt about
        // the same bytes (where lone surrogates lie) and only looks at bytes
        // it has not seen yet; so a Match kept from one text to the next
        // must be reset() before it continues in a new text.
        bool search(std::string_view subject, std::size_t from = 0);
        // Forgets every earlier subject.
        void reset();
        bool matched(unsigned group) const;
        std::size_t start(unsigned group = 0) const;
        std::size_t end(unsigned group = 0) const;
        // Empty view for a group that did not take part.
        std::string_view group(unsigned group) const;

    private:
        const Regex& re_;
        pcre2_real_match_data_8* data_;
        std::string_view subject_;
        // Subjects holding lone surrogates are matched through a copy in
        // which each surrogate is a private-use character of the same byte
        // length (see search()); offsets stay those of the subject.
        // [scan_base_, scan_base_ + scan_size_) has been looked at; when it
        // holds a surrogate, masked_ is its copy.
        const char* scan_base_ = nullptr;
        std::size_t scan_size_ = 0;
        std::string masked_;
        bool has_surrogates_ = false;
    };

private:
    std::string pattern_;
    std::uint32_t flags_;
    std::uint32_t groups_ = 0;
    pcre2_real_code_8* code_ = nullptr;
};

// Marks a text as free of lone surrogates (for instance the UTF-8 form of a
// Python str that encoded strictly) for as long as the object lives, on this
// thread: searches of the text or of any slice of it then skip the scan for
// surrogates. Objects may be destroyed in any order.
class SurrogateFreeText {
public:
    explicit SurrogateFreeText(std::string_view text);
    ~SurrogateFreeText();
    SurrogateFreeText(const SurrogateFreeText&) = delete;
    SurrogateFreeText& operator=(const SurrogateFreeText&) = delete;

    static bool covers(std::string_view subject);

private:
    std::string_view text_;
};

// Python pattern text -> PCRE2 pattern text: \s and \S spelled out, and,
// when ignoring case, "i" also matching U+0130 and U+0131 as in Python.
std::string translate_python_pattern(std::string_view python_pattern, bool ignorecase);

}  // namespace quillmere
