// Raw descriptors in the layout of a Linux sysfs "descriptors" file: the
// 18-byte device descriptor, then the configuration descriptor with what
// follows it. Such a dump makes a handset that serves exactly those bytes,
// however malformed, so the drivers can be tried on a device that lies.
#pragma once

#include "handset/profile.h"

#include <cstddef>
#include <span>
#include <string>

namespace handset {

// Contents are either the binary bytes or hex text (whitespace, commas, "0x"
// prefixes and '#' comments allowed): text is told from binary by holding no
// control bytes other than whitespace. Refused, with a std::runtime_error
// naming Origin and the fault, only when it cannot be a device at all: fewer
// than 18 bytes, or text that is not hex. The profile has no strings (each
// index answers "String N"), is high speed, and reports a unique ID when the
// device descriptor has a serial number index.
Profile ParseSysfsDescriptors(std::span<const std::byte> contents, const std::string& origin);
Profile LoadSysfsDescriptors(const std::string& fileName);

} // namespace handset
