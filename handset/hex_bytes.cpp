// Reading hex bytes for profiles and descriptor dumps.
#include "handset/hex_bytes.h"

#include <optional>

namespace handset {
namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == ','; }

bool EndsToken(char c) { return IsSeparator(c) || c == '\n' || c == '#'; }

std::optional<unsigned> HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return static_cast<unsigned>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<unsigned>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<unsigned>(c - 'A' + 10);
    }
    return std::nullopt;
}

// The token as a fault message shows it: a run of garbage is cut short.
std::string Shown(std::string_view token)
{
    constexpr std::size_t kLongest = 16;
    std::string shown = "\"";
    shown.append(token.substr(0, kLongest));
    shown.append(token.size() <= kLongest ? "\"" : "...\"");
    return shown;
}

} // namespace

HexParse ParseHexBytes(std::string_view text)
{
    HexParse result;
    std::size_t line = 1;
    auto fail = [&](std::string_view token, const char* what) {
        result.Bytes.clear();
        result.Fault = Shown(token) + " at line " + std::to_string(line) + " " + what;
        return result;
    };

    std::size_t at = 0;
    while (at < text.size()) {
        const char c = text[at];
        if (c == '\n') {
            ++line;
            ++at;
            continue;
        }
        if (IsSeparator(c)) {
            ++at;
            continue;
        }
        if (c == '#') {
            while (at < text.size() && text[at] != '\n') {
                ++at;
            }
            continue;
        }
        std::size_t end = at;
        while (end < text.size() && !EndsToken(text[end])) {
            ++end;
        }
        const std::string_view token = text.substr(at, end - at);
        at = end;

        const bool prefixed = token.size() >= 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
        const std::string_view digits = prefixed ? token.substr(2) : token;
        for (char d : digits) {
            if (!HexDigit(d)) {
                return fail(token, "is not hex");
            }
        }
        if (prefixed) {
            if (digits.empty()) {
                return fail(token, "is not hex");
            }
            if (digits.size() > 2) {
                // "0x0200" could be meant either way round; a byte at a time says which.
                return fail(token, "is more than one byte");
            }
            unsigned value = 0;
            for (char d : digits) {
                value = value << 4 | *HexDigit(d);
            }
            result.Bytes.push_back(static_cast<std::byte>(value));
            continue;
        }
        if (digits.size() % 2 != 0) {
            return fail(token, "has an odd number of hex digits");
        }
        for (std::size_t i = 0; i < digits.size(); i += 2) {
            result.Bytes.push_back(static_cast<std::byte>(*HexDigit(digits[i]) << 4 | *HexDigit(digits[i + 1])));
        }
    }
    return result;
}

} // namespace handset
