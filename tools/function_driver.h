// A small function driver for tests and benchmarks: bound to a child of the
// bus driver, it does what every function driver of the set does with its child. It creates
// a USB target, reads its device and configuration descriptors, selects a
// configuration of all its interfaces and takes their pipes; tests then move
// data through those pipes.
#pragma once

#include "platform/pnp/pnp_manager.h"
#include "platform/wdf.h"

#include <vector>

namespace x9tr::test {

struct FUNCTION_CONTEXT {
    WDFDEVICE Device;
    WDFUSBDEVICE UsbDevice;
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    UCHAR Configuration[1024];
    USHORT ConfigurationLength;
    NTSTATUS PrepareStatus;
    WDFUSBPIPE Pipes[8];
    ULONG PipeCount;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FUNCTION_CONTEXT, GetFunctionContext)

// The driver's image and a manifest binding it to these hardware IDs.
platform::pnp::DriverImage FunctionDriverImage();
platform::pnp::Manifest FunctionDriverManifest(std::vector<std::u16string> ids);

// The pipe of the function device with this endpoint address.
WDFUSBPIPE PipeFor(WDFDEVICE device, UCHAR endpointAddress);

} // namespace x9tr::test
