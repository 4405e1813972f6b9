// Receive throughput of the modem port: the default handset sends on the
// ACM data interface's bulk IN endpoint, and an application that has the
// port open by its COM name takes the bytes in 64 KiB reads. Bytes are the
// bytes the application received. Beside it, a memcpy of the same 64 KiB
// from one buffer to another, as the baseline. The modem benchmark also
// makes as many such copies right after its reads and reports its figure
// divided by theirs (both in this thread's CPU time) as the counter
// "vs_memcpy": that ratio, from one run, is what to compare between runs
// and between revisions.
//
// Each iteration the handset sends 64 KiB as device transfers of the port's
// read size (6656 bytes at high speed), the last one ended by a zero-length
// packet when it is a whole number of packets, as a device does when the
// host's transfer is longer; then the application reads 64 KiB with all read
// time-outs zero, so the read ends when it is full.
//
// The benchmark fails (instead of printing a figure) when a read ends
// otherwise than full, when the first read (untimed) or the last brings other
// bytes than were sent, or when the verifier reported anything meanwhile,
// leaks at teardown included.
#include "bench/memcpy_baseline.h"
#include "bench/verifier_watch.h"

#include "base/mdm/src/mdm.h"
#include "handset/default_handset.h"
#include "platform/pnp/application.h"
#include "tools/machine.h"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

