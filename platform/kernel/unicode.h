// Counted strings (UNICODE_STRING, ANSI_STRING) and the string operations the
// drivers call. Every operation is bounded by the destination's MaximumLength:
// text that does not fit fails with STATUS_BUFFER_OVERFLOW (or
// STATUS_BUFFER_TOO_SMALL where the kernel does so) and nothing is written
// past the buffer.
#pragma once

#include "platform/kernel/ntstatus.h"

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

struct UNICODE_STRING {
    USHORT Length;        // bytes in use, no terminating zero counted
    USHORT MaximumLength; // bytes available at Buffer
    PWCH Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;

struct ANSI_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
};
using PANSI_STRING = ANSI_STRING*;

// A counted string over a literal: RTL_CONSTANT_STRING(u"InstanceNumber").
template <std::size_t N>
constexpr UNICODE_STRING RTL_CONSTANT_STRING(const WCHAR (&text)[N])
{
    static_assert(N * sizeof(WCHAR) <= 0xFFFF, "counted strings hold at most 65535 bytes");
    return UNICODE_STRING{static_cast<USHORT>((N - 1) * sizeof(WCHAR)),
                          static_cast<USHORT>(N * sizeof(WCHAR)), const_cast<PWCH>(text)};
}

// Points Destination at a NUL-terminated string (or at nothing for null).
void RtlInitUnicodeString(PUNICODE_STRING Destination, PCWSTR Source);
// Copies as much of Source as fits into Destination's buffer.
void RtlCopyUnicodeString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive);
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);

// Converts to the ANSI code page (characters above 0xFF become '?'). With
// AllocateDestinationString the buffer comes from the pool and is released
// with RtlFreeAnsiString; otherwise it must hold the text and its NUL.
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING Destination, PCUNICODE_STRING Source,
                                      BOOLEAN AllocateDestinationString);
void RtlFreeAnsiString(PANSI_STRING AnsiString);
// Bytes the ANSI form of Source needs, terminating NUL included.
ULONG RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING Source);

namespace platform {

// One argument of the counted-string printf: integers of either sign, wide
// or narrow strings. Conversions are checked against the argument's kind.
using FormatArg = std::variant<long long, unsigned long long, const WCHAR*, const char*>;

template <class T>
FormatArg MakeFormatArg(T value)
{
    if constexpr (std::is_same_v<T, const WCHAR*> || std::is_same_v<T, WCHAR*>) {
        return FormatArg{static_cast<const WCHAR*>(value)};
    } else if constexpr (std::is_same_v<T, const char*> || std::is_same_v<T, char*>) {
        return FormatArg{static_cast<const char*>(value)};
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
        return FormatArg{static_cast<long long>(value)};
    } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
        return FormatArg{static_cast<unsigned long long>(value)};
    } else {
        static_assert(sizeof(T) == 0, "unsupported printf argument");
    }
}

// Formats into Destination's capacity (in characters). Returns
// STATUS_BUFFER_OVERFLOW when the text was cut to fit, and
// STATUS_INVALID_PARAMETER for a malformed format or an argument that does
// not match its conversion. *Written receives the characters produced.
NTSTATUS FormatWide(std::span<WCHAR> Destination, PCWSTR Format, std::span<const FormatArg> Args,
                    std::size_t* Written);

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string_view View(const UNICODE_STRING& text);

} // namespace platform

// "%ws%ws%d" style formatting into a counted string: %d %i %u %x %X %c, %ws
// %ls %s (wide), %hs %S (narrow), flags '-' and '0', width and precision,
// and the length modifiers h, l, ll, I64. On overflow the string holds the
// part that fit.
template <class... Args>
NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING Destination, PCWSTR Format, Args... args)
{
    if (Destination == nullptr || Destination->Buffer == nullptr || Format == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const platform::FormatArg list[] = {platform::MakeFormatArg(args)..., platform::FormatArg{0ll}};
    std::size_t written = 0;
    const NTSTATUS status = platform::FormatWide(
        std::span<WCHAR>(Destination->Buffer, Destination->MaximumLength / sizeof(WCHAR)), Format,
        std::span<const platform::FormatArg>(list, sizeof...(Args)), &written);
    Destination->Length = static_cast<USHORT>(written * sizeof(WCHAR));
    return status;
}

// The same into a NUL-terminated buffer of DestinationBytes bytes; the
// result is always terminated when the buffer has room for one character.
template <class... Args>
NTSTATUS RtlStringCbPrintfW(PWSTR Destination, std::size_t DestinationBytes, PCWSTR Format,
                            Args... args)
{
    const std::size_t capacity = DestinationBytes / sizeof(WCHAR);
    if (Destination == nullptr || capacity == 0 || Format == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const platform::FormatArg list[] = {platform::MakeFormatArg(args)..., platform::FormatArg{0ll}};
    std::size_t written = 0;
    NTSTATUS status = platform::FormatWide(std::span<WCHAR>(Destination, capacity - 1), Format,
                                           std::span<const platform::FormatArg>(list, sizeof...(Args)),
                                           &written);
    Destination[written] = u'\0';
    return status;
}

// Appends formatted text to what Destination already holds, within its
// capacity; on overflow the part that fit is kept.
template <class... Args>
NTSTATUS RtlUnicodeStringCatPrintf(PUNICODE_STRING Destination, PCWSTR Format, Args... args)
{
    if (Destination == nullptr || Destination->Buffer == nullptr || Format == nullptr ||
        Destination->Length > Destination->MaximumLength) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::size_t used = Destination->Length / sizeof(WCHAR);
    const std::size_t capacity = Destination->MaximumLength / sizeof(WCHAR);
    const platform::FormatArg list[] = {platform::MakeFormatArg(args)..., platform::FormatArg{0ll}};
    std::size_t written = 0;
    const NTSTATUS status = platform::FormatWide(std::span<WCHAR>(Destination->Buffer + used, capacity - used), Format,
                                                 std::span<const platform::FormatArg>(list, sizeof...(Args)), &written);
    Destination->Length = static_cast<USHORT>((used + written) * sizeof(WCHAR));
    return status;
}
