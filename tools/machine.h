// A machine with the X9TR drivers installed: the platform, the Plug and Play
// manager with the installation manifests and every driver of the set, and
// the handsets plugged into it. The x9tr program and the tests build their
// world from it.
#pragma once

#include "handset/handset.h"
#include "platform/platform.h"
#include "platform/pnp/pnp_manager.h"

#include <memory>
#include <string>
#include <vector>

namespace x9tr {

struct MachineOptions {
    // A JSON registry loaded before anything arrives (none when empty).
    std::string RegistryFile;
    std::uint64_t Shuffle = 0;
    std::string InstallDirectory = X9TR_INSTALL_DIR;
    // Drivers and manifests beyond the set's own (for test drivers).
    std::vector<platform::pnp::Manifest> ExtraManifests;
    std::vector<platform::pnp::DriverImage> ExtraImages;
};

// The drivers of the set, by service name.
std::vector<platform::pnp::DriverImage> DriverImages();

class Machine {
public:
    explicit Machine(const MachineOptions& options = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    platform::Platform& World() { return *world_; }
    platform::pnp::PnpManager& Pnp() { return *pnp_; }

    // Plugs a handset into a new port; the machine keeps it until the end.
    platform::pnp::DeviceNode* Plug(std::unique_ptr<handset::Handset> device);
    handset::Handset& HandsetAt(std::size_t index) { return *handsets_.at(index); }
    // Runs the dispatcher until nothing is queued (at most MaxEvents events).
    std::size_t Settle(std::size_t maxEvents = 1'000'000);

private:
    std::unique_ptr<platform::Platform> world_;
    std::vector<std::unique_ptr<handset::Handset>> handsets_;
    std::unique_ptr<platform::pnp::PnpManager> pnp_;
};

} // namespace x9tr
