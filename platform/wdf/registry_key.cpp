// Registry keys as framework objects and their value operations.
#include "platform/platform.h"
#include "platform/wdf/wdf_registry.h"

#include <cstring>

namespace platform::wdf {
namespace {

class RegistryKey final : public Object {
public:
    RegistryKey() : Object(ObjectKind::RegistryKey) {}
    std::u16string Path;
    ACCESS_MASK Access = 0;
};

RegistryKey* Resolve(WDFKEY handle, const char* operation)
{
    return Platform::Current().Objects().ResolveAs<RegistryKey>(handle, ObjectKind::RegistryKey, operation);
}

Registry& TheRegistry() { return Platform::Current().Registry(); }

std::u16string_view Name(PCUNICODE_STRING name) { return name != nullptr ? View(*name) : std::u16string_view(); }

} // namespace

NTSTATUS OpenKeyObject(std::u16string_view path, bool create, ACCESS_MASK access, PWDF_OBJECT_ATTRIBUTES attributes,
                       WDFKEY* key)
{
    if (key == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *key = nullptr;
    NTSTATUS status = TheRegistry().OpenKey(path, create);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto object = std::make_unique<RegistryKey>();
    object->Path = std::u16string(path);
    object->Access = access;
    RegistryKey* raw = object.get();
    status = Platform::Current().Objects().Insert(std::move(object), attributes);
    if (NT_SUCCESS(status)) {
        *key = static_cast<WDFKEY>(raw->Handle());
    }
    return status;
}

} // namespace platform::wdf

using platform::RegistryValue;
using platform::wdf::RegistryKey;

namespace {

NTSTATUS OpenBelow(WDFKEY ParentKey, PCUNICODE_STRING KeyName, bool create, ACCESS_MASK access,
                   PWDF_OBJECT_ATTRIBUTES attributes, WDFKEY* Key)
{
    if (KeyName == nullptr || Key == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string path;
    if (ParentKey != nullptr) {
        RegistryKey* parent = platform::wdf::Resolve(ParentKey, "WdfRegistryOpenKey");
        if (parent == nullptr) {
            return STATUS_INVALID_HANDLE;
        }
        path = parent->Path + u"\\";
    }
    path += platform::View(*KeyName);
    return platform::wdf::OpenKeyObject(path, create, access, attributes, Key);
}

} // namespace

NTSTATUS WdfRegistryOpenKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    return OpenBelow(ParentKey, KeyName, false, DesiredAccess, KeyAttributes, Key);
}

NTSTATUS WdfRegistryCreateKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess, ULONG,
                              PULONG CreateDisposition, PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    constexpr ULONG REG_CREATED_NEW_KEY = 1;
    constexpr ULONG REG_OPENED_EXISTING_KEY = 2;
    bool existed = false;
    if (KeyName != nullptr) {
        std::u16string path;
        if (ParentKey != nullptr) {
            if (RegistryKey* parent = platform::wdf::Resolve(ParentKey, "WdfRegistryCreateKey")) {
                path = parent->Path + u"\\";
            }
        }
        existed = platform::wdf::TheRegistry().KeyExists(path + std::u16string(platform::View(*KeyName)));
    }
    const NTSTATUS status = OpenBelow(ParentKey, KeyName, true, DesiredAccess, KeyAttributes, Key);
    if (NT_SUCCESS(status) && CreateDisposition != nullptr) {
        *CreateDisposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    }
    return status;
}

void WdfRegistryClose(WDFKEY Key)
{
    if (RegistryKey* key = platform::wdf::Resolve(Key, "WdfRegistryClose")) {
        platform::Platform::Current().Objects().Delete(*key);
    }
}

NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value)
{
    RegistryKey* key = platform::wdf::Resolve(Key, "WdfRegistryQueryULong");
    if (key == nullptr || Value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    RegistryValue value;
    const NTSTATUS status = platform::wdf::TheRegistry().QueryValue(key->Path, platform::wdf::Name(ValueName), &value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const auto dword = value.AsDword();
    if (!dword) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *Value = *dword;
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryAssignULong(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value)
{
    RegistryKey* key = platform::wdf::Resolve(Key, "WdfRegistryAssignULong");
    if (key == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return platform::wdf::TheRegistry().SetValue(key->Path, platform::wdf::Name(ValueName), RegistryValue::Dword(Value));
}

NTSTATUS WdfRegistryQueryUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PUSHORT ValueByteLength,
                                       PUNICODE_STRING Value)
{
    RegistryKey* key = platform::wdf::Resolve(Key, "WdfRegistryQueryUnicodeString");
    if (key == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    RegistryValue value;
    const NTSTATUS status = platform::wdf::TheRegistry().QueryValue(key->Path, platform::wdf::Name(ValueName), &value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const auto text = value.AsString();
    if (!text) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    const std::size_t bytes = text->size() * sizeof(WCHAR);
    if (bytes > 0xFFFF) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (ValueByteLength != nullptr) {
        *ValueByteLength = static_cast<USHORT>(bytes);
    }
    if (Value == nullptr) {
        return STATUS_SUCCESS;
    }
    if (bytes > Value->MaximumLength || (bytes != 0 && Value->Buffer == nullptr)) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (bytes != 0) {
        std::memcpy(Value->Buffer, text->data(), bytes);
    }
    Value->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryAssignUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PCUNICODE_STRING Value)
{
    RegistryKey* key = platform::wdf::Resolve(Key, "WdfRegistryAssignUnicodeString");
    if (key == nullptr || Value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return platform::wdf::TheRegistry().SetValue(key->Path, platform::wdf::Name(ValueName),
                                                 RegistryValue::String(platform::View(*Value)));
}

NTSTATUS WdfRegistryQueryValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength, PVOID Value,
                               PULONG ValueLengthQueried, PULONG ValueType)
{
    RegistryKey* key = platform::wdf::Resolve(Key, "WdfRegistryQueryValue");
    if (key == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    RegistryValue value;
    const NTSTATUS status = platform::wdf::TheRegistry().QueryValue(key->Path, platform::wdf::Name(ValueName), &value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ValueLengthQueried != nullptr) {
        *ValueLengthQueried = static_cast<ULONG>(value.Data.size());
    }
    if (ValueType != nullptr) {
        *ValueType = value.Type;
    }
    if (value.Data.size() > ValueLength || (Value == nullptr && !value.Data.empty())) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (!value.Data.empty()) {
        std::memcpy(Value, value.Data.data(), value.Data.size());
    }
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryAssignValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueType, ULONG ValueLength,
                                PVOID Value)
{
    RegistryKey* key = platform::wdf::Resolve(Key, "WdfRegistryAssignValue");
    if (key == nullptr || (Value == nullptr && ValueLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto* bytes = static_cast<const std::byte*>(Value);
    return platform::wdf::TheRegistry().SetValue(
        key->Path, platform::wdf::Name(ValueName),
        RegistryValue{ValueType, std::vector<std::byte>(bytes, bytes + ValueLength)});
}

NTSTATUS WdfRegistryRemoveValue(WDFKEY Key, PCUNICODE_STRING ValueName)
{
    RegistryKey* key = platform::wdf::Resolve(Key, "WdfRegistryRemoveValue");
    if (key == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return platform::wdf::TheRegistry().DeleteValue(key->Path, platform::wdf::Name(ValueName));
}
