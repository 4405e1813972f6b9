// Inside the platform: the framework request object. A request is either
// one the framework made for an IRP that reached a device (it lives until
// it is completed) or one a driver made with its own IRP (it lives until the
// driver deletes it). Its state says who owns it.
#pragma once

#include "platform/dispatch/dispatcher.h"
#include "platform/kernel/irp.h"
#include "platform/wdf/object.h"
#include "platform/wdf/wdf_request.h"
#include "platform/wdf/wdf_usb.h"

#include <memory>

#include <optional>

namespace platform::wdf {

class Device;
class IoTarget;
class Queue;

class Request final : public Object {
public:
    Request() : Object(ObjectKind::Request) {}

    enum class State {
        Idle,      // a driver's own request, not sent
        Queued,    // waiting in a queue
        Presented, // the driver owns it
        Sent,      // at an I/O target
        Completed,
    };

    PIRP Irp = nullptr;
    bool FreesIrp = false;
    bool Incoming = false; // made for an IRP that reached a device
    State RequestState = State::Idle;
    Device* Owner = nullptr;
    Queue* CurrentQueue = nullptr;
    NTSTATUS Status = STATUS_SUCCESS;
    bool Formatted = false;
    bool Done = false;

    PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine = nullptr;
    PVOID CompletionContext = nullptr;
    IoTarget* SentTo = nullptr;
    WDF_REQUEST_COMPLETION_PARAMS CompletionParams{};
    std::optional<Dispatcher::EventId> TimeoutEvent;

    PFN_WDF_REQUEST_CANCEL CancelRoutine = nullptr;
    // The file object a create request opens.
    Object* CreatingFile = nullptr;

    // A USB request's URB, kept with the request, and what its completion reports.
    std::unique_ptr<std::max_align_t[]> UrbStorage;
    WDF_USB_REQUEST_COMPLETION_PARAMS UsbCompletion{};

    WDFREQUEST AsHandle() const { return static_cast<WDFREQUEST>(Handle()); }
    void OnDelete() override;
    void OnDestroy() override;
};

Request* ResolveRequest(WDFREQUEST handle, const char* operation);

// A framework request for an IRP that reached Device; it goes to the
// device's queue for its type, or is completed at once when none takes it.
void ReceiveIrp(Device& device, PIRP irp);

// Takes an incoming request's IRP from it: the request leaves its queue and
// is deleted; the IRP is the caller's to send on or complete.
PIRP DetachIncoming(Request& request);

// Ends an incoming request: its IRP completes and the request is deleted.
void FinishIncoming(Request& request, NTSTATUS status, ULONG_PTR information);
// Create, cleanup and close of a handle on a device with file objects.
void HandleFileRequest(Device& device, PIRP irp);
// The create request of a file object ended: a failure takes the file object away.
void FileCreateFinished(Request& request, NTSTATUS status);

} // namespace platform::wdf
