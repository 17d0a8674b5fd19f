// Unit tests of the JSON layer: value forms, the writer's text, and every parse error
// with its message, line and column.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "json_text/json_text.hpp"

namespace json = tolva::json;

namespace {

std::string roundtrip(std::string_view text) {
    json::ParseResult result = json::parse(text);
    if (auto* error = std::get_if<json::ParseError>(&result)) {
        std::string text = "error: ";
        text += error->text();
        return text;
    }
    return json::write(std::get<json::Value>(result));
}

struct Case {
    const char* input;
    const char* expected;
};

class Canonical : public testing::TestWithParam<Case> {};

TEST_P(Canonical, WritesTheCompactForm) { EXPECT_EQ(roundtrip(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Structure, Canonical,
                         testing::Values(Case{R"({"b": 1, "a": [true, null]})", R"({"a":[true,null],"b":1})"},
                                         Case{R"({"a": 1, "a": 2})", R"({"a":2})"},
                                         Case{R"({"b":1,"a":2,"b":3})", R"({"a":2,"b":3})"},
                                         Case{"[]", "[]"}, Case{"{}", "{}"}, Case{" \t\r\n[ ] \n", "[]"},
                                         Case{R"({"é":1,"z":2,"Z":3})", R"({"Z":3,"z":2,"é":1})"},
                                         Case{"[false,true,null]", "[false,true,null]"}));

INSTANTIATE_TEST_SUITE_P(Numbers, Canonical,
                         testing::Values(Case{"1.0", "1.0"}, Case{"1", "1"}, Case{"-0", "-0.0"}, Case{"-0.0", "-0.0"},
                                         Case{"0", "0"}, Case{"1e2", "100.0"}, Case{"0.1", "0.1"},
                                         Case{"1e-7", "1e-7"}, Case{"1E+16", "1e+16"}, Case{"1e15", "1000000000000000.0"},
                                         Case{"1e-5", "0.00001"}, Case{"0.001234", "0.001234"}, Case{"12.34", "12.34"},
                                         Case{"1.5e-7", "1.5e-7"}, Case{"1e100", "1e+100"},
                                         Case{"123456789012345678901234567890", "1.2345678901234568e+29"},
                                         Case{"18446744073709551615", "18446744073709551615"},
                                         Case{"18446744073709551616", "1.8446744073709552e+19"},
                                         Case{"-9223372036854775808", "-9223372036854775808"},
                                         Case{"-9223372036854775809", "-9.223372036854776e+18"},
                                         Case{"1.7976931348623157e308", "1.7976931348623157e+308"},
                                         Case{"5e-324", "5e-324"}, Case{"1e-400", "0.0"}, Case{"-1e-400", "-0.0"},
                                         Case{"0e999999999999", "0.0"}, Case{"1e-99999999999", "0.0"},
                                         Case{"123.0e-2", "1.23"}, Case{"100", "100"}, Case{"-12", "-12"}));

// Gathering a 64-bit significand and scaling by a power of ten misrounds about one
// double in ten; these are values where it does, and correct rounding must not.
INSTANTIATE_TEST_SUITE_P(CorrectRounding, Canonical,
                         testing::Values(Case{"904582.8735990215", "904582.8735990215"},
                                         Case{"2.2250738585072011e-308", "2.225073858507201e-308"},
                                         Case{"0.30000000000000004", "0.30000000000000004"},
                                         Case{"9007199254740993", "9007199254740993"},
                                         Case{"9007199254740993.0", "9007199254740992.0"},
                                         Case{"1.00000000000000011102230246251565404236316680908203126",
                                              "1.0000000000000002"}));

INSTANTIATE_TEST_SUITE_P(Strings, Canonical,
                         testing::Values(Case{R"("\u00e9")", "\"\xc3\xa9\""},
                                         Case{R"("\ud83d\ude00")", "\"\xf0\x9f\x98\x80\""},
                                         Case{R"("\/")", "\"/\""}, Case{R"("\u001F")", R"("\u001f")"},
                                         Case{R"("\u007f")", "\"\x7f\""}, Case{R"("\b\f\n\r\t\"\\")", R"("\b\f\n\r\t\"\\")"},
                                         Case{R"("\u0000")", R"("\u0000")"}, Case{R"("\u001b")", R"("\u001b")"},
                                         Case{"\"raw \xe2\x82\xac\"", "\"raw \xe2\x82\xac\""}));

struct ErrorCase {
    const char* input;
    const char* text;
};

class Errors : public testing::TestWithParam<ErrorCase> {};

TEST_P(Errors, ReportMessageLineAndColumn) {
    std::string expected = "error: ";
    expected += GetParam().text;
    EXPECT_EQ(roundtrip(GetParam().input), expected) << GetParam().input;
}

INSTANTIATE_TEST_SUITE_P(
    Values, Errors,
    testing::Values(ErrorCase{"", "EOF while parsing a value at line 1 column 0"},
                    ErrorCase{"   ", "EOF while parsing a value at line 1 column 3"},
                    ErrorCase{"NaN", "expected value at line 1 column 1"},
                    ErrorCase{"Infinity", "expected value at line 1 column 1"},
                    ErrorCase{"+1", "expected value at line 1 column 1"},
                    ErrorCase{"'a'", "expected value at line 1 column 1"},
                    ErrorCase{"nul", "EOF while parsing a value at line 1 column 3"},
                    ErrorCase{"nulx", "expected ident at line 1 column 4"},
                    ErrorCase{"tru", "EOF while parsing a value at line 1 column 3"},
                    ErrorCase{"fals3", "expected ident at line 1 column 5"},
                    ErrorCase{"tru\n", "expected ident at line 1 column 4"},
                    ErrorCase{"\n\n", "EOF while parsing a value at line 2 column 1"},
                    ErrorCase{"1 2", "trailing characters at line 1 column 3"},
                    ErrorCase{"[1]x", "trailing characters at line 1 column 4"}));

INSTANTIATE_TEST_SUITE_P(
    Numbers, Errors,
    testing::Values(ErrorCase{"-Infinity", "invalid number at line 1 column 2"},
                    ErrorCase{"-", "EOF while parsing a value at line 1 column 1"},
                    ErrorCase{"01", "invalid number at line 1 column 2"},
                    ErrorCase{"-01", "invalid number at line 1 column 3"},
                    ErrorCase{"1.", "EOF while parsing a value at line 1 column 2"},
                    ErrorCase{"1.x", "invalid number at line 1 column 3"},
                    ErrorCase{"1e", "EOF while parsing a value at line 1 column 2"},
                    ErrorCase{"1e+", "EOF while parsing a value at line 1 column 3"},
                    ErrorCase{"1ex", "invalid number at line 1 column 3"},
                    ErrorCase{"1e400", "number out of range at line 1 column 5"},
                    ErrorCase{"[1e400]", "number out of range at line 1 column 6"},
                    ErrorCase{"-1e400", "number out of range at line 1 column 6"},
                    ErrorCase{"1.7976931348623159e308", "number out of range at line 1 column 22"},
                    ErrorCase{"1e99999999999", "number out of range at line 1 column 13"},
                    ErrorCase{"1e99999999999999999999", "number out of range at line 1 column 22"},
                    ErrorCase{"-557E75137516965225406", "number out of range at line 1 column 22"},
                    ErrorCase{"[1e99999999999999999999 ]", "number out of range at line 1 column 23"}));

INSTANTIATE_TEST_SUITE_P(
    Strings, Errors,
    testing::Values(ErrorCase{"\"abc", "EOF while parsing a string at line 1 column 4"},
                    ErrorCase{"\"a\\", "EOF while parsing a string at line 1 column 3"},
                    ErrorCase{R"("\x")", "invalid escape at line 1 column 3"},
                    ErrorCase{R"("\u12G4")", "invalid escape at line 1 column 7"},
                    ErrorCase{R"("\u12)", "EOF while parsing a string at line 1 column 5"},
                    ErrorCase{"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
                    ErrorCase{"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
                    ErrorCase{R"("\udc00")", "lone leading surrogate in hex escape at line 1 column 7"},
                    ErrorCase{R"("\ud800")", "unexpected end of hex escape at line 1 column 8"},
                    ErrorCase{R"("\ud800\n")", "unexpected end of hex escape at line 1 column 9"},
                    ErrorCase{R"("\ud800\u0041")", "lone leading surrogate in hex escape at line 1 column 13"},
                    ErrorCase{R"("\ud800)", "EOF while parsing a string at line 1 column 7"}));

INSTANTIATE_TEST_SUITE_P(
    Containers, Errors,
    testing::Values(ErrorCase{"[1,]", "trailing comma at line 1 column 4"},
                    ErrorCase{"[1 2]", "expected `,` or `]` at line 1 column 4"},
                    ErrorCase{"[", "EOF while parsing a list at line 1 column 1"},
                    ErrorCase{"[1", "EOF while parsing a list at line 1 column 2"},
                    ErrorCase{"[1,", "EOF while parsing a value at line 1 column 3"},
                    ErrorCase{"[,1]", "expected value at line 1 column 2"},
                    ErrorCase{"{", "EOF while parsing an object at line 1 column 1"},
                    ErrorCase{"{1:2}", "key must be a string at line 1 column 2"},
                    ErrorCase{R"({"a" 1})", "expected `:` at line 1 column 6"},
                    ErrorCase{R"({"a")", "EOF while parsing an object at line 1 column 4"},
                    ErrorCase{R"({"a":)", "EOF while parsing a value at line 1 column 5"},
                    ErrorCase{R"({"a":1)", "EOF while parsing an object at line 1 column 6"},
                    ErrorCase{R"({"a":1,)", "EOF while parsing a value at line 1 column 7"},
                    ErrorCase{R"({"a":1,})", "trailing comma at line 1 column 8"},
                    ErrorCase{R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
                    ErrorCase{"{\n\"a\":\n1,\n}", "trailing comma at line 4 column 1"},
                    ErrorCase{"[1\n", "EOF while parsing a list at line 1 column 3"},
                    ErrorCase{"[1,\n", "EOF while parsing a value at line 1 column 4"},
                    ErrorCase{"[1,\n]", "trailing comma at line 2 column 1"}));

TEST(Nesting, AllowsOneHundredTwentySevenLevels) {
    std::string ok = std::string(127, '[') + std::string(127, ']');
    EXPECT_EQ(roundtrip(ok), ok);
    std::string objects;
    for (int i = 0; i < 127; ++i) objects += "{\"k\":";
    objects += "1";
    objects.append(127, '}');
    EXPECT_EQ(roundtrip(objects), objects);
}

TEST(Nesting, RefusesTheHundredTwentyEighth) {
    std::string deep = std::string(128, '[') + std::string(128, ']');
    EXPECT_EQ(roundtrip(deep), "error: recursion limit exceeded at line 1 column 128");
    EXPECT_EQ(roundtrip(std::string(127, '[') + "{"), "error: recursion limit exceeded at line 1 column 128");
}

TEST(Writer, NonFiniteDoublesBecomeNull) {
    EXPECT_EQ(json::write(json::Value(std::numeric_limits<double>::infinity())), "null");
    json::Value forced;
    forced.data = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(json::write(forced), "null");
}

TEST(Writer, ControlCharactersUseLowercaseEscapes) {
    std::string all;
    for (char c = 0; c < 0x20; ++c) all.push_back(c);
    EXPECT_EQ(json::write(json::Value(all)),
              R"("\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f)"
              R"(\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c\u001d\u001e\u001f")");
}

TEST(Writer, ObjectsBuiltInAnyOrderAreSorted) {
    json::Value v(json::Value::Object{{"b", 1.5}, {"a", nullptr}, {"b", "last"}});
    EXPECT_EQ(json::write(v), R"({"a":null,"b":"last"})");
}

// Random doubles survive write -> parse unchanged, and the text is a fixed point.
TEST(RoundTrip, RandomDoublesKeepTheirValue) {
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> uniform(-1e6, 1e6);
    for (int i = 0; i < 200000; ++i) {
        double d = i % 2 ? uniform(rng) : [&] {
            std::uint64_t bits = rng();
            double x;
            std::memcpy(&x, &bits, sizeof x);
            return std::isfinite(x) ? x : 1.0;
        }();
        std::string text = json::write(json::Value(d));
        json::ParseResult back = json::parse(text);
        ASSERT_TRUE(std::holds_alternative<json::Value>(back)) << text;
        const json::Value& value = std::get<json::Value>(back);
        ASSERT_TRUE(std::holds_alternative<double>(value.data)) << text;
        ASSERT_EQ(std::get<double>(value.data), d) << text;
        ASSERT_EQ(json::write(value), text);
    }
}

}  // namespace

// Strings are written through a budget of escapes renewed as it runs out; long runs
// of escapes and long raw runs around them come out whole.
TEST(Writer, LongStringsWithManyEscapes) {
    std::string text, expected = "\"";
    for (int i = 0; i < 1000; ++i) {
        text += std::string(i % 37, 'x') + "\"\n\x01";
        expected += std::string(i % 37, 'x') + "\\\"\\n\\u0001";
    }
    expected += "\"";
    EXPECT_EQ(json::write(json::Value(text)), expected);
    EXPECT_EQ(roundtrip(expected), expected);
}

namespace {

// The writer's escaping, one byte at a time: what the word-at-a-time writer must match.
std::string escaped_bytewise(std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 0xF];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

}  // namespace

// Special bytes at every offset within and across words, in strings of every length
// up to a few words, and dense runs longer than the writer's escape budget: the text
// matches the bytewise escaping and parses back to the same bytes.
TEST(Writer, EscapesAtEveryOffsetMatchTheBytewiseForm) {
    std::mt19937_64 rng(7);
    const char alphabet[] = {'a', 'Z', ' ', '#', ']', '!', '"', '\\', '\n', '\x01', '\x1f', '\x7f', '\xc3', '\xa9'};
    for (int round = 0; round < 4000; ++round) {
        const std::size_t length = round < 3000 ? round % 40 : 200 + rng() % 400;
        const unsigned density = 1 + round % 5;  // one byte in `density` is drawn from the whole alphabet
        std::string text;
        for (std::size_t i = 0; i < length; ++i) {
            text += rng() % density == 0 ? alphabet[rng() % sizeof alphabet] : alphabet[rng() % 6];
        }
        const std::string written = json::write(json::Value(text));
        ASSERT_EQ(written, escaped_bytewise(text));
        json::ParseResult back = json::parse(written);
        ASSERT_TRUE(std::holds_alternative<json::Value>(back)) << written;
        ASSERT_EQ(std::get<std::string>(std::get<json::Value>(back).data), text);
    }
}
