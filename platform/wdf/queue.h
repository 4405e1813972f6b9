// Inside the platform: framework I/O queues and how they present requests.
#pragma once

#include "platform/wdf/device.h"
#include "platform/wdf/wdf_queue.h"

#include <deque>
#include <vector>

namespace platform::wdf {

class Request;

class Queue final : public Object {
public:
    Queue() : Object(ObjectKind::Queue) {}

    WDF_IO_QUEUE_CONFIG Config{};
    Device* Owner = nullptr;
    std::deque<Request*> Pending;
    std::size_t Presented = 0;
    // The requests the driver holds from this queue, and those it
    // acknowledged at a power-down without requeueing (resumed at power-up).
    std::vector<Request*> Held;
    std::vector<Request*> Suspended;
    bool PowerStopped = false;
    // Stop and purge callbacks waiting for the driver to hold no request.
    std::vector<std::pair<PFN_WDF_IO_QUEUE_STATE, WDFCONTEXT>> WhenIdle;
    void NotifyIfIdle();
    // Ends every request waiting in the queue with STATUS_CANCELLED.
    void CancelWaiting();
    bool Accepting = true;   // new requests are taken
    bool Dispatching = true; // taken requests are presented

    // Takes a request the framework received or a driver forwarded.
    void Enqueue(Request& request);
    // Presents what the dispatch type and the device's synchronisation allow.
    void DispatchPending();
    // A presented request left the driver (completed, forwarded, sent and forgotten).
    void Released(Request& request);
    void OnDelete() override;

    // Whether the queue stops at power-down (the default for a function
    // device's queues, never for a child's).
    bool PowerManaged() const;
    // Power-down or removal: stops presenting and tells the driver of every
    // request it holds (EvtIoStop with the suspend or purge action).
    void PowerStop(bool purge);
    // Power-up: presents again, resuming what was suspended.
    void PowerResume();

private:
    void Present(Request& request);
};

Queue* ResolveQueue(WDFQUEUE handle, const char* operation);

// The device's queue for requests of Type: the one configured for it, else the default queue.
Queue* QueueFor(Device& device, WDF_REQUEST_TYPE type);

} // namespace platform::wdf
