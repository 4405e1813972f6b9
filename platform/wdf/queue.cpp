// Framework I/O queues: dispatch types, presentation of requests to the
// driver's callbacks under the device's synchronisation, stop, start, purge
// and drain, and the device's routing of request types to queues.
#include "platform/wdf/queue.h"

#include "platform/platform.h"
#include "platform/wdf/request.h"

#include <algorithm>
#include <functional>
#include <memory>

namespace platform::wdf {

Queue* ResolveQueue(WDFQUEUE handle, const char* operation)
{
    return Platform::Current().Objects().ResolveAs<Queue>(handle, ObjectKind::Queue, operation);
}

Queue* QueueFor(Device& device, WDF_REQUEST_TYPE type)
{
    for (const auto& [routed, queue] : device.DispatchQueues) {
        if (routed == type) {
            return static_cast<Queue*>(queue);
        }
    }
    return static_cast<Queue*>(device.DefaultQueue);
}

bool Device::SerializesCallbacks(const Object& object) const
{
    return object.SynchronizationScope() == WdfSynchronizationScopeDevice;
}

bool Device::EnterCallback()
{
    if (CallbackBusy) {
        return false;
    }
    CallbackBusy = true;
    return true;
}

void DispatchQueue(Object& queue) { static_cast<Queue&>(queue).DispatchPending(); }

void Queue::Enqueue(Request& request)
{
    request.CurrentQueue = this;
    request.RequestState = Request::State::Queued;
    if (!Accepting) {
        FinishIncoming(request, STATUS_INVALID_DEVICE_STATE, 0);
        return;
    }
    // Zero-length reads and writes end here unless the queue takes them.
    if (!Config.AllowZeroLengthRequests) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(request.Irp);
        const bool read = stack->MajorFunction == IRP_MJ_READ && stack->Parameters.Read.Length == 0;
        const bool write = stack->MajorFunction == IRP_MJ_WRITE && stack->Parameters.Write.Length == 0;
        if (read || write) {
            FinishIncoming(request, STATUS_SUCCESS, 0);
            return;
        }
    }
    Pending.push_back(&request);
    DispatchPending();
}

void Queue::DispatchPending()
{
    if (IsDeleted()) {
        return;
    }
    const bool serialize = Owner->SerializesCallbacks(*this);
    while (Dispatching && !Pending.empty()) {
        if (Config.DispatchType == WdfIoQueueDispatchManual) {
            return;
        }
        if (Config.DispatchType == WdfIoQueueDispatchSequential && Presented != 0) {
            return;
        }
        if (Config.DispatchType == WdfIoQueueDispatchParallel &&
            Presented >= Config.Settings.Parallel.NumberOfPresentedRequests) {
            return;
        }
        if (serialize && !Owner->EnterCallback()) {
            return; // presented when the callback holding the device lets go
        }
        Request* request = Pending.front();
        Pending.pop_front();
        Present(*request);
        if (serialize) {
            Owner->CallbackBusy = false;
        }
    }
    if (serialize && !Owner->CallbackBusy) {
        // Other queues of the device may have waited for the lock.
        for (Object* other : Owner->Queues) {
            auto* queue = static_cast<Queue*>(other);
            if (queue != this && !queue->Pending.empty() && queue->Dispatching) {
                queue->DispatchPending();
            }
        }
    }
}

void Queue::Present(Request& request)
{
    request.RequestState = Request::State::Presented;
    request.CurrentQueue = this;
    ++Presented;
    Held.push_back(&request);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(request.Irp);
    const auto queue = static_cast<WDFQUEUE>(Handle());
    const WDFREQUEST handle = request.AsHandle();
    const auto& c = Config;
    InvokeDriverCallback(*this, [&] {
        switch (stack->MajorFunction) {
        case IRP_MJ_READ:
            if (c.EvtIoRead != nullptr) {
                return c.EvtIoRead(queue, handle, stack->Parameters.Read.Length);
            }
            break;
        case IRP_MJ_WRITE:
            if (c.EvtIoWrite != nullptr) {
                return c.EvtIoWrite(queue, handle, stack->Parameters.Write.Length);
            }
            break;
        case IRP_MJ_DEVICE_CONTROL:
            if (c.EvtIoDeviceControl != nullptr) {
                return c.EvtIoDeviceControl(queue, handle, stack->Parameters.DeviceIoControl.OutputBufferLength,
                                            stack->Parameters.DeviceIoControl.InputBufferLength,
                                            stack->Parameters.DeviceIoControl.IoControlCode);
            }
            break;
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            if (c.EvtIoInternalDeviceControl != nullptr) {
                // The lengths mean something only for internal controls that
                // carry buffers; those that carry arguments share the slots.
                return c.EvtIoInternalDeviceControl(queue, handle, stack->Parameters.DeviceIoControl.OutputBufferLength,
                                                    stack->Parameters.DeviceIoControl.InputBufferLength,
                                                    stack->Parameters.DeviceIoControl.IoControlCode);
            }
            break;
        default:
            break;
        }
        if (c.EvtIoDefault != nullptr) {
            return c.EvtIoDefault(queue, handle);
        }
        FinishIncoming(request, STATUS_INVALID_DEVICE_REQUEST, 0);
    });
}

