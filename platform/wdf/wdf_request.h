// Framework requests: an IRP wrapped as a framework object, formatted and
// sent to an I/O target, with its completion status.
#pragma once

#include "platform/kernel/irp.h"
#include "platform/wdf/wdf_types.h"

struct WDFREQUEST__ {};
using WDFREQUEST = WDFREQUEST__*;
struct WDFIOTARGET__ {};
using WDFIOTARGET = WDFIOTARGET__*;
struct WDFQUEUE__ {};
using WDFQUEUE = WDFQUEUE__*;

inline constexpr ULONG WDF_REQUEST_SEND_OPTION_TIMEOUT = 0x00000001;
inline constexpr ULONG WDF_REQUEST_SEND_OPTION_SYNCHRONOUS = 0x00000002;
inline constexpr ULONG WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE = 0x00000004;
inline constexpr ULONG WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET = 0x00000008;

struct WDF_REQUEST_SEND_OPTIONS {
    ULONG Size;
    ULONG Flags;
    LONGLONG Timeout; // 100 ns units; negative relative
};
using PWDF_REQUEST_SEND_OPTIONS = WDF_REQUEST_SEND_OPTIONS*;

inline void WDF_REQUEST_SEND_OPTIONS_INIT(PWDF_REQUEST_SEND_OPTIONS Options, ULONG Flags)
{
    *Options = WDF_REQUEST_SEND_OPTIONS{sizeof(WDF_REQUEST_SEND_OPTIONS), Flags, 0};
}

inline void WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(PWDF_REQUEST_SEND_OPTIONS Options, LONGLONG Timeout)
{
    Options->Flags |= WDF_REQUEST_SEND_OPTION_TIMEOUT;
    Options->Timeout = Timeout;
}

constexpr LONGLONG WDF_REL_TIMEOUT_IN_SEC(ULONGLONG seconds) { return -static_cast<LONGLONG>(seconds * 10'000'000); }
constexpr LONGLONG WDF_REL_TIMEOUT_IN_MS(ULONGLONG ms) { return -static_cast<LONGLONG>(ms * 10'000); }

// Wraps an IRP the caller allocated. With RequestFreesIrp the request frees
// it when the request is deleted.
NTSTATUS WdfRequestCreateFromIrp(PWDF_OBJECT_ATTRIBUTES RequestAttributes, PIRP Irp, BOOLEAN RequestFreesIrp,
                                 WDFREQUEST* Request);
// Copies Stack into the IRP's next location: the request is then sent as that.
void WdfRequestWdmFormatUsingStackLocation(WDFREQUEST Request, PIO_STACK_LOCATION Stack);
// FALSE when the request could not be sent (WdfRequestGetStatus says why).
// With WDF_REQUEST_SEND_OPTION_SYNCHRONOUS it returns when the request has
// completed (or its time-out cancelled it).
BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options);
NTSTATUS WdfRequestGetStatus(WDFREQUEST Request);
PIRP WdfRequestWdmGetIrp(WDFREQUEST Request);

enum WDF_REQUEST_TYPE {
    WdfRequestTypeCreate = 0x00,
    WdfRequestTypeClose = 0x02,
    WdfRequestTypeRead = 0x03,
    WdfRequestTypeWrite = 0x04,
    WdfRequestTypeQueryInformation = 0x05,
    WdfRequestTypeSetInformation = 0x06,
    WdfRequestTypeFlushBuffers = 0x09,
    WdfRequestTypeDeviceControl = 0x0E,
    WdfRequestTypeDeviceControlInternal = 0x0F,
    WdfRequestTypeCleanup = 0x12,
    WdfRequestTypePnp = 0x1B,
    WdfRequestTypeOther = 0xFF,
};

struct WDF_REQUEST_PARAMETERS {
    USHORT Size;
    UCHAR MinorFunction;
    WDF_REQUEST_TYPE Type;
    union {
        struct {
            std::size_t Length;
            alignas(void*) ULONG Key;
            LONGLONG DeviceOffset;
        } Read;
        struct {
            std::size_t Length;
            alignas(void*) ULONG Key;
            LONGLONG DeviceOffset;
        } Write;
        struct {
            std::size_t OutputBufferLength;
            alignas(void*) std::size_t InputBufferLength;
            alignas(void*) ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Arg1;
            PVOID Arg2;
            union {
                PVOID Arg3;
                ULONG IoControlCode;
            };
            PVOID Arg4;
        } Others;
    } Parameters;
};
using PWDF_REQUEST_PARAMETERS = WDF_REQUEST_PARAMETERS*;

inline void WDF_REQUEST_PARAMETERS_INIT(PWDF_REQUEST_PARAMETERS Parameters)
{
    *Parameters = WDF_REQUEST_PARAMETERS{};
    Parameters->Size = sizeof(WDF_REQUEST_PARAMETERS);
}

struct WDF_USB_REQUEST_COMPLETION_PARAMS;

struct WDF_REQUEST_COMPLETION_PARAMS {
    ULONG Size;
    WDF_REQUEST_TYPE Type;
    IO_STATUS_BLOCK IoStatus;
    union {
        struct {
            WDF_USB_REQUEST_COMPLETION_PARAMS* Completion;
        } Usb;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
};
using PWDF_REQUEST_COMPLETION_PARAMS = WDF_REQUEST_COMPLETION_PARAMS*;

using EVT_WDF_REQUEST_COMPLETION_ROUTINE = void(WDFREQUEST Request, WDFIOTARGET Target,
                                                PWDF_REQUEST_COMPLETION_PARAMS Params, PVOID Context);
using PFN_WDF_REQUEST_COMPLETION_ROUTINE = EVT_WDF_REQUEST_COMPLETION_ROUTINE*;
using EVT_WDF_REQUEST_CANCEL = void(WDFREQUEST Request);
using PFN_WDF_REQUEST_CANCEL = EVT_WDF_REQUEST_CANCEL*;

inline constexpr ULONG WDF_REQUEST_FORWARD_OPTION_SEND_AND_FORGET = 0x00000001;
struct WDF_REQUEST_FORWARD_OPTIONS {
    ULONG Size;
    ULONG Flags;
};
using PWDF_REQUEST_FORWARD_OPTIONS = WDF_REQUEST_FORWARD_OPTIONS*;

inline void WDF_REQUEST_FORWARD_OPTIONS_INIT(PWDF_REQUEST_FORWARD_OPTIONS Options)
{
    *Options = WDF_REQUEST_FORWARD_OPTIONS{sizeof(WDF_REQUEST_FORWARD_OPTIONS), WDF_REQUEST_FORWARD_OPTION_SEND_AND_FORGET};
}

struct WDF_REQUEST_REUSE_PARAMS {
    ULONG Size;
    ULONG Flags;
    NTSTATUS Status;
    PIRP NewIrp;
};
using PWDF_REQUEST_REUSE_PARAMS = WDF_REQUEST_REUSE_PARAMS*;

inline void WDF_REQUEST_REUSE_PARAMS_INIT(PWDF_REQUEST_REUSE_PARAMS Params, ULONG Flags, NTSTATUS Status)
{
    *Params = WDF_REQUEST_REUSE_PARAMS{sizeof(WDF_REQUEST_REUSE_PARAMS), Flags, Status, nullptr};
}
inline constexpr ULONG WDF_REQUEST_REUSE_NO_FLAGS = 0;

// A request of the driver's own, with an IRP sized for Target (or for its
// device's own stack when Target is null).
NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget, WDFREQUEST* Request);
NTSTATUS WdfRequestReuse(WDFREQUEST Request, PWDF_REQUEST_REUSE_PARAMS ReuseParams);
void WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters);
void WdfRequestFormatRequestUsingCurrentType(WDFREQUEST Request);
void WdfRequestSetCompletionRoutine(WDFREQUEST Request, PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                    PVOID CompletionContext);
void WdfRequestGetCompletionParams(WDFREQUEST Request, PWDF_REQUEST_COMPLETION_PARAMS Params);
void WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status);
void WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information);
void WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information);
ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request);
// STATUS_BUFFER_TOO_SMALL, and nothing returned, below MinimumRequiredSize.
NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, std::size_t MinimumRequiredSize, PVOID* Buffer,
                                       std::size_t* Length);
NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, std::size_t MinimumRequiredSize, PVOID* Buffer,
                                        std::size_t* Length);
// The request's buffers as memory objects that go with the request.
NTSTATUS WdfRequestRetrieveInputMemory(WDFREQUEST Request, WDFMEMORY* Memory);
NTSTATUS WdfRequestRetrieveOutputMemory(WDFREQUEST Request, WDFMEMORY* Memory);
// Marks the request cancelable. STATUS_CANCELLED when it was cancelled
// already; the cancel callback then does not run and the caller completes it.
NTSTATUS WdfRequestMarkCancelableEx(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL EvtRequestCancel);
// The same; a request cancelled already has its callback run from the
// dispatcher, never inside this call.
void WdfRequestMarkCancelable(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL EvtRequestCancel);
// STATUS_CANCELLED when the cancel callback has run or is about to.
NTSTATUS WdfRequestUnmarkCancelable(WDFREQUEST Request);
BOOLEAN WdfRequestIsCanceled(WDFREQUEST Request);
BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST Request);
WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST Request);
NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue);
NTSTATUS WdfRequestForwardToParentDeviceIoQueue(WDFREQUEST Request, WDFQUEUE ParentDeviceQueue,
                                                PWDF_REQUEST_FORWARD_OPTIONS ForwardOptions);
// Gives the request a timer of its own for send time-outs.
NTSTATUS WdfRequestAllocateTimer(WDFREQUEST Request);

// I/O target state.
enum WDF_IO_TARGET_STATE {
    WdfIoTargetStateUndefined = 0,
    WdfIoTargetStarted,
    WdfIoTargetStopped,
    WdfIoTargetClosedForQueryRemove,
    WdfIoTargetClosed,
    WdfIoTargetDeleted,
    WdfIoTargetPurged,
};

enum WDF_IO_TARGET_SENT_IO_ACTION {
    WdfIoTargetSentIoUndefined = 0,
    WdfIoTargetCancelSentIo,
    WdfIoTargetWaitForSentIoToComplete,
    WdfIoTargetLeaveSentIoPending,
};

enum WDF_IO_TARGET_PURGE_IO_ACTION {
    WdfIoTargetPurgeIoUndefined = 0,
    WdfIoTargetPurgeIoAndWait,
    WdfIoTargetPurgeIo,
};

// A stopped target refuses new sends (STATUS_INVALID_DEVICE_STATE) unless
// the send ignores the target's state.
NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget);
// Cancels what was sent and waits for it (WdfIoTargetCancelSentIo), waits
// for it (WdfIoTargetWaitForSentIoToComplete), or leaves it be.
void WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action);
void WdfIoTargetPurge(WDFIOTARGET IoTarget, WDF_IO_TARGET_PURGE_IO_ACTION Action);
WDF_IO_TARGET_STATE WdfIoTargetGetState(WDFIOTARGET IoTarget);
WDFDEVICE WdfIoTargetGetDevice(WDFIOTARGET IoTarget);
