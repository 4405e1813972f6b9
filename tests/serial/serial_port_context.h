// The test port's device context as the serial core sees it: the serial
// half and a USB part with the fields the core uses, but no function
// behind it (no pipes; the reader stays stopped).
#pragma once

#include "base/serial/serial.h"

namespace x9trsertest {

inline constexpr ULONG SERIAL_POOL_TAG = MakePoolTag("TSER");

struct TEST_USB_PART {
    WDFUSBPIPE BulkInputPipe;
    ULONG BulkInputMaxPacketSize;
    WDFUSBPIPE BulkOutputPipe;
    ULONG BulkOutputMaxPacketSize;
    ULONG ReadSize;
    ULONG ReadMemoryLimitNum;
    ULONG ReadMemoryPt8Num;
    WDFCOLLECTION FreeReadMemoryCollection;
    WDFCOLLECTION ReadMemoryCollection;
    ULONG ReadMemoryMaxCountBuffered;
    BOOLEAN ReadPipeStopped;
    BOOLEAN ResetPipePending;
    ULONG ErrorCount;
    WDFCOLLECTION ReadRequestCollection;
    WDFCOLLECTION PendingReadRequestCollection;
    WDFCOLLECTION WriteRequestCollection;
};

struct DEVICE_CONTEXT : SERIAL_DEVICE_STATE {
    TEST_USB_PART Usb;
};
using TEST_PORT_CONTEXT = DEVICE_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TEST_PORT_CONTEXT, GetTestPortContext)

inline TEST_PORT_CONTEXT* DeviceGetContext(WDFDEVICE Device) { return GetTestPortContext(Device); }

} // namespace x9trsertest
