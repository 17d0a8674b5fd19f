/* src/json_text/parse.cpp: the JSON parser, one pass onto a tape, errors as values with line and column */
#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>

#include "json_text.hpp"

namespace tolva::json {

namespace {

constexpr int kDepthAllowance = 128;  // the bracket that would open level 128 fails

using Kind = Tree::Kind;

struct Failure {
    ErrorCode code;
    std::size_t end;  // bytes up to here count towards line and column
};

class Parser {
public:
    explicit Parser(std::string_view text) : p_(text.data()), begin_(text.data()), end_(text.data() + text.size()) {
        // About one node per eight bytes of text. Decoded strings never take more bytes
        // than their text, so the byte buffer is sized once and filled through out_.
        tree_.nodes.reserve(text.size() / 8 + 4);
        tree_.bytes.resize(text.size() + 8);  // 8 bytes of slack for copy_plain
        out_ = tree_.bytes.data();
    }

    ParseResult run() {
        if (!parse_value()) return failure();
        if (skip_whitespace()) return fail_peek(ErrorCode::TrailingCharacters), failure();
        return root();
    }

private:
    const char* p_;
    const char* const begin_;
    const char* const end_;
    int depth_left_ = kDepthAllowance;
    Failure failure_{ErrorCode::EofWhileParsingValue, 0};
    Tree tree_;
    char* out_;  // where the next decoded string byte goes

    // A document that is one scalar is held as that scalar; anything else as the tree.
    Value root() {
        tree_.bytes.resize(static_cast<std::size_t>(out_ - tree_.bytes.data()));
        const Tree::Node& node = tree_.nodes.front();
        Value value;
        switch (node.kind) {
            case Kind::Null: break;
            case Kind::False: value.data = false; break;
            case Kind::True: value.data = true; break;
            case Kind::Unsigned: value.data = node.data; break;
            case Kind::Signed: value.data = static_cast<std::int64_t>(node.data); break;
            case Kind::Double: value.data = std::bit_cast<double>(node.data); break;
            case Kind::String: value.data = std::string(tree_.bytes, node.data, node.size); break;
            case Kind::Array:
            case Kind::Object:
                value.data = std::move(tree_);
                break;
        }
        return value;
    }

    void push(Kind kind, std::uint32_t size, std::uint64_t data) { tree_.nodes.push_back({kind, false, size, data}); }
    void push_double(double d) { push(Kind::Double, 0, std::bit_cast<std::uint64_t>(d)); }

    // An unexpected byte is reported at that byte (the end of input when there is none);
    // an error found after reading is reported at the last byte read.
    bool fail_peek(ErrorCode code) {
        failure_ = {code, static_cast<std::size_t>(std::min(p_ + 1, end_) - begin_)};
        return false;
    }
    bool fail_read(ErrorCode code) {
        failure_ = {code, static_cast<std::size_t>(p_ - begin_)};
        return false;
    }

    // The position is the byte at failure_.end - 1: its line counts the line feeds
    // before it, its column runs up to and including it, so a line feed at the
    // position still belongs to its line. An empty input has no byte to point at:
    // column 0.
    ParseResult failure() const {
        if (failure_.end == 0) return ParseError{failure_.code, 1, 0};
        const std::size_t position = failure_.end - 1;
        std::size_t line = 1, line_start = 0;
        for (std::size_t i = 0; i < position; ++i) {
            if (begin_[i] == '\n') {
                ++line;
                line_start = i + 1;
            }
        }
        return ParseError{failure_.code, line, position - line_start + 1};
    }

    bool at_end() const { return p_ == end_; }

    // Skips whitespace; true when a byte follows.
    bool skip_whitespace() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\t' || *p_ == '\r')) ++p_;
        return p_ != end_;
    }

