// What the handset knows of its own configuration: its value, the interfaces
// with their alternate settings and the endpoints of each, read from the
// configuration bytes it serves. Those bytes may be malformed on purpose; the
// walk stops at the first descriptor that is shorter than two bytes or runs
// past the end, and never reads a field a descriptor's bLength does not cover.
#pragma once

#include "platform/kernel/ntdef.h"

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace handset {

struct EndpointInfo {
    UCHAR Address = 0;
    UCHAR Attributes = 0;
    USHORT MaxPacketSize = 0; // bits 0-10 of wMaxPacketSize
};

struct InterfaceSetting {
    UCHAR Number = 0;
    UCHAR Alternate = 0;
    std::vector<EndpointInfo> Endpoints;
    UCHAR Class = 0;
    UCHAR SubClass = 0;
    UCHAR Protocol = 0;
};

// An interface association: the interfaces of one function.
struct Association {
    UCHAR FirstInterface = 0;
    UCHAR InterfaceCount = 0;
};

class ConfigurationLayout {
public:
    ConfigurationLayout() = default;
    explicit ConfigurationLayout(std::span<const std::byte> configuration);

    // bConfigurationValue, when the bytes are long enough to hold one.
    std::optional<UCHAR> ConfigurationValue() const { return value_; }
    // bmAttributes, or 0 when the bytes are too short.
    UCHAR Attributes() const { return attributes_; }
    bool HasInterfaceAssociation() const { return hasAssociation_; }
    const std::vector<Association>& Associations() const { return associations_; }

    // Interface settings in the order they appear.
    const std::vector<InterfaceSetting>& Settings() const { return settings_; }
    // Interface numbers in the order they first appear.
    const std::vector<UCHAR>& Interfaces() const { return interfaces_; }
    bool HasInterface(UCHAR number) const;
    // The first setting with this number and alternate (a malformed
    // configuration may repeat one).
    const InterfaceSetting* FindSetting(UCHAR number, UCHAR alternate) const;

private:
    std::optional<UCHAR> value_;
    UCHAR attributes_ = 0;
    bool hasAssociation_ = false;
    std::vector<Association> associations_;
    std::vector<InterfaceSetting> settings_;
    std::vector<UCHAR> interfaces_;
};

} // namespace handset
