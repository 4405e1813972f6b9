// Reading the handset's own configuration bytes, with every length checked.
#include "handset/configuration_layout.h"

#include "platform/usb/usb100.h"

#include <algorithm>

namespace handset {
namespace {

UCHAR At(std::span<const std::byte> bytes, std::size_t offset) { return std::to_integer<UCHAR>(bytes[offset]); }

} // namespace

ConfigurationLayout::ConfigurationLayout(std::span<const std::byte> configuration)
{
    // The header's fields are read from the bytes as they are, even when its
    // bLength or type lies: the device still acts on the value it was given.
    if (configuration.size() > 5) {
        value_ = At(configuration, 5);
    }
    if (configuration.size() > 7) {
        attributes_ = At(configuration, 7);
    }

    std::size_t offset = 0;
    while (configuration.size() - offset >= 2) {
        const std::size_t length = At(configuration, offset);
        if (length < 2 || length > configuration.size() - offset) {
            break;
        }
        const auto descriptor = configuration.subspan(offset, length);
        const UCHAR type = At(descriptor, 1);
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            const UCHAR number = At(descriptor, 2);
            settings_.push_back(InterfaceSetting{number, At(descriptor, 3), {}, At(descriptor, 5), At(descriptor, 6),
                                                 At(descriptor, 7)});
            if (!HasInterface(number)) {
                interfaces_.push_back(number);
            }
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= sizeof(USB_ENDPOINT_DESCRIPTOR) &&
                   !settings_.empty()) {
            // An endpoint belongs to the interface setting before it; one before any is nobody's.
            const auto packet = static_cast<USHORT>((At(descriptor, 4) | At(descriptor, 5) << 8) & 0x07FF);
            settings_.back().Endpoints.push_back(EndpointInfo{At(descriptor, 2), At(descriptor, 3), packet});
        } else if (type == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE) {
            hasAssociation_ = true;
            if (length >= 4) {
                associations_.push_back(Association{At(descriptor, 2), At(descriptor, 3)});
            }
        }
        offset += length;
    }
}

bool ConfigurationLayout::HasInterface(UCHAR number) const
{
    return std::find(interfaces_.begin(), interfaces_.end(), number) != interfaces_.end();
}

const InterfaceSetting* ConfigurationLayout::FindSetting(UCHAR number, UCHAR alternate) const
{
    for (const InterfaceSetting& setting : settings_) {
        if (setting.Number == number && setting.Alternate == alternate) {
            return &setting;
        }
    }
    return nullptr;
}

} // namespace handset
