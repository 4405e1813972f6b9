// Framework I/O queues: where a device's requests are presented to its
// driver's callbacks.
#pragma once

#include "platform/wdf/wdf_request.h"

enum WDF_IO_QUEUE_DISPATCH_TYPE {
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential,
    WdfIoQueueDispatchParallel,
    WdfIoQueueDispatchManual,
    WdfIoQueueDispatchMax,
};

using EVT_WDF_IO_QUEUE_IO_DEFAULT = void(WDFQUEUE Queue, WDFREQUEST Request);
using EVT_WDF_IO_QUEUE_IO_READ = void(WDFQUEUE Queue, WDFREQUEST Request, std::size_t Length);
using EVT_WDF_IO_QUEUE_IO_WRITE = void(WDFQUEUE Queue, WDFREQUEST Request, std::size_t Length);
using EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL = void(WDFQUEUE Queue, WDFREQUEST Request, std::size_t OutputBufferLength,
                                                std::size_t InputBufferLength, ULONG IoControlCode);
using EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL = void(WDFQUEUE Queue, WDFREQUEST Request,
                                                         std::size_t OutputBufferLength, std::size_t InputBufferLength,
                                                         ULONG IoControlCode);
using EVT_WDF_IO_QUEUE_IO_STOP = void(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags);
using EVT_WDF_IO_QUEUE_IO_RESUME = void(WDFQUEUE Queue, WDFREQUEST Request);
using EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE = void(WDFQUEUE Queue, WDFREQUEST Request);

struct WDF_IO_QUEUE_CONFIG {
    ULONG Size;
    WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;
    WDF_TRI_STATE PowerManaged;
    BOOLEAN AllowZeroLengthRequests;
    BOOLEAN DefaultQueue;
    EVT_WDF_IO_QUEUE_IO_DEFAULT* EvtIoDefault;
    EVT_WDF_IO_QUEUE_IO_READ* EvtIoRead;
    EVT_WDF_IO_QUEUE_IO_WRITE* EvtIoWrite;
    EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL* EvtIoDeviceControl;
    EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL* EvtIoInternalDeviceControl;
    EVT_WDF_IO_QUEUE_IO_STOP* EvtIoStop;
    EVT_WDF_IO_QUEUE_IO_RESUME* EvtIoResume;
    EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE* EvtIoCanceledOnQueue;
    struct {
        struct {
            ULONG NumberOfPresentedRequests; // 0xFFFFFFFF: unlimited
        } Parallel;
    } Settings;
};
using PWDF_IO_QUEUE_CONFIG = WDF_IO_QUEUE_CONFIG*;

inline void WDF_IO_QUEUE_CONFIG_INIT(PWDF_IO_QUEUE_CONFIG Config, WDF_IO_QUEUE_DISPATCH_TYPE DispatchType)
{
    *Config = WDF_IO_QUEUE_CONFIG{};
    Config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
    Config->DispatchType = DispatchType;
    Config->PowerManaged = WdfUseDefault;
    Config->Settings.Parallel.NumberOfPresentedRequests = 0xFFFFFFFF;
}

inline void WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(PWDF_IO_QUEUE_CONFIG Config,
                                                   WDF_IO_QUEUE_DISPATCH_TYPE DispatchType)
{
    WDF_IO_QUEUE_CONFIG_INIT(Config, DispatchType);
    Config->DefaultQueue = TRUE;
}

NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config, PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                          WDFQUEUE* Queue);
WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue);
WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE Device);

// Sends requests of a type to a queue other than the default one.
NTSTATUS WdfDeviceConfigureRequestDispatching(WDFDEVICE Device, WDFQUEUE Queue, WDF_REQUEST_TYPE RequestType);
// A manual queue's next request, or STATUS_NO_MORE_ENTRIES.
NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST* OutRequest);
void WdfIoQueueStart(WDFQUEUE Queue);
// Stops presenting and waits until the driver holds none of the queue's requests.
void WdfIoQueueStopSynchronously(WDFQUEUE Queue);
// Cancels what waits, refuses what comes, and waits until the driver holds none.
void WdfIoQueuePurgeSynchronously(WDFQUEUE Queue);

// What EvtIoStop is told: why the queue stops, and whether the request is cancelable.
inline constexpr ULONG WdfRequestStopActionInvalid = 0;
inline constexpr ULONG WdfRequestStopActionSuspend = 0x01;
inline constexpr ULONG WdfRequestStopActionPurge = 0x02;
inline constexpr ULONG WdfRequestStopRequestCancelable = 0x10000000;

// The driver's answer to EvtIoStop: with Requeue the request goes back to
// the front of its queue; without, the driver keeps it and EvtIoResume runs
// for it when the queue starts again.
void WdfRequestStopAcknowledge(WDFREQUEST Request, BOOLEAN Requeue);

inline constexpr ULONG WdfIoQueueAcceptRequests = 0x01;
inline constexpr ULONG WdfIoQueueDispatchRequests = 0x02;
inline constexpr ULONG WdfIoQueueNoRequests = 0x04;
inline constexpr ULONG WdfIoQueueDriverNoRequests = 0x08;
inline constexpr ULONG WdfIoQueuePnpHeld = 0x10;
using WDF_IO_QUEUE_STATE = ULONG;
// The state bits above; also the requests waiting in the queue and those its driver holds.
WDF_IO_QUEUE_STATE WdfIoQueueGetState(WDFQUEUE Queue, PULONG QueueRequests, PULONG DriverRequests);
// Nothing waits in the queue and its driver holds none of its requests.
constexpr bool WDF_IO_QUEUE_IDLE(WDF_IO_QUEUE_STATE State)
{
    return (State & (WdfIoQueueNoRequests | WdfIoQueueDriverNoRequests)) ==
           (WdfIoQueueNoRequests | WdfIoQueueDriverNoRequests);
}
// Refuses new requests and waits until every queued and held one has ended.
void WdfIoQueueDrainSynchronously(WDFQUEUE Queue);

using EVT_WDF_IO_QUEUE_STATE = void(WDFQUEUE Queue, WDFCONTEXT Context);
using PFN_WDF_IO_QUEUE_STATE = EVT_WDF_IO_QUEUE_STATE*;
// Stops presenting; StopComplete runs (from the dispatcher) once the driver
// holds none of the queue's requests.
void WdfIoQueueStop(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE StopComplete, WDFCONTEXT Context);
// Cancels what waits and refuses what comes; PurgeComplete runs once the
// driver holds none of the queue's requests.
void WdfIoQueuePurge(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE PurgeComplete, WDFCONTEXT Context);
