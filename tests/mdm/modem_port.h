// The modem port on a handset: the machine with the set's drivers, the
// handset, the port's node and context, and the application's handle on the
// port opened by its COM name. Handset profiles are JSON; the default
// handset's is the start, with changes for speed and packet sizes.
#pragma once

#include "base/mdm/src/mdm.h"
#include "handset/default_handset.h"
#include "handset/profile.h"
#include "platform/pnp/application.h"
#include "platform/wdf/device.h"
#include "tests/support/bytes.h"
#include "tools/machine.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace x9tr::test {

// The default handset's profile with some top-level or ACM function fields changed.
inline handset::Profile ModemProfile(const nlohmann::json& top = {}, const nlohmann::json& acm = {})
{
    nlohmann::json profile = nlohmann::json::parse(handset::DefaultHandsetJson());
    for (const auto& [key, value] : top.items()) {
        profile[key] = value;
    }
    for (const auto& [key, value] : acm.items()) {
        profile["functions"][0][key] = value;
    }
    return handset::ParseProfile(profile.dump(), "modem test handset");
}

class ModemPortWorld {
public:
    // Before runs on the machine's registry before the handset arrives.
    explicit ModemPortWorld(handset::Profile profile = handset::DefaultHandsetProfile(), MachineOptions options = {},
                            const std::function<void(platform::Registry&)>& before = {})
    {
        machine_ = std::make_unique<Machine>(options);
        if (before) {
            before(machine_->World().Registry());
        }
        Plug(std::move(profile));
    }

    void Plug(handset::Profile profile)
    {
        platform::Platform::Scope scope(machine_->World());
        parent_ = machine_->Plug(std::make_unique<handset::Handset>(std::move(profile)));
        handset_ = &machine_->HandsetAt(handsetCount_++);
        machine_->Settle();
        node_ = nullptr;
        for (auto& child : parent_->Children) {
            if (child->Service == u"X9TRmdm") {
                node_ = child.get();
            }
        }
    }

    Machine& TheMachine() { return *machine_; }
    platform::Platform& World() { return machine_->World(); }
    platform::VirtualDispatcher& Dispatcher() { return machine_->World().Dispatcher(); }
    platform::pnp::PnpManager& Pnp() { return machine_->Pnp(); }
    handset::Handset& Handset() { return *handset_; }
    platform::pnp::DeviceNode* Parent() { return parent_; }
    platform::pnp::DeviceNode* Node() { return node_; }
    WDFDEVICE Device() const { return node_ != nullptr ? node_->Fdo : nullptr; }
    x9trmdm::PMDM_DEVICE_CONTEXT Context() const { return x9trmdm::GetMdmDeviceContext(Device()); }
    std::u16string PortName() const { return node_ != nullptr ? node_->PortName : std::u16string(); }

    std::unique_ptr<platform::pnp::FileHandle> Open(NTSTATUS* status = nullptr)
    {
        return platform::pnp::FileHandle::Open(PortName(), status);
    }

    // The handset's endpoints behind the port's pipes.
    UCHAR EndpointOf(WDFUSBPIPE pipe) const
    {
        WDF_USB_PIPE_INFORMATION information;
        WDF_USB_PIPE_INFORMATION_INIT(&information);
        WdfUsbTargetPipeGetInformation(pipe, &information);
        return information.EndpointAddress;
    }
    UCHAR BulkIn() const { return EndpointOf(Context()->Usb.BulkInputPipe); }
    UCHAR BulkOut() const { return EndpointOf(Context()->Usb.BulkOutputPipe); }

    // The handset sends bytes on the modem's bulk IN pipe, in transfers of
    // TransferSize bytes (0: one transfer), and the machine runs what is due now.
    void Send(const Bytes& bytes, std::size_t transferSize = 0)
    {
        handset_->Feed(BulkIn(), bytes, transferSize);
        Dispatcher().AdvanceBy(0);
    }
    void Send(std::string_view text, std::size_t transferSize = 0) { Send(TextBytes(text), transferSize); }

private:
    std::unique_ptr<Machine> machine_;
    handset::Handset* handset_ = nullptr;
    std::size_t handsetCount_ = 0;
    platform::pnp::DeviceNode* parent_ = nullptr;
    platform::pnp::DeviceNode* node_ = nullptr;
};

// The default handset's modem child, as the bus driver names it.
inline constexpr char16_t kModemInstancePath[] = u"USB\\Vid_0abc&Pid_1d2e&Mi_00\\X9TR0001_00";

inline std::u16string ModemHardwareKey() { return platform::wdf::HardwareKeyPathFor(kModemInstancePath); }

// Milliseconds of virtual time, in the dispatcher's 100 ns ticks.
constexpr LONGLONG Ms(LONGLONG milliseconds) { return milliseconds * 10'000; }

// The port opened, with control codes as the application sends them.
class OpenModemPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(port.Device(), nullptr);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        handle = port.Open(&status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }

    platform::pnp::IoResult Ioctl(ULONG code, const Bytes& input = {}, std::size_t outSize = 0)
    {
        return handle->DeviceControl(code, input, outSize);
    }
    void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant)
    {
        SERIAL_TIMEOUTS timeouts{interval, multiplier, constant, 0, 0};
        ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(timeouts)).Status, STATUS_SUCCESS);
    }

    ModemPortWorld port;
    std::unique_ptr<platform::pnp::FileHandle> handle;
};

} // namespace x9tr::test
