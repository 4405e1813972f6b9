// x9tr: runs the driver set on the simulated machine and reports what it
// sees. With no command it prints the summary of what the system can do on
// the built-in default handset. --registry keeps the machine's registry in a
// JSON file between runs (--save writes it back), as a real machine keeps
// instance numbers and port names.
#include "base/bus/instance_number.h"
#include "platform/platform.h"
#include "platform/wdf.h"
#include "platform/wdf/device.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>

namespace {

// The default handset's device instance as the USB hub reports it.
constexpr char16_t kDefaultHandsetInstance[] = u"USB\\VID_0ABC&PID_1D2E\\X9TR0001";

struct DriverRow {
    const char16_t* Service;
    const char* Role;
};
constexpr DriverRow kFrameworkDrivers[] = {
    {u"X9TRbus", "composite bus driver"},
    {u"X9TRmdm", "modem port driver"},
    {u"X9TRmdlm", "diagnostic port driver"},
};

NTSTATUS HostDriverEntry(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, nullptr);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}

int Summary(const std::string& registryFile, bool save)
{
    platform::Platform world;
    if (!registryFile.empty() && std::filesystem::exists(registryFile)) {
        world.Registry().LoadJson(registryFile);
    }

    std::printf("X9TR: host-side drivers for a USB composite handset\n\n");
    std::printf("Default handset: VID 0x0abc PID 0x1d2e, device instance %s\n\n",
                platform::Utf16ToUtf8(kDefaultHandsetInstance).c_str());

    std::printf("Instance numbers of the handset's device instance, one counter per driver:\n");
    for (const DriverRow& row : kFrameworkDrivers) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        platform::LoadedDriver* loaded = world.LoadDriver(row.Service, HostDriverEntry, &status);
        if (loaded == nullptr) {
            std::printf("  %-9s %-24s cannot load: %s\n", platform::Utf16ToUtf8(row.Service).c_str(), row.Role,
                        NtStatusName(status).c_str());
            continue;
        }
        auto driver = static_cast<WDFDRIVER>(loaded->FrameworkDriver()->Handle());
        // Each driver sees the instance under its own enumerator key.
        std::u16string instance = kDefaultHandsetInstance;
        if (row.Service != kFrameworkDrivers[0].Service) {
            instance = std::u16string(u"X9TR\\") + row.Service + u"\\0000";
        }
        auto init = platform::wdf::MakeDeviceInit(driver, instance, platform::wdf::SoftwareKeyPathFor(u"{x9tr}", 0));
        ULONG number = 0;
        {
            platform::wdf::DriverScope running(loaded->FrameworkDriver());
            status = x9trbus::GetInstanceNumber(init.get(), driver, &number);
        }
        if (NT_SUCCESS(status)) {
            std::printf("  %-9s %-24s %-34s InstanceNumber %lu\n", platform::Utf16ToUtf8(row.Service).c_str(),
                        row.Role, platform::Utf16ToUtf8(instance).c_str(), static_cast<unsigned long>(number));
        } else {
            std::printf("  %-9s %-24s %s\n", platform::Utf16ToUtf8(row.Service).c_str(), row.Role,
                        NtStatusName(status).c_str());
        }
        world.UnloadDriver(loaded);
    }

    // The virtual clock: a 2-second wait costs no real time.
    const auto realStart = std::chrono::steady_clock::now();
    auto& dispatcher = world.Dispatcher();
    bool fired = false;
    dispatcher.PostAfter(2 * platform::kTicksPerSecond, [&] { fired = true; }, "two-second time-out");
    dispatcher.WaitUntil([&] { return fired; }, std::nullopt);
    const auto realMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - realStart).count();
    std::printf("\nVirtual clock: a 2-second time-out fired at %lld ms virtual time, %lld ms real time\n",
                static_cast<long long>(dispatcher.Now() / platform::kTicksPerMillisecond),
                static_cast<long long>(realMs));

    std::printf("\nBuilt so far: the platform core (kernel basics, registry, dispatcher on a virtual clock,\n"
                "framework objects, verifier) and instance numbers. Still to come: the handset, the bus\n"
                "driver's children, the modem and diagnostic COM ports and the network adapter.\n");

    if (save) {
        if (registryFile.empty()) {
            throw std::runtime_error("--save: no --registry file to save to");
        }
        world.Registry().SaveJson(registryFile);
        std::printf("\nRegistry saved to %s\n", registryFile.c_str());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"x9tr: the X9TR driver set on a simulated machine and handset"};
    std::string registryFile;
    bool save = false;
    app.add_option("--registry", registryFile, "JSON file with the machine's registry (read when it exists)");
    app.add_flag("--save", save, "write the registry back to the --registry file at the end");
    auto* summary = app.add_subcommand("summary", "what the system can do so far (the default)");
    (void)summary;
    CLI11_PARSE(app, argc, argv);
    try {
        return Summary(registryFile, save);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "x9tr: %s\n", error.what());
        return 2;
    }
}
