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
inline constexpr ULONG WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE = 0x00000002;
inline constexpr ULONG WDF_REQUEST_SEND_OPTION_SYNCHRONOUS = 0x00000004;
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
