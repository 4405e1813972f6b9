// Hex bytes as people write them in handset profiles and descriptor dumps:
// "12 01 00 02", "0x12, 0x01, 0x00, 0x02" or "12010002", with '#' comments
// to the end of a line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace handset {

struct HexParse {
    std::vector<std::byte> Bytes;
    // Empty when the whole text was hex bytes; otherwise what is wrong and
    // where, and Bytes is empty.
    std::string Fault;

    bool Ok() const { return Fault.empty(); }
};

// Tokens are separated by whitespace or commas. A token with a "0x" prefix is
// one byte of one or two digits; a token without one is an even run of
// digits, two to a byte, so that both C arrays and plain dumps read.
HexParse ParseHexBytes(std::string_view text);

} // namespace handset
