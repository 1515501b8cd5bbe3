// JSON values as Python's json.loads builds them: objects keep member order,
// a repeated key keeps its last value (at the place of its first occurrence),
// integers of any size stay exact, NaN/Infinity/-Infinity are accepted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quillmere::json {

struct Value;
struct Member;

struct Null {};
// An integer outside the int64 range, as its decimal text (sign included).
struct BigInt {
    std::string digits;
};
using Array = std::vector<Value>;
struct Object {
    std::vector<Member> members;  // unique keys, document order of first occurrence
    const Value* find(std::string_view key) const;
};

struct Value {
    std::variant<Null, bool, std::int64_t, BigInt, double, std::string, Array, Object> v;

    bool is_null() const { return std::holds_alternative<Null>(v); }
    bool is_bool() const { return std::holds_alternative<bool>(v); }
    bool is_int() const { return std::holds_alternative<std::int64_t>(v) || std::holds_alternative<BigInt>(v); }
    bool is_float() const { return std::holds_alternative<double>(v); }
    bool is_number() const { return is_int() || is_float(); }
    bool is_string() const { return std::holds_alternative<std::string>(v); }
    bool is_array() const { return std::holds_alternative<Array>(v); }
    bool is_object() const { return std::holds_alternative<Object>(v); }
    const std::string& str() const { return std::get<std::string>(v); }
    const Array& array() const { return std::get<Array>(v); }
    const Object& object() const { return std::get<Object>(v); }
    // Member lookup; nullptr when this is not an object or the key is missing.
    const Value* get(std::string_view key) const;
};

struct Member {
    std::string key;
    Value value;
};

// Deepest nesting of arrays and objects accepted; deeper documents are
// refused like any other unparsable text.
inline constexpr int kMaxDepth = 1000;

// json.loads(text): nullopt where json.loads raises.
std::optional<Value> parse(std::string_view text);

// Python truthiness: null, false, 0, 0.0, "", [] and {} are empty.
bool is_empty(const Value& v);

// The text form the engine uses for a JSON value: text unchanged, integers in
// decimal, floats as repr(), true/false/null as "True"/"False"/"None",
// arrays and objects as Python's str() of the parsed value.
std::string text_form(const Value& v);

}  // namespace quillmere::json
