// Framework WMI: a driver publishes data blocks (each named by a GUID) of
// its devices as WMI instances, and answers queries for them from its
// callbacks. The platform::wmi calls at the end are the consumer's side, what
// a management application or a test uses to read the blocks.
#pragma once

#include "platform/wdf/wdf_types.h"

#include <cstddef>
#include <string>
#include <vector>

// The WMI service knows no registered instance of the block (for the device asked).
inline constexpr NTSTATUS STATUS_WMI_GUID_NOT_FOUND = MakeStatus(0xC0000295);

enum WDF_WMI_PROVIDER_CONTROL {
    WdfWmiControlInvalid = 0,
    WdfWmiEventControl,
    WdfWmiInstanceControl,
};

// Provider flags. They are kept with the provider; no consumer here enables
// collection or events, so they do not change how queries are answered.
enum WDF_WMI_PROVIDER_FLAGS : ULONG {
    WdfWmiProviderEventOnly = 0x0001,
    WdfWmiProviderExpensive = 0x0002,
    WdfWmiProviderTracing = 0x0004,
    WdfWmiProviderValidFlags = WdfWmiProviderEventOnly | WdfWmiProviderExpensive | WdfWmiProviderTracing,
};

using EVT_WDF_WMI_PROVIDER_FUNCTION_CONTROL = NTSTATUS(WDFWMIPROVIDER WmiProvider, WDF_WMI_PROVIDER_CONTROL Control,
                                                       BOOLEAN Enable);
using PFN_WDF_WMI_PROVIDER_FUNCTION_CONTROL = EVT_WDF_WMI_PROVIDER_FUNCTION_CONTROL*;

// Fills OutBuffer (OutBufferSize bytes, null when 0) with the block and sets
// *BufferUsed to the bytes written; on a short buffer, typically returns
// STATUS_BUFFER_TOO_SMALL with *BufferUsed the size needed.
using EVT_WDF_WMI_INSTANCE_QUERY_INSTANCE = NTSTATUS(WDFWMIINSTANCE WmiInstance, ULONG OutBufferSize,
                                                     PVOID OutBuffer, PULONG BufferUsed);
using PFN_WDF_WMI_INSTANCE_QUERY_INSTANCE = EVT_WDF_WMI_INSTANCE_QUERY_INSTANCE*;
using EVT_WDF_WMI_INSTANCE_SET_INSTANCE = NTSTATUS(WDFWMIINSTANCE WmiInstance, ULONG InBufferSize, PVOID InBuffer);
using PFN_WDF_WMI_INSTANCE_SET_INSTANCE = EVT_WDF_WMI_INSTANCE_SET_INSTANCE*;
using EVT_WDF_WMI_INSTANCE_SET_ITEM = NTSTATUS(WDFWMIINSTANCE WmiInstance, ULONG DataItemId, ULONG InBufferSize,
                                               PVOID InBuffer);
using PFN_WDF_WMI_INSTANCE_SET_ITEM = EVT_WDF_WMI_INSTANCE_SET_ITEM*;
using EVT_WDF_WMI_INSTANCE_EXECUTE_METHOD = NTSTATUS(WDFWMIINSTANCE WmiInstance, ULONG MethodId, ULONG InBufferSize,
                                                     ULONG OutBufferSize, PVOID Buffer, PULONG BufferUsed);
using PFN_WDF_WMI_INSTANCE_EXECUTE_METHOD = EVT_WDF_WMI_INSTANCE_EXECUTE_METHOD*;

// One data block of a device: its GUID and how it is provided.
struct WDF_WMI_PROVIDER_CONFIG {
    ULONG Size;
    GUID Guid;
    ULONG Flags; // WDF_WMI_PROVIDER_FLAGS
    ULONG MinInstanceBufferSize;
    PFN_WDF_WMI_PROVIDER_FUNCTION_CONTROL EvtWmiProviderFunctionControl;
};
using PWDF_WMI_PROVIDER_CONFIG = WDF_WMI_PROVIDER_CONFIG*;

inline void WDF_WMI_PROVIDER_CONFIG_INIT(PWDF_WMI_PROVIDER_CONFIG Config, const GUID* Guid)
{
    *Config = WDF_WMI_PROVIDER_CONFIG{};
    Config->Size = sizeof(WDF_WMI_PROVIDER_CONFIG);
    Config->Guid = *Guid;
}

