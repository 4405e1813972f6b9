// The modem's side of the serial control codes: what the core forwards to
// DeviceControl2IoQueue is carried to the handset as CDC ACM class
// requests, and the modem status comes from the handset's serial state.
#include "base/serial/serial.h"

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
