// x9tr: runs the driver set on a simulated machine with a simulated handset
// and reports what it sees. With no command it prints the summary of what
// the system does on the built-in default handset. --registry keeps the
// machine's registry in a JSON file between runs (--save writes it back), as
// a real machine keeps instance numbers and port names.
#include "handset/default_handset.h"
#include "handset/handset_file.h"
#include "handset/sysfs_descriptors.h"
#include "tools/devices.h"
#include "tools/machine.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>

namespace {

struct CommonOptions {
    std::string Registry;
    bool Save = false;
    std::string Profile;
    std::string Descriptors;
    bool Json = false;
};

handset::Profile ChosenHandset(const CommonOptions& options)
{
    if (!options.Descriptors.empty()) {
        return handset::LoadSysfsDescriptors(options.Descriptors);
    }
    if (!options.Profile.empty() && options.Profile != "default") {
        return handset::LoadHandsetFile(options.Profile);
    }
    return handset::DefaultHandsetProfile();
}

void SaveRegistry(x9tr::Machine& machine, const CommonOptions& options)
{
    if (options.Save) {
        machine.World().Registry().SaveJson(options.Registry);
    }
}

int Devices(const CommonOptions& options)
{
    handset::Profile profile = ChosenHandset(options);
    x9tr::MachineOptions machineOptions;
    machineOptions.RegistryFile = options.Registry;
    x9tr::Machine machine(machineOptions);
    platform::pnp::DeviceNode* node = machine.Plug(std::make_unique<handset::Handset>(std::move(profile)));
    machine.Settle();
    if (options.Json) {
        std::cout << x9tr::DeviceTreeJson(machine.World(), *node).dump(2) << "\n";
    } else {
        std::cout << x9tr::DeviceTreeText(machine.World(), *node);
    }
    SaveRegistry(machine, options);
    return 0;
}

int Summary(const CommonOptions& options)
{
    x9tr::MachineOptions machineOptions;
    machineOptions.RegistryFile = options.Registry;
    x9tr::Machine machine(machineOptions);
    const auto realStart = std::chrono::steady_clock::now();
    platform::pnp::DeviceNode* node =
        machine.Plug(std::make_unique<handset::Handset>(handset::DefaultHandsetProfile()));
    machine.Settle();
    const auto realMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - realStart).count();

    std::printf("X9TR: host-side drivers for a USB composite handset\n\n");
    std::printf("The default handset (VID 0x0abc, PID 0x1d2e) is plugged in; the composite bus driver\n"
                "splits its configuration into one child device per function:\n\n");
    std::cout << x9tr::DeviceTreeText(machine.World(), *node);
    std::printf("\nThe machine settled at %lld ms of virtual time (%lld ms real time).\n",
                static_cast<long long>(machine.World().Dispatcher().Now() / platform::kTicksPerMillisecond),
                static_cast<long long>(realMs));
    std::printf("\nBuilt so far: the platform (kernel basics, registry, dispatcher on a virtual clock,\n"
                "framework objects, requests, queues, I/O and USB targets, verifier, USB stack, Plug and Play\n"
                "manager, applications' handles), the simulated handset, instance numbers, and the bus\n"
                "driver's children with their request forwarding, so that a function driver on a child\n"
                "reaches its function, and the serial port core: settings, every serial control code,\n"
                "wait-on-mask and purge, tested behind a test port, with the receive buffer and write\n"
                "path that the COM ports will move data through. Still to come: the modem and diagnostic\n"
                "COM ports on the handset and the network adapter.\n");
    SaveRegistry(machine, options);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"x9tr: the X9TR driver set on a simulated machine and handset"};
    CommonOptions options;
    auto addRegistry = [&options](CLI::App* command) {
        auto* registry = command->add_option("--registry", options.Registry,
                                             "JSON file with the machine's registry (read when it exists)");
        command->add_flag("--save", options.Save, "write the registry back to the --registry file at the end")
            ->needs(registry);
    };
    addRegistry(&app);
    auto* summary = app.add_subcommand("summary", "what the system does on the default handset (the default)");
    addRegistry(summary);
    auto* devices = app.add_subcommand("devices", "plug a handset and print the device tree");
    addRegistry(devices);
    auto* profile = devices->add_option("--handset", options.Profile, "a handset profile (JSON), or \"default\"");
    devices->add_option("--descriptors", options.Descriptors, "raw descriptors in the sysfs layout")
        ->excludes(profile);
    devices->add_flag("--json", options.Json, "print the tree as one JSON document");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : 2;
    }
    try {
        return devices->parsed() ? Devices(options) : Summary(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "x9tr: %s\n", error.what());
        return 2;
    }
}
