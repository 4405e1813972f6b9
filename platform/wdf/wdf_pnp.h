// Plug and Play and power vocabulary of framework devices: power states,
// the PnP/power callbacks a driver registers, and the PnP and power
// capabilities it reports.
#pragma once

#include "platform/wdf/wdf_types.h"

enum DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0,
    PowerDeviceD1,
    PowerDeviceD2,
    PowerDeviceD3,
    PowerDeviceMaximum,
};

enum SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking,
    PowerSystemSleeping1,
    PowerSystemSleeping2,
    PowerSystemSleeping3,
    PowerSystemHibernate,
    PowerSystemShutdown,
    PowerSystemMaximum,
};

enum WDF_POWER_DEVICE_STATE {
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0,
    WdfPowerDeviceD1,
    WdfPowerDeviceD2,
    WdfPowerDeviceD3,
    WdfPowerDeviceD3Final,
    WdfPowerDevicePrepareForHibernation,
    WdfPowerDeviceMaximum,
};

enum DEVICE_RELATION_TYPE {
    BusRelations,
    EjectionRelations,
    PowerRelations,
    RemovalRelations,
    TargetDeviceRelation,
    SingleBusRelations,
    TransportRelations,
};

struct WDFCMRESLIST__ {};
using WDFCMRESLIST = WDFCMRESLIST__*;

