// Instance numbers and the single-value registry helpers. Every key is opened
// with STANDARD_RIGHTS_ALL and closed again before the helper returns; the
// counter lives only in the registry.
#include "base/bus/instance_number.h"

namespace X9TR_DRIVER_NAMESPACE {

namespace {

// Reads one REG_DWORD from a key just opened (when OpenStatus says it was)
// and closes the key: TRUE when the value was there and of that type.
BOOLEAN ReadAndClose(NTSTATUS OpenStatus, WDFKEY Key, PCWSTR Name, PULONG Value)
{
    if (!NT_SUCCESS(OpenStatus)) {
        return FALSE;
    }
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, Name);
    const BOOLEAN result = NT_SUCCESS(WdfRegistryQueryULong(Key, &valueName, Value)) ? TRUE : FALSE;
    WdfRegistryClose(Key);
    return result;
}

BOOLEAN WriteAndClose(NTSTATUS OpenStatus, WDFKEY Key, PCWSTR Name, ULONG Value)
{
    if (!NT_SUCCESS(OpenStatus)) {
        return FALSE;
    }
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, Name);
    const BOOLEAN result = NT_SUCCESS(WdfRegistryAssignULong(Key, &valueName, Value)) ? TRUE : FALSE;
    WdfRegistryClose(Key);
    return result;
}

} // namespace

BOOLEAN GetFdoRegistryKeyValue(PWDFDEVICE_INIT DeviceInit, PCWSTR Name, PULONG Value)
{
    WDFKEY key = nullptr;
    *Value = 0;
    const NTSTATUS status = WdfFdoInitOpenRegistryKey(DeviceInit, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL,
                                                      WDF_NO_OBJECT_ATTRIBUTES, &key);
    return ReadAndClose(status, key, Name, Value);
}

BOOLEAN PutFdoRegistryKeyValue(PWDFDEVICE_INIT DeviceInit, PCWSTR Name, ULONG Value)
{
    WDFKEY key = nullptr;
    const NTSTATUS status = WdfFdoInitOpenRegistryKey(DeviceInit, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL,
                                                      WDF_NO_OBJECT_ATTRIBUTES, &key);
    return WriteAndClose(status, key, Name, Value);
}

BOOLEAN GetRegistrySoftwareKeyValue(WDFDEVICE Device, PCWSTR Name, PULONG Value)
{
    WDFKEY key = nullptr;
    *Value = 0;
    const NTSTATUS status = WdfDeviceOpenRegistryKey(Device, PLUGPLAY_REGKEY_DRIVER, STANDARD_RIGHTS_ALL,
                                                     WDF_NO_OBJECT_ATTRIBUTES, &key);
    return ReadAndClose(status, key, Name, Value);
}

BOOLEAN SerialGetRegistryKeyValue(WDFDEVICE Device, PCWSTR Name, PULONG Value)
{
    WDFKEY key = nullptr;
    *Value = 0;
    const NTSTATUS status = WdfDeviceOpenRegistryKey(Device, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL,
                                                     WDF_NO_OBJECT_ATTRIBUTES, &key);
    return ReadAndClose(status, key, Name, Value);
}

BOOLEAN SerialPutRegistryKeyValue(WDFDEVICE Device, PCWSTR Name, ULONG Value)
{
    WDFKEY key = nullptr;
    const NTSTATUS status = WdfDeviceOpenRegistryKey(Device, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL,
                                                     WDF_NO_OBJECT_ATTRIBUTES, &key);
    return WriteAndClose(status, key, Name, Value);
}

NTSTATUS GetThenUpdateNextInstanceNumber(WDFDRIVER Driver, PULONG Number)
{
    WDFKEY key = nullptr;
    NTSTATUS status = WdfDriverOpenParametersRegistryKey(Driver, STANDARD_RIGHTS_ALL, WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING valueName = RTL_CONSTANT_STRING(u"NextInstanceNumber");
    if (!NT_SUCCESS(WdfRegistryQueryULong(key, &valueName, Number))) {
        *Number = 0;
    }
    // Unsigned arithmetic: the counter wraps from 0xFFFFFFFF to 0.
    status = WdfRegistryAssignULong(key, &valueName, *Number + 1);
    WdfRegistryClose(key);
    return status;
}

NTSTATUS GetInstanceNumber(PWDFDEVICE_INIT DeviceInit, WDFDRIVER Driver, PULONG InstanceNumber)
{
    // A known device instance keeps its number; the counter does not move.
    if (GetFdoRegistryKeyValue(DeviceInit, u"InstanceNumber", InstanceNumber)) {
        return STATUS_SUCCESS;
    }
    const NTSTATUS status = GetThenUpdateNextInstanceNumber(Driver, InstanceNumber);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!PutFdoRegistryKeyValue(DeviceInit, u"InstanceNumber", *InstanceNumber)) {
        return STATUS_UNSUCCESSFUL;
    }
    return status;
}

} // namespace X9TR_DRIVER_NAMESPACE
