// "x9tr devices": plug a handset, let the machine settle, and report the
// device tree: the parent's start, its instance number and keys, and every
// child with its IDs, text, address and driver.
#pragma once

#include "platform/pnp/pnp_manager.h"

#include <nlohmann/json.hpp>

#include <string>

namespace x9tr {

nlohmann::ordered_json DeviceTreeJson(platform::Platform& world, const platform::pnp::DeviceNode& parent);
std::string DeviceTreeText(platform::Platform& world, const platform::pnp::DeviceNode& parent);

} // namespace x9tr
