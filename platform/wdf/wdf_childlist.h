// Child lists: a bus driver's record of the children it reports. A scan
// reports the present children by identification description; the
// framework compares descriptions byte for byte, creates a child for a new
// one through the create-device callback, and removes the children a scan
// did not report.
#pragma once

#include "platform/wdf/wdf_driver.h"
#include "platform/wdf/wdf_types.h"

struct WDFCHILDLIST__ {};
using WDFCHILDLIST = WDFCHILDLIST__*;

struct WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER {
    ULONG IdentificationDescriptionSize;
};
using PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER = WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER*;

struct WDF_CHILD_ADDRESS_DESCRIPTION_HEADER {
    ULONG AddressDescriptionSize;
};
using PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER = WDF_CHILD_ADDRESS_DESCRIPTION_HEADER*;

using EVT_WDF_CHILD_LIST_CREATE_DEVICE = NTSTATUS(WDFCHILDLIST ChildList,
                                                  PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
                                                  PWDFDEVICE_INIT ChildInit);
using EVT_WDF_CHILD_LIST_DEVICE_REENUMERATED = BOOLEAN(WDFCHILDLIST ChildList, WDFDEVICE OldDevice,
                                                       PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription,
                                                       PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription);

struct WDF_CHILD_LIST_CONFIG {
    ULONG Size;
    ULONG IdentificationDescriptionSize;
    ULONG AddressDescriptionSize;
    EVT_WDF_CHILD_LIST_CREATE_DEVICE* EvtChildListCreateDevice;
    void* EvtChildListScanForChildren;
    void* EvtChildListIdentificationDescriptionCopy;
    void* EvtChildListIdentificationDescriptionDuplicate;
    void* EvtChildListIdentificationDescriptionCleanup;
    void* EvtChildListIdentificationDescriptionCompare;
    void* EvtChildListAddressDescriptionCopy;
    void* EvtChildListAddressDescriptionDuplicate;
    void* EvtChildListAddressDescriptionCleanup;
    EVT_WDF_CHILD_LIST_DEVICE_REENUMERATED* EvtChildListDeviceReenumerated;
};
using PWDF_CHILD_LIST_CONFIG = WDF_CHILD_LIST_CONFIG*;

inline void WDF_CHILD_LIST_CONFIG_INIT(PWDF_CHILD_LIST_CONFIG Config, ULONG IdentificationDescriptionSize,
                                       EVT_WDF_CHILD_LIST_CREATE_DEVICE* EvtChildListCreateDevice)
{
    *Config = WDF_CHILD_LIST_CONFIG{};
    Config->Size = sizeof(WDF_CHILD_LIST_CONFIG);
    Config->IdentificationDescriptionSize = IdentificationDescriptionSize;
    Config->EvtChildListCreateDevice = EvtChildListCreateDevice;
}

inline void WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER_INIT(PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER Header,
                                                             ULONG IdentificationDescriptionSize)
{
    Header->IdentificationDescriptionSize = IdentificationDescriptionSize;
}

void WdfFdoInitSetDefaultChildListConfig(PWDFDEVICE_INIT DeviceInit, PWDF_CHILD_LIST_CONFIG Config,
                                         PWDF_OBJECT_ATTRIBUTES DefaultChildListAttributes);
WDFCHILDLIST WdfFdoGetDefaultChildList(WDFDEVICE Fdo);
WDFDEVICE WdfChildListGetDevice(WDFCHILDLIST ChildList);
void WdfChildListBeginScan(WDFCHILDLIST ChildList);
void WdfChildListEndScan(WDFCHILDLIST ChildList);
NTSTATUS WdfChildListAddOrUpdateChildDescriptionAsPresent(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
    PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription);
// Asks for a child to be re-enumerated; the driver's callback decides.
NTSTATUS WdfChildListRequestChildEject(WDFCHILDLIST ChildList,
                                       PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription);

// Copies a child's identification description into a record whose header
// holds its size (which must equal the child list's).
NTSTATUS WdfPdoRetrieveIdentificationDescription(WDFDEVICE Device,
                                                 PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription);
WDFDEVICE WdfPdoGetParent(WDFDEVICE Device);