// One instance of a block. Exactly one of Provider (an existing provider of
// the same device) and ProviderConfig is given. UseContextForQuery answers
// queries with the instance's context, copied whole, instead of a callback.
// Only queries reach the driver now: the set and method callbacks are kept
// for when a consumer sends them.
struct WDF_WMI_INSTANCE_CONFIG {
    ULONG Size;
    WDFWMIPROVIDER Provider;
    PWDF_WMI_PROVIDER_CONFIG ProviderConfig;
    BOOLEAN UseContextForQuery;
    BOOLEAN Register;
    PFN_WDF_WMI_INSTANCE_QUERY_INSTANCE EvtWmiInstanceQueryInstance;
    PFN_WDF_WMI_INSTANCE_SET_INSTANCE EvtWmiInstanceSetInstance;
    PFN_WDF_WMI_INSTANCE_SET_ITEM EvtWmiInstanceSetItem;
    PFN_WDF_WMI_INSTANCE_EXECUTE_METHOD EvtWmiInstanceExecuteMethod;
};
using PWDF_WMI_INSTANCE_CONFIG = WDF_WMI_INSTANCE_CONFIG*;

// Register is left FALSE: the driver sets it, or calls WdfWmiInstanceRegister later.
inline void WDF_WMI_INSTANCE_CONFIG_INIT_PROVIDER(PWDF_WMI_INSTANCE_CONFIG Config, WDFWMIPROVIDER Provider)
{
    *Config = WDF_WMI_INSTANCE_CONFIG{};
    Config->Size = sizeof(WDF_WMI_INSTANCE_CONFIG);
    Config->Provider = Provider;
}

inline void WDF_WMI_INSTANCE_CONFIG_INIT_PROVIDER_CONFIG(PWDF_WMI_INSTANCE_CONFIG Config,
                                                         PWDF_WMI_PROVIDER_CONFIG ProviderConfig)
{
    *Config = WDF_WMI_INSTANCE_CONFIG{};
    Config->Size = sizeof(WDF_WMI_INSTANCE_CONFIG);
    Config->ProviderConfig = ProviderConfig;
}

// Creates an instance of a block of Device. The instance is a child of the
// device whatever the attributes' ParentObject says (their context and
// callbacks apply). With ProviderConfig the device's provider of that GUID is
// used, made on first use; a device's instances of one block are numbered
// from 0 in the order they are made. With Register the instance is
// registered at once; a failed registration fails the creation. Instance may
// be null when the driver keeps no handle.
NTSTATUS WdfWmiInstanceCreate(WDFDEVICE Device, PWDF_WMI_INSTANCE_CONFIG InstanceConfig,
                              PWDF_OBJECT_ATTRIBUTES InstanceAttributes, WDFWMIINSTANCE* Instance);
// Makes the instance visible to consumers; registering a registered instance changes nothing.
NTSTATUS WdfWmiInstanceRegister(WDFWMIINSTANCE WmiInstance);
// Hides it again; queries no longer find it. Deleting the instance does the same.
void WdfWmiInstanceDeregister(WDFWMIINSTANCE WmiInstance);
WDFDEVICE WdfWmiInstanceGetDevice(WDFWMIINSTANCE WmiInstance);
WDFWMIPROVIDER WdfWmiInstanceGetProvider(WDFWMIINSTANCE WmiInstance);

namespace platform::wmi {

// What a consumer gets back for one instance.
struct WmiAnswer {
    NTSTATUS Status = STATUS_WMI_GUID_NOT_FOUND;
    // As the driver reported it: the bytes written, or on a short buffer the bytes needed.
    ULONG BufferUsed = 0;
    // On success the bytes written, never more than the buffer held; empty on failure.
    std::vector<std::byte> Data;
    // The system's name of the instance: the device's instance ID, "_", its number.
    std::u16string InstanceName;
};

// Queries every registered instance of Block, of every device of the current
// platform, in the order the instances were made, each with a buffer of
// BufferSize bytes. The buffer size goes to the driver as given.
std::vector<WmiAnswer> QueryAllInstances(const GUID& block, ULONG bufferSize);

// Queries Device's first registered instance of Block; STATUS_WMI_GUID_NOT_FOUND
// when it has none (also when the device is gone).
WmiAnswer QueryInstance(WDFDEVICE device, const GUID& block, ULONG bufferSize);

} // namespace platform::wmi
