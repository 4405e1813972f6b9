// A test port on the default handset's modem child, opened by name as an
// application opens a COM port, and the byte helpers the serial tests use
// to build control-code buffers.
#pragma once

#include "base/serial/serial.h"
#include "handset/default_handset.h"
#include "platform/pnp/application.h"
#include "tests/serial/test_port.h"
#include "tests/support/bytes.h"
#include "tools/machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace x9tr::test {

// The machine, the handset and the port device; the port opened on demand.
class TestPortWorld {
public:
    TestPortWorld()
    {
        TestFunction() = {};
        MachineOptions options;
        options.ExtraImages = {TestPortImage()};
        options.ExtraManifests = {TestPortManifest()};
        machine_ = std::make_unique<Machine>(options);
        auto* parent = machine_->Plug(std::make_unique<handset::Handset>(handset::DefaultHandsetProfile()));
        machine_->Settle();
        if (!parent->Children.empty()) {
            node_ = parent->Children[0].get();
        }
    }

    WDFDEVICE Device() const { return node_ != nullptr ? node_->Fdo : nullptr; }
    x9trsertest::TEST_PORT_CONTEXT* Context() const { return x9trsertest::DeviceGetContext(Device()); }
    platform::Platform& World() { return machine_->World(); }
    platform::pnp::DeviceNode* Node() { return node_; }

    std::unique_ptr<platform::pnp::FileHandle> Open(NTSTATUS* status = nullptr)
    {
        return platform::pnp::FileHandle::Open(TestPortName, status);
    }
    // A handle on the port that never went through the port's create, as a
    // driver of the stack that sends requests without opening the port.
    std::unique_ptr<platform::pnp::FileHandle> Unopened()
    {
        PDEVICE_OBJECT device = WdfDeviceWdmGetDeviceObject(Device());
        while (device->AttachedDevice != nullptr) {
            device = device->AttachedDevice;
        }
        return std::make_unique<platform::pnp::FileHandle>(device, std::u16string(TestPortName));
    }

private:
    std::unique_ptr<Machine> machine_;
    platform::pnp::DeviceNode* node_ = nullptr;
};

// A test whose port is open from the start.
class OpenPortTest : public testing::Test {
protected:
    void SetUp() override
    {
        port = world.Open();
        ASSERT_NE(port, nullptr);
    }
    platform::pnp::IoResult Ioctl(ULONG code, const Bytes& input = {}, std::size_t output = 0)
    {
        return port->DeviceControl(code, input, output);
    }
    x9trsertest::TEST_PORT_CONTEXT* State() { return world.Context(); }

    TestPortWorld world;
    std::unique_ptr<platform::pnp::FileHandle> port;
};

} // namespace x9tr::test
