// Fuzzes the modem port's ACM interface search with the input as the
// configuration descriptor its child presents: the walk over functional
// descriptors, the union's subordinates, the data interface lookup. The
// input's own length is its wTotalLength, so every read the search makes
// outside the input's bytes is one the sanitizers see.
#include "base/mdm/src/mdm.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < sizeof(USB_CONFIGURATION_DESCRIPTOR) || size > 0xFFFF) {
        return 0;
    }
    // Exactly the input's bytes on the heap, so that a read past them is caught.
    std::vector<std::uint8_t> bytes(data, data + size);
    auto* configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    configuration->wTotalLength = static_cast<USHORT>(size);
    x9trmdm::MDM_USB_PART usb{};
    usb.ConfigurationDescriptor = configuration;
    if (x9trmdm::MdmFindCdcAcmInterface(&usb)) {
        // What was accepted lies inside the input.
        const auto* begin = bytes.data();
        const auto* comm = reinterpret_cast<const std::uint8_t*>(usb.CommInterfaceDescriptor);
        const auto* dataInterface = reinterpret_cast<const std::uint8_t*>(usb.DataInterfaceDescriptor);
        if (comm < begin || comm + sizeof(USB_INTERFACE_DESCRIPTOR) > begin + size || dataInterface < begin ||
            dataInterface + sizeof(USB_INTERFACE_DESCRIPTOR) > begin + size) {
            __builtin_trap();
        }
    }
    return 0;
}
