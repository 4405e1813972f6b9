// Control dispatch: every device control and internal device control the
// port receives arrives on its default queue and is answered here at once,
// forwarded to DeviceControl2IoQueue for the function to carry to the
// device, or left pending (wait-on-mask, immediate character).
#include "base/serial/serial.h"

#include <cstring>

namespace X9TR_DRIVER_NAMESPACE {

namespace {

PDEVICE_CONTEXT QueueContext(WDFQUEUE Queue) { return DeviceGetContext(WdfIoQueueGetDevice(Queue)); }

void Finish(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information)
{
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    requestContext->Status = Status;
    requestContext->Information = NT_SUCCESS(Status) ? Information : 0;
    CompleteRequest(Request, Status, requestContext->Information);
}

// The input buffer of at least Size bytes; on failure the request is
// completed with the retrieval status.
template <class T>
T* Input(WDFREQUEST Request, std::size_t Size = sizeof(T))
{
    PVOID buffer = nullptr;
    const NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, Size, &buffer, nullptr);
    if (!NT_SUCCESS(status)) {
        Finish(Request, status, 0);
        return nullptr;
    }
    return static_cast<T*>(buffer);
}

template <class T>
T* Output(WDFREQUEST Request, std::size_t Size = sizeof(T), std::size_t* Length = nullptr)
{
    PVOID buffer = nullptr;
    const NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, Size, &buffer, Length);
    if (!NT_SUCCESS(status)) {
        Finish(Request, status, 0);
        return nullptr;
    }
    return static_cast<T*>(buffer);
}

// A code the function carries to the device: its buffer is kept in the
// request context and the request goes on to DeviceControl2IoQueue.
void Forward(PDEVICE_CONTEXT Context, WDFREQUEST Request, PVOID Buffer, PFN_SERIAL_START_ROUTINE StartRoutine)
{
    GetRequestContext(Request)->Buffer = Buffer;
    ForwardRequest(Context, Request, Context->DeviceControl2IoQueue, StartRoutine);
}

template <class T>
void ForwardInput(PDEVICE_CONTEXT Context, WDFREQUEST Request, PFN_SERIAL_START_ROUTINE StartRoutine)
{
    if (T* buffer = Input<T>(Request)) {
        Forward(Context, Request, buffer, StartRoutine);
    }
}

template <class T>
void CopyOut(WDFREQUEST Request, const T& Value)
{
    if (T* buffer = Output<T>(Request)) {
        std::memcpy(buffer, &Value, sizeof(T));
        Finish(Request, STATUS_SUCCESS, sizeof(T));
    }
}

BOOLEAN DtrHandshake(PDEVICE_CONTEXT Context)
{
    return (Context->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE ? TRUE : FALSE;
}

BOOLEAN RtsHandshakeOrToggle(PDEVICE_CONTEXT Context)
{
    const ULONG rts = Context->HandFlow.FlowReplace & SERIAL_RTS_MASK;
    return rts == SERIAL_RTS_HANDSHAKE || rts == SERIAL_TRANSMIT_TOGGLE ? TRUE : FALSE;
}

void FillRequestContext(WDFREQUEST Request, ULONG RequestType, ULONG IoControlCode)
{
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    requestContext->RequestType = RequestType;
    requestContext->IoControlCode = IoControlCode;
    requestContext->Information = 0;
    requestContext->Status = STATUS_SUCCESS;
}

} // namespace

void EvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, std::size_t, std::size_t, ULONG IoControlCode)
{
    PDEVICE_CONTEXT context = QueueContext(Queue);
    FillRequestContext(Request, SERIAL_REQUEST_DEVICE_CONTROL, IoControlCode);
    if (RejectIfNotOpened(context, Request) != STATUS_SUCCESS) {
        return;
    }
    if (RejectIfErrorAbort(context, Request) != STATUS_SUCCESS) {
        return;
    }
    const SERIAL_PERSONALITY& personality = SerialPersonality;

    switch (IoControlCode) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        ForwardInput<SERIAL_BAUD_RATE>(context, Request, personality.StartSetBaudRate);
        break;

    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        if (auto* size = Input<SERIAL_QUEUE_SIZE>(Request)) {
            Finish(Request, SerialGrowReadBuffer(context, size->InSize), 0);
        }
        break;

    case IOCTL_SERIAL_SET_LINE_CONTROL:
        ForwardInput<SERIAL_LINE_CONTROL>(context, Request, personality.StartSetLineControl);
        break;

    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
        Forward(context, Request, nullptr, personality.StartSetBreakOnOff);
        break;

    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        if (auto* character = Input<UCHAR>(Request)) {
            GetRequestContext(Request)->Buffer = character;
            StartImmediateChar(context, Request);
        }
        break;

    case IOCTL_SERIAL_SET_TIMEOUTS:
        if (auto* timeouts = Input<SERIAL_TIMEOUTS>(Request)) {
            Finish(Request, SerialSetTimeouts(context, timeouts), 0);
        }
        break;

    case IOCTL_SERIAL_GET_TIMEOUTS:
        CopyOut(Request, context->Timeouts);
        break;

    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
        // Under DTR handshake the line belongs to the receive flow control.
        if (DtrHandshake(context)) {
            Finish(Request, STATUS_INVALID_PARAMETER, 0);
        } else {
            Forward(context, Request, nullptr, personality.StartSetOrClearDtrRts);
        }
        break;

    case IOCTL_SERIAL_RESET_DEVICE:
        Finish(Request, STATUS_SUCCESS, 0);
        break;

    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
        if (RtsHandshakeOrToggle(context)) {
            Finish(Request, STATUS_INVALID_PARAMETER, 0);
        } else {
            Forward(context, Request, nullptr, personality.StartSetOrClearDtrRts);
        }
        break;

    case IOCTL_SERIAL_SET_XOFF:
        Finish(Request, SerialSetXoff(context), 0);
        break;

    case IOCTL_SERIAL_SET_XON:
        Finish(Request, SerialSetXon(context), 0);
        break;

    case IOCTL_SERIAL_GET_WAIT_MASK:
        CopyOut(Request, context->WaitMask);
        break;

    case IOCTL_SERIAL_SET_WAIT_MASK:
        if (auto* mask = Input<ULONG>(Request)) {
            Finish(Request, SetMask(context, *mask), 0);
        }
        break;

    case IOCTL_SERIAL_WAIT_ON_MASK:
        if (auto* events = Output<ULONG>(Request)) {
            GetRequestContext(Request)->Buffer = events;
            StartWaitOnMask(context, Request);
        }
        break;

    case IOCTL_SERIAL_PURGE:
        if (auto* mask = Input<ULONG>(Request)) {
            const ULONG all = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
            if (*mask == 0 || (*mask & ~all) != 0) {
                Finish(Request, STATUS_INVALID_PARAMETER, 0);
            } else {
                Finish(Request, Purge(context, *mask), sizeof(ULONG));
            }
        }
        break;

    case IOCTL_SERIAL_GET_BAUD_RATE:
        if (auto* rate = Output<SERIAL_BAUD_RATE>(Request)) {
            Forward(context, Request, rate, personality.StartGetBaudRate);
        }
        break;

    case IOCTL_SERIAL_GET_LINE_CONTROL: {
        std::size_t length = 0;
        if (auto* lineControl = Output<SERIAL_LINE_CONTROL>(Request, sizeof(SERIAL_LINE_CONTROL), &length)) {
            // Whatever the device answers, the rest of a larger buffer is zero.
            std::memset(lineControl, 0, length);
            Forward(context, Request, lineControl, personality.StartGetLineControl);
        }
        break;
    }

    case IOCTL_SERIAL_GET_CHARS:
        CopyOut(Request, context->SpecialChars);
        break;

    case IOCTL_SERIAL_SET_CHARS:
        if (auto* chars = Input<SERIAL_CHARS>(Request)) {
            Finish(Request, SerialEmuSetChars(context, chars), 0);
        }
        break;

    case IOCTL_SERIAL_GET_HANDFLOW:
        CopyOut(Request, context->HandFlow);
        break;

    case IOCTL_SERIAL_SET_HANDFLOW:
        if (auto* handFlow = Input<SERIAL_HANDFLOW>(Request)) {
            Finish(Request, SerialSetHandFlow(context, handFlow), 0);
        }
        break;

    case IOCTL_SERIAL_GET_MODEMSTATUS:
        if (auto* status = Output<ULONG>(Request)) {
            *status = personality.GetModemStatus(context);
            Finish(Request, STATUS_SUCCESS, sizeof(ULONG));
        }
        break;

    case IOCTL_SERIAL_GET_COMMSTATUS:
        if (auto* status = Output<SERIAL_STATUS>(Request)) {
            Finish(Request, SerialGetCommStatus(context, status), sizeof(SERIAL_STATUS));
        }
        break;

    case IOCTL_SERIAL_XOFF_COUNTER:
        if (Input<SERIAL_XOFF_COUNTER>(Request) != nullptr) {
            Finish(Request, STATUS_INVALID_PARAMETER, 0);
        }
        break;

    case IOCTL_SERIAL_GET_PROPERTIES:
        if (auto* properties = Output<SERIAL_COMMPROP>(Request)) {
            Finish(Request, SerialGetProperties(context, properties), sizeof(SERIAL_COMMPROP));
        }
        break;

    case IOCTL_SERIAL_GET_DTRRTS:
        CopyOut(Request, context->ModemControl & (SERIAL_DTR_STATE | SERIAL_RTS_STATE));
        break;

    case IOCTL_SERIAL_LSRMST_INSERT:
        // Only "no insertion" is offered: the port never rewrites received data.
        if (auto* escape = Input<UCHAR>(Request)) {
            Finish(Request, *escape == 0 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER, 0);
        }
        break;

    case IOCTL_SERIAL_CONFIG_SIZE:
        CopyOut(Request, ULONG{0});
        break;

    case IOCTL_SERIAL_GET_STATS:
        CopyOut(Request, context->PerfStats);
        break;

    case IOCTL_SERIAL_CLEAR_STATS:
        Finish(Request, SerialClearStats(context), 0);
        break;

    case IOCTL_SERIAL_GET_MODEM_CONTROL:
        CopyOut(Request, context->ModemControl);
        break;

    case IOCTL_SERIAL_SET_MODEM_CONTROL:
        ForwardInput<ULONG>(context, Request, personality.StartSetModemControl);
        break;

    case IOCTL_SERIAL_SET_FIFO_CONTROL:
        if (Input<ULONG>(Request) != nullptr) {
            Finish(Request, STATUS_SUCCESS, 0);
        }
        break;

    default:
        Finish(Request, STATUS_INVALID_PARAMETER, 0);
        break;
    }
}

void EvtIoInternalDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, std::size_t, std::size_t, ULONG IoControlCode)
{
    PDEVICE_CONTEXT context = QueueContext(Queue);
    FillRequestContext(Request, SERIAL_REQUEST_INTERNAL_DEVICE_CONTROL, IoControlCode);
    // Internal requests come from drivers of the stack, open handle or not.
    if (RejectIfErrorAbort(context, Request) != STATUS_SUCCESS) {
        return;
    }
    switch (IoControlCode) {
    case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS:
        if (auto* settings = Output<SERIAL_BASIC_SETTINGS>(Request)) {
            SerialGetBasicSettings(context, settings);
            Finish(Request, STATUS_SUCCESS, sizeof(SERIAL_BASIC_SETTINGS));
        }
        break;

    case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS:
        if (auto* settings = Input<SERIAL_BASIC_SETTINGS>(Request)) {
            SerialRestoreSettings(context, settings);
            Finish(Request, STATUS_SUCCESS, 0);
        }
        break;

    case IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE:
    case IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE:
    default:
        Finish(Request, STATUS_INVALID_PARAMETER, 0);
        break;
    }
}

// Only a pending wait-on-mask and an immediate character being written stay
// with the port after the default queue's callbacks return.
void EvtIoDefaultStop(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags)
{
    PDEVICE_CONTEXT context = QueueContext(Queue);
    if (StopWaitOnMask(context, Request, ActionFlags)) {
        return;
    }
    StopImmediateChar(context, Request, ActionFlags);
}

void EvtIoDefaultResume(WDFQUEUE Queue, WDFREQUEST Request)
{
    PDEVICE_CONTEXT context = QueueContext(Queue);
    if (ResumeWaitOnMask(context, Request)) {
        return;
    }
    ResumeImmediateChar(context, Request);
}

} // namespace X9TR_DRIVER_NAMESPACE
