// Loading raw descriptor dumps, binary or hex text.
#include "handset/sysfs_descriptors.h"

#include "handset/handset_file.h"
#include "handset/hex_bytes.h"
#include "platform/usb/usb100.h"

#include <stdexcept>
#include <string_view>

namespace handset {
namespace {

// Descriptors always hold small numbers (a bLength of 18, a type of 1, zero
// bytes); text never holds control bytes other than whitespace.
bool LooksLikeText(std::span<const std::byte> contents)
{
    for (std::byte b : contents) {
        const auto c = std::to_integer<unsigned>(b);
        const bool whitespace = c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
        if ((c < 0x20 && !whitespace) || c == 0x7F) {
            return false;
        }
    }
    return true;
}

} // namespace

Profile ParseSysfsDescriptors(std::span<const std::byte> contents, const std::string& origin)
{
    std::vector<std::byte> bytes;
    std::string form = "binary descriptors";
    if (LooksLikeText(contents)) {
        const std::string_view text(reinterpret_cast<const char*>(contents.data()), contents.size());
        HexParse parsed = ParseHexBytes(text);
        if (!parsed.Ok()) {
            throw std::runtime_error(origin + ": neither binary descriptors nor hex text: " + parsed.Fault);
        }
        bytes = std::move(parsed.Bytes);
        form = "hex text";
    } else {
        bytes.assign(contents.begin(), contents.end());
    }
    if (bytes.size() < sizeof(USB_DEVICE_DESCRIPTOR)) {
        throw std::runtime_error(origin + ": " + std::to_string(bytes.size()) + " bytes of " + form +
                                 "; a device needs at least its 18-byte device descriptor");
    }

    Profile profile;
    profile.Origin = origin;
    profile.Device.assign(bytes.begin(), bytes.begin() + sizeof(USB_DEVICE_DESCRIPTOR));
    profile.Configuration.assign(bytes.begin() + sizeof(USB_DEVICE_DESCRIPTOR), bytes.end());
    profile.Speed = platform::usb::Speed::High;
    profile.UniqueId = std::to_integer<UCHAR>(profile.Device[16]) != 0;
    return profile;
}

Profile LoadSysfsDescriptors(const std::string& fileName)
{
    const std::vector<std::byte> contents = ReadWholeFile(fileName);
    return ParseSysfsDescriptors(contents, fileName);
}

} // namespace handset
