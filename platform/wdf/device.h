// Inside the platform: the device-init record that the Plug and Play manager
// hands to a device-add callback, and the framework device made from it.
#pragma once

#include "platform/wdf/object.h"
#include "platform/wdf/wdf_device.h"

#include <memory>
#include <string>

// Everything a device-add callback sets before WdfDeviceCreate, and the
// device instance it is for.
struct WDFDEVICE_INIT {
    WDFDRIVER Driver = nullptr;
    std::u16string InstanceId;      // "USB\VID_0ABC&PID_1D2E\..."
    std::u16string HardwareKeyPath; // the instance's Device Parameters key
    std::u16string SoftwareKeyPath; // the instance's driver key
    ULONG DeviceType = FILE_DEVICE_UNKNOWN;
};

namespace platform::wdf {

// Where a device instance's keys live.
std::u16string HardwareKeyPathFor(std::u16string_view instanceId);
std::u16string SoftwareKeyPathFor(std::u16string_view classGuid, ULONG index);

std::unique_ptr<WDFDEVICE_INIT> MakeDeviceInit(WDFDRIVER driver, std::u16string instanceId,
                                               std::u16string softwareKeyPath);

class Device final : public Object {
public:
    Device() : Object(ObjectKind::Device) {}
    std::u16string InstanceId;
    std::u16string HardwareKeyPath;
    std::u16string SoftwareKeyPath;
    ULONG DeviceType = FILE_DEVICE_UNKNOWN;
};

// Removal of a device by the Plug and Play manager: the framework deletes it.
void DeleteDevice(WDFDEVICE device);

} // namespace platform::wdf
