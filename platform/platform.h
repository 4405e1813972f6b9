// The platform: one simulated machine. It owns the dispatcher and its
// virtual clock, the registry, the framework's object table, the failures
// armed by a test and the loaded drivers. Exactly one is current at a time;
// the kernel and framework operations that drivers call act on it.
#pragma once

#include "platform/dispatch/dispatcher.h"
#include "platform/kernel/faults.h"
#include "platform/kernel/object_namespace.h"
#include "platform/kernel/registry.h"
#include "platform/kernel/wdm.h"
#include "platform/wdf/object.h"

#include <cstdint>
#include <list>
#include <memory>
#include <string>

namespace platform {

class LoadedDriver;

// Told when a bus driver's children changed (the end of a child list scan).
class BusRelationsListener {
public:
    virtual ~BusRelationsListener() = default;
    virtual void BusRelationsChanged(WDFDEVICE parent) = 0;
};

class Platform {
public:
    struct Options {
        // Nonzero: events due at the same moment run in an order drawn from it.
        std::uint64_t Shuffle = 0;
    };

    Platform();
    explicit Platform(Options options);
    // Unloads the drivers still loaded and reports every object still alive.
    ~Platform();
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;

    static Platform& Current();
    static Platform* TryCurrent();

    // Makes a platform current for its life, then restores the one before.
    class Scope {
    public:
        explicit Scope(Platform& platform);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        Platform* previous_;
    };

    VirtualDispatcher& Dispatcher() { return dispatcher_; }
    platform::Registry& Registry() { return registry_; }
    wdf::ObjectTable& Objects() { return objects_; }
    platform::Faults& Faults() { return faults_; }
    ObjectNamespace& Names() { return names_; }
    // The system's device counts (IoGetConfigurationInformation).
    CONFIGURATION_INFORMATION& ConfigurationInformation() { return configuration_; }

    // Loads a driver of the given service name: makes its driver object and
    // service key and calls its entry point. Null when the entry failed
    // (*Status says why).
    LoadedDriver* LoadDriver(const std::u16string& serviceName, PDRIVER_INITIALIZE entry, NTSTATUS* status);
    // Calls the driver's unload routine, deletes its framework driver and
    // everything parented to it, and reports what is still alive.
    void UnloadDriver(LoadedDriver* driver);
    LoadedDriver* FindDriver(PDRIVER_OBJECT driverObject);
    LoadedDriver* FindDriverByService(const std::u16string& serviceName);

    void SetBusRelationsListener(BusRelationsListener* listener) { busRelationsListener_ = listener; }
    void BusRelationsChanged(WDFDEVICE parent)
    {
        if (busRelationsListener_ != nullptr) {
            busRelationsListener_->BusRelationsChanged(parent);
        }
    }

private:
    VirtualDispatcher dispatcher_;
    platform::Registry registry_;
    platform::Faults faults_;
    ObjectNamespace names_;
    CONFIGURATION_INFORMATION configuration_{};
    wdf::ObjectTable objects_;
    std::list<std::unique_ptr<LoadedDriver>> drivers_;
    BusRelationsListener* busRelationsListener_ = nullptr;
    Platform* previous_;
};

// A driver loaded into the platform.
class LoadedDriver {
public:
    explicit LoadedDriver(std::u16string serviceName);

    const std::u16string& ServiceName() const { return serviceName_; }
    const std::u16string& RegistryPath() const { return registryPath_; }
    PDRIVER_OBJECT DriverObject() { return &driverObject_; }
    // The framework driver object that WdfDriverCreate made for it, if any.
    wdf::Object* FrameworkDriver() const { return frameworkDriver_; }
    void SetFrameworkDriver(wdf::Object* driver) { frameworkDriver_ = driver; }

private:
    std::u16string serviceName_;
    std::u16string registryPath_;
    std::u16string driverName_;
    DRIVER_OBJECT driverObject_{};
    wdf::Object* frameworkDriver_ = nullptr;
};

} // namespace platform