using EVT_WDF_DEVICE_D0_ENTRY = NTSTATUS(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
using EVT_WDF_DEVICE_D0_EXIT = NTSTATUS(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
using EVT_WDF_DEVICE_PREPARE_HARDWARE = NTSTATUS(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                                 WDFCMRESLIST ResourcesTranslated);
using EVT_WDF_DEVICE_RELEASE_HARDWARE = NTSTATUS(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated);
using EVT_WDF_DEVICE_SELF_MANAGED_IO = NTSTATUS(WDFDEVICE Device);
using EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP = void(WDFDEVICE Device);
using EVT_WDF_DEVICE_SURPRISE_REMOVAL = void(WDFDEVICE Device);
using EVT_WDF_DEVICE_QUERY_REMOVE = NTSTATUS(WDFDEVICE Device);
using EVT_WDF_DEVICE_QUERY_STOP = NTSTATUS(WDFDEVICE Device);
using EVT_WDF_DEVICE_RELATIONS_QUERY = void(WDFDEVICE Device, DEVICE_RELATION_TYPE RelationType);

struct WDF_PNPPOWER_EVENT_CALLBACKS {
    ULONG Size;
    EVT_WDF_DEVICE_D0_ENTRY* EvtDeviceD0Entry;
    EVT_WDF_DEVICE_D0_ENTRY* EvtDeviceD0EntryPostInterruptsEnabled;
    EVT_WDF_DEVICE_D0_EXIT* EvtDeviceD0Exit;
    EVT_WDF_DEVICE_D0_EXIT* EvtDeviceD0ExitPreInterruptsDisabled;
    EVT_WDF_DEVICE_PREPARE_HARDWARE* EvtDevicePrepareHardware;
    EVT_WDF_DEVICE_RELEASE_HARDWARE* EvtDeviceReleaseHardware;
    EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP* EvtDeviceSelfManagedIoCleanup;
    EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP* EvtDeviceSelfManagedIoFlush;
    EVT_WDF_DEVICE_SELF_MANAGED_IO* EvtDeviceSelfManagedIoInit;
    EVT_WDF_DEVICE_SELF_MANAGED_IO* EvtDeviceSelfManagedIoSuspend;
    EVT_WDF_DEVICE_SELF_MANAGED_IO* EvtDeviceSelfManagedIoRestart;
    EVT_WDF_DEVICE_SURPRISE_REMOVAL* EvtDeviceSurpriseRemoval;
    EVT_WDF_DEVICE_QUERY_REMOVE* EvtDeviceQueryRemove;
    EVT_WDF_DEVICE_QUERY_STOP* EvtDeviceQueryStop;
    EVT_WDF_DEVICE_RELATIONS_QUERY* EvtDeviceRelationsQuery;
};
using PWDF_PNPPOWER_EVENT_CALLBACKS = WDF_PNPPOWER_EVENT_CALLBACKS*;

inline void WDF_PNPPOWER_EVENT_CALLBACKS_INIT(PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks)
{
    *Callbacks = WDF_PNPPOWER_EVENT_CALLBACKS{};
    Callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

struct WDF_DEVICE_PNP_CAPABILITIES {
    ULONG Size;
    WDF_TRI_STATE LockSupported;
    WDF_TRI_STATE EjectSupported;
    WDF_TRI_STATE Removable;
    WDF_TRI_STATE DockDevice;
    WDF_TRI_STATE UniqueID;
    WDF_TRI_STATE SilentInstall;
    WDF_TRI_STATE SurpriseRemovalOK;
    WDF_TRI_STATE HardwareDisabled;
    WDF_TRI_STATE NoDisplayInUI;
    ULONG Address;
    ULONG UINumber;
};
using PWDF_DEVICE_PNP_CAPABILITIES = WDF_DEVICE_PNP_CAPABILITIES*;

inline void WDF_DEVICE_PNP_CAPABILITIES_INIT(PWDF_DEVICE_PNP_CAPABILITIES Caps)
{
    *Caps = WDF_DEVICE_PNP_CAPABILITIES{sizeof(WDF_DEVICE_PNP_CAPABILITIES), WdfUseDefault, WdfUseDefault,
                                        WdfUseDefault, WdfUseDefault, WdfUseDefault, WdfUseDefault, WdfUseDefault,
                                        WdfUseDefault, WdfUseDefault, 0xFFFFFFFF, 0xFFFFFFFF};
}

struct WDF_DEVICE_POWER_CAPABILITIES {
    ULONG Size;
    WDF_TRI_STATE DeviceD1;
    WDF_TRI_STATE DeviceD2;
    WDF_TRI_STATE WakeFromD0;
    WDF_TRI_STATE WakeFromD1;
    WDF_TRI_STATE WakeFromD2;
    WDF_TRI_STATE WakeFromD3;
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
    DEVICE_POWER_STATE DeviceWake;
    SYSTEM_POWER_STATE SystemWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
    DEVICE_POWER_STATE IdealDxStateForSx;
};
using PWDF_DEVICE_POWER_CAPABILITIES = WDF_DEVICE_POWER_CAPABILITIES*;

inline void WDF_DEVICE_POWER_CAPABILITIES_INIT(PWDF_DEVICE_POWER_CAPABILITIES Caps)
{
    *Caps = WDF_DEVICE_POWER_CAPABILITIES{};
    Caps->Size = sizeof(WDF_DEVICE_POWER_CAPABILITIES);
    Caps->DeviceD1 = Caps->DeviceD2 = WdfUseDefault;
    Caps->WakeFromD0 = Caps->WakeFromD1 = Caps->WakeFromD2 = Caps->WakeFromD3 = WdfUseDefault;
    for (auto& state : Caps->DeviceState) {
        state = PowerDeviceMaximum;
    }
    Caps->DeviceWake = PowerDeviceMaximum;
    Caps->SystemWake = PowerSystemMaximum;
    Caps->D1Latency = Caps->D2Latency = Caps->D3Latency = 0xFFFFFFFF;
    Caps->IdealDxStateForSx = PowerDeviceMaximum;
}

enum INTERFACE_TYPE { InterfaceTypeUndefined = -1, Internal = 0, PNPBus = 15 };

struct PNP_BUS_INFORMATION {
    GUID BusTypeGuid;
    INTERFACE_TYPE LegacyBusType;
    ULONG BusNumber;
};
using PPNP_BUS_INFORMATION = PNP_BUS_INFORMATION*;

inline constexpr GUID GUID_BUS_TYPE_USB = {0x9D7DEBBC, 0xC85D, 0x11D1, {0x9E, 0xB4, 0x00, 0x60, 0x08, 0xC3, 0xA1, 0x9A}};
