/* src/json_text/write.cpp: the compact writer: sorted keys, exact number forms, raw UTF-8 */
#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "json_text.hpp"

namespace tolva::json {

namespace {

constexpr std::size_t kInitialCapacity = 128;
constexpr std::size_t kFirstAhead = 256;
constexpr std::size_t kMostAhead = 4096;

// The text being written, filled through a raw cursor: the string is lengthened
// ahead of the cursor (its capacity doubling) and cut to what was written when the
// writing ends. Each byte is lengthened over once, so appending to a long text costs
// what is appended, not the text's length.
class Output {
public:
    // ahead: how far past a request to lengthen the string at first; it doubles with
    // each lengthening up to a few pages, so a short value appended to a long text
    // lengthens it by little, and a long one costs few lengthenings. An Output that
    // lives for one string asks for no more than it needs (0).
    explicit Output(std::string& s, std::size_t ahead = kFirstAhead) : s_(s), used_(s.size()), ahead_(ahead) {}
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() { s_.resize(used_); }

    // Room for n more bytes; write them, then commit the end of what was written.
    char* room(std::size_t n) {
        if (s_.size() - used_ < n) lengthen(n);
        return s_.data() + used_;
    }
    void commit(const char* end) { used_ = static_cast<std::size_t>(end - s_.data()); }

    void append(const char* p, std::size_t n) {
        char* o = room(n);
        std::memcpy(o, p, n);
        commit(o + n);
    }
    void append(const char* p, const char* end) { append(p, static_cast<std::size_t>(end - p)); }
    void push_back(char c) {
        char* o = room(1);
        *o = c;
        commit(o + 1);
    }
    Output& operator+=(std::string_view text) {
        append(text.data(), text.size());
        return *this;
    }

private:
    std::string& s_;
    std::size_t used_;
    std::size_t ahead_;

    void lengthen(std::size_t n) {
        const std::size_t size = used_ + std::max(n, ahead_);
        ahead_ = std::min(ahead_ * 2, kMostAhead);
        if (s_.capacity() < size) s_.reserve(std::max({s_.capacity() * 2, size, kInitialCapacity}));
        s_.resize(size);
    }
};

void write_unsigned(std::uint64_t u, Output& out) {
    char buf[24];
    auto end = std::to_chars(buf, buf + sizeof buf, u).ptr;
    out.append(buf, end);
}

void write_signed(std::int64_t i, Output& out) {
    char buf[24];
    auto end = std::to_chars(buf, buf + sizeof buf, i).ptr;
    out.append(buf, end);
}

// Shortest round-trip digits from to_chars, laid out in plain notation for decimal
// exponents -5..15 and in scientific notation ("1e+16", "1.5e-7") beyond.
void write_double(double d, Output& out) {
    if (!std::isfinite(d)) {
        out += "null";
        return;
    }
    if (d == 0) {
        out += std::signbit(d) ? "-0.0" : "0.0";
        return;
    }
    char sci[32];
    char* sci_end = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific).ptr;
    const char* p = sci;
    char buf[40];
    char* o = buf;
    if (*p == '-') *o++ = *p++;
    // Gather the digits d1 d2 ... dn and the exponent E of "d1.d2...dne±XX".
    char digits[20];
    int n = 0;
    digits[n++] = *p++;
    if (*p == '.') {
        for (++p; *p != 'e'; ++p) digits[n++] = *p;
    }
    ++p;  // 'e'
    bool negative_exponent = *p == '-';
    ++p;
    int exponent = 0;
    for (; p != sci_end; ++p) exponent = exponent * 10 + (*p - '0');
    if (negative_exponent) exponent = -exponent;

