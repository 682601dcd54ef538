// A failed oracle check in a fuzzer: says what was wrong and aborts, so that
// libFuzzer keeps the input that broke the rule as a crash artifact.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

inline void require(bool holds, const char* rule, const std::string& detail = std::string())
{
    if (!holds) {
        std::fprintf(stderr, "oracle broken: %s\n%s\n", rule, detail.c_str());
        std::abort();
    }
}

// Bytes as a C-like literal, so that a report shows blanks, marks and controls.
inline std::string quoted(const std::string& bytes)
{
    std::string out = "\"";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\') {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        }
    }
    return out + "\"";
}

}  // namespace fuzz
