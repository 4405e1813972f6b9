// The modem's side of the serial control codes: what the core forwards to
// DeviceControl2IoQueue is carried to the handset as CDC ACM class
// requests, and the modem status comes from the handset's serial state.
#include "base/mdm/src/mdm.h"

namespace x9trmdm {

namespace {

// The class requests that carry these settings to the handset are not
// built yet; until they are, the port refuses the settings rather than
// pretend the handset took them.
void MdmStartNotCarried(PMDM_DEVICE_CONTEXT, WDFREQUEST Request)
{
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    requestContext->Status = STATUS_NOT_SUPPORTED;
    CompleteRequest(Request, STATUS_NOT_SUPPORTED, 0);
}

ULONG MdmGetModemStatus(PMDM_DEVICE_CONTEXT) { return 0; }

} // namespace

void MdmEvtIoDeviceControl2nd(WDFQUEUE Queue, WDFREQUEST Request, std::size_t, std::size_t, ULONG)
{
    KickStarter(GetMdmDeviceContext(WdfIoQueueGetDevice(Queue)), Request);
}

// Requests on DeviceControl2IoQueue are completed by their start routines
// at once, so none is held across a stop.
void MdmEvtIoDeviceControl2ndStop(WDFQUEUE, WDFREQUEST, ULONG) {}

void MdmEvtIoDeviceControl2ndResume(WDFQUEUE, WDFREQUEST) {}

const SERIAL_PERSONALITY SerialPersonality = {
    MdmStartNotCarried, // set baud rate
    MdmStartNotCarried, // get baud rate
    MdmStartNotCarried, // set line control
    MdmStartNotCarried, // get line control
    MdmStartNotCarried, // break on and off
    MdmStartNotCarried, // DTR and RTS
    MdmStartNotCarried, // modem control
    MdmGetModemStatus,
};

} // namespace x9trmdm
