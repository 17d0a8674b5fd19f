/* src/json_text/parse.cpp: the JSON parser, one pass, errors as values with line and column */
#include <algorithm>
#include <charconv>
#include <iterator>
#include <limits>

#include "json_text.hpp"

namespace tolva::json {

namespace {

constexpr int kDepthAllowance = 128;
constexpr std::size_t kKeptCapacity = std::size_t{1} << 16;  // the bracket that would open level 128 fails

struct Failure {
    ErrorCode code;
    std::size_t end;  // bytes up to here count towards line and column
};

class Parser {
public:
    explicit Parser(std::string_view text) : p_(text.data()), begin_(text.data()), end_(text.data() + text.size()) {}

    // A failed parse leaves elements of its open containers behind; an unusually
    // large document's capacity is not kept.
    ~Parser() {
        values_.clear();
        members_.clear();
        if (values_.capacity() > kKeptCapacity) std::vector<Value>().swap(values_);
        if (members_.capacity() > kKeptCapacity) std::vector<Member>().swap(members_);
    }

    ParseResult run() {
        Value value;
        if (!parse_value(value)) return failure();
        if (skip_whitespace()) return fail_peek(ErrorCode::TrailingCharacters), failure();
        return value;
    }

private:
    const char* p_;
    const char* const begin_;
    const char* const end_;
    int depth_left_ = kDepthAllowance;
    Failure failure_{ErrorCode::EofWhileParsingValue, 0};
    // Elements and members of the open containers; each container takes its own
    // exactly sized copy when it closes, so nothing grows element by element. The
    // stacks are empty between parses; only their capacity is kept per thread.
    std::vector<Value>& values_ = scratch_values();
    std::vector<Member>& members_ = scratch_members();

    static std::vector<Value>& scratch_values() {
        thread_local std::vector<Value> stack;
        return stack;
    }
    static std::vector<Member>& scratch_members() {
        thread_local std::vector<Member> stack;
        return stack;
    }

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

