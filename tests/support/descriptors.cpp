// Device descriptors for tests.
#include "tests/support/descriptors.h"

namespace x9tr::test {

std::vector<std::byte> DeviceDescriptor(uint8_t cls, uint8_t sub, uint8_t prot, uint16_t vid, uint16_t pid,
                                        uint16_t rev, uint8_t serialIndex)
{
    const uint8_t bytes[18] = {18,   0x01, 0x00, 0x02, cls, sub, prot, 64, static_cast<uint8_t>(vid & 0xFF),
                               static_cast<uint8_t>(vid >> 8), static_cast<uint8_t>(pid & 0xFF),
                               static_cast<uint8_t>(pid >> 8), static_cast<uint8_t>(rev & 0xFF),
                               static_cast<uint8_t>(rev >> 8), 1, 2, serialIndex, 1};
    std::vector<std::byte> out;
    for (uint8_t b : bytes) {
        out.push_back(static_cast<std::byte>(b));
    }
    return out;
}

} // namespace x9tr::test
