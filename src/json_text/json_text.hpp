/* src/json_text/json_text.hpp: the JSON value model, its parser and its compact writer */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tolva::json {

struct Member;

// One JSON value. Numbers keep their form: unsigned, signed (negative only) or a
// finite double. Objects hold their members in ascending byte order of the keys.
struct Value {
    using Null = std::monostate;
    using Array = std::vector<Value>;
    using Object = std::vector<Member>;
    std::variant<Null, bool, std::uint64_t, std::int64_t, double, std::string, Array, Object> data;

    // Defined below Member, which the variant needs complete.
    Value();
    Value(std::nullptr_t);
    Value(bool b);
    Value(std::uint64_t u);
    Value(std::int64_t i);
    Value(double d);
    Value(std::string s);
    Value(const char* s);
    Value(Array a);
    Value(Object o);  // sorts the members; a later duplicate key wins

    bool operator==(const Value&) const;
};

struct Member {
    std::string key;
    Value value;
    bool operator==(const Member&) const = default;
};

inline Value::Value() = default;
inline Value::Value(std::nullptr_t) {}
inline Value::Value(bool b) : data(b) {}
inline Value::Value(std::uint64_t u) : data(u) {}
inline Value::Value(std::string s) : data(std::move(s)) {}
inline Value::Value(const char* s) : data(std::string(s)) {}
inline Value::Value(Array a) : data(std::move(a)) {}

// Sorts members by key, keeping the last of equal keys, as the model requires.
void normalize_object(Value::Object& members);

enum class ErrorCode : std::uint8_t {
    EofWhileParsingList,
    EofWhileParsingObject,
    EofWhileParsingString,
    EofWhileParsingValue,
    ExpectedColon,
    ExpectedListCommaOrEnd,
    ExpectedObjectCommaOrEnd,
    ExpectedSomeIdent,
    ExpectedSomeValue,
    InvalidEscape,
    InvalidNumber,
    NumberOutOfRange,
    ControlCharacterWhileParsingString,
    KeyMustBeAString,
    LoneLeadingSurrogateInHexEscape,
    TrailingComma,
    TrailingCharacters,
    UnexpectedEndOfHexEscape,
    RecursionLimitExceeded,
};

std::string_view message(ErrorCode code);

struct ParseError {
    ErrorCode code;
    std::size_t line;
    std::size_t column;
    // "<message> at line <line> column <column>"
    std::string text() const;
};

// Either the parsed value or the first error met.
using ParseResult = std::variant<Value, ParseError>;

// Parses UTF-8 text holding exactly one JSON value.
ParseResult parse(std::string_view text);

// Appends the compact text of a value; never fails.
void write(const Value& value, std::string& out);
std::string write(const Value& value);
// Appends one string in the writer's escaping, for texts written piece by piece.
void write_string(std::string_view text, std::string& out);

}  // namespace tolva::json
