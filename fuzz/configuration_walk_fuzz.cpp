// Fuzzes the composite bus driver's start path with the input as the
// handset's configuration descriptor: descriptor reads, the device checks,
// configuration selection, the walk that cuts the configuration into
// functions, and the child devices it makes. Each input gets a machine of its
// own, so nothing carries over from one input to the next. Any verifier
// report, and a machine that does not settle, is a crash, as is anything the
// sanitizers see.
#include "handset/default_handset.h"
#include "handset/handset.h"
#include "platform/verifier/verifier.h"
#include "tools/machine.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

// Plugging the default handset settles in a handful of events; a plug that
// has not settled after this many is running away.
constexpr std::size_t kMaxEvents = 10'000;

// The default handset's device descriptor and strings, with a serial number
// reported by the hub port; only the configuration comes from the input.
const handset::Profile& BaseProfile()
{
    static const handset::Profile base = [] {
        handset::Profile defaults = handset::DefaultHandsetProfile();
        handset::Profile profile;
        profile.Origin = "fuzz input";
        profile.Device = defaults.Device;
        profile.Strings = defaults.Strings;
        profile.Speed = defaults.Speed;
        profile.UniqueId = true;
        return profile;
    }();
    return base;
}

void AbortOnReport(const platform::VerifierReport& report)
{
    std::fprintf(stderr, "verifier: %s: %s\n", platform::VerifierRuleName(report.Rule), report.Message.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    platform::GetVerifier().SetHandler(AbortOnReport);
    BaseProfile();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    handset::Profile profile = BaseProfile();
    const auto* bytes = reinterpret_cast<const std::byte*>(data);
    profile.Configuration.assign(bytes, bytes + size);

    x9tr::Machine machine;
    machine.Plug(std::make_unique<handset::Handset>(std::move(profile)));
    machine.Settle(kMaxEvents);
    if (machine.World().Dispatcher().Pending() != 0) {
        std::fprintf(stderr, "the machine did not settle within %zu events (%zu still queued)\n", kMaxEvents,
                     machine.World().Dispatcher().Pending());
        std::abort();
    }
    return 0;
}
