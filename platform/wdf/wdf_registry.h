// Registry keys as framework objects (WDFKEY) and their value operations.
// Keys opened by drivers run in kernel mode: the access mask is recorded
// with the key but, as for any kernel-mode handle, not checked.
#pragma once

#include "platform/kernel/registry.h"
#include "platform/wdf/wdf_types.h"

// Opens KeyName below ParentKey, or the absolute path KeyName with no parent.
NTSTATUS WdfRegistryOpenKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key);
NTSTATUS WdfRegistryCreateKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                              ULONG CreateOptions, PULONG CreateDisposition,
                              PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key);
void WdfRegistryClose(WDFKEY Key);

// STATUS_OBJECT_NAME_NOT_FOUND when absent, STATUS_OBJECT_TYPE_MISMATCH when
// not a 4-byte REG_DWORD; *Value is untouched on failure.
NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value);
NTSTATUS WdfRegistryAssignULong(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value);
// Reads a REG_SZ value into Value (without its terminating zero).
// *ValueByteLength receives the text's length in bytes. A text longer than
// Value's MaximumLength gives STATUS_BUFFER_OVERFLOW and copies nothing.
NTSTATUS WdfRegistryQueryUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PUSHORT ValueByteLength,
                                       PUNICODE_STRING Value);
NTSTATUS WdfRegistryAssignUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PCUNICODE_STRING Value);
// Copies the value's bytes; STATUS_BUFFER_OVERFLOW with the needed length
// in *ValueLengthQueried when ValueLength is too small.
NTSTATUS WdfRegistryQueryValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength, PVOID Value,
                               PULONG ValueLengthQueried, PULONG ValueType);
NTSTATUS WdfRegistryAssignValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueType, ULONG ValueLength,
                                PVOID Value);
NTSTATUS WdfRegistryRemoveValue(WDFKEY Key, PCUNICODE_STRING ValueName);

namespace platform::wdf {
// Makes a key object for an absolute path; used by the driver and device
// operations that open their well-known keys.
NTSTATUS OpenKeyObject(std::u16string_view path, bool create, ACCESS_MASK access,
                       PWDF_OBJECT_ATTRIBUTES attributes, WDFKEY* key);
} // namespace platform::wdf
