// The framework driver object.
#include "platform/platform.h"
#include "platform/wdf/wdf_driver.h"
#include "platform/wdf/wdf_registry.h"

namespace platform::wdf {
namespace {

class Driver final : public Object {
public:
    Driver() : Object(ObjectKind::Driver) {}
    LoadedDriver* Loaded = nullptr;
    WDF_DRIVER_CONFIG Config{};
    std::u16string RegistryPath;
};

Driver* Resolve(WDFDRIVER handle, const char* operation)
{
    return Platform::Current().Objects().ResolveAs<Driver>(handle, ObjectKind::Driver, operation);
}

} // namespace

PFN_WDF_DRIVER_DEVICE_ADD DeviceAddCallback(WDFDRIVER handle)
{
    Driver* driver = Resolve(handle, "DeviceAddCallback");
    return driver != nullptr ? driver->Config.EvtDriverDeviceAdd : nullptr;
}

// Called by Platform::UnloadDriver.
void CallDriverUnload(Object& object)
{
    auto& driver = static_cast<Driver&>(object);
    if (driver.Config.EvtDriverUnload != nullptr) {
        InvokeDriverCallback(driver, [&] { driver.Config.EvtDriverUnload(static_cast<WDFDRIVER>(driver.Handle())); });
    }
}

} // namespace platform::wdf

using platform::Platform;
using platform::wdf::Driver;

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* DriverHandle)
{
    if (DriverHandle != nullptr) {
        *DriverHandle = nullptr;
    }
    if (DriverObject == nullptr || RegistryPath == nullptr || DriverConfig == nullptr ||
        DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) {
        return STATUS_INVALID_PARAMETER;
    }
    Platform& world = Platform::Current();
    if (auto failure = world.Faults().Take("WdfDriverCreate")) {
        return *failure;
    }
    platform::LoadedDriver* loaded = world.FindDriver(DriverObject);
    if (loaded == nullptr || loaded->FrameworkDriver() != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (DriverAttributes != nullptr && DriverAttributes->ParentObject != nullptr) {
        return STATUS_INVALID_PARAMETER; // the driver is the root of its objects
    }
    auto driver = std::make_unique<Driver>();
    driver->Loaded = loaded;
    driver->Config = *DriverConfig;
    driver->RegistryPath = std::u16string(platform::View(*RegistryPath));
    driver->SetDriverMayDelete(false);
    Driver* raw = driver.get();
    // The driver has no parent, whatever code is running.
    platform::wdf::DriverScope outside(nullptr);
    const NTSTATUS status = world.Objects().Insert(std::move(driver), DriverAttributes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    loaded->SetFrameworkDriver(raw);
    if (DriverHandle != nullptr) {
        *DriverHandle = static_cast<WDFDRIVER>(raw->Handle());
    }
    return STATUS_SUCCESS;
}

NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER DriverHandle, ACCESS_MASK DesiredAccess,
                                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    Driver* driver = platform::wdf::Resolve(DriverHandle, "WdfDriverOpenParametersRegistryKey");
    if (driver == nullptr) {
        if (Key != nullptr) {
            *Key = nullptr;
        }
        return STATUS_INVALID_HANDLE;
    }
    return platform::wdf::OpenKeyObject(driver->RegistryPath + u"\\Parameters", true, DesiredAccess, KeyAttributes, Key);
}

WDFDRIVER WdfGetDriver()
{
    platform::wdf::Object* driver = platform::wdf::CurrentDriver();
    return driver != nullptr ? static_cast<WDFDRIVER>(driver->Handle()) : nullptr;
}

PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER DriverHandle)
{
    Driver* driver = platform::wdf::Resolve(DriverHandle, "WdfDriverWdmGetDriverObject");
    return driver != nullptr ? driver->Loaded->DriverObject() : nullptr;
}

PWSTR WdfDriverGetRegistryPath(WDFDRIVER DriverHandle)
{
    Driver* driver = platform::wdf::Resolve(DriverHandle, "WdfDriverGetRegistryPath");
    return driver != nullptr ? driver->RegistryPath.data() : nullptr;
}
