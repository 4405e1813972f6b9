// The framework driver object: created once in a driver's entry point, the
// root of every object the driver makes, and the owner of its Parameters key.
#pragma once

#include "platform/kernel/wdm.h"
#include "platform/wdf/wdf_types.h"

struct WDFDEVICE_INIT;
using PWDFDEVICE_INIT = WDFDEVICE_INIT*;

using EVT_WDF_DRIVER_DEVICE_ADD = NTSTATUS(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
using PFN_WDF_DRIVER_DEVICE_ADD = EVT_WDF_DRIVER_DEVICE_ADD*;
using EVT_WDF_DRIVER_UNLOAD = void(WDFDRIVER Driver);
using PFN_WDF_DRIVER_UNLOAD = EVT_WDF_DRIVER_UNLOAD*;

inline constexpr ULONG WdfDriverInitNonPnpDriver = 0x00000001;
inline constexpr ULONG WdfDriverInitNoDispatchOverride = 0x00000002;

struct WDF_DRIVER_CONFIG {
    ULONG Size;
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
    ULONG DriverInitFlags;
    ULONG DriverPoolTag;
};
using PWDF_DRIVER_CONFIG = WDF_DRIVER_CONFIG*;

inline void WDF_DRIVER_CONFIG_INIT(PWDF_DRIVER_CONFIG Config, PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd)
{
    *Config = WDF_DRIVER_CONFIG{};
    Config->Size = sizeof(WDF_DRIVER_CONFIG);
    Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                         WDFDRIVER* Driver);
// Opens (and on first use creates) the Parameters key below the driver's service key.
NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER Driver, ACCESS_MASK DesiredAccess,
                                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key);
WDFDRIVER WdfGetDriver();
PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver);
PWSTR WdfDriverGetRegistryPath(WDFDRIVER Driver);

namespace platform::wdf {
// The device-add callback a driver registered, for the Plug and Play manager.
PFN_WDF_DRIVER_DEVICE_ADD DeviceAddCallback(WDFDRIVER Driver);
} // namespace platform::wdf
