// A handset given as a file: a JSON profile or a raw descriptor dump, told
// apart by their first character (a profile is a JSON object; neither
// descriptors nor hex bytes start with '{').
#pragma once

#include "handset/profile.h"

#include <cstddef>
#include <string>
#include <vector>

namespace handset {

// Reads a JSON profile or sysfs descriptors; faults are refused as each form refuses them.
Profile LoadHandsetFile(const std::string& fileName);

// The whole file; a std::runtime_error naming it when it cannot be read.
std::vector<std::byte> ReadWholeFile(const std::string& fileName);

} // namespace handset
