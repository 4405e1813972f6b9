// The test world.
#include "tests/support/world.h"

#include <gtest/gtest.h>

namespace x9tr::test {

namespace {

NTSTATUS MinimalDriverEntry(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, nullptr);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}

} // namespace

DriverWorld::DriverWorld(std::u16string serviceName, platform::Platform::Options options) : world_(options)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    loaded_ = world_.LoadDriver(serviceName, MinimalDriverEntry, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (loaded_ != nullptr) {
        framework_ = loaded_->FrameworkDriver();
        driver_ = static_cast<WDFDRIVER>(framework_->Handle());
    }
}

DriverWorld::~DriverWorld() = default;

std::u16string DriverWorld::ParametersKey() const
{
    return loaded_ != nullptr ? loaded_->RegistryPath() + u"\\Parameters" : std::u16string();
}

std::unique_ptr<WDFDEVICE_INIT> DriverWorld::DeviceInit(std::u16string instanceId)
{
    return platform::wdf::MakeDeviceInit(
        driver_, std::move(instanceId),
        platform::wdf::SoftwareKeyPathFor(u"{4d36e978-e325-11ce-bfc1-08002be10318}", nextSoftwareKey_++));
}

WDFDEVICE DriverWorld::CreateDevice(std::u16string instanceId)
{
    auto init = DeviceInit(std::move(instanceId));
    PWDFDEVICE_INIT raw = init.get();
    WDFDEVICE device = nullptr;
    const NTSTATUS status = AsDriver([&] { return WdfDeviceCreate(&raw, WDF_NO_OBJECT_ATTRIBUTES, &device); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    return device;
}

} // namespace x9tr::test