    // The position is the byte at failure_.end - 1 (the first byte of an empty
    // input): its line counts the line feeds before it, its column runs up to and
    // including it, so a line feed at the position still belongs to its line.
    ParseResult failure() const {
        const std::size_t position = failure_.end == 0 ? 0 : failure_.end - 1;
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

    bool parse_value(Value& out) {
        if (!skip_whitespace()) return fail_peek(ErrorCode::EofWhileParsingValue);
        switch (*p_) {
            case 'n': ++p_; return parse_ident("ull") && (out.data = Value::Null{}, true);
            case 't': ++p_; return parse_ident("rue") && (out.data = true, true);
            case 'f': ++p_; return parse_ident("alse") && (out.data = false, true);
            case '-': ++p_; return parse_number(out, false);
            case '0': case '1': case '2': case '3': case '4':
            case '5': case '6': case '7': case '8': case '9':
                return parse_number(out, true);
            case '"': {
                ++p_;
                std::string s;
                if (!parse_string(s)) return false;
                out.data = std::move(s);
                return true;
            }
            case '[': return parse_array(out);
            case '{': return parse_object(out);
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
    bool parse_number(Value& out, bool positive) {
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
            if (positive) {
                out.data = significand;
                return true;
            }
            if (significand != 0 && significand <= std::uint64_t{1} << 63) {
                out.data = static_cast<std::int64_t>(0 - significand);
                return true;
            }
        }
        if (exponent_overflow || !nonzero) {
            out.data = positive ? 0.0 : -0.0;
            return true;
        }
        double d = 0;
        auto [ptr, ec] = std::from_chars(start, p_, d);
        if (ec == std::errc::result_out_of_range) {
            if (!underflows(start, p_)) return fail_read(ErrorCode::NumberOutOfRange);
            d = positive ? 0.0 : -0.0;
        }
        out.data = d;
        return true;
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

    static void push_utf8(std::uint32_t cp, std::string& s) {
        if (cp < 0x80) {
            s.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            s.push_back(static_cast<char>(0xC0 | cp >> 6));
            s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            s.push_back(static_cast<char>(0xE0 | cp >> 12));
            s.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
            s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            s.push_back(static_cast<char>(0xF0 | cp >> 18));
            s.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
            s.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
            s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }

    bool parse_unicode_escape(std::string& s) {
        std::uint32_t n;
        if (!decode_hex_escape(n)) return false;
        if (n >= 0xDC00 && n <= 0xDFFF) return fail_read(ErrorCode::LoneLeadingSurrogateInHexEscape);
        if (n < 0xD800 || n > 0xDBFF) {
            push_utf8(n, s);
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
        push_utf8(((n - 0xD800) << 10 | (low - 0xDC00)) + 0x10000, s);
        return true;
    }

    bool parse_escape(std::string& s) {
        if (at_end()) return fail_read(ErrorCode::EofWhileParsingString);
        switch (*p_++) {
            case '"': s.push_back('"'); return true;
            case '\\': s.push_back('\\'); return true;
            case '/': s.push_back('/'); return true;
            case 'b': s.push_back('\b'); return true;
            case 'f': s.push_back('\f'); return true;
            case 'n': s.push_back('\n'); return true;
            case 'r': s.push_back('\r'); return true;
            case 't': s.push_back('\t'); return true;
            case 'u': return parse_unicode_escape(s);
            default: return fail_read(ErrorCode::InvalidEscape);
        }
    }

    // Called after the opening quote.
    bool parse_string(std::string& s) {
        // Most strings hold no escape: take them in one piece.
        const char* run = p_;
        while (p_ != end_) {
            unsigned char c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                s.assign(run, p_++);
                return true;
            }
            if (c == '\\' || c < 0x20) break;
            ++p_;
        }
        p_ = run;
        for (;;) {
            const char* run = p_;
            while (p_ != end_) {
                unsigned char c = static_cast<unsigned char>(*p_);
                if (c == '"' || c == '\\' || c < 0x20) break;
                ++p_;
            }
            s.append(run, p_);
            if (at_end()) return fail_read(ErrorCode::EofWhileParsingString);
            char c = *p_++;
            if (c == '"') return true;
            if (c != '\\') return fail_read(ErrorCode::ControlCharacterWhileParsingString);
            if (!parse_escape(s)) return false;
        }
    }

    bool enter() {
        if (--depth_left_ == 0) return fail_peek(ErrorCode::RecursionLimitExceeded);
        ++p_;
        return true;
    }

    bool parse_array(Value& out) {
        if (!enter()) return false;
        const std::size_t base = values_.size();
        for (bool first = true;; first = false) {
            if (!skip_whitespace()) return fail_peek(ErrorCode::EofWhileParsingList);
            if (*p_ == ']') break;
            if (!first) {
                if (*p_ != ',') return fail_peek(ErrorCode::ExpectedListCommaOrEnd);
                ++p_;
                if (!skip_whitespace()) return fail_peek(ErrorCode::EofWhileParsingValue);
                if (*p_ == ']') return fail_peek(ErrorCode::TrailingComma);
            }
            Value item;
            if (!parse_value(item)) return false;
            values_.push_back(std::move(item));
        }
        ++p_;
        ++depth_left_;
        Value::Array items(std::make_move_iterator(values_.begin() + base), std::make_move_iterator(values_.end()));
        values_.resize(base);
        out.data = std::move(items);
        return true;
    }

    bool parse_object(Value& out) {
        if (!enter()) return false;
        const std::size_t base = members_.size();
        bool sorted = true;
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
            Member member;
            if (!parse_string(member.key)) return false;
            if (!skip_whitespace()) return fail_peek(ErrorCode::EofWhileParsingObject);
            if (*p_ != ':') return fail_peek(ErrorCode::ExpectedColon);
            ++p_;
            if (!parse_value(member.value)) return false;
            if (members_.size() > base && !(members_.back().key < member.key)) sorted = false;
            members_.push_back(std::move(member));
        }
        ++p_;
        ++depth_left_;
        Value::Object members(std::make_move_iterator(members_.begin() + base),
                              std::make_move_iterator(members_.end()));
        members_.resize(base);
        if (!sorted) normalize_object(members);
        out.data = std::move(members);
        return true;
    }
};

}  // namespace

ParseResult parse(std::string_view text) { return Parser(text).run(); }

}  // namespace tolva::json
