// The serial port emulation core: the state of one emulated COM port, the
// context every request of the port carries, and the routines that answer
// the serial control codes, buffer received data, time reads, send writes
// and report events. Both port drivers compile these sources; each gives
// the core its own device context through "serial_port_context.h" (found
// on the driver's include path), which names the record as DEVICE_CONTEXT
// and holds the function's USB part as its member Usb.
#pragma once

#include "platform/kernel/ntddser.h"
#include "platform/wdf.h"

#ifndef X9TR_DRIVER_NAMESPACE
#error "the serial core is compiled into a port driver, which names its namespace"
#endif

namespace X9TR_DRIVER_NAMESPACE {

// The port's device context: the serial half below followed by the
// function's USB part, completed by the port driver (MDM_DEVICE_CONTEXT in
// the modem port).
struct DEVICE_CONTEXT;
using PDEVICE_CONTEXT = DEVICE_CONTEXT*;

// What runs when a request comes up on DeviceControl2IoQueue.
using SERIAL_START_ROUTINE = void(PDEVICE_CONTEXT Context, WDFREQUEST Request);
using PFN_SERIAL_START_ROUTINE = SERIAL_START_ROUTINE*;

// The serial half of a port's device context. The port's own record
// starts with it and ends with the function's USB part.
struct SERIAL_DEVICE_STATE {
    WDFDEVICE Device;
    PDEVICE_OBJECT DeviceObject;
    UNICODE_STRING DeviceName;
    PDRIVER_OBJECT DriverObject;
    BOOLEAN CreatedSerialCommEntry;
    BOOLEAN CountedInSerialCount;
    BOOLEAN DeviceOpened;
    ULONG CurrentPowerState;
    WDFQUEUE ReadIoQueue;
    WDFTIMER ReadRequestTotalTimer;
    WDFTIMER ReadRequestIntervalTimer;
    WDFSPINLOCK ReadSyncSpinLock;
    WDFREQUEST CurrentReadRequest;
    ULONG ReadBufferSize;
    ULONG ReadBufferPt8Size;
    WDFQUEUE WriteIoQueue;
    WDFSPINLOCK WriteSyncSpinLock;
    SERIAL_TIMEOUTS Timeouts;
    WDFWAITLOCK WaitLock;
    WDFSPINLOCK SyncSpinLock;
    WDFSPINLOCK WaitMaskSyncSpinLock;
    WDFREQUEST CurrentWaitOnMaskRequest;
    ULONG WaitMask;
    ULONG HistoryMask;
    ULONG TXHolding;
    ULONG RXHolding;
    ULONG ErrorWord;
    WDFQUEUE DeviceControl2IoQueue;
    ULONG CurrentBaud;
    SERIAL_LINE_CONTROL LineControl;
    ULONG ModemControl;
    SERIAL_HANDFLOW HandFlow;
    SERIAL_CHARS SpecialChars;
    SERIALPERF_STATS PerfStats;
    SERIAL_WMI_COMM_DATA WmiCommData;
    SERIAL_WMI_HW_DATA WmiHwData;
    SERIAL_WMI_PERF_DATA WmiPerfData;
};

// Transmit hold reason: the application sent IOCTL_SERIAL_SET_XOFF.
inline constexpr ULONG SERIAL_TX_XOFF = 0x08;
// Receive hold reasons.
inline constexpr ULONG SERIAL_RX_DTR = 0x01;
inline constexpr ULONG SERIAL_RX_XOFF = 0x02;
inline constexpr ULONG SERIAL_RX_RTS = 0x04;
inline constexpr ULONG SERIAL_RX_DSR = 0x08;

// DTR and RTS in ModemControl.
inline constexpr ULONG SERIAL_MODEM_CONTROL_DTR = 0x01;
inline constexpr ULONG SERIAL_MODEM_CONTROL_RTS = 0x02;

// Framework device power states as CurrentPowerState records them.
inline constexpr ULONG SERIAL_POWER_D0 = 1;
inline constexpr ULONG SERIAL_POWER_D3 = 4;

// The request types, whose numbers are the IRP major function codes.
inline constexpr ULONG SERIAL_REQUEST_READ = 0x03;
inline constexpr ULONG SERIAL_REQUEST_WRITE = 0x04;
inline constexpr ULONG SERIAL_REQUEST_DEVICE_CONTROL = 0x0E;
inline constexpr ULONG SERIAL_REQUEST_INTERNAL_DEVICE_CONTROL = 0x0F;

// The context of every request the port receives.
struct REQUEST_CONTEXT {
    ULONG RequestType;
    ULONG IoControlCode;
    ULONG Length;
    PVOID Buffer;
    ULONG_PTR Information;
    NTSTATUS Status;
    PFN_SERIAL_START_ROUTINE StartRoutine;
    PFN_WDF_REQUEST_CANCEL CancelRoutine;
    PFN_WDF_REQUEST_CANCEL SavedCancelRoutine;
    LONGLONG IntervalTime;
    BOOLEAN SendZeroLengthPacket;
};
using PREQUEST_CONTEXT = REQUEST_CONTEXT*;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(REQUEST_CONTEXT, GetRequestContext)

// The context of each receive memory: where its untaken bytes are.
struct USB_MEMORY_CONTEXT {
    ULONG Length;
    ULONG Offset;
};
using PUSB_MEMORY_CONTEXT = USB_MEMORY_CONTEXT*;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(USB_MEMORY_CONTEXT, GetUsbMemoryContext)

} // namespace X9TR_DRIVER_NAMESPACE

