// Descriptor parsing over a bounded buffer.
#include "platform/usb/usbdi.h"

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType)
{
    if (DescriptorBuffer == nullptr || StartPosition == nullptr) {
        return nullptr;
    }
    auto* const begin = static_cast<UCHAR*>(DescriptorBuffer);
    auto* const start = static_cast<UCHAR*>(StartPosition);
    if (start < begin) {
        return nullptr;
    }
    std::size_t offset = static_cast<std::size_t>(start - begin);
    while (offset < TotalLength && TotalLength - offset >= sizeof(USB_COMMON_DESCRIPTOR)) {
        auto* descriptor = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(begin + offset);
        if (descriptor->bLength > TotalLength - offset) {
            return nullptr; // runs past the end
        }
        if (descriptor->bDescriptorType == DescriptorType) {
            return descriptor;
        }
        if (descriptor->bLength == 0) {
            return nullptr;
        }
        offset += descriptor->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    if (ConfigurationDescriptor == nullptr) {
        return nullptr;
    }
    auto* position = static_cast<UCHAR*>(StartPosition);
    const ULONG total = ConfigurationDescriptor->wTotalLength;
    for (;;) {
        auto* found = USBD_ParseDescriptors(ConfigurationDescriptor, total, position, USB_INTERFACE_DESCRIPTOR_TYPE);
        if (found == nullptr) {
            return nullptr;
        }
        if (found->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            return nullptr; // too short to be an interface descriptor
        }
        auto* interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
        if ((InterfaceNumber == -1 || interface->bInterfaceNumber == InterfaceNumber) &&
            (AlternateSetting == -1 || interface->bAlternateSetting == AlternateSetting) &&
            (InterfaceClass == -1 || interface->bInterfaceClass == InterfaceClass) &&
            (InterfaceSubClass == -1 || interface->bInterfaceSubClass == InterfaceSubClass) &&
            (InterfaceProtocol == -1 || interface->bInterfaceProtocol == InterfaceProtocol)) {
            return interface;
        }
        position = reinterpret_cast<UCHAR*>(found) + found->bLength;
    }
}
