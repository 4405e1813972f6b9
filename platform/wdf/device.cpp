// Device initialisation, device creation and the registry keys of a device
// instance.
#include "platform/wdf/device.h"

#include "platform/platform.h"
#include "platform/wdf/wdf_registry.h"

#include <cstdio>

namespace platform::wdf {

std::u16string HardwareKeyPathFor(std::u16string_view instanceId)
{
    std::u16string path(kEnumKey);
    path += u"\\";
    path += instanceId;
    path += u"\\Device Parameters";
    return path;
}

std::u16string SoftwareKeyPathFor(std::u16string_view classGuid, ULONG index)
{
    char number[8];
    std::snprintf(number, sizeof(number), "%04u", static_cast<unsigned>(index % 10000));
    std::u16string path(kControlKey);
    path += u"\\Class\\";
    path += classGuid;
    path += u"\\";
    path += Utf8ToUtf16(number);
    return path;
}

std::unique_ptr<WDFDEVICE_INIT> MakeDeviceInit(WDFDRIVER driver, std::u16string instanceId,
                                               std::u16string softwareKeyPath)
{
    auto init = std::make_unique<WDFDEVICE_INIT>();
    init->Driver = driver;
    init->HardwareKeyPath = HardwareKeyPathFor(instanceId);
    init->InstanceId = std::move(instanceId);
    init->SoftwareKeyPath = std::move(softwareKeyPath);
    return init;
}

void DeleteDevice(WDFDEVICE handle)
{
    auto& objects = Platform::Current().Objects();
    if (Object* device = objects.Resolve(handle, ObjectKind::Device, "DeleteDevice")) {
        objects.Delete(*device);
    }
}

namespace {

NTSTATUS OpenInstanceKey(const std::u16string& hardwareKey, const std::u16string& softwareKey, ULONG type,
                         ACCESS_MASK access, PWDF_OBJECT_ATTRIBUTES attributes, WDFKEY* key)
{
    // The system makes a device's Device Parameters key on first use; its
    // driver key exists from the driver's installation on.
    switch (type) {
    case PLUGPLAY_REGKEY_DEVICE:
        return OpenKeyObject(hardwareKey, true, access, attributes, key);
    case PLUGPLAY_REGKEY_DRIVER:
        return OpenKeyObject(softwareKey, true, access, attributes, key);
    default:
        if (key != nullptr) {
            *key = nullptr;
        }
        return STATUS_INVALID_PARAMETER;
    }
}

} // namespace

} // namespace platform::wdf

using platform::Platform;
using platform::wdf::Device;

NTSTATUS WdfFdoInitOpenRegistryKey(PWDFDEVICE_INIT DeviceInit, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                   PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    if (DeviceInit == nullptr) {
        platform::GetVerifier().Report(platform::VerifierRule::InvalidParameter,
                                       "WdfFdoInitOpenRegistryKey without a device-init record");
        return STATUS_INVALID_PARAMETER;
    }
    return platform::wdf::OpenInstanceKey(DeviceInit->HardwareKeyPath, DeviceInit->SoftwareKeyPath,
                                          DeviceInstanceKeyType, DesiredAccess, KeyAttributes, Key);
}

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* DeviceHandle)
{
    if (DeviceInit == nullptr || *DeviceInit == nullptr || DeviceHandle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *DeviceHandle = nullptr;
    if (auto failure = Platform::Current().Faults().Take("WdfDeviceCreate")) {
        return *failure;
    }
    auto& objects = Platform::Current().Objects();
    platform::wdf::Object* driver =
        objects.Resolve((*DeviceInit)->Driver, platform::wdf::ObjectKind::Driver, "WdfDeviceCreate");
    if (driver == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto device = std::make_unique<Device>();
    device->InstanceId = (*DeviceInit)->InstanceId;
    device->HardwareKeyPath = (*DeviceInit)->HardwareKeyPath;
    device->SoftwareKeyPath = (*DeviceInit)->SoftwareKeyPath;
    device->DeviceType = (*DeviceInit)->DeviceType;
    // A Plug and Play device goes when the system removes it, not when its driver says so.
    device->SetDriverMayDelete(false);
    Device* raw = device.get();
    // Devices are always children of their driver, whatever the attributes say.
    WDF_OBJECT_ATTRIBUTES attributes;
    if (DeviceAttributes != nullptr) {
        attributes = *DeviceAttributes;
    } else {
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    }
    attributes.ParentObject = nullptr;
    const NTSTATUS status = objects.Insert(std::move(device), &attributes, driver);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *DeviceHandle = static_cast<WDFDEVICE>(raw->Handle());
    *DeviceInit = nullptr;
    return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE DeviceHandle, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                  PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    Device* device = Platform::Current().Objects().ResolveAs<Device>(DeviceHandle, platform::wdf::ObjectKind::Device,
                                                                     "WdfDeviceOpenRegistryKey");
    if (device == nullptr) {
        if (Key != nullptr) {
            *Key = nullptr;
        }
        return STATUS_INVALID_HANDLE;
    }
    return platform::wdf::OpenInstanceKey(device->HardwareKeyPath, device->SoftwareKeyPath, DeviceInstanceKeyType,
                                          DesiredAccess, KeyAttributes, Key);
}
