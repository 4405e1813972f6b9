// "x9tr devices" and the main job: plug a handset, let the machine settle,
// and report the device tree (the parent's start, its instance number and
// keys, every child with its IDs, text, address, driver and the port its
// driver made) and what one read on the modem port brings, done the way an
// application does it: open by COM name, set read time-outs, read.
#pragma once

#include "platform/pnp/application.h"
#include "platform/pnp/pnp_manager.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace x9tr {

nlohmann::ordered_json DeviceTreeJson(platform::Platform& world, const platform::pnp::DeviceNode& parent);
std::string DeviceTreeText(platform::Platform& world, const platform::pnp::DeviceNode& parent);

// The read time-outs the main job sets on the modem port (milliseconds, as
// SERIAL_TIMEOUTS carries them) and the most it asks for in one read.
inline constexpr ULONG kModemReadIntervalMs = 50;
inline constexpr ULONG kModemReadTotalMs = 500;
inline constexpr std::size_t kModemReadLength = 256;

// One read on a modem port and how far it got.
struct ModemRead {
    std::u16string ComName;
    // The step that failed: none, the open, setting the time-outs, or the
    // read (it ended with an error, or had not ended after 10 s of virtual
    // time and was cancelled).
    enum class Step { None, Open, Timeouts, Read } FailedStep = Step::None;
    // Of the failed step, else of the read.
    NTSTATUS Status = STATUS_PENDING;
    std::vector<std::byte> Bytes;
    // Virtual time, in 100 ns ticks, when the read was sent and when it ended
    // (for a failed step, both when it ended).
    LONGLONG SentAt = 0;
    LONGLONG EndedAt = 0;
    // The application's handle, held until the report is made so that the
    // tree shows the port open; reset it to close the port.
    std::unique_ptr<platform::pnp::FileHandle> Handle;
};

// The parent's modem port: the first child with the modem port driver
// (X9TRmdm) and a COM name whose device started, else the first such child
// (its open then tells why it cannot be used), else null.
const platform::pnp::DeviceNode* ModemPortNode(const platform::pnp::DeviceNode& parent);

// Opens the parent's modem port by its COM name, sets the read time-outs
// above and reads once; none when the parent has no modem port.
std::optional<ModemRead> ReadModemPort(platform::Platform& world, const platform::pnp::DeviceNode& parent);

// The read as the report shows it; null or "no modem port" without one.
nlohmann::ordered_json ModemReadJson(const std::optional<ModemRead>& read);
std::string ModemReadText(const std::optional<ModemRead>& read);

} // namespace x9tr
