// Statuses and bytes as the x9tr program prints them.
#pragma once

#include "platform/kernel/ntdef.h"

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace x9tr {

// "0x00000102"
inline std::string Hex32(ULONG value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
    return text;
}

// "0d 0a 41", or "0D 0A 41" in upper case.
inline std::string HexBytes(const std::vector<std::byte>& bytes, bool upper)
{
    std::string text;
    char pair[4];
    for (std::byte b : bytes) {
        std::snprintf(pair, sizeof(pair), upper ? "%02X" : "%02x", std::to_integer<unsigned>(b));
        if (!text.empty()) {
            text += ' ';
        }
        text += pair;
    }
    return text;
}

// Printable ASCII as it is, every other byte as '.'; with KeepLineControls
// CR, LF and TAB are kept too.
inline std::string PrintableBytes(const std::vector<std::byte>& bytes, bool keepLineControls)
{
    std::string text;
    for (std::byte b : bytes) {
        const auto c = std::to_integer<unsigned char>(b);
        const bool kept = (c >= 0x20 && c < 0x7F) || (keepLineControls && (c == '\r' || c == '\n' || c == '\t'));
        text.push_back(kept ? static_cast<char>(c) : '.');
    }
    return text;
}

} // namespace x9tr
