// Configuration walks on the default handset:
//   - the full plug: a fresh machine, the default handset plugged in and the
//     dispatcher run until the bus driver has read the descriptors, selected
//     the configuration, cut it into functions and made the children; then
//     the machine torn down again. Items are handsets enumerated;
//   - the machine alone, made and torn down with nothing plugged in, so the
//     share of the plug that is the machine's fixed cost shows;
//   - two baselines on the same configuration bytes: a plain loop that steps
//     from descriptor to descriptor by bLength and sums the descriptor types,
//     and a memcpy of the bytes. Items are walks (or copies) of the whole
//     configuration.
//
// Bytes are the configuration descriptor's bytes, wTotalLength of them per
// item, so the plug's figure and the baselines' line up. The plug's figure divided by the
// baseline walk's from the same run is what to compare between runs and
// between revisions.
//
// The machine benchmarks fail (instead of printing a figure) when the
// verifier reported anything meanwhile, leaks at teardown included, or when a
// plug did not end with the parent started and all its functions as children.
#include "bench/memcpy_baseline.h"
#include "bench/verifier_watch.h"

#include "handset/default_handset.h"
#include "handset/handset.h"
#include "tools/machine.h"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using x9tr::bench::VerifierWatch;

// The default handset's functions: modem, diagnostic port, network adapter,
// vendor interface and storage.
constexpr std::size_t kDefaultFunctions = 5;

const handset::Profile& DefaultProfile()
{
    static const handset::Profile profile = handset::DefaultHandsetProfile();
    return profile;
}

std::string Hex32(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::int64_t ConfigurationBytes() { return static_cast<std::int64_t>(DefaultProfile().Configuration.size()); }

// ---- The full plug ---------------------------------------------------------

void BM_PlugDefaultHandset(benchmark::State& state)
{
    VerifierWatch watch(state);
    const handset::Profile& profile = DefaultProfile();

    for (auto _ : state) {
        x9tr::Machine machine;
        platform::pnp::DeviceNode* node = machine.Plug(std::make_unique<handset::Handset>(profile));
        machine.Settle();
        benchmark::DoNotOptimize(node);
        if (node == nullptr || !NT_SUCCESS(node->StartStatus) || node->Children.size() != kDefaultFunctions) {
            const std::string message =
                node == nullptr ? std::string("the default handset made no device node")
                                : "the default handset started with status " + Hex32(node->StartStatus) + " and " +
                                      std::to_string(node->Children.size()) + " of its " +
                                      std::to_string(kDefaultFunctions) + " functions as children";
            state.SkipWithError(message.c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * ConfigurationBytes());
}
BENCHMARK(BM_PlugDefaultHandset);

// The same machine with nothing plugged in: the manifests loaded, the Plug
// and Play manager made and torn down.
void BM_MachineWithoutHandset(benchmark::State& state)
{
    VerifierWatch watch(state);
    for (auto _ : state) {
        x9tr::Machine machine;
        benchmark::DoNotOptimize(machine.Settle());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MachineWithoutHandset);

// ---- Baselines on the same bytes ----------------------------------------------

// Steps through the descriptors by bLength, stopping at one that is shorter
// than its two header bytes or runs past the end, and sums their types.
std::uint32_t WalkDescriptors(const std::byte* bytes, std::size_t size)
{
    std::uint32_t sum = 0;
    std::size_t offset = 0;
    while (size - offset >= 2) {
        const auto length = static_cast<std::size_t>(bytes[offset]);
        if (length < 2 || length > size - offset) {
            break;
        }
        sum += static_cast<std::uint32_t>(bytes[offset + 1]);
        offset += length;
    }
    return sum;
}

void BM_Baseline_WalkDescriptors(benchmark::State& state)
{
    const std::vector<std::byte>& configuration = DefaultProfile().Configuration;
    if (WalkDescriptors(configuration.data(), configuration.size()) == 0) {
        state.SkipWithError("the default handset's configuration has no descriptors to walk");
        return;
    }
    for (auto _ : state) {
        const std::byte* bytes = configuration.data();
        benchmark::DoNotOptimize(bytes);
        benchmark::DoNotOptimize(WalkDescriptors(bytes, configuration.size()));
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * ConfigurationBytes());
}
BENCHMARK(BM_Baseline_WalkDescriptors);

void BM_Baseline_CopyConfiguration(benchmark::State& state)
{
    const std::vector<std::byte>& configuration = DefaultProfile().Configuration;
    std::vector<std::byte> copy(configuration.size());
    for (auto _ : state) {
        x9tr::bench::CopyOnce(configuration, copy);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * ConfigurationBytes());
}
BENCHMARK(BM_Baseline_CopyConfiguration);

} // namespace