namespace {

using x9tr::bench::VerifierWatch;

constexpr std::size_t kReadBytes = 64 * 1024;

// Bytes that are not all alike, so that a byte lost or repeated shows.
std::vector<std::byte> Payload()
{
    std::vector<std::byte> bytes(kReadBytes);
    std::uint32_t value = 0x9E3779B9u;
    for (auto& byte : bytes) {
        value = value * 1664525u + 1013904223u;
        byte = static_cast<std::byte>(value >> 24);
    }
    return bytes;
}

// The CPU time of this thread, in seconds: like the library's own figures,
// the ratio is not moved by other work on a busy machine.
double ThreadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Copies Bytes into Copy Rounds times; returns the bytes per second of CPU time.
double MemcpyBytesPerSecond(const std::vector<std::byte>& bytes, std::vector<std::byte>& copy, std::int64_t rounds)
{
    const double start = ThreadSeconds();
    for (std::int64_t i = 0; i < rounds; ++i) {
        x9tr::bench::CopyOnce(bytes, copy);
    }
    const double elapsed = ThreadSeconds() - start;
    return elapsed > 0 ? static_cast<double>(rounds) * static_cast<double>(bytes.size()) / elapsed : 0;
}

// The machine with the default handset plugged in and settled, and the
// modem port opened by its COM name.
struct Rig {
    Rig()
    {
        machine = std::make_unique<x9tr::Machine>();
        platform::pnp::DeviceNode* parent =
            machine->Plug(std::make_unique<handset::Handset>(handset::DefaultHandsetProfile()));
        device = &machine->HandsetAt(0);
        machine->Settle();
        if (parent == nullptr) {
            return;
        }
        for (auto& child : parent->Children) {
            if (child->Service == u"X9TRmdm") {
                node = child.get();
            }
        }
        if (node == nullptr || node->Fdo == nullptr) {
            return;
        }
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        handle = platform::pnp::FileHandle::Open(node->PortName, &status);
        if (!NT_SUCCESS(status)) {
            handle.reset();
        }
    }
    ~Rig()
    {
        // The application closes the port before the machine goes.
        handle.reset();
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    std::unique_ptr<x9tr::Machine> machine;
    handset::Handset* device = nullptr;
    platform::pnp::DeviceNode* node = nullptr;
    std::unique_ptr<platform::pnp::FileHandle> handle;
};

template <class T>
std::vector<std::byte> BytesOf(const T& value)
{
    std::vector<std::byte> bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

void BM_ModemPortRead64KiB(benchmark::State& state)
{
    VerifierWatch watch(state);
    const std::vector<std::byte> bytes = Payload();
    std::vector<std::byte> copy(bytes.size());
    double seconds = 0;
    {
        Rig rig;
        if (rig.handle == nullptr) {
            state.SkipWithError("the modem port of the default handset did not open");
            return;
        }
        const x9trmdm::PMDM_DEVICE_CONTEXT context = x9trmdm::GetMdmDeviceContext(rig.node->Fdo);
        WDF_USB_PIPE_INFORMATION information;
        WDF_USB_PIPE_INFORMATION_INIT(&information);
        WdfUsbTargetPipeGetInformation(context->Usb.BulkInputPipe, &information);
        const UCHAR endpoint = information.EndpointAddress;
        const std::size_t packet = information.MaximumPacketSize;
        const std::size_t transferSize = context->Usb.ReadSize;
        if (packet == 0 || transferSize == 0) {
            state.SkipWithError("the modem port has no bulk IN packet size or read size");
            return;
        }
        // The last device transfer ends the host's transfer by itself only
        // when it is short of a whole number of packets.
        const std::size_t last = kReadBytes % transferSize != 0 ? kReadBytes % transferSize : transferSize;
        const bool endWithZeroLengthPacket = last % packet == 0;

        // All zero: a read waits until it is full.
        const SERIAL_TIMEOUTS timeouts{0, 0, 0, 0, 0};
        if (!NT_SUCCESS(rig.handle->DeviceControl(IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(timeouts), 0).Status)) {
            state.SkipWithError("IOCTL_SERIAL_SET_TIMEOUTS failed");
            return;
        }

        // The handset sends 64 KiB in device transfers of the read size; the
        // application's one read of 64 KiB ends when it has all of them.
        auto readOnce = [&] {
            rig.device->Feed(endpoint, bytes, transferSize);
            if (endWithZeroLengthPacket) {
                rig.device->Feed(endpoint, {}, 0);
            }
            return rig.handle->Read(kReadBytes);
        };
        auto full = [&](const platform::pnp::IoResult& result) {
            return result.Status == STATUS_SUCCESS && result.Information == kReadBytes &&
                   result.Data.size() == kReadBytes;
        };
        auto same = [&](const platform::pnp::IoResult& result) {
            return std::memcmp(result.Data.data(), bytes.data(), kReadBytes) == 0;
        };
        // Untimed, a first read brings exactly the bytes sent; in the loop
        // each read is checked for its status and count, and the last one
        // for its bytes again.
        platform::pnp::IoResult result = readOnce();
        if (!full(result) || !same(result)) {
            state.SkipWithError("a 64 KiB read did not end full with the bytes the handset sent");
            return;
        }
        const double start = ThreadSeconds();
        for (auto _ : state) {
            result = readOnce();
            if (!full(result)) {
                break;
            }
        }
        seconds = ThreadSeconds() - start;
        if (!full(result) || !same(result)) {
            state.SkipWithError("a 64 KiB read did not end full with the bytes the handset sent");
            return;
        }
    }
    const auto total = state.iterations() * static_cast<std::int64_t>(kReadBytes);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(total);
    // The baseline in the same run: as many copies of the same bytes as there were reads.
    const double memcpyRate = MemcpyBytesPerSecond(bytes, copy, state.iterations());
    if (seconds > 0 && memcpyRate > 0) {
        state.counters["memcpy_bytes_per_second"] =
            benchmark::Counter(memcpyRate, benchmark::Counter::kDefaults, benchmark::Counter::OneK::kIs1024);
        state.counters["vs_memcpy"] = benchmark::Counter(static_cast<double>(total) / seconds / memcpyRate);
    }
}
BENCHMARK(BM_ModemPortRead64KiB)->Unit(benchmark::kMicrosecond);

void BM_Baseline_ModemPortReadMemcpy64KiB(benchmark::State& state)
{
    const std::vector<std::byte> bytes = Payload();
    std::vector<std::byte> copy(bytes.size());
    for (auto _ : state) {
        x9tr::bench::CopyOnce(bytes, copy);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kReadBytes));
}
BENCHMARK(BM_Baseline_ModemPortReadMemcpy64KiB)->Unit(benchmark::kMicrosecond);

} // namespace
