// Purge: IOCTL_SERIAL_PURGE and the error abort rule end the requests the
// port holds and drop buffered data. A purge leaves both queues running.
#include "base/serial/serial.h"

namespace X9TR_DRIVER_NAMESPACE {

NTSTATUS Purge(PDEVICE_CONTEXT Context, ULONG Mask)
{
    if ((Mask & SERIAL_PURGE_TXABORT) != 0) {
        PurgeTxAbort(Context);
    }
    if ((Mask & SERIAL_PURGE_RXABORT) != 0) {
        PurgeRxAbort(Context);
    }
    if ((Mask & SERIAL_PURGE_RXCLEAR) != 0) {
        // Transfers in flight are not affected.
        FlushReadMemoryCollection(Context);
    }
    // SERIAL_PURGE_TXCLEAR: there is no transmit buffer to clear.
    return STATUS_SUCCESS;
}

NTSTATUS PurgeTxAbort(PDEVICE_CONTEXT Context)
{
    // Writes still queued are cancelled by the queue, those with the device
    // by cancelling their transfers; then new writes are accepted again.
    WdfIoQueuePurge(Context->WriteIoQueue, nullptr, nullptr);
    const NTSTATUS status = PurgeIoWriteRequest(Context);
    WdfIoQueueStart(Context->WriteIoQueue);
    // An XOFF hold the application set stays in force: new writes wait
    // in the queue again instead of going out.
    if (Context->TXHolding != 0) {
        WdfIoQueueStop(Context->WriteIoQueue, nullptr, nullptr);
    }
    return status;
}

NTSTATUS PurgeRxAbort(PDEVICE_CONTEXT Context)
{
    WdfIoQueuePurge(Context->ReadIoQueue, nullptr, nullptr);
    PurgeIoReadRequest(Context);
    WdfIoQueueStart(Context->ReadIoQueue);
    return STATUS_SUCCESS;
}

NTSTATUS PurgeIoReadRequest(PDEVICE_CONTEXT Context)
{
    CancelIoRead(Context, nullptr, STATUS_CANCELLED);
    return STATUS_SUCCESS;
}

} // namespace X9TR_DRIVER_NAMESPACE
