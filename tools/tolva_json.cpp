/* tools/tolva_json.cpp: tolva-json, a canonical-JSON filter over the module's parser and writer */
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "json_text/json_text.hpp"

namespace {

// Length of the first invalid UTF-8 sequence's offset, or npos when the text is valid.
std::size_t first_invalid_utf8(const std::string& s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size(), i = 0;
    while (i < n) {
        unsigned char c = p[i];
        std::size_t len;
        unsigned min;
        if (c < 0x80) { ++i; continue; }
        if (c >= 0xC2 && c <= 0xDF) { len = 2; min = 0x80; }
        else if (c >= 0xE0 && c <= 0xEF) { len = 3; min = 0x800; }
        else if (c >= 0xF0 && c <= 0xF4) { len = 4; min = 0x10000; }
        else return i;
        if (i + len > n) return i;
        unsigned cp = c & (0xFF >> (len + 1));
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return i;
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
        i += len;
    }
    return std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: tolva-json [FILE]\n");
        return 2;
    }
    std::string text;
    if (argc == 2) {
        std::ifstream in(argv[1], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "tolva-json: cannot read %s: %s\n", argv[1], std::strerror(errno));
            return 2;
        }
        text.assign(std::istreambuf_iterator<char>(in), {});
    } else {
        text.assign(std::istreambuf_iterator<char>(std::cin), {});
    }
    if (auto at = first_invalid_utf8(text); at != std::string::npos) {
        std::fprintf(stderr, "tolva-json: input is not valid UTF-8 (byte offset %zu)\n", at);
        return 1;
    }
    auto result = tolva::json::parse(text);
    if (auto* error = std::get_if<tolva::json::ParseError>(&result)) {
        std::string line = error->text() + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        return 1;
    }
    std::string out = tolva::json::write(std::get<tolva::json::Value>(result));
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
