// The communication interface's interrupt IN pipe: its continuous reader
// runs from D0 entry to D0 exit, open or not.
#include "base/mdm/src/mdm.h"

namespace x9trmdm {

void MdmEvtUsbInterruptPipeReadComplete(WDFUSBPIPE, WDFMEMORY, std::size_t, WDFCONTEXT)
{
    // The handset's notifications are read and their contents not acted on
    // yet: the modem status stays what D0 entry set.
}

BOOLEAN MdmEvtUsbInterruptPipeReadersFailed(WDFUSBPIPE, NTSTATUS Status, USBD_STATUS)
{
    // A device that is gone stays stopped until the next D0 entry.
    return (Status == STATUS_DEVICE_NOT_CONNECTED || Status == STATUS_DEVICE_DOES_NOT_EXIST) ? FALSE : TRUE;
}

NTSTATUS MdmD0EntryInterruptPipe(PMDM_DEVICE_CONTEXT Context)
{
    PMDM_USB_PART usb = &Context->Usb;
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_TIMEOUT | WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_SEC(1));
    NTSTATUS status = WdfUsbTargetPipeResetSynchronously(usb->InterruptPipe, WDF_NO_HANDLE, &options);
    if (!NT_SUCCESS(status) && status != STATUS_NO_SUCH_DEVICE) {
        return status;
    }
    usb->UartState = 0x0002;
    return WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(usb->InterruptPipe));
}

void MdmD0ExitInterruptPipe(PMDM_DEVICE_CONTEXT Context)
{
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(Context->Usb.InterruptPipe), WdfIoTargetCancelSentIo);
}

} // namespace x9trmdm
