// Port state and settings: the defaults a port takes at every hardware
// preparation, the open-time state, and what the settings codes check and
// store. There is no UART behind the port: settings the function does not
// carry to the device are kept and reported only.
#include "base/serial/serial.h"

#include <cstring>

namespace X9TR_DRIVER_NAMESPACE {

NTSTATUS SerialEmuInit(PDEVICE_CONTEXT Context)
{
    Context->CurrentBaud = 1200;
    Context->LineControl.StopBits = STOP_BIT_1;
    Context->LineControl.Parity = EVEN_PARITY;
    Context->LineControl.WordLength = 8;
    Context->ModemControl = 0;

    Context->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    Context->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    Context->HandFlow.XonLimit = 0;
    Context->HandFlow.XoffLimit = 0;

    // EventChar keeps what it had.
    Context->SpecialChars.EofChar = 0;
    Context->SpecialChars.ErrorChar = 0;
    Context->SpecialChars.BreakChar = 0;
    Context->SpecialChars.XonChar = 0x11;
    Context->SpecialChars.XoffChar = 0x13;

    // No interrupt and no I/O port: the hardware block says so.
    Context->WmiHwData.IrqNumber = 0xFFFFFFFF;
    Context->WmiHwData.IrqVector = 0xFFFFFFFF;
    Context->WmiHwData.IrqLevel = 0xFFFFFFFF;
    Context->WmiHwData.IrqAffinity = 0;
    Context->WmiHwData.InterruptType = 0xFFFFFFFF;
    Context->WmiHwData.BaseIOAddress = 0x00000000FFFFFFFFull;

    SERIAL_WMI_COMM_DATA& comm = Context->WmiCommData;
    comm.BaudRate = 1200;
    comm.BitsPerByte = 8;
    comm.Parity = SERIAL_WMI_PARITY_EVEN;
    comm.ParityCheckEnable = TRUE;
    comm.StopBits = SERIAL_WMI_STOP_1;
    comm.XoffCharacter = 0x13;
    comm.XoffXmitThreshold = 0;
    comm.XonCharacter = 0x11;
    comm.XonXmitThreshold = 0;
    comm.MaximumBaudRate = 128000;
    comm.MaximumOutputBufferSize = 0xFFFFFFFF;
    comm.MaximumInputBufferSize = 0xFFFFFFFF;
    comm.Support16BitMode = FALSE;
    comm.SupportDTRDSR = TRUE;
    comm.SupportIntervalTimeouts = TRUE;
    comm.SupportParityCheck = TRUE;
    comm.SupportRTSCTS = TRUE;
    comm.SupportXonXoff = TRUE;
    comm.SettableBaudRate = TRUE;
    comm.SettableDataBits = TRUE;
    comm.SettableFlowControl = TRUE;
    comm.SettableParity = TRUE;
    comm.SettableParityCheck = TRUE;
    comm.SettableStopBits = TRUE;
    comm.IsBusy = FALSE;
    return STATUS_SUCCESS;
}

void SerialEmuOpen(PDEVICE_CONTEXT Context)
{
    Context->HandFlow.XoffLimit = static_cast<LONG>(Context->ReadBufferSize);
    Context->HandFlow.XonLimit = static_cast<LONG>(Context->ReadBufferSize);
    Context->WmiCommData.XoffXmitThreshold = Context->ReadBufferSize;
    Context->WmiCommData.XonXmitThreshold = Context->ReadBufferSize;
    Context->HistoryMask = 0;
    Context->WaitMask = 0;
    SerialClearStats(Context);
    Context->ErrorWord = 0;
    Context->TXHolding = 0;
    MarkOpen(Context);
}

void SerialEmuClose(PDEVICE_CONTEXT Context)
{
    MarkClose(Context);
    // Nothing is sent to the device for it.
    Context->ModemControl = 0;
}

NTSTATUS SerialEmuSetChars(PDEVICE_CONTEXT Context, const SERIAL_CHARS* Chars)
{
    Context->SpecialChars = *Chars;
    Context->WmiCommData.XoffCharacter = Chars->XoffChar;
    Context->WmiCommData.XonCharacter = Chars->XonChar;
    return STATUS_SUCCESS;
}

void SerialEmuUpdateLineControl(PDEVICE_CONTEXT Context, const SERIAL_LINE_CONTROL* LineControl)
{
    Context->LineControl = *LineControl;
    SERIAL_WMI_COMM_DATA& comm = Context->WmiCommData;
    comm.BitsPerByte = LineControl->WordLength;
    switch (LineControl->Parity) {
    case NO_PARITY: comm.Parity = SERIAL_WMI_PARITY_NONE; break;
    case ODD_PARITY: comm.Parity = SERIAL_WMI_PARITY_ODD; break;
    case EVEN_PARITY: comm.Parity = SERIAL_WMI_PARITY_EVEN; break;
    case MARK_PARITY: comm.Parity = SERIAL_WMI_PARITY_MARK; break;
    case SPACE_PARITY: comm.Parity = SERIAL_WMI_PARITY_SPACE; break;
    default: comm.Parity = SERIAL_WMI_PARITY_NONE; break;
    }
    comm.ParityCheckEnable = LineControl->Parity != NO_PARITY ? TRUE : FALSE;
    switch (LineControl->StopBits) {
    case STOP_BIT_1: comm.StopBits = SERIAL_WMI_STOP_1; break;
    case STOP_BITS_1_5: comm.StopBits = SERIAL_WMI_STOP_1_5; break;
    case STOP_BITS_2: comm.StopBits = SERIAL_WMI_STOP_2; break;
    default: comm.StopBits = SERIAL_WMI_STOP_1; break;
    }
}

NTSTATUS SerialGetCommStatus(PDEVICE_CONTEXT Context, PSERIAL_STATUS Status)
{
    std::memset(Status, 0, sizeof(*Status));
    Status->Errors = Context->ErrorWord;
    Context->ErrorWord = 0;

    Status->HoldReasons = (Context->TXHolding & SERIAL_TX_XOFF) != 0 ? SERIAL_TX_WAITING_FOR_XON : 0;
    if ((Context->RXHolding & SERIAL_RX_DSR) != 0) {
        Status->HoldReasons |= SERIAL_RX_WAITING_FOR_DSR;
    }
    if ((Context->RXHolding & SERIAL_RX_XOFF) != 0) {
        Status->HoldReasons |= SERIAL_TX_WAITING_XOFF_SENT;
    }
    Status->EofReceived = FALSE;

    ULONG inQueue = 0;
    WdfSpinLockAcquire(Context->ReadSyncSpinLock);
    const ULONG filled = WdfCollectionGetCount(Context->Usb.ReadMemoryCollection);
    for (ULONG i = 0; i < filled; ++i) {
        auto memory = static_cast<WDFMEMORY>(WdfCollectionGetItem(Context->Usb.ReadMemoryCollection, i));
        inQueue += GetUsbMemoryContext(memory)->Length;
    }
    WdfSpinLockRelease(Context->ReadSyncSpinLock);
    Status->AmountInInQueue = inQueue;

    ULONG outQueue = 0;
    BOOLEAN immediate = FALSE;
    WdfSpinLockAcquire(Context->WriteSyncSpinLock);
    const ULONG writes = WdfCollectionGetCount(Context->Usb.WriteRequestCollection);
    for (ULONG i = 0; i < writes; ++i) {
        auto request = static_cast<WDFREQUEST>(WdfCollectionGetItem(Context->Usb.WriteRequestCollection, i));
        PREQUEST_CONTEXT requestContext = GetRequestContext(request);
        outQueue += requestContext->Length;
        if (requestContext->RequestType == SERIAL_REQUEST_DEVICE_CONTROL &&
            requestContext->IoControlCode == IOCTL_SERIAL_IMMEDIATE_CHAR) {
            immediate = TRUE;
        }
    }
    WdfSpinLockRelease(Context->WriteSyncSpinLock);
    Status->AmountInOutQueue = outQueue;
    Status->WaitForImmediate = immediate;
    return STATUS_SUCCESS;
}

NTSTATUS SerialGetProperties(PDEVICE_CONTEXT Context, PSERIAL_COMMPROP Properties)
{
    std::memset(Properties, 0, sizeof(*Properties));
    Properties->PacketLength = sizeof(SERIAL_COMMPROP);
    Properties->PacketVersion = 2;
    Properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    Properties->MaxBaud = SERIAL_BAUD_USER;
    Properties->ProvSubType = SERIAL_SP_RS232;
    // DTR/DSR, RTS/CTS, carrier detect, parity check, XON/XOFF, settable
    // XON/XOFF characters, total and interval time-outs.
    Properties->ProvCapabilities = 0xFF;
    // Parity, baud, data bits, stop bits, handshaking, parity check, carrier detect.
    Properties->SettableParams = 0x7F;
    Properties->SettableBaud = 0xFFFFFFFF;
    Properties->SettableData = SERIAL_DATABITS_8;
    // 1, 1.5 and 2 stop bits; no, odd, even, mark and space parity.
    Properties->SettableStopParity = 0x1F07;
    Properties->CurrentRxQueue = Context->ReadBufferSize;
    return STATUS_SUCCESS;
}

NTSTATUS SerialClearStats(PDEVICE_CONTEXT Context)
{
    WdfSpinLockAcquire(Context->SyncSpinLock);
    Context->PerfStats = {};
    Context->WmiPerfData = {};
    WdfSpinLockRelease(Context->SyncSpinLock);
    return STATUS_SUCCESS;
}

NTSTATUS SerialSetTimeouts(PDEVICE_CONTEXT Context, const SERIAL_TIMEOUTS* Timeouts)
{
    // All three read values MAXULONG would ask a read to return at once and
    // wait forever at the same time.
    if (Timeouts->ReadIntervalTimeout == MAXULONG && Timeouts->ReadTotalTimeoutMultiplier == MAXULONG &&
        Timeouts->ReadTotalTimeoutConstant == MAXULONG) {
        return STATUS_INVALID_PARAMETER;
    }
    Context->Timeouts = *Timeouts;
    return STATUS_SUCCESS;
}

NTSTATUS SerialSetHandFlow(PDEVICE_CONTEXT Context, const SERIAL_HANDFLOW* HandFlow)
{
    if ((HandFlow->ControlHandShake & SERIAL_CONTROL_INVALID) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((HandFlow->FlowReplace & SERIAL_FLOW_INVALID) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    // Error-character replacement, null stripping and break characters
    // would need the port to rewrite received data.
    if ((HandFlow->FlowReplace & (SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING | SERIAL_BREAK_CHAR)) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((HandFlow->ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto bufferSize = static_cast<LONGLONG>(Context->ReadBufferSize);
    if (HandFlow->XonLimit < 0 || HandFlow->XonLimit > bufferSize) {
        return STATUS_INVALID_PARAMETER;
    }
    if (HandFlow->XoffLimit < 0 || HandFlow->XoffLimit > bufferSize) {
        return STATUS_INVALID_PARAMETER;
    }
    Context->HandFlow = *HandFlow;
    UpdateUsbReadHandFlow(Context, &Context->HandFlow);
    return STATUS_SUCCESS;
}

NTSTATUS SerialSetXoff(PDEVICE_CONTEXT Context)
{
    // Writes already with the device go on; later ones wait in the queue.
    if (Context->TXHolding == 0) {
        WdfIoQueueStop(Context->WriteIoQueue, nullptr, nullptr);
    }
    Context->TXHolding |= SERIAL_TX_XOFF;
    return STATUS_SUCCESS;
}

NTSTATUS SerialSetXon(PDEVICE_CONTEXT Context)
{
    Context->TXHolding &= ~SERIAL_TX_XOFF;
    if (Context->TXHolding == 0) {
        WdfIoQueueStart(Context->WriteIoQueue);
    }
    return STATUS_SUCCESS;
}

void SerialGetBasicSettings(PDEVICE_CONTEXT Context, PSERIAL_BASIC_SETTINGS Settings)
{
    Settings->Timeouts = Context->Timeouts;
    Settings->HandFlow = Context->HandFlow;
    Settings->RxFifo = 0;
    Settings->TxFifo = 0;
    // The basic settings: no time-outs, no hand-flow; the receive flow
    // control is left as it was.
    Context->Timeouts = {};
    Context->HandFlow = {};
}

void SerialRestoreSettings(PDEVICE_CONTEXT Context, const SERIAL_BASIC_SETTINGS* Settings)
{
    Context->Timeouts = Settings->Timeouts;
    Context->HandFlow = Settings->HandFlow;
}

BOOLEAN SerialErrorAbortInForce(PDEVICE_CONTEXT Context)
{
    return (Context->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT) != 0 && Context->ErrorWord != 0 ? TRUE : FALSE;
}

} // namespace X9TR_DRIVER_NAMESPACE
