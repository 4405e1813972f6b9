// x9tr: runs the driver set on a simulated machine with a simulated handset
// and reports what it sees: the device tree, and what an application reads
// from the modem port. With no command it prints the summary of what the
// system does on the built-in default handset, whose modem greets when its
// port is opened. --registry keeps the machine's registry in a JSON file
// between runs (--save writes it back), as a real machine keeps instance
// numbers and port names.
#include "handset/default_handset.h"
#include "handset/handset_file.h"
#include "handset/sysfs_descriptors.h"
#include "tools/devices.h"
#include "tools/machine.h"
#include "tools/scenario.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
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
    return handset::DefaultHandsetWithGreeting();
}

// The application closes the modem port (its close writes the port's
// counters to the registry), and the machine runs what the close started.
void CloseModemPort(x9tr::Machine& machine, std::optional<x9tr::ModemRead>& read)
{
    if (read) {
        read->Handle.reset();
        machine.Settle();
    }
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
    // The tree is taken while the read's handle is still open, so it shows the port open.
    std::optional<x9tr::ModemRead> read = x9tr::ReadModemPort(machine.World(), *node);
    if (options.Json) {
        auto document = x9tr::DeviceTreeJson(machine.World(), *node);
        document["modemRead"] = x9tr::ModemReadJson(read);
        std::cout << document.dump(2) << "\n";
    } else {
        std::cout << x9tr::DeviceTreeText(machine.World(), *node) << x9tr::ModemReadText(read);
    }
    CloseModemPort(machine, read);
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
        machine.Plug(std::make_unique<handset::Handset>(handset::DefaultHandsetWithGreeting()));
    machine.Settle();
    const auto settledMs = machine.World().Dispatcher().Now() / platform::kTicksPerMillisecond;
    std::optional<x9tr::ModemRead> read = x9tr::ReadModemPort(machine.World(), *node);
    const auto realMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - realStart).count();

    std::printf("X9TR: host-side drivers for a USB composite handset\n\n");
    std::printf("The default handset (VID 0x0abc, PID 0x1d2e) is plugged in; the composite bus driver\n"
                "splits its configuration into one child device per function:\n\n");
    std::cout << x9tr::DeviceTreeText(machine.World(), *node);
    std::printf("\nThe machine settled at %lld ms of virtual time. An application then opens the modem port\n"
                "by its COM name, sets read time-outs and reads what the handset's modem sends:\n\n",
                static_cast<long long>(settledMs));
    std::cout << x9tr::ModemReadText(read);
    std::printf("\nAll of it took %lld ms of real time.\n", static_cast<long long>(realMs));
    CloseModemPort(machine, read);
    std::printf("\nBuilt so far: the platform (kernel basics, registry, dispatcher on a virtual clock,\n"
                "framework objects, requests, queues, I/O and USB targets, verifier, USB stack, Plug and Play\n"
                "manager, applications' handles), the simulated handset, instance numbers, the bus driver's\n"
                "children with their request forwarding, the serial port core (settings, every serial\n"
                "control code, wait-on-mask, purge, the receive buffer and write path) and, on it, the\n"
                "modem port: its names, opening and closing, and reads of what the handset sends; and\n"
                "scenarios (x9tr scenario FILE) that drive the handset and an application step by step.\n"
                "Still to come: the modem's line settings and notifications to and from the handset, the\n"
                "diagnostic COM port and the network adapter.\n");
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
    auto* devices = app.add_subcommand("devices", "plug a handset, print the device tree and read the modem port");
    addRegistry(devices);
    auto* profile = devices->add_option("--handset", options.Profile, "a handset profile (JSON), or \"default\"");
    devices->add_option("--descriptors", options.Descriptors, "raw descriptors in the sysfs layout")
        ->excludes(profile);
    devices->add_flag("--json", options.Json, "print the tree as one JSON document");
    auto* scenario = app.add_subcommand("scenario", "run a scenario file: a handset and an application step by step");
    std::string scenarioFile;
    x9tr::ScenarioOptions scenarioOptions;
    scenario->add_option("FILE", scenarioFile, "the scenario (JSON)")->required();
    scenario->add_flag("--json", scenarioOptions.Json, "print the transcript as one JSON document");
    scenario->add_flag("--wire", scenarioOptions.Wire, "show the handset's traffic in the transcript");
    scenario->add_option("--shuffle", scenarioOptions.Shuffle,
                         "nonzero: events due at the same moment run in an order drawn from this value");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : 2;
    }
    try {
        if (scenario->parsed()) {
            return x9tr::RunScenario(scenarioFile, scenarioOptions, std::cout, std::cerr);
        }
        return devices->parsed() ? Devices(options) : Summary(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "x9tr: %s\n", error.what());
        return 2;
    }
}
