// Framework string objects: a counted Unicode string owned by an object.
#pragma once

#include "platform/wdf/wdf_types.h"

NTSTATUS WdfStringCreate(PCUNICODE_STRING UnicodeString, PWDF_OBJECT_ATTRIBUTES StringAttributes,
                         WDFSTRING* String);
// Points UnicodeString at the object's text, valid while the object lives.
void WdfStringGetUnicodeString(WDFSTRING String, PUNICODE_STRING UnicodeString);

namespace platform::wdf {
// Replaces a string object's text (used by framework queries that fill one).
NTSTATUS AssignString(WDFSTRING String, std::u16string_view text);
} // namespace platform::wdf
