// Loading a handset from whichever kind of file it is given as.
#include "handset/handset_file.h"

#include "handset/sysfs_descriptors.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>

namespace handset {

std::vector<std::byte> ReadWholeFile(const std::string& fileName)
{
    std::ifstream in(fileName, std::ios::binary);
    if (!in) {
        throw std::runtime_error(fileName + ": cannot be read: " + std::strerror(errno));
    }
    const std::vector<char> chars{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        throw std::runtime_error(fileName + ": cannot be read: " + std::strerror(errno));
    }
    std::vector<std::byte> bytes;
    bytes.reserve(chars.size());
    for (char c : chars) {
        bytes.push_back(static_cast<std::byte>(c));
    }
    return bytes;
}

Profile LoadHandsetFile(const std::string& fileName)
{
    const std::vector<std::byte> contents = ReadWholeFile(fileName);
    for (std::byte b : contents) {
        const auto c = std::to_integer<char>(b);
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            continue;
        }
        if (c == '{') {
            const std::string_view text(reinterpret_cast<const char*>(contents.data()), contents.size());
            return ParseProfile(text, fileName);
        }
        break;
    }
    return ParseSysfsDescriptors(contents, fileName);
}

} // namespace handset
