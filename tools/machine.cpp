// The machine: platform, Plug and Play manager, drivers and handsets, torn
// down in the order a real machine would: devices removed, handsets gone,
// drivers unloaded.
#include "tools/machine.h"

#include "base/bus/bus_driver.h"
#include "base/mdm/src/mdm_entry.h"

#include <filesystem>

namespace x9tr {

std::vector<platform::pnp::DriverImage> DriverImages()
{
    return {
        {u"X9TRbus", x9trbus::DriverEntry},
        {u"X9TRmdm", x9trmdm::DriverEntry},
    };
}

Machine::Machine(const MachineOptions& options)
    : world_(std::make_unique<platform::Platform>(platform::Platform::Options{options.Shuffle}))
{
    if (!options.RegistryFile.empty() && std::filesystem::exists(options.RegistryFile)) {
        world_->Registry().LoadJson(options.RegistryFile);
    }
    // A test's own drivers come before the installed ones for the IDs they list.
    auto manifests = options.ExtraManifests;
    const auto installed = platform::pnp::LoadManifests(options.InstallDirectory);
    manifests.insert(manifests.end(), installed.begin(), installed.end());
    auto images = DriverImages();
    images.insert(images.end(), options.ExtraImages.begin(), options.ExtraImages.end());
    pnp_ = std::make_unique<platform::pnp::PnpManager>(*world_, std::move(manifests), std::move(images));
}

Machine::~Machine()
{
    platform::Platform::Scope scope(*world_);
    pnp_.reset();
    world_->Dispatcher().RunUntilIdle();
    handsets_.clear();
    world_->Dispatcher().RunUntilIdle();
}

platform::pnp::DeviceNode* Machine::Plug(std::unique_ptr<handset::Handset> device)
{
    handsets_.push_back(std::move(device));
    return pnp_->Plug(*handsets_.back());
}

std::size_t Machine::Settle(std::size_t maxEvents) { return world_->Dispatcher().RunUntilIdle(maxEvents); }

} // namespace x9tr
