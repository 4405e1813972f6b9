// A small function driver for tests: bound to a child of the bus driver, it
// does what every function driver of the set does with its child. It creates
// a USB target, reads its device and configuration descriptors, selects a
// configuration of all its interfaces and takes their pipes; tests then move
// data through those pipes.
#pragma once

#include "platform/pnp/pnp_manager.h"
#include "platform/wdf.h"

#include <vector>

namespace x9tr::test {

struct FUNCTION_CONTEXT {
    WDFDEVICE Device;
    WDFUSBDEVICE UsbDevice;
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    UCHAR Configuration[1024];
    USHORT ConfigurationLength;
    NTSTATUS PrepareStatus;
    WDFUSBPIPE Pipes[8];
    ULONG PipeCount;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FUNCTION_CONTEXT, GetFunctionContext)

// The driver's image and a manifest binding it to these hardware IDs.
platform::pnp::DriverImage FunctionDriverImage();
platform::pnp::Manifest FunctionDriverManifest(std::vector<std::u16string> ids);

// The pipe of the function device with this endpoint address.
WDFUSBPIPE PipeFor(WDFDEVICE device, UCHAR endpointAddress);

// A transfer on a pipe, run to its end: the status, and the bytes moved.
struct TransferResult {
    NTSTATUS Status;
    std::vector<std::byte> Data; // read: what arrived; write: what was taken (its count)
    std::size_t Length;
};
// Starts the transfer and returns at once; Collect runs the dispatcher until it ends.
class PendingTransfer {
public:
    PendingTransfer(WDFUSBPIPE pipe, std::vector<std::byte> data, std::size_t readLength);
    ~PendingTransfer();
    PendingTransfer(const PendingTransfer&) = delete;
    PendingTransfer& operator=(const PendingTransfer&) = delete;
    bool Done() const { return done_; }
    TransferResult Collect();

private:
    static void Completion(WDFREQUEST request, WDFIOTARGET target, PWDF_REQUEST_COMPLETION_PARAMS params, PVOID context);

    std::vector<std::byte> buffer_;
    WDFREQUEST request_ = nullptr;
    WDFMEMORY memory_ = nullptr;
    bool read_;
    bool done_ = false;
    TransferResult result_{};
};

// Sends an internal control request down from the function device: the
// status and the request's information.
struct ControlResult {
    NTSTATUS Status;
    ULONG_PTR Information;
};
ControlResult SendInternalControl(WDFDEVICE device, ULONG code, PVOID argument1);
// Sends a request of another major function (read, write, ...) down from the function device.
ControlResult SendMajor(WDFDEVICE device, UCHAR majorFunction, std::size_t length);

} // namespace x9tr::test
