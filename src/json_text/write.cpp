/* src/json_text/write.cpp: the compact writer: sorted keys, exact number forms, raw UTF-8 */
#include <charconv>
#include <cmath>
#include <cstring>

#include "json_text.hpp"

namespace tolva::json {

namespace {

constexpr std::size_t kInitialCapacity = 128;

void write_unsigned(std::uint64_t u, std::string& out) {
    char buf[24];
    auto end = std::to_chars(buf, buf + sizeof buf, u).ptr;
    out.append(buf, end);
}

void write_signed(std::int64_t i, std::string& out) {
    char buf[24];
    auto end = std::to_chars(buf, buf + sizeof buf, i).ptr;
    out.append(buf, end);
}

// Shortest round-trip digits from to_chars, laid out in plain notation for decimal
// exponents -5..15 and in scientific notation ("1e+16", "1.5e-7") beyond.
void write_double(double d, std::string& out) {
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

constexpr char kHex[] = "0123456789abcdef";

// Bytes that cannot stand raw inside a string: quote, backslash, U+0000..U+001F.
constexpr bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

}  // namespace

void write_string(std::string_view s, std::string& out) {
    out.push_back('"');
    const char* run = s.data();
    const char* end = s.data() + s.size();
    for (const char* p = run; p != end; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (!needs_escape(c)) continue;
        out.append(run, p);
        run = p + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default: {
                char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
                out.append(esc, sizeof esc);
            }
        }
    }
    out.append(run, end);
    out.push_back('"');
}

namespace {

struct Writer {
    std::string& out;

    void operator()(Value::Null) const { out += "null"; }
    void operator()(bool b) const { out += b ? "true" : "false"; }
    void operator()(std::uint64_t u) const { write_unsigned(u, out); }
    void operator()(std::int64_t i) const { write_signed(i, out); }
    void operator()(double d) const { write_double(d, out); }
    void operator()(const std::string& s) const { write_string(s, out); }
    void operator()(const Value::Array& items) const {
        out.push_back('[');
        bool first = true;
        for (const Value& item : items) {
            if (!first) out.push_back(',');
            first = false;
            std::visit(*this, item.data);
        }
        out.push_back(']');
    }
    void operator()(const Value::Object& members) const {
        out.push_back('{');
        bool first = true;
        for (const Member& member : members) {
            if (!first) out.push_back(',');
            first = false;
            write_string(member.key, out);
            out.push_back(':');
            std::visit(*this, member.value.data);
        }
        out.push_back('}');
    }
};

}  // namespace

void write(const Value& value, std::string& out) { std::visit(Writer{out}, value.data); }

std::string write(const Value& value) {
    std::string out;
    out.reserve(kInitialCapacity);
    write(value, out);
    return out;
}

}  // namespace tolva::json
