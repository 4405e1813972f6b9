// Configuration descriptors written by hand for tests: each call appends one
// descriptor in its USB 2.0 / CDC 1.2 layout; Bytes() fills in wTotalLength
// (and bNumInterfaces unless told otherwise).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <set>
#include <vector>

namespace x9tr::test {

class ConfigBuilder {
public:
    ConfigBuilder& Iad(uint8_t first, uint8_t count, uint8_t cls, uint8_t sub, uint8_t prot, uint8_t string = 0)
    {
        return Raw({8, 0x0B, first, count, cls, sub, prot, string});
    }
    ConfigBuilder& Interface(uint8_t number, uint8_t alternate, uint8_t endpoints, uint8_t cls, uint8_t sub,
                             uint8_t prot, uint8_t string = 0)
    {
        numbers_.insert(number);
        return Raw({9, 0x04, number, alternate, endpoints, cls, sub, prot, string});
    }
    ConfigBuilder& Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket = 512, uint8_t interval = 0)
    {
        return Raw({7, 0x05, address, attributes, static_cast<uint8_t>(maxPacket & 0xFF),
                    static_cast<uint8_t>(maxPacket >> 8), interval});
    }
    ConfigBuilder& CdcHeader() { return Raw({5, 0x24, 0x00, 0x10, 0x01}); }
    ConfigBuilder& CdcUnion(uint8_t master, std::initializer_list<uint8_t> subordinates)
    {
        std::vector<uint8_t> bytes{static_cast<uint8_t>(4 + subordinates.size()), 0x24, 0x06, master};
        bytes.insert(bytes.end(), subordinates);
        return Raw(bytes);
    }
    ConfigBuilder& Raw(std::vector<uint8_t> bytes)
    {
        body_.insert(body_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    ConfigBuilder& Raw(std::initializer_list<uint8_t> bytes) { return Raw(std::vector<uint8_t>(bytes)); }

    std::vector<std::byte> Bytes(int numInterfaces = -1) const
    {
        const std::size_t total = 9 + body_.size();
        const auto interfaces = static_cast<uint8_t>(numInterfaces >= 0 ? numInterfaces : int(numbers_.size()));
        std::vector<uint8_t> all{9, 0x02, static_cast<uint8_t>(total & 0xFF), static_cast<uint8_t>(total >> 8),
                                 interfaces, 1, 0, 0xC0, 0x32};
        all.insert(all.end(), body_.begin(), body_.end());
        std::vector<std::byte> out;
        for (uint8_t b : all) {
            out.push_back(static_cast<std::byte>(b));
        }
        return out;
    }

private:
    std::vector<uint8_t> body_;
    std::set<uint8_t> numbers_;
};

// A device descriptor: 18 bytes with the given class triple and IDs,
// manufacturer 1, product 2, serial number 3.
std::vector<std::byte> DeviceDescriptor(uint8_t cls, uint8_t sub, uint8_t prot, uint16_t vid = 0x0abc,
                                        uint16_t pid = 0x1d2e, uint16_t rev = 0x0100, uint8_t serialIndex = 3);

} // namespace x9tr::test