    bool parse_value() {
        if (!skip_whitespace()) return fail_peek(ErrorCode::EofWhileParsingValue);
        switch (*p_) {
            case 'n': ++p_; return parse_ident("ull") && (push(Kind::Null, 0, 0), true);
            case 't': ++p_; return parse_ident("rue") && (push(Kind::True, 0, 0), true);
            case 'f': ++p_; return parse_ident("alse") && (push(Kind::False, 0, 0), true);
            case '-': ++p_; return parse_number(false);
            case '0': case '1': case '2': case '3': case '4':
            case '5': case '6': case '7': case '8': case '9':
                return parse_number(true);
            case '"': ++p_; return parse_string();
            case '[': return parse_array();
            case '{': return parse_object();
            default: return fail_peek(ErrorCode::ExpectedSomeValue);
        }
    }

    bool parse_ident(std::string_view rest) {
        for (char expected : rest) {
            if (at_end()) return fail_read(ErrorCode::EofWhileParsingValue);
            if (*p_++ != expected) return fail_read(ErrorCode::ExpectedSomeIdent);
        }
        return true;
    }

    static bool is_digit(char c) { return c >= '0' && c <= '9'; }
    char peek_or_nul() const { return at_end() ? '\0' : *p_; }

    // Follows the JSON number grammar; integers that fit stay integers, everything
    // else is read as the correctly rounded double of its text.
    bool parse_number(bool positive) {
        const char* start = positive ? p_ : p_ - 1;
        if (at_end()) return fail_read(ErrorCode::EofWhileParsingValue);
        char first = *p_++;
        std::uint64_t significand = 0;
        bool fits = true;
        bool nonzero = false;
        if (first == '0') {
            if (is_digit(peek_or_nul())) return fail_peek(ErrorCode::InvalidNumber);
        } else if (is_digit(first)) {
            significand = static_cast<std::uint64_t>(first - '0');
            nonzero = true;
            while (is_digit(peek_or_nul())) {
                unsigned digit = static_cast<unsigned>(*p_ - '0');
                if (fits && significand > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) fits = false;
                if (fits) significand = significand * 10 + digit;
                ++p_;
            }
        } else {
            return fail_read(ErrorCode::InvalidNumber);
        }

        bool integral = true;
        if (peek_or_nul() == '.') {
            integral = false;
            ++p_;
            const char* digits = p_;
            while (is_digit(peek_or_nul())) {
                nonzero = nonzero || *p_ != '0';
                ++p_;
            }
            if (p_ == digits) return fail_peek(at_end() ? ErrorCode::EofWhileParsingValue : ErrorCode::InvalidNumber);
        }
        bool exponent_overflow = false, exponent_negative = false;
        char e = peek_or_nul();
        if (e == 'e' || e == 'E') {
            integral = false;
            ++p_;
            char sign = peek_or_nul();
            if (sign == '+' || sign == '-') {
                exponent_negative = sign == '-';
                ++p_;
            }
            if (at_end()) return fail_read(ErrorCode::EofWhileParsingValue);
            if (!is_digit(*p_++)) return fail_read(ErrorCode::InvalidNumber);
            std::int32_t exponent = p_[-1] - '0';
            while (is_digit(peek_or_nul())) {
                ++p_;
                int digit = p_[-1] - '0';
                if (!exponent_overflow && exponent > (std::numeric_limits<std::int32_t>::max() - digit) / 10) {
                    exponent_overflow = true;
                }
                if (!exponent_overflow) exponent = exponent * 10 + digit;
            }
            // An exponent past 32 bits: infinity is an error, reported at the number's
            // last byte like every error found after reading it; anything tiny is zero.
            if (exponent_overflow && nonzero && !exponent_negative) return fail_read(ErrorCode::NumberOutOfRange);
        }

        if (integral && fits) {
            if (positive) return push(Kind::Unsigned, 0, significand), true;
            if (significand != 0 && significand <= std::uint64_t{1} << 63) {
                return push(Kind::Signed, 0, 0 - significand), true;
            }
        }
        if (exponent_overflow || !nonzero) return push_double(positive ? 0.0 : -0.0), true;
        double d = 0;
        auto [ptr, ec] = std::from_chars(start, p_, d);
        if (ec == std::errc::result_out_of_range) {
            if (!underflows(start, p_)) return fail_read(ErrorCode::NumberOutOfRange);
            d = positive ? 0.0 : -0.0;
        }
        return push_double(d), true;
    }