    if (exponent >= -5 && exponent <= 15) {
        if (n - 1 <= exponent) {
            std::memcpy(o, digits, n);
            o += n;
            std::memset(o, '0', exponent - n + 1);
            o += exponent - n + 1;
            *o++ = '.';
            *o++ = '0';
        } else if (exponent >= 0) {
            std::memcpy(o, digits, exponent + 1);
            o += exponent + 1;
            *o++ = '.';
            std::memcpy(o, digits + exponent + 1, n - exponent - 1);
            o += n - exponent - 1;
        } else {
            *o++ = '0';
            *o++ = '.';
            std::memset(o, '0', -exponent - 1);
            o += -exponent - 1;
            std::memcpy(o, digits, n);
            o += n;
        }
    } else {
        *o++ = digits[0];
        if (n > 1) {
            *o++ = '.';
            std::memcpy(o, digits + 1, n - 1);
            o += n - 1;
        }
        *o++ = 'e';
        *o++ = exponent < 0 ? '-' : '+';
        o = std::to_chars(o, buf + sizeof buf, exponent < 0 ? -exponent : exponent).ptr;
    }
    out.append(buf, o);
}

// What each byte becomes in a string: eight bytes to store whole, the last of which
// counts those that belong (a plain byte is itself, an escape up to six bytes), so
// every byte, escaped or not, is written by one store without a branch.
using Piece = std::array<char, 8>;
constexpr std::array<Piece, 256> kPieces = [] {
    constexpr char hex[] = "0123456789abcdef";
    std::array<Piece, 256> pieces{};
    for (int c = 0; c < 256; ++c) {
        Piece& piece = pieces[static_cast<std::size_t>(c)];
        auto set = [&piece](std::string_view text) {
            for (std::size_t i = 0; i < text.size(); ++i) piece[i] = text[i];
            piece[7] = static_cast<char>(text.size());
        };
        switch (c) {
            case '"': set("\\\""); break;
            case '\\': set("\\\\"); break;
            case '\b': set("\\b"); break;
            case '\t': set("\\t"); break;
            case '\n': set("\\n"); break;
            case '\f': set("\\f"); break;
            case '\r': set("\\r"); break;
            default:
                if (c < 0x20) {
                    set({"\\u00", 4});
                    piece[4] = hex[c >> 4];
                    piece[5] = hex[c & 0xF];
                    piece[7] = 6;
                } else {
                    piece[0] = static_cast<char>(c);
                    piece[7] = 1;
                }
        }
    }
    return pieces;
}();

// Writes one byte as its piece; o must have 8 bytes of room.
inline char* write_piece(unsigned char c, char* o) {
    const Piece& piece = kPieces[c];
    std::memcpy(o, piece.data(), 8);
    return o + piece[7];
}

// Runs of bytes that need no escaping (found eight bytes at a time) are copied whole;
// the last few bytes, fewer than a word, go one piece at a time.
void write_string(std::string_view s, Output& out) {
    constexpr std::size_t kEscapes = 64;  // escapes of up to 6 bytes that fit before asking again
    const char* p = s.data();
    const char* const end = p + s.size();
    char* o = out.room(s.size() + 2 + 5 * kEscapes + 8);  // 8 bytes of slack for whole-word stores
    std::size_t budget = kEscapes;
    *o++ = '"';
    for (;;) {
        copy_plain_words(p, end, o);
        if (end - p < 8) break;
        if (budget-- == 0) {
            out.commit(o);
            o = out.room(static_cast<std::size_t>(end - p) + 1 + 5 * kEscapes + 8);
            budget = kEscapes - 1;
        }
        o = write_piece(static_cast<unsigned char>(*p++), o);
    }
    if (budget < 8) {
        out.commit(o);
        o = out.room(6 * 8 + 1 + 8);
    }
    for (; p != end; ++p) o = write_piece(static_cast<unsigned char>(*p), o);
    *o++ = '"';
    out.commit(o);
}

}  // namespace

void write_string(std::string_view text, std::string& out) {
    Output output(out, 0);
    write_string(text, output);
}

namespace {

using Kind = Tree::Kind;

// Writes a tree's nodes in document order; an object marked unsorted has its members
// sorted (a later duplicate key wins) as it is written.
class TreeWriter {
public:
    TreeWriter(const Tree& tree, Output& out) : tree_(tree), out_(out) {}

