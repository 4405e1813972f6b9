// Instance numbers and the single-value registry helpers, built into the bus
// driver and both serial port drivers. A device instance's number lives in
// its hardware key as "InstanceNumber"; new instances take theirs from the
// driver's "NextInstanceNumber" parameter.
#pragma once

#include "platform/wdf.h"

// Each driver compiles these helpers into its own namespace; code outside
// the drivers reaches the bus driver's copy.
#ifndef X9TR_DRIVER_NAMESPACE
#define X9TR_DRIVER_NAMESPACE x9trbus
#endif

namespace X9TR_DRIVER_NAMESPACE {

// The number of the device instance being added: the one it already has, or
// the next one of the driver's counter, which is then recorded for it.
NTSTATUS GetInstanceNumber(PWDFDEVICE_INIT DeviceInit, WDFDRIVER Driver, PULONG InstanceNumber);

// Reads the driver's counter into *Number (0 when absent or unreadable) and
// writes back *Number + 1.
NTSTATUS GetThenUpdateNextInstanceNumber(WDFDRIVER Driver, PULONG Number);

// One REG_DWORD value of the hardware key of a device being added.
BOOLEAN GetFdoRegistryKeyValue(PWDFDEVICE_INIT DeviceInit, PCWSTR Name, PULONG Value);
BOOLEAN PutFdoRegistryKeyValue(PWDFDEVICE_INIT DeviceInit, PCWSTR Name, ULONG Value);

// One REG_DWORD value of the software key of a created device.
BOOLEAN GetRegistrySoftwareKeyValue(WDFDEVICE Device, PCWSTR Name, PULONG Value);

// One REG_DWORD value of the hardware key of a created device.
BOOLEAN SerialGetRegistryKeyValue(WDFDEVICE Device, PCWSTR Name, PULONG Value);
BOOLEAN SerialPutRegistryKeyValue(WDFDEVICE Device, PCWSTR Name, ULONG Value);

// The port drivers' name for GetFdoRegistryKeyValue.
inline BOOLEAN SerialGetFdoRegistryKeyValue(PWDFDEVICE_INIT DeviceInit, PCWSTR Name, PULONG Value)
{
    return GetFdoRegistryKeyValue(DeviceInit, Name, Value);
}

} // namespace X9TR_DRIVER_NAMESPACE
