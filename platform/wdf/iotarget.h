// Inside the platform: I/O targets and the synchronous IRP send that the
// framework's own queries (capabilities, interfaces, URBs) are built on.
#pragma once

#include "platform/dispatch/dispatcher.h"
#include "platform/kernel/irp.h"
#include "platform/wdf/object.h"
#include "platform/wdf/wdf_request.h"

#include <optional>
#include <vector>

namespace platform::wdf {

class Request;

class IoTarget : public Object {
public:
    enum class State { Started, Stopped, Purged, Closed };

    IoTarget() : Object(ObjectKind::IoTarget) {}
    PDEVICE_OBJECT Target = nullptr;
    State TargetState = State::Started;
    // Requests sent here and not yet back.
    std::vector<Request*> Sent;
    // What a kind of target does when it is started or stopped (a pipe runs
    // its continuous reader).
    virtual NTSTATUS OnStart() { return STATUS_SUCCESS; }
    virtual void OnStop() {}
    // Whether a send with these flags may go now.
    bool Accepts(ULONG sendFlags) const
    {
        return TargetState == State::Started ||
               (TargetState == State::Stopped && (sendFlags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE) != 0);
    }
};

IoTarget* ResolveIoTarget(WDFIOTARGET handle, const char* operation);

// The relative time-out that send options ask for, if any.
std::optional<Ticks> SendTimeout(const WDF_REQUEST_SEND_OPTIONS* options);

// Sends an IRP whose next location the caller has filled to Device and
// waits for its completion, cancelling it when Timeout (relative, 100 ns)
// passes first. Returns the IRP's final status; the caller still owns it.
NTSTATUS SendIrpSynchronously(PDEVICE_OBJECT device, PIRP irp, std::optional<Ticks> timeout);

} // namespace platform::wdf