    // Tells an out-of-range tiny value (read as zero) from one too large for a double.
    static bool underflows(const char* s, const char* end) {
        if (*s == '-') ++s;
        std::int64_t magnitude = 0;  // decimal exponent of the leading digit, roughly
        bool seen_nonzero = false;
        bool in_fraction = false;
        for (; s != end && *s != 'e' && *s != 'E'; ++s) {
            if (*s == '.') {
                in_fraction = true;
            } else if (!seen_nonzero) {
                if (*s != '0') {
                    seen_nonzero = true;
                    if (in_fraction) magnitude -= 1;
                } else if (in_fraction) {
                    magnitude -= 1;
                }
            } else if (!in_fraction) {
                magnitude += 1;
            }
        }
        std::int64_t exponent = 0;
        if (s != end) {
            ++s;
            bool negative = *s == '-';
            if (*s == '-' || *s == '+') ++s;
            for (; s != end && exponent < (std::int64_t{1} << 40); ++s) exponent = exponent * 10 + (*s - '0');
            if (negative) exponent = -exponent;
        }
        return magnitude + exponent < 0;
    }

    static int hex_value(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    bool decode_hex_escape(std::uint32_t& out) {
        if (end_ - p_ < 4) {
            p_ = end_;
            return fail_read(ErrorCode::EofWhileParsingString);
        }
        int a = hex_value(p_[0]), b = hex_value(p_[1]), c = hex_value(p_[2]), d = hex_value(p_[3]);
        p_ += 4;
        if ((a | b | c | d) < 0) return fail_read(ErrorCode::InvalidEscape);
        out = static_cast<std::uint32_t>(a << 12 | b << 8 | c << 4 | d);
        return true;
    }

    void push_utf8(std::uint32_t cp) {
        char*& o = out_;
        if (cp < 0x80) {
            *o++ = static_cast<char>(cp);
        } else if (cp < 0x800) {
            *o++ = static_cast<char>(0xC0 | cp >> 6);
            *o++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *o++ = static_cast<char>(0xE0 | cp >> 12);
            *o++ = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            *o++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            *o++ = static_cast<char>(0xF0 | cp >> 18);
            *o++ = static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            *o++ = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            *o++ = static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool parse_unicode_escape() {
        std::uint32_t n;
        if (!decode_hex_escape(n)) return false;
        if (n >= 0xDC00 && n <= 0xDFFF) return fail_read(ErrorCode::LoneLeadingSurrogateInHexEscape);
        if (n < 0xD800 || n > 0xDBFF) {
            push_utf8(n);
            return true;
        }
        // A leading surrogate must be followed at once by the escape of a trailing one.
        for (char expected : {'\\', 'u'}) {
            if (at_end()) return fail_read(ErrorCode::EofWhileParsingString);
            if (*p_++ != expected) return fail_read(ErrorCode::UnexpectedEndOfHexEscape);
        }
        std::uint32_t low;
        if (!decode_hex_escape(low)) return false;
        if (low < 0xDC00 || low > 0xDFFF) return fail_read(ErrorCode::LoneLeadingSurrogateInHexEscape);
        push_utf8(((n - 0xD800) << 10 | (low - 0xDC00)) + 0x10000);
        return true;
    }

    // The byte each one-letter escape stands for; 0 for the rest.
    static constexpr std::array<char, 256> kUnescaped = [] {
        std::array<char, 256> table{};
        table['"'] = '"';
        table['\\'] = '\\';
        table['/'] = '/';
        table['b'] = '\b';
        table['f'] = '\f';
        table['n'] = '\n';
        table['r'] = '\r';
        table['t'] = '\t';
        return table;
    }();

    // What follows a backslash when the table has no byte for it: \u, or an error.
    bool parse_other_escape() {
        if (at_end()) return fail_read(ErrorCode::EofWhileParsingString);
        if (*p_++ == 'u') return parse_unicode_escape();
        return fail_read(ErrorCode::InvalidEscape);
    }

    // Called after the opening quote. The string's bytes go to the tree's buffer through
    // out_: runs of plain bytes copied whole, escapes decoded where they are. The cursors
    // are kept in locals over the runs, since stores through out_ could alias them.
    bool parse_string() {
        const std::size_t offset = static_cast<std::size_t>(out_ - tree_.bytes.data());
        const char* p = p_;
        char* o = out_;
        for (;;) {
            copy_plain(p, end_, o);
            if (p == end_) {
                p_ = p;
                return fail_read(ErrorCode::EofWhileParsingString);
            }
            const char c = *p++;
            if (c == '"') break;
            p_ = p;
            if (c != '\\') return fail_read(ErrorCode::ControlCharacterWhileParsingString);
            // Most escapes stand for one byte: decoded here without leaving the locals.
            if (p != end_) {
                if (const char decoded = kUnescaped[static_cast<unsigned char>(*p)]) {
                    ++p;
                    *o++ = decoded;
                    continue;
                }
            }
            out_ = o;
            if (!parse_other_escape()) return false;
            p = p_;
            o = out_;
        }
        p_ = p;
        out_ = o;
        const std::size_t size = static_cast<std::size_t>(o - tree_.bytes.data()) - offset;
        push(Kind::String, static_cast<std::uint32_t>(size), offset);
        return true;
    }

    bool enter() {
        if (--depth_left_ == 0) return fail_peek(ErrorCode::RecursionLimitExceeded);
        ++p_;
        return true;
    }

    // The container's node comes first; its size and end are filled in when it closes.
    void close(std::size_t at, std::size_t count) {
        ++p_;
        ++depth_left_;
        tree_.nodes[at].size = static_cast<std::uint32_t>(count);
        tree_.nodes[at].data = tree_.nodes.size();
    }

    bool parse_array() {
        if (!enter()) return false;
        const std::size_t at = tree_.nodes.size();
        push(Kind::Array, 0, 0);
        std::size_t count = 0;
        for (bool first = true;; first = false) {
            if (!skip_whitespace()) return fail_peek(ErrorCode::EofWhileParsingList);
            if (*p_ == ']') break;
            if (!first) {
                if (*p_ != ',') return fail_peek(ErrorCode::ExpectedListCommaOrEnd);
                ++p_;
                if (!skip_whitespace()) return fail_peek(ErrorCode::EofWhileParsingValue);
                if (*p_ == ']') return fail_peek(ErrorCode::TrailingComma);
            }
            if (!parse_value()) return false;
            ++count;
        }
        close(at, count);
        return true;
    }

    std::string_view key_at(std::size_t node) const {
        return {tree_.bytes.data() + tree_.nodes[node].data, tree_.nodes[node].size};
    }

    bool parse_object() {
        if (!enter()) return false;
        const std::size_t at = tree_.nodes.size();
        push(Kind::Object, 0, 0);
        std::size_t count = 0, previous_key = 0;
        bool unsorted = false;
        for (bool first = true;; first = false) {
            if (!skip_whitespace()) return fail_peek(ErrorCode::EofWhileParsingObject);
            if (*p_ == '}') break;
            if (!first) {
                if (*p_ != ',') return fail_peek(ErrorCode::ExpectedObjectCommaOrEnd);
                ++p_;
                if (!skip_whitespace()) return fail_peek(ErrorCode::EofWhileParsingValue);
            }
            if (*p_ == '}') return fail_peek(ErrorCode::TrailingComma);
            if (*p_ != '"') return fail_peek(ErrorCode::KeyMustBeAString);
            ++p_;
            const std::size_t key = tree_.nodes.size();
            if (!parse_string()) return false;
            // Keys read in strictly ascending order need no sorting when written.
            if (count > 0 && !(key_at(previous_key) < key_at(key))) unsorted = true;
            previous_key = key;
            if (!skip_whitespace()) return fail_peek(ErrorCode::EofWhileParsingObject);
            if (*p_ != ':') return fail_peek(ErrorCode::ExpectedColon);
            ++p_;
            if (!parse_value()) return false;
            ++count;
        }
        tree_.nodes[at].unsorted = unsorted;
        close(at, count);
        return true;
    }
};

}  // namespace

ParseResult parse(std::string_view text) { return Parser(text).run(); }

}  // namespace tolva::json
