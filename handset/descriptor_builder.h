// Builds a handset's device and configuration descriptors from a description
// of its functions (CDC ACM, CDC MDLM, CDC NCM, vendor class FF, mass
// storage). Interface numbers, endpoint numbers and string indexes are given
// out in the order the functions are listed, so a profile reads like the
// configuration it makes.
#pragma once

#include "handset/profile.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace handset {

// CDC 1.2: a communications interface with call management, ACM and union
// functional descriptors and an interrupt IN endpoint, and a data interface
// with a bulk IN and a bulk OUT endpoint.
struct AcmFunction {
    UCHAR CallManagementCapabilities = 0x03;
    UCHAR AcmCapabilities = 0x06;
};

// CDC MDLM: one communications interface with an MDLM functional descriptor
// naming the model by GUID, an optional detail descriptor, and its own bulk
// endpoints (no union, no data interface).
struct MdlmFunction {
    // The handset's own diagnostic model.
    std::array<std::byte, 16> Guid{std::byte{0xC2}, std::byte{0x29}, std::byte{0x9F}, std::byte{0xCC},
                                   std::byte{0xD4}, std::byte{0x89}, std::byte{0x40}, std::byte{0x66},
                                   std::byte{0x89}, std::byte{0x2B}, std::byte{0x10}, std::byte{0xC3},
                                   std::byte{0x41}, std::byte{0xDD}, std::byte{0x98}, std::byte{0xA9}};
    // The detail descriptor's bytes after its subtype, bGuidDescriptorType
    // first; empty leaves the detail descriptor out.
    std::vector<std::byte> Detail{std::byte{0x00}, std::byte{0x0A}, std::byte{0x01}};
};

// CDC NCM 1.0: a communications interface with union, Ethernet networking and
// NCM functional descriptors and an interrupt IN endpoint, and a data
// interface whose alternate setting 0 has no endpoints and 1 has the bulk pair.
struct NcmFunction {
    std::u16string MacAddress = u"02A0C9000001"; // 12 hex digits, served as a string
    USHORT MaxSegmentSize = 1514;
    UCHAR NetworkCapabilities = 0;
};

struct VendorFunction {};  // class FF/FF/FF with a bulk pair
struct StorageFunction {}; // class 08/06/50 (SCSI, bulk-only) with a bulk pair

using FunctionKind = std::variant<AcmFunction, MdlmFunction, NcmFunction, VendorFunction, StorageFunction>;

struct FunctionDescription {
    FunctionKind Kind;
    // With an interface association descriptor around the function's interfaces.
    bool Iad = false;
    // The IAD's iFunction with an IAD, else the first interface's iInterface.
    std::optional<std::u16string> Name;
    // Defaults follow the speed: bulk 512 at high speed and 64 at full speed,
    // interrupt 16, interval 9 at high speed (2^8 microframes) and 32 frames
    // at full speed, both 32 ms.
    std::optional<USHORT> BulkMaxPacketSize;
    std::optional<USHORT> InterruptMaxPacketSize;
    std::optional<UCHAR> Interval;
};

struct DeviceDescription {
    USHORT BcdUsb = 0x0200;
    std::array<UCHAR, 3> Class{}; // class, subclass, protocol
    UCHAR MaxPacketSize0 = 64;
    USHORT Vendor = 0;
    USHORT Product = 0;
    USHORT BcdDevice = 0x0100;
    std::optional<std::u16string> Manufacturer;
    std::optional<std::u16string> ProductName;
    std::optional<std::u16string> SerialNumber;
};

struct ConfigurationDescription {
    UCHAR Value = 1;
    UCHAR Attributes = 0xC0; // bus-powered bit set as USB 2.0 requires, self-powered
    UCHAR MaxPower = 250;    // in 2 mA units: 500 mA
    std::vector<FunctionDescription> Functions;
};

// Indexes 1 to 3 are kept for the device's own strings; function strings
// follow from 4 in the order they are met.
inline constexpr UCHAR kManufacturerStringIndex = 1;
inline constexpr UCHAR kProductStringIndex = 2;
inline constexpr UCHAR kSerialNumberStringIndex = 3;
inline constexpr UCHAR kFirstFunctionStringIndex = 4;

// The 18-byte device descriptor; its strings go into Strings at 1 to 3.
std::vector<std::byte> BuildDeviceDescriptor(const DeviceDescription& device, StringTable& strings);

// The configuration descriptor with everything under it, wTotalLength and
// bNumInterfaces filled in. Throws std::runtime_error (a message without an
// origin) when the functions need more than the 15 endpoint numbers a device has.
std::vector<std::byte> BuildConfiguration(const ConfigurationDescription& configuration, platform::usb::Speed speed,
                                          StringTable& strings);

} // namespace handset
