/* src/json_text/value.cpp: the JSON value model and its error texts */
#include <algorithm>
#include <cmath>

#include "json_text.hpp"

namespace tolva::json {

Value::Value(std::int64_t i) {
    // Non-negative integers are always held unsigned, so equal numbers compare equal.
    if (i >= 0) data = static_cast<std::uint64_t>(i);
    else data = i;
}

Value::Value(double d) {
    if (std::isfinite(d)) data = d;
}

Value::Value(Object o) {
    normalize_object(o);
    data = std::move(o);
}

bool Value::operator==(const Value& other) const {
    // Doubles compare by bit pattern, so 0.0 and -0.0 stay distinct values.
    if (auto* a = std::get_if<double>(&data)) {
        auto* b = std::get_if<double>(&other.data);
        return b && std::signbit(*a) == std::signbit(*b) && *a == *b;
    }
    return data == other.data;
}

void normalize_object(Value::Object& members) {
    auto by_key = [](const Member& a, const Member& b) { return a.key < b.key; };
    if (members.size() <= 16) {
        // Objects are small as a rule: a stable insertion sort needs no buffer.
        for (std::size_t i = 1; i < members.size(); ++i) {
            if (!by_key(members[i], members[i - 1])) continue;
            Member moving = std::move(members[i]);
            std::size_t j = i;
            for (; j > 0 && by_key(moving, members[j - 1]); --j) members[j] = std::move(members[j - 1]);
            members[j] = std::move(moving);
        }
    } else {
        std::stable_sort(members.begin(), members.end(), by_key);
    }
    // Of equal keys the one added last wins.
    auto out = members.begin();
    for (auto it = members.begin(); it != members.end(); ++it) {
        auto next = it + 1;
        if (next != members.end() && next->key == it->key) continue;
        if (out != it) *out = std::move(*it);
        ++out;
    }
    members.erase(out, members.end());
}

std::string_view message(ErrorCode code) {
    switch (code) {
        case ErrorCode::EofWhileParsingList: return "EOF while parsing a list";
        case ErrorCode::EofWhileParsingObject: return "EOF while parsing an object";
        case ErrorCode::EofWhileParsingString: return "EOF while parsing a string";
        case ErrorCode::EofWhileParsingValue: return "EOF while parsing a value";
        case ErrorCode::ExpectedColon: return "expected `:`";
        case ErrorCode::ExpectedListCommaOrEnd: return "expected `,` or `]`";
        case ErrorCode::ExpectedObjectCommaOrEnd: return "expected `,` or `}`";
        case ErrorCode::ExpectedSomeIdent: return "expected ident";
        case ErrorCode::ExpectedSomeValue: return "expected value";
        case ErrorCode::InvalidEscape: return "invalid escape";
        case ErrorCode::InvalidNumber: return "invalid number";
        case ErrorCode::NumberOutOfRange: return "number out of range";
        case ErrorCode::ControlCharacterWhileParsingString:
            return "control character (\\u0000-\\u001F) found while parsing a string";
        case ErrorCode::KeyMustBeAString: return "key must be a string";
        case ErrorCode::LoneLeadingSurrogateInHexEscape: return "lone leading surrogate in hex escape";
        case ErrorCode::TrailingComma: return "trailing comma";
        case ErrorCode::TrailingCharacters: return "trailing characters";
        case ErrorCode::UnexpectedEndOfHexEscape: return "unexpected end of hex escape";
        case ErrorCode::RecursionLimitExceeded: return "recursion limit exceeded";
    }
    return "unknown error";
}

std::string ParseError::text() const {
    std::string s(message(code));
    s += " at line ";
    s += std::to_string(line);
    s += " column ";
    s += std::to_string(column);
    return s;
}

}  // namespace tolva::json
