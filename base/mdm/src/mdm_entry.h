// The modem port driver's entry point, the one thing the machine that loads
// it needs to know.
#pragma once

#include "platform/wdf.h"

namespace x9trmdm {

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath);

} // namespace x9trmdm
