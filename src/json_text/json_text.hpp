/* src/json_text/json_text.hpp: the JSON value model, its parser and its compact writer */
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tolva::json {

struct Member;
struct Value;

// An array or object and everything inside it, as one flat tape of nodes in document
// order and one buffer of string bytes: a container costs no allocation of its own,
// so a document of any shape is a handful of allocations.
struct Tree {
    enum class Kind : std::uint8_t { Null, False, True, Unsigned, Signed, Double, String, Array, Object };

    // An object's members are a key node, then the value's nodes. Unless the object is
    // marked unsorted, they are in ascending byte order of their keys, each key once;
    // an unsorted object (as read) is put in that order, a later duplicate key winning,
    // when it is written, which costs less than reordering the tape as it is read.
    struct Node {
        Kind kind;
        bool unsorted;       // objects only
        std::uint32_t size;  // strings: bytes; containers: elements, or members
        std::uint64_t data;  // numbers: their bits; strings: offset in bytes; containers: index past the subtree
    };

    std::vector<Node> nodes;
    std::string bytes;
};

// One JSON value. Numbers keep their form: unsigned, signed (negative only) or a
// finite double. Objects hold their members in ascending byte order of the keys (a
// later duplicate key wins), as written; arrays and objects are held as a Tree.
struct Value {
    using Null = std::monostate;
    using Array = std::vector<Value>;    // builds a Value: Value(Array{...})
    using Object = std::vector<Member>;  // builds a Value: Value(Object{{"key", value}, ...})
    std::variant<Null, bool, std::uint64_t, std::int64_t, double, std::string, Tree> data;

    // Defined below Member, which the builders need complete.
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
    explicit Value(Tree t);

    // Equal values write the same text.
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
inline Value::Value(Tree t) : data(std::move(t)) {}

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

// The bytes a string cannot hold raw: '"', '\\' and those below 0x20.
inline bool is_special(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u == '"' || u == '\\' || u < 0x20;
}

// Copies bytes from p to o eight at a time, up to the first special byte or until
// fewer than eight are left; advances both. Words are stored whole as they are
// scanned, so o must have 8 bytes of room past what the copy needs. Inline: strings
// are scanned in short runs between escapes, where a call would cost as much as the scan.
inline void copy_plain_words(const char*& p, const char* end, char*& o) {
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
        while (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            std::memcpy(o, &w, 8);
            const std::uint64_t quote = w ^ (ones * '"'), backslash = w ^ (ones * '\\');
            // A byte is flagged when it is zero after the xor, or below 0x20; a borrow can
            // only flag bytes above a true hit, so the lowest flag is exact.
            const std::uint64_t hits =
                (((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) | ((w - ones * 0x20) & ~w)) & highs;
            if (hits) {
                const std::size_t n = static_cast<std::size_t>(std::countr_zero(hits) >> 3);
                p += n;
                o += n;
                return;
            }
            p += 8;
            o += 8;
        }
    }
}

// As copy_plain_words, then byte by byte up to the first special byte or end.
inline void copy_plain(const char*& p, const char* end, char*& o) {
    copy_plain_words(p, end, o);
    for (; p != end && !is_special(*p); ++p) *o++ = *p;
}

}  // namespace tolva::json