// The port driver's DEVICE_CONTEXT with its USB part Usb, DeviceGetContext
// and SERIAL_POOL_TAG.
#include "serial_port_context.h"

namespace X9TR_DRIVER_NAMESPACE {

// The context of work items made by QueueWorkItem.
struct WORKITEM_CONTEXT {
    PDEVICE_CONTEXT DeviceContext;
    decltype(DEVICE_CONTEXT::Usb)* UsbPart;
    ULONG Parameter;
};
using PWORKITEM_CONTEXT = WORKITEM_CONTEXT*;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(WORKITEM_CONTEXT, GetWorkItemContext)

using SERIAL_USB_PART = decltype(DEVICE_CONTEXT::Usb);
using PSERIAL_USB_PART = SERIAL_USB_PART*;

// What the port's function adds to the core. The codes the core forwards to
// DeviceControl2IoQueue run these start routines when they come up there;
// the modem carries them to the handset as class requests.
struct SERIAL_PERSONALITY {
    PFN_SERIAL_START_ROUTINE StartSetBaudRate;
    PFN_SERIAL_START_ROUTINE StartGetBaudRate;
    PFN_SERIAL_START_ROUTINE StartSetLineControl;
    PFN_SERIAL_START_ROUTINE StartGetLineControl;
    PFN_SERIAL_START_ROUTINE StartSetBreakOnOff;
    PFN_SERIAL_START_ROUTINE StartSetOrClearDtrRts;
    PFN_SERIAL_START_ROUTINE StartSetModemControl;
    // The modem status bits (SERIAL_MSR_*) of IOCTL_SERIAL_GET_MODEMSTATUS.
    ULONG (*GetModemStatus)(PDEVICE_CONTEXT Context);
};
// Defined by the port driver.
extern const SERIAL_PERSONALITY SerialPersonality;

// Port state and settings.
NTSTATUS SerialEmuInit(PDEVICE_CONTEXT Context);
NTSTATUS SerialEmuSetChars(PDEVICE_CONTEXT Context, const SERIAL_CHARS* Chars);
// Stores a new line control and lets WmiCommData follow it.
void SerialEmuUpdateLineControl(PDEVICE_CONTEXT Context, const SERIAL_LINE_CONTROL* LineControl);
NTSTATUS SerialGetCommStatus(PDEVICE_CONTEXT Context, PSERIAL_STATUS Status);
NTSTATUS SerialGetProperties(PDEVICE_CONTEXT Context, PSERIAL_COMMPROP Properties);
NTSTATUS SerialClearStats(PDEVICE_CONTEXT Context);
NTSTATUS SerialSetTimeouts(PDEVICE_CONTEXT Context, const SERIAL_TIMEOUTS* Timeouts);
NTSTATUS SerialSetHandFlow(PDEVICE_CONTEXT Context, const SERIAL_HANDFLOW* HandFlow);
NTSTATUS SerialSetXoff(PDEVICE_CONTEXT Context);
NTSTATUS SerialSetXon(PDEVICE_CONTEXT Context);
void SerialGetBasicSettings(PDEVICE_CONTEXT Context, PSERIAL_BASIC_SETTINGS Settings);
void SerialRestoreSettings(PDEVICE_CONTEXT Context, const SERIAL_BASIC_SETTINGS* Settings);
// The error abort rule: SERIAL_ERROR_ABORT set and an error recorded.
BOOLEAN SerialErrorAbortInForce(PDEVICE_CONTEXT Context);
// The open-time state of the serial half (receive buffer sizes are the
// reader's business).
void SerialEmuOpen(PDEVICE_CONTEXT Context);
void SerialEmuClose(PDEVICE_CONTEXT Context);

// Control dispatch: the default queue's callbacks.
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL EvtIoInternalDeviceControl;
EVT_WDF_IO_QUEUE_IO_STOP EvtIoDefaultStop;
EVT_WDF_IO_QUEUE_IO_RESUME EvtIoDefaultResume;

// Request helpers.
void CompleteRequest(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information);
NTSTATUS SetCancelRoutine(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL Routine);
NTSTATUS ClearCancelRoutine(WDFREQUEST Request);
BOOLEAN SetTimer(WDFTIMER Timer, LONGLONG DueTime);
BOOLEAN CancelTimer(WDFTIMER Timer);
void DrainTimers(PDEVICE_CONTEXT Context);
void ForwardRequest(PDEVICE_CONTEXT Context, WDFREQUEST Request, WDFQUEUE Queue, PFN_SERIAL_START_ROUTINE StartRoutine);
void KickStarter(PDEVICE_CONTEXT Context, WDFREQUEST Request);
NTSTATUS RequestSend(WDFREQUEST Request, PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                     WDFCONTEXT CompletionContext, WDFIOTARGET Target, ULONG Flags, ULONGLONG TimeoutMs);
NTSTATUS QueueWorkItem(PDEVICE_CONTEXT Context, PSERIAL_USB_PART UsbPart, PFN_WDF_WORKITEM Routine, ULONG Parameter);
BOOLEAN IsIoQueueIdle(WDFQUEUE Queue);
NTSTATUS RejectIfNotOpened(PDEVICE_CONTEXT Context, WDFREQUEST Request);
NTSTATUS RejectIfErrorAbort(PDEVICE_CONTEXT Context, WDFREQUEST Request);

// Receive buffering.
NTSTATUS SerialCreateReadMemory(PDEVICE_CONTEXT Context, WDFMEMORY* Memory);
void SerialComputeReadBufferSizes(PDEVICE_CONTEXT Context);
NTSTATUS SerialGrowReadBuffer(PDEVICE_CONTEXT Context, ULONG InSize);
NTSTATUS KickUsbRead(PDEVICE_CONTEXT Context);
void FlushReadMemoryCollection(PDEVICE_CONTEXT Context);
void UpdateUsbReadHandFlow(PDEVICE_CONTEXT Context, const SERIAL_HANDFLOW* HandFlow);
ULONG SerialReceiveHoldBits(const SERIAL_HANDFLOW* HandFlow);
EVT_WDF_REQUEST_COMPLETION_ROUTINE UsbTargetPipeReadCompletionRoutine;
EVT_WDF_WORKITEM DiagEvtWorkItemResetUsbReadPipe;
NTSTATUS StartUsbRead(PDEVICE_CONTEXT Context);
NTSTATUS StopUsbRead(PDEVICE_CONTEXT Context);

// The port device's names, its WMI blocks and the requests it answers itself.
inline BOOLEAN IsDeviceOpened(PDEVICE_CONTEXT Context) { return Context->DeviceOpened; }
inline void MarkOpen(PDEVICE_CONTEXT Context)
{
    Context->DeviceOpened = TRUE;
    Context->WmiCommData.IsBusy = TRUE;
}
inline void MarkClose(PDEVICE_CONTEXT Context)
{
    Context->DeviceOpened = FALSE;
    Context->WmiCommData.IsBusy = FALSE;
}
// Reads PortName from the device's hardware key into a 256-byte buffer,
// terminated; *Length is its byte length without the terminator.
NTSTATUS SerialReadSymName(WDFDEVICE Device, PWSTR Buffer, PUSHORT Length);
NTSTATUS SerialDoExternalNaming(PDEVICE_CONTEXT Context);
void SerialUndoExternalNaming(PDEVICE_CONTEXT Context);
NTSTATUS SerialWmiRegistration(WDFDEVICE Device);
EVT_WDFDEVICE_WDM_IRP_PREPROCESS EvtMjFlushBuffer;
IO_COMPLETION_ROUTINE MjFlushBufferCompletion;
EVT_WDFDEVICE_WDM_IRP_PREPROCESS EvtSerialQueryInformationFile;
EVT_WDFDEVICE_WDM_IRP_PREPROCESS EvtSerialSetInformationFile;

// Reads.
EVT_WDF_IO_QUEUE_IO_READ EvtIoRead;
void StartIoRead(PDEVICE_CONTEXT Context, WDFREQUEST Request);
EVT_WDF_IO_QUEUE_IO_STOP EvtIoReadStop;
EVT_WDF_IO_QUEUE_IO_RESUME EvtIoReadResume;
void StopOrResumeIoRead(PDEVICE_CONTEXT Context, WDFREQUEST Request, BOOLEAN Stop);
void CancelIoRead(PDEVICE_CONTEXT Context, WDFREQUEST Request, NTSTATUS Status);
EVT_WDF_REQUEST_CANCEL EvtIoReadCancel;
EVT_WDF_TIMER EvtReadRequestTotalTimerFunc;
EVT_WDF_TIMER EvtReadRequestIntervalTimerFunc;

// Writes and the immediate character.
EVT_WDF_IO_QUEUE_IO_WRITE EvtIoWrite;
void StartIoWrite(PDEVICE_CONTEXT Context, WDFREQUEST Request);
EVT_WDF_REQUEST_COMPLETION_ROUTINE EvtRequestWriteCompletionRoutine;
void StartImmediateChar(PDEVICE_CONTEXT Context, WDFREQUEST Request);
WDFREQUEST FindRequestImmediateChar(PDEVICE_CONTEXT Context);
EVT_WDF_IO_QUEUE_IO_STOP EvtIoWriteStop;
EVT_WDF_IO_QUEUE_IO_RESUME EvtIoWriteResume;
BOOLEAN StopImmediateChar(PDEVICE_CONTEXT Context, WDFREQUEST Request, ULONG ActionFlags);
BOOLEAN ResumeImmediateChar(PDEVICE_CONTEXT Context, WDFREQUEST Request);
BOOLEAN StopOrResumeIoWrite(PDEVICE_CONTEXT Context, WDFREQUEST Request, BOOLEAN Stop);
BOOLEAN CancelIoWrite(PDEVICE_CONTEXT Context, WDFREQUEST Request);
NTSTATUS PurgeIoWriteRequest(PDEVICE_CONTEXT Context);

// Wait-on-mask events.
NTSTATUS SetMask(PDEVICE_CONTEXT Context, ULONG NewMask);
void StartWaitOnMask(PDEVICE_CONTEXT Context, WDFREQUEST Request);
void CompleteWaitOnMask(PDEVICE_CONTEXT Context, ULONG Events);
void CancelWaitOnMask(PDEVICE_CONTEXT Context, WDFREQUEST Request);
EVT_WDF_REQUEST_CANCEL EvtWaitOnMaskCancel;
BOOLEAN StopWaitOnMask(PDEVICE_CONTEXT Context, WDFREQUEST Request, ULONG ActionFlags);
BOOLEAN ResumeWaitOnMask(PDEVICE_CONTEXT Context, WDFREQUEST Request);
void StopOrResumeWaitOnMask(PDEVICE_CONTEXT Context, WDFREQUEST Request, BOOLEAN Stop);

// Purge.
NTSTATUS Purge(PDEVICE_CONTEXT Context, ULONG Mask);
NTSTATUS PurgeTxAbort(PDEVICE_CONTEXT Context);
NTSTATUS PurgeRxAbort(PDEVICE_CONTEXT Context);
NTSTATUS PurgeIoReadRequest(PDEVICE_CONTEXT Context);

} // namespace X9TR_DRIVER_NAMESPACE
