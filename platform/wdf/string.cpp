// Framework string objects.
#include "platform/platform.h"
#include "platform/wdf/wdf_string.h"

namespace platform::wdf {
namespace {

class StringObject final : public Object {
public:
    StringObject() : Object(ObjectKind::String) {}
    std::u16string Text;
};

StringObject* Resolve(WDFSTRING handle, const char* operation)
{
    return Platform::Current().Objects().ResolveAs<StringObject>(handle, ObjectKind::String, operation);
}

} // namespace

NTSTATUS AssignString(WDFSTRING handle, std::u16string_view text)
{
    StringObject* string = Resolve(handle, "AssignString");
    if (string == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (text.size() * sizeof(WCHAR) > 0xFFFE) {
        return STATUS_INVALID_PARAMETER;
    }
    string->Text = std::u16string(text);
    return STATUS_SUCCESS;
}

} // namespace platform::wdf

using platform::Platform;
using platform::wdf::StringObject;

NTSTATUS WdfStringCreate(PCUNICODE_STRING UnicodeString, PWDF_OBJECT_ATTRIBUTES StringAttributes, WDFSTRING* String)
{
    if (String == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *String = nullptr;
    if (auto failure = Platform::Current().Faults().Take("WdfStringCreate")) {
        return *failure;
    }
    auto string = std::make_unique<StringObject>();
    if (UnicodeString != nullptr) {
        string->Text = std::u16string(platform::View(*UnicodeString));
    }
    StringObject* raw = string.get();
    const NTSTATUS status = Platform::Current().Objects().Insert(std::move(string), StringAttributes);
    if (NT_SUCCESS(status)) {
        *String = static_cast<WDFSTRING>(raw->Handle());
    }
    return status;
}

void WdfStringGetUnicodeString(WDFSTRING String, PUNICODE_STRING UnicodeString)
{
    StringObject* string = platform::wdf::Resolve(String, "WdfStringGetUnicodeString");
    if (string == nullptr) {
        *UnicodeString = UNICODE_STRING{0, 0, nullptr};
        return;
    }
    UnicodeString->Buffer = string->Text.data();
    UnicodeString->Length = static_cast<USHORT>(string->Text.size() * sizeof(WCHAR));
    UnicodeString->MaximumLength = UnicodeString->Length;
}
