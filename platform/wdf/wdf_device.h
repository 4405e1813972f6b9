// Device initialisation and framework devices: what a device-add callback
// (or a bus driver's create-device callback) sets before WdfDeviceCreate,
// the registry keys of a device instance, its capabilities, its I/O target
// and the interfaces it offers or queries.
#pragma once

#include "platform/kernel/irp.h"
#include "platform/wdf/wdf_driver.h"
#include "platform/wdf/wdf_pnp.h"
#include "platform/wdf/wdf_request.h"
#include "platform/wdf/wdf_types.h"

// Which of a device instance's keys to open.
inline constexpr ULONG PLUGPLAY_REGKEY_DEVICE = 1;            // hardware key (Device Parameters)
inline constexpr ULONG PLUGPLAY_REGKEY_DRIVER = 2;            // software (driver) key
inline constexpr ULONG PLUGPLAY_REGKEY_CURRENT_HWPROFILE = 4;

NTSTATUS WdfFdoInitOpenRegistryKey(PWDFDEVICE_INIT DeviceInit, ULONG DeviceInstanceKeyType,
                                   ACCESS_MASK DesiredAccess, PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                   WDFKEY* Key);
void WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, ULONG DeviceType);
void WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                            PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks);

// The device's name in the object namespace ("\\Device\\X9TRmdm3").
NTSTATUS WdfDeviceInitAssignName(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceName);
// A link to the device's name ("\\DosDevices\\COM5"), removed with the device.
NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE Device, PCUNICODE_STRING SymbolicLinkName);
// The security descriptor (in SDDL) the device's object gets; kept with the device.
NTSTATUS WdfDeviceInitAssignSDDLString(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING SDDLString);
// Fills a string object with the device's name.
NTSTATUS WdfDeviceRetrieveDeviceName(WDFDEVICE Device, WDFSTRING String);
// FALSE: the system may not stop or remove the device (query stop and query
// remove fail) until a matching TRUE. The calls nest.
void WdfDeviceSetStaticStopRemove(WDFDEVICE Device, BOOLEAN Stoppable);
// Publishes a device interface of the class; it goes with the device.
NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                        PCUNICODE_STRING ReferenceString);

// WDM preprocessing: the driver sees IRPs of a major function (and of the
// listed minor functions, or all when none are listed) before the framework.
// It completes the IRP itself or hands it on with
// WdfDeviceWdmDispatchPreprocessedIrp after setting up the next stack
// location (copied or skipped); the device's IRPs get one more location for it.
using EVT_WDFDEVICE_WDM_IRP_PREPROCESS = NTSTATUS(WDFDEVICE Device, PIRP Irp);
using PFN_WDFDEVICE_WDM_IRP_PREPROCESS = EVT_WDFDEVICE_WDM_IRP_PREPROCESS*;
NTSTATUS WdfDeviceInitAssignWdmIrpPreprocessCallback(PWDFDEVICE_INIT DeviceInit,
                                                     PFN_WDFDEVICE_WDM_IRP_PREPROCESS EvtDeviceWdmIrpPreprocess,
                                                     UCHAR MajorFunction, PUCHAR MinorFunctions,
                                                     ULONG NumMinorFunctions);
NTSTATUS WdfDeviceWdmDispatchPreprocessedIrp(WDFDEVICE Device, PIRP Irp);
// Every request the framework makes for the device gets these attributes
// (a request context, callbacks).
void WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT DeviceInit, PWDF_OBJECT_ATTRIBUTES RequestAttributes);
// Creates the device from *DeviceInit; on success *DeviceInit is consumed (set to null).
NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                         WDFDEVICE* Device);
NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                  PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key);
PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE Device);
void WdfDeviceSetPnpCapabilities(WDFDEVICE Device, PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities);
void WdfDeviceSetPowerCapabilities(WDFDEVICE Device, PWDF_DEVICE_POWER_CAPABILITIES PowerCapabilities);
void WdfDeviceSetBusInformationForChildren(WDFDEVICE Device, PPNP_BUS_INFORMATION BusInformation);
// The device's default I/O target: the next lower device of its stack.
WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device);

// Asks the device's stack for an interface (IRP_MN_QUERY_INTERFACE).
NTSTATUS WdfFdoQueryForInterface(WDFDEVICE Fdo, const GUID* InterfaceType, PINTERFACE Interface, USHORT Size,
                                 USHORT Version, PVOID InterfaceSpecificData);

struct WDF_QUERY_INTERFACE_CONFIG {
    ULONG Size;
    PINTERFACE Interface;
    const GUID* InterfaceType;
    BOOLEAN SendQueryToParentStack;
    void* EvtDeviceProcessQueryInterfaceRequest;
    BOOLEAN ImportInterface;
};
using PWDF_QUERY_INTERFACE_CONFIG = WDF_QUERY_INTERFACE_CONFIG*;

inline void WDF_QUERY_INTERFACE_CONFIG_INIT(PWDF_QUERY_INTERFACE_CONFIG Config, PINTERFACE Interface,
                                            const GUID* InterfaceType, void* EvtDeviceProcessQueryInterfaceRequest)
{
    *Config = WDF_QUERY_INTERFACE_CONFIG{sizeof(WDF_QUERY_INTERFACE_CONFIG), Interface, InterfaceType, FALSE,
                                         EvtDeviceProcessQueryInterfaceRequest, FALSE};
}

// Offers an interface to queries that reach the device; the framework keeps a copy.
NTSTATUS WdfDeviceAddQueryInterface(WDFDEVICE Device, PWDF_QUERY_INTERFACE_CONFIG InterfaceConfig);

// What a bus driver sets on a child's init record.
NTSTATUS WdfPdoInitAssignDeviceID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceID);
NTSTATUS WdfPdoInitAddHardwareID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING HardwareID);
NTSTATUS WdfPdoInitAddCompatibleID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING CompatibleID);
NTSTATUS WdfPdoInitAssignInstanceID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING InstanceID);
NTSTATUS WdfPdoInitAddDeviceText(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceDescription,
                                 PCUNICODE_STRING DeviceLocation, ULONG LocaleId);
void WdfPdoInitSetDefaultLocale(PWDFDEVICE_INIT DeviceInit, ULONG LocaleId);
void WdfPdoInitAllowForwardingRequestToParent(PWDFDEVICE_INIT DeviceInit);
