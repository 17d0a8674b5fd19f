// libFuzzer harness for the JSON layer: parsing never crashes, and whatever parses is
// written as text that parses back to the same value and is a fixed point.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json_text/json_text.hpp"

namespace json = tolva::json;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    json::ParseResult first = json::parse(input);
    auto* value = std::get_if<json::Value>(&first);
    if (!value) {
        auto& error = std::get<json::ParseError>(first);
        if (error.line == 0 || error.text().empty()) std::abort();
        return 0;
    }
    std::string text = json::write(*value);
    json::ParseResult second = json::parse(text);
    auto* again = std::get_if<json::Value>(&second);
    if (!again || !(*again == *value)) std::abort();
    if (json::write(*again) != text) std::abort();
    return 0;
}
