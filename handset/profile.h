// A handset profile: the descriptors a simulated handset serves, its string
// table, its speed and whether its hub port reports a unique ID. Profiles
// come from a JSON document (the schema is in docs/handset.md), from raw
// descriptors in the sysfs layout (sysfs_descriptors.h) or built in
// (default_handset.h).
#pragma once

#include "platform/kernel/ntdef.h"
#include "platform/usb/peripheral.h"

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace handset {

// Text of string descriptors by index. Index 0, the language table, is never
// in it: the handset answers it itself.
using StringTable = std::map<UCHAR, std::u16string>;

struct Profile {
    // The file or other source the profile came from, for messages.
    std::string Origin;
    // What GET_DESCRIPTOR(device) answers: 18 bytes, or whatever a raw profile gave.
    std::vector<std::byte> Device;
    // What GET_DESCRIPTOR(configuration) answers, as given: a raw profile's
    // bytes are served even when their lengths lie.
    std::vector<std::byte> Configuration;
    StringTable Strings;
    platform::usb::Speed Speed = platform::usb::Speed::High;
    bool UniqueId = false;
    // What a function sends of its own accord, by the bulk IN endpoint it
    // goes out on: queued when the endpoint is first read after each
    // SET_CONFIGURATION, as a modem announces itself once it is configured.
    // Empty: the handset sends only what it is fed.
    std::map<UCHAR, std::vector<std::byte>> Greetings;
};

// Reads a JSON profile. A malformed one is refused with a std::runtime_error
// whose message starts with Origin and names the fault.
Profile ParseProfile(std::string_view json, const std::string& origin);
// The same from a file; the file name is the origin.
Profile LoadProfile(const std::string& fileName);

} // namespace handset
