// A serial port driver for the core's tests: the serial core with a test
// function behind it, bound to the default handset's modem child. Its
// forwarded codes run start routines that record what came up on
// DeviceControl2IoQueue and answer as a device would.
#pragma once

#include "platform/pnp/pnp_manager.h"
#include "platform/wdf.h"

#include <string>
#include <vector>

namespace x9tr::test {

inline constexpr char16_t TestPortName[] = u"\\Device\\X9TRtestser0";

struct ForwardedRequest {
    ULONG IoControlCode;
    std::string StartRoutine;
};

struct TestPortFunction {
    // Each request that came up on DeviceControl2IoQueue, in order.
    std::vector<ForwardedRequest> Forwarded;
    // What the next forwarded requests complete with.
    NTSTATUS DeviceStatus = STATUS_SUCCESS;
    // Forwarded requests are held (not completed) while set.
    bool HoldForwarded = false;
    std::vector<WDFREQUEST> Held;
    ULONG ModemStatus = 0x30;
};
TestPortFunction& TestFunction();

platform::pnp::DriverImage TestPortImage();
platform::pnp::Manifest TestPortManifest();

} // namespace x9tr::test