    // Writes the value at node i; returns the index of the node after it.
    std::size_t write(std::size_t i) {
        const Tree::Node& node = tree_.nodes[i];
        switch (node.kind) {
            case Kind::Null: out_ += "null"; return i + 1;
            case Kind::False: out_ += "false"; return i + 1;
            case Kind::True: out_ += "true"; return i + 1;
            case Kind::Unsigned: write_unsigned(node.data, out_); return i + 1;
            case Kind::Signed: write_signed(static_cast<std::int64_t>(node.data), out_); return i + 1;
            case Kind::Double: write_double(std::bit_cast<double>(node.data), out_); return i + 1;
            case Kind::String: write_string(text(i), out_); return i + 1;
            case Kind::Array: write_array(i); return node.data;
            case Kind::Object: node.unsorted ? write_sorted_object(i) : write_object(i); return node.data;
        }
        return i + 1;
    }

private:
    const Tree& tree_;
    Output& out_;
    std::vector<std::pair<std::string_view, std::size_t>> members_;  // key, value node; scratch

    std::string_view text(std::size_t i) const { return {tree_.bytes.data() + tree_.nodes[i].data, tree_.nodes[i].size}; }

    std::size_t after(std::size_t i) const {
        const Tree::Node& node = tree_.nodes[i];
        return node.kind == Kind::Array || node.kind == Kind::Object ? node.data : i + 1;
    }

    void write_array(std::size_t i) {
        out_.push_back('[');
        std::size_t next = i + 1;
        for (std::uint32_t k = 0; k < tree_.nodes[i].size; ++k) {
            if (k) out_.push_back(',');
            next = write(next);
        }
        out_.push_back(']');
    }

    void write_member(std::string_view key, std::size_t value) {
        write_string(key, out_);
        out_.push_back(':');
        write(value);
    }

    void write_object(std::size_t i) {
        out_.push_back('{');
        std::size_t key = i + 1;
        for (std::uint32_t k = 0; k < tree_.nodes[i].size; ++k) {
            if (k) out_.push_back(',');
            write_member(text(key), key + 1);
            key = after(key + 1);
        }
        out_.push_back('}');
    }


    // Stable, by key. Objects are small as a rule: an insertion sort needs no buffer.
    void sort_members(std::size_t base) {
        auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };
        if (members_.size() - base > 16) {
            std::stable_sort(members_.begin() + static_cast<std::ptrdiff_t>(base), members_.end(), by_key);
            return;
        }
        for (std::size_t i = base + 1; i < members_.size(); ++i) {
            const auto moving = members_[i];
            std::size_t j = i;
            for (; j > base && by_key(moving, members_[j - 1]); --j) members_[j] = members_[j - 1];
            members_[j] = moving;
        }
    }

    void write_sorted_object(std::size_t i) {
        const std::size_t base = members_.size();
        const std::size_t needed = base + tree_.nodes[i].size;
        if (members_.capacity() < needed) members_.reserve(std::max(needed, 2 * members_.capacity()));
        std::size_t key = i + 1;
        for (std::uint32_t k = 0; k < tree_.nodes[i].size; ++k) {
            members_.emplace_back(text(key), key + 1);
            key = after(key + 1);
        }
        sort_members(base);
        out_.push_back('{');
        bool first = true;
        const std::size_t end = members_.size();
        for (std::size_t m = base; m < end; ++m) {
            if (m + 1 < end && members_[m + 1].first == members_[m].first) continue;  // a later one wins
            if (!first) out_.push_back(',');
            first = false;
            const auto [member_key, value] = members_[m];  // copied: nested objects grow members_
            write_member(member_key, value);
        }
        out_.push_back('}');
        members_.resize(base);
    }
};

struct Writer {
    Output& out;

    void operator()(Value::Null) const { out += "null"; }
    void operator()(bool b) const { out += b ? "true" : "false"; }
    void operator()(std::uint64_t u) const { write_unsigned(u, out); }
    void operator()(std::int64_t i) const { write_signed(i, out); }
    void operator()(double d) const { write_double(d, out); }
    void operator()(const std::string& s) const { write_string(s, out); }
    void operator()(const Tree& tree) const { TreeWriter(tree, out).write(0); }
};

}  // namespace

void write(const Value& value, std::string& out) {
    Output output(out);
    std::visit(Writer{output}, value.data);
}

std::string write(const Value& value) {
    std::string out;
    write(value, out);
    return out;
}

}  // namespace tolva::json
