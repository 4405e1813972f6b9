// A small world for tests: a platform with one framework driver loaded, and
// device-init records for device instances of that driver, so that a test
// reads "given this driver and this device instance, when ...".
#pragma once

#include "platform/platform.h"
#include "platform/wdf.h"
#include "platform/wdf/device.h"

#include <memory>
#include <string>

namespace x9tr::test {

class DriverWorld {
public:
    // Loads a driver of this service name whose entry only creates its
    // framework driver.
    explicit DriverWorld(std::u16string serviceName = u"X9TRtest", platform::Platform::Options options = {});
    ~DriverWorld();

    platform::Platform& World() { return world_; }
    platform::Registry& Registry() { return world_.Registry(); }
    WDFDRIVER Driver() const { return driver_; }
    std::u16string ParametersKey() const;

    // A device-init record for a device instance, as the Plug and Play
    // manager hands it to the driver's device-add callback.
    std::unique_ptr<WDFDEVICE_INIT> DeviceInit(std::u16string instanceId);
    // Creates a device for the instance (with the driver current).
    WDFDEVICE CreateDevice(std::u16string instanceId);

    // Runs Fn as code of this driver (objects default to it as parent).
    template <class Fn>
    auto AsDriver(Fn&& fn)
    {
        platform::wdf::DriverScope scope(framework_);
        return fn();
    }

private:
    platform::Platform world_;
    platform::LoadedDriver* loaded_ = nullptr;
    platform::wdf::Object* framework_ = nullptr;
    WDFDRIVER driver_ = nullptr;
    ULONG nextSoftwareKey_ = 0;
};

} // namespace x9tr::test