void Queue::Released(Request& request)
{
    if (Presented > 0) {
        --Presented;
    }
    Held.erase(std::remove(Held.begin(), Held.end(), &request), Held.end());
    Suspended.erase(std::remove(Suspended.begin(), Suspended.end(), &request), Suspended.end());
    NotifyIfIdle();
    if (!Pending.empty()) {
        DispatchPending();
    }
}

void Queue::CancelWaiting()
{
    auto pending = std::move(Pending);
    Pending.clear();
    for (Request* request : pending) {
        request->CurrentQueue = nullptr;
        FinishIncoming(*request, STATUS_CANCELLED, 0);
    }
}

void Queue::NotifyIfIdle()
{
    if (!Held.empty() || WhenIdle.empty()) {
        return;
    }
    auto waiting = std::move(WhenIdle);
    WhenIdle.clear();
    const WDFOBJECT handle = Handle();
    for (const auto& [done, context] : waiting) {
        Platform::Current().Dispatcher().Post(
            [handle, done = done, context = context] {
                auto* queue = static_cast<Queue*>(Platform::Current().Objects().Lookup(handle, ObjectKind::Queue));
                if (queue != nullptr && !queue->IsDeleted()) {
                    InvokeDriverCallback(*queue, [&] { done(static_cast<WDFQUEUE>(handle), context); });
                }
            },
            "queue state callback");
    }
}

bool Queue::PowerManaged() const
{
    return Config.PowerManaged == WdfTrue || (Config.PowerManaged == WdfUseDefault && !Owner->IsPdo);
}

void Queue::PowerStop(bool purge)
{
    Dispatching = false;
    PowerStopped = !purge;
    if (purge) {
        Accepting = false;
        CancelWaiting();
    }
    if (Config.EvtIoStop == nullptr) {
        return;
    }
    const auto queue = static_cast<WDFQUEUE>(Handle());
    const auto held = Held;
    for (Request* request : held) {
        // The driver may complete or requeue requests as it is told of them.
        if (std::find(Held.begin(), Held.end(), request) == Held.end()) {
            continue;
        }
        ULONG action = purge ? WdfRequestStopActionPurge : WdfRequestStopActionSuspend;
        if (request->CancelRoutine != nullptr) {
            action |= WdfRequestStopRequestCancelable;
        }
        const WDFREQUEST handle = request->AsHandle();
        InvokeDriverCallback(*this, [&] { Config.EvtIoStop(queue, handle, action); });
    }
}

void Queue::PowerResume()
{
    if (!PowerStopped) {
        return;
    }
    PowerStopped = false;
    Dispatching = true;
    const auto queue = static_cast<WDFQUEUE>(Handle());
    auto suspended = std::move(Suspended);
    Suspended.clear();
    for (Request* request : suspended) {
        if (Config.EvtIoResume != nullptr && std::find(Held.begin(), Held.end(), request) != Held.end()) {
            const WDFREQUEST handle = request->AsHandle();
            InvokeDriverCallback(*this, [&] { Config.EvtIoResume(queue, handle); });
        }
    }
    DispatchPending();
}

void Queue::OnDelete()
{
    Accepting = false;
    Dispatching = false;
    CancelWaiting();
    auto& queues = Owner->Queues;
    queues.erase(std::remove(queues.begin(), queues.end(), this), queues.end());
    if (Owner->DefaultQueue == this) {
        Owner->DefaultQueue = nullptr;
    }
    auto& routes = Owner->DispatchQueues;
    routes.erase(std::remove_if(routes.begin(), routes.end(), [this](const auto& route) { return route.second == this; }),
                 routes.end());
}

} // namespace platform::wdf

