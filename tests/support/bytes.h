// Bytes as tests build and read them: records as their bytes and back, text,
// and runs of one value.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace x9tr::test {

using Bytes = std::vector<std::byte>;

template <class T>
Bytes BytesOf(const T& value)
{
    Bytes bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

// The record at the start of Bytes; what is missing stays 0.
template <class T>
T ValueOf(const Bytes& bytes)
{
    T value{};
    std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof(T)));
    return value;
}

inline Bytes Repeat(std::size_t count, std::byte value = std::byte{0}) { return Bytes(count, value); }

inline Bytes TextBytes(std::string_view text)
{
    Bytes bytes(text.size());
    std::memcpy(bytes.data(), text.data(), text.size());
    return bytes;
}

inline std::string TextOf(const Bytes& bytes)
{
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

} // namespace x9tr::test
