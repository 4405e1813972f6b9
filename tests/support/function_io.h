// Data and control requests through the test function driver, run to their
// end on the dispatcher, for tests.
#pragma once

#include "tools/function_driver.h"

#include <vector>

namespace x9tr::test {

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
