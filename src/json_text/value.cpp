/* src/json_text/value.cpp: the JSON value model, values built onto a tape, and its error texts */
#include <algorithm>
#include <bit>
#include <cmath>

#include "json_text.hpp"

namespace tolva::json {

namespace {

using Kind = Tree::Kind;

void push_string(Tree& tree, std::string_view s) {
    tree.nodes.push_back({Kind::String, false, static_cast<std::uint32_t>(s.size()), tree.bytes.size()});
    tree.bytes.append(s);
}

// Appends a value's nodes to a tree: scalars as one node, a tree's nodes shifted to
// their new place.
struct Appender {
    Tree& tree;
    void operator()(Value::Null) const { tree.nodes.push_back({Kind::Null, false, 0, 0}); }
    void operator()(bool b) const { tree.nodes.push_back({b ? Kind::True : Kind::False, false, 0, 0}); }
    void operator()(std::uint64_t u) const { tree.nodes.push_back({Kind::Unsigned, false, 0, u}); }
    void operator()(std::int64_t i) const {
        tree.nodes.push_back({Kind::Signed, false, 0, static_cast<std::uint64_t>(i)});
    }
    void operator()(double d) const { tree.nodes.push_back({Kind::Double, false, 0, std::bit_cast<std::uint64_t>(d)}); }
    void operator()(const std::string& s) const { push_string(tree, s); }
    void operator()(const Tree& inner) const {
        const std::uint64_t node_base = tree.nodes.size(), byte_base = tree.bytes.size();
        for (Tree::Node node : inner.nodes) {
            if (node.kind == Kind::String) node.data += byte_base;
            else if (node.kind == Kind::Array || node.kind == Kind::Object) node.data += node_base;
            tree.nodes.push_back(node);
        }
        tree.bytes += inner.bytes;
    }
};

void append_value(Tree& tree, const Value& value) { std::visit(Appender{tree}, value.data); }

void close_container(Tree& tree, std::size_t at, std::size_t count) {
    tree.nodes[at].size = static_cast<std::uint32_t>(count);
    tree.nodes[at].data = tree.nodes.size();
}

}  // namespace

Value::Value(std::int64_t i) {
    // Non-negative integers are always held unsigned, so equal numbers compare equal.
    if (i >= 0) data = static_cast<std::uint64_t>(i);
    else data = i;
}

Value::Value(double d) {
    if (std::isfinite(d)) data = d;
}

Value::Value(Array items) {
    Tree tree;
    tree.nodes.push_back({Kind::Array, false, 0, 0});
    for (const Value& item : items) append_value(tree, item);
    close_container(tree, 0, items.size());
    data = std::move(tree);
}

Value::Value(Object members) {
    normalize_object(members);
    Tree tree;
    tree.nodes.push_back({Kind::Object, false, 0, 0});
    for (const Member& member : members) {
        push_string(tree, member.key);
        append_value(tree, member.value);
    }
    close_container(tree, 0, members.size());
    data = std::move(tree);
}

bool Value::operator==(const Value& other) const {
    // The text is canonical: sorted keys, number forms kept, -0.0 apart from 0.0.
    return write(*this) == write(other);
}

void normalize_object(Value::Object& members) {
    auto by_key = [](const Member& a, const Member& b) { return a.key < b.key; };
    std::stable_sort(members.begin(), members.end(), by_key);
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
