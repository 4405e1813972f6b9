// The simulated machine: its parts, driver loading and unloading, and the
// leak check at both.
#include "platform/platform.h"

#include <algorithm>
#include <cstdio>

namespace platform {

namespace wdf {
void CallDriverUnload(Object& driver);
}

namespace {

Platform* current = nullptr;

void ReportLeaks(const std::vector<wdf::Object*>& live, const std::string& owner)
{
    if (live.empty()) {
        return;
    }
    std::string message = std::to_string(live.size()) + " object(s) of " + owner + " still alive:";
    std::size_t shown = 0;
    for (const wdf::Object* object : live) {
        if (shown++ == 8) {
            message += " ...";
            break;
        }
        char entry[64];
        std::snprintf(entry, sizeof(entry), " %s %p", wdf::ObjectKindName(object->Kind()), object->Handle());
        message += entry;
    }
    GetVerifier().Report(VerifierRule::Leak, message);
}

} // namespace

Platform::Platform() : Platform(Options{}) {}

Platform::Platform(Options options) : dispatcher_(options.Shuffle), previous_(current) { current = this; }

Platform::~Platform()
{
    // The platform tears itself down as the current one, whichever was current.
    Platform* outer = current == this ? previous_ : current;
    current = this;
    while (!drivers_.empty()) {
        UnloadDriver(drivers_.back().get());
    }
    ReportLeaks(objects_.LiveObjects(nullptr), "the platform");
    current = outer;
}

Platform::Scope::Scope(Platform& platform) : previous_(current) { current = &platform; }

Platform::Scope::~Scope() { current = previous_; }

Platform& Platform::Current()
{
    if (current == nullptr) {
        std::fprintf(stderr, "platform: a kernel or framework call was made with no platform\n");
        std::abort();
    }
    return *current;
}

Platform* Platform::TryCurrent() { return current; }

LoadedDriver::LoadedDriver(std::u16string serviceName)
    : serviceName_(std::move(serviceName)),
      registryPath_(std::u16string(kServicesKey) + u"\\" + serviceName_),
      driverName_(u"\\Driver\\" + serviceName_)
{
    RtlInitUnicodeString(&driverObject_.DriverName, driverName_.c_str());
}

LoadedDriver* Platform::FindDriver(PDRIVER_OBJECT driverObject)
{
    for (auto& driver : drivers_) {
        if (driver->DriverObject() == driverObject) {
            return driver.get();
        }
    }
    return nullptr;
}

LoadedDriver* Platform::FindDriverByService(const std::u16string& serviceName)
{
    for (auto& driver : drivers_) {
        if (driver->ServiceName() == serviceName) {
            return driver.get();
        }
    }
    return nullptr;
}

LoadedDriver* Platform::LoadDriver(const std::u16string& serviceName, PDRIVER_INITIALIZE entry, NTSTATUS* status)
{
    drivers_.push_back(std::make_unique<LoadedDriver>(serviceName));
    LoadedDriver* driver = drivers_.back().get();
    registry_.OpenKey(driver->RegistryPath(), true);
    UNICODE_STRING registryPath;
    RtlInitUnicodeString(&registryPath, driver->RegistryPath().c_str());
    NTSTATUS result;
    {
        ExecutionScope scope;
        wdf::DriverScope running(nullptr);
        result = entry(driver->DriverObject(), &registryPath);
    }
    if (status != nullptr) {
        *status = result;
    }
    if (!NT_SUCCESS(result)) {
        // A failed entry leaves nothing behind: the framework driver and
        // everything under it go.
        UnloadDriver(driver);
        return nullptr;
    }
    return driver;
}

void Platform::UnloadDriver(LoadedDriver* driver)
{
    auto found = std::find_if(drivers_.begin(), drivers_.end(), [driver](const auto& entry) { return entry.get() == driver; });
    if (found == drivers_.end()) {
        return;
    }
    if (wdf::Object* framework = driver->FrameworkDriver()) {
        {
            ExecutionScope scope;
            wdf::CallDriverUnload(*framework);
        }
        if (driver->DriverObject()->DriverUnload != nullptr) {
            ExecutionScope scope;
            wdf::DriverScope running(framework);
            driver->DriverObject()->DriverUnload(driver->DriverObject());
        }
        const std::string owner = "driver " + Utf16ToUtf8(driver->ServiceName());
        if (!framework->IsDeleted()) {
            objects_.Delete(*framework);
        }
        ReportLeaks(objects_.LiveObjects(framework), owner);
    }
    drivers_.erase(found);
}

} // namespace platform

PCONFIGURATION_INFORMATION IoGetConfigurationInformation()
{
    return &platform::Platform::Current().ConfigurationInformation();
}