using platform::Platform;
using platform::wdf::Device;
using platform::wdf::Queue;
using platform::wdf::Request;

NTSTATUS WdfIoQueueCreate(WDFDEVICE DeviceHandle, PWDF_IO_QUEUE_CONFIG Config, PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                          WDFQUEUE* QueueHandle)
{
    if (QueueHandle != nullptr) {
        *QueueHandle = nullptr;
    }
    Device* device = platform::wdf::ResolveDevice(DeviceHandle, "WdfIoQueueCreate");
    if (device == nullptr || Config == nullptr || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG) ||
        Config->DispatchType <= WdfIoQueueDispatchInvalid || Config->DispatchType >= WdfIoQueueDispatchMax) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Config->DefaultQueue && device->DefaultQueue != nullptr) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfIoQueueCreate")) {
        return *failure;
    }
    auto queue = std::make_unique<Queue>();
    queue->Config = *Config;
    queue->Owner = device;
    Queue* raw = queue.get();
    // A queue belongs to its device unless its attributes name another parent.
    const NTSTATUS status = Platform::Current().Objects().Insert(std::move(queue), QueueAttributes, device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    device->Queues.push_back(raw);
    if (Config->DefaultQueue) {
        device->DefaultQueue = raw;
    }
    if (QueueHandle != nullptr) {
        *QueueHandle = static_cast<WDFQUEUE>(raw->Handle());
    }
    return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceConfigureRequestDispatching(WDFDEVICE DeviceHandle, WDFQUEUE QueueHandle, WDF_REQUEST_TYPE RequestType)
{
    Device* device = platform::wdf::ResolveDevice(DeviceHandle, "WdfDeviceConfigureRequestDispatching");
    Queue* queue = platform::wdf::ResolveQueue(QueueHandle, "WdfDeviceConfigureRequestDispatching");
    if (device == nullptr || queue == nullptr || queue->Owner != device) {
        return STATUS_INVALID_PARAMETER;
    }
    for (const auto& route : device->DispatchQueues) {
        if (route.first == RequestType) {
            return STATUS_WDF_BUSY;
        }
    }
    device->DispatchQueues.emplace_back(RequestType, queue);
    return STATUS_SUCCESS;
}

WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE QueueHandle)
{
    Queue* queue = platform::wdf::ResolveQueue(QueueHandle, "WdfIoQueueGetDevice");
    return queue != nullptr ? static_cast<WDFDEVICE>(queue->Owner->Handle()) : nullptr;
}

WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE DeviceHandle)
{
    Device* device = platform::wdf::ResolveDevice(DeviceHandle, "WdfDeviceGetDefaultQueue");
    if (device == nullptr || device->DefaultQueue == nullptr) {
        return nullptr;
    }
    return static_cast<WDFQUEUE>(device->DefaultQueue->Handle());
}

NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE QueueHandle, WDFREQUEST* OutRequest)
{
    if (OutRequest != nullptr) {
        *OutRequest = nullptr;
    }
    Queue* queue = platform::wdf::ResolveQueue(QueueHandle, "WdfIoQueueRetrieveNextRequest");
    if (queue == nullptr || OutRequest == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (queue->Pending.empty()) {
        return STATUS_NO_MORE_ENTRIES;
    }
    Request* request = queue->Pending.front();
    queue->Pending.pop_front();
    request->RequestState = Request::State::Presented;
    ++queue->Presented;
    queue->Held.push_back(request);
    *OutRequest = request->AsHandle();
    return STATUS_SUCCESS;
}

void WdfIoQueueStart(WDFQUEUE QueueHandle)
{
    if (Queue* queue = platform::wdf::ResolveQueue(QueueHandle, "WdfIoQueueStart")) {
        queue->Accepting = true;
        queue->Dispatching = true;
        queue->DispatchPending();
    }
}

void WdfIoQueueStopSynchronously(WDFQUEUE QueueHandle)
{
    Queue* queue = platform::wdf::ResolveQueue(QueueHandle, "WdfIoQueueStopSynchronously");
    if (queue == nullptr) {
        return;
    }
    queue->Dispatching = false;
    Platform::Current().Dispatcher().WaitUntil([queue] { return queue->Presented == 0; }, std::nullopt);
}

void WdfIoQueuePurgeSynchronously(WDFQUEUE QueueHandle)
{
    Queue* queue = platform::wdf::ResolveQueue(QueueHandle, "WdfIoQueuePurgeSynchronously");
    if (queue == nullptr) {
        return;
    }
    queue->Accepting = false;
    queue->Dispatching = false;
    queue->CancelWaiting();
    Platform::Current().Dispatcher().WaitUntil([queue] { return queue->Presented == 0; }, std::nullopt);
}

void WdfRequestStopAcknowledge(WDFREQUEST RequestHandle, BOOLEAN Requeue)
{
    Request* request = platform::wdf::ResolveRequest(RequestHandle, "WdfRequestStopAcknowledge");
    if (request == nullptr) {
        return;
    }
    Queue* queue = request->CurrentQueue;
    if (queue == nullptr || request->RequestState != Request::State::Presented) {
        platform::GetVerifier().Report(platform::VerifierRule::RequestOwnership,
                                       "WdfRequestStopAcknowledge of a request the driver does not hold from a queue");
        return;
    }
    if (!Requeue) {
        queue->Suspended.push_back(request);
        return;
    }
    // Back to the front of its queue, presented again when the queue runs.
    queue->Held.erase(std::remove(queue->Held.begin(), queue->Held.end(), request), queue->Held.end());
    if (queue->Presented > 0) {
        --queue->Presented;
    }
    request->RequestState = Request::State::Queued;
    queue->Pending.push_front(request);
}

WDF_IO_QUEUE_STATE WdfIoQueueGetState(WDFQUEUE QueueHandle, PULONG QueueRequests, PULONG DriverRequests)
{
    Queue* queue = platform::wdf::ResolveQueue(QueueHandle, "WdfIoQueueGetState");
    if (queue == nullptr) {
        return 0;
    }
    if (QueueRequests != nullptr) {
        *QueueRequests = static_cast<ULONG>(queue->Pending.size());
    }
    if (DriverRequests != nullptr) {
        *DriverRequests = static_cast<ULONG>(queue->Held.size());
    }
    ULONG state = 0;
    state |= queue->Accepting ? WdfIoQueueAcceptRequests : 0;
    state |= queue->Dispatching ? WdfIoQueueDispatchRequests : 0;
    state |= queue->Pending.empty() ? WdfIoQueueNoRequests : 0;
    state |= queue->Held.empty() ? WdfIoQueueDriverNoRequests : 0;
    state |= queue->PowerStopped ? WdfIoQueuePnpHeld : 0;
    return state;
}

void WdfIoQueueDrainSynchronously(WDFQUEUE QueueHandle)
{
    Queue* queue = platform::wdf::ResolveQueue(QueueHandle, "WdfIoQueueDrainSynchronously");
    if (queue == nullptr) {
        return;
    }
    queue->Accepting = false;
    queue->DispatchPending();
    Platform::Current().Dispatcher().WaitUntil([queue] { return queue->Pending.empty() && queue->Held.empty(); },
                                               std::nullopt);
}

namespace {

// Runs Done from the dispatcher once the driver holds none of the queue's requests.
void WhenDriverHoldsNone(Queue* queue, PFN_WDF_IO_QUEUE_STATE done, WDFCONTEXT context)
{
    if (done == nullptr) {
        return;
    }
    queue->WhenIdle.emplace_back(done, context);
    queue->NotifyIfIdle();
}

} // namespace

void WdfIoQueueStop(WDFQUEUE QueueHandle, PFN_WDF_IO_QUEUE_STATE StopComplete, WDFCONTEXT Context)
{
    Queue* queue = platform::wdf::ResolveQueue(QueueHandle, "WdfIoQueueStop");
    if (queue == nullptr) {
        return;
    }
    queue->Dispatching = false;
    WhenDriverHoldsNone(queue, StopComplete, Context);
}

void WdfIoQueuePurge(WDFQUEUE QueueHandle, PFN_WDF_IO_QUEUE_STATE PurgeComplete, WDFCONTEXT Context)
{
    Queue* queue = platform::wdf::ResolveQueue(QueueHandle, "WdfIoQueuePurge");
    if (queue == nullptr) {
        return;
    }
    queue->Accepting = false;
    queue->Dispatching = false;
    queue->CancelWaiting();
    WhenDriverHoldsNone(queue, PurgeComplete, Context);
}
