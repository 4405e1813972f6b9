// Counted-string operations and the bounded wide printf behind
// RtlUnicodeStringPrintf and RtlStringCbPrintfW.
#include "platform/kernel/unicode.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr USHORT kMaxCountedBytes = 0xFFFE;

WCHAR UpcaseAscii(WCHAR c) { return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - 32) : c; }

std::size_t Chars(PCUNICODE_STRING text) { return text->Length / sizeof(WCHAR); }

// Appends characters to a bounded output, remembering whether any were cut.
class BoundedOutput {
public:
    explicit BoundedOutput(std::span<WCHAR> destination) : destination_(destination) {}

    void Put(WCHAR c)
    {
        if (used_ < destination_.size()) {
            destination_[used_++] = c;
        } else {
            overflow_ = true;
        }
    }
    void Repeat(WCHAR c, std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i) {
            Put(c);
        }
    }
    std::size_t Used() const { return used_; }
    bool Overflow() const { return overflow_; }

private:
    std::span<WCHAR> destination_;
    std::size_t used_ = 0;
    bool overflow_ = false;
};

struct Spec {
    bool LeftAlign = false;
    bool ZeroPad = false;
    std::size_t Width = 0;
    bool HasPrecision = false;
    std::size_t Precision = 0;
    enum { Default, Short, Long, LongLong } Size = Default;
    bool Narrow = false;
    bool Wide = false;
};

void PutPadded(BoundedOutput& out, const Spec& spec, std::u16string_view body, bool numeric)
{
    const std::size_t pad = spec.Width > body.size() ? spec.Width - body.size() : 0;
    if (!spec.LeftAlign) {
        if (numeric && spec.ZeroPad) {
            // A zero pad goes after the sign.
            std::size_t start = 0;
            if (!body.empty() && body.front() == u'-') {
                out.Put(u'-');
                start = 1;
            }
            out.Repeat(u'0', pad);
            for (std::size_t i = start; i < body.size(); ++i) {
                out.Put(body[i]);
            }
            return;
        }
        out.Repeat(u' ', pad);
    }
    for (WCHAR c : body) {
        out.Put(c);
    }
    if (spec.LeftAlign) {
        out.Repeat(u' ', pad);
    }
}

std::u16string FormatUnsigned(unsigned long long value, unsigned base, bool upper)
{
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string text;
    do {
        text.insert(text.begin(), static_cast<WCHAR>(digits[value % base]));
        value /= base;
    } while (value != 0);
    return text;
}

unsigned long long Truncate(unsigned long long value, const Spec& spec)
{
    switch (spec.Size) {
    case Spec::Short:
        return static_cast<USHORT>(value);
    case Spec::LongLong:
        return value;
    default:
        return static_cast<ULONG>(value);
    }
}

long long TruncateSigned(long long value, const Spec& spec)
{
    switch (spec.Size) {
    case Spec::Short:
        return static_cast<std::int16_t>(value);
    case Spec::LongLong:
        return value;
    default:
        return static_cast<LONG>(value);
    }
}

} // namespace

void RtlInitUnicodeString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (Source == nullptr) {
        *Destination = UNICODE_STRING{0, 0, nullptr};
        return;
    }
    std::size_t bytes = std::char_traits<WCHAR>::length(Source) * sizeof(WCHAR);
    bytes = std::min<std::size_t>(bytes, kMaxCountedBytes - sizeof(WCHAR));
    Destination->Length = static_cast<USHORT>(bytes);
    Destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    Destination->Buffer = const_cast<PWCH>(Source);
}

void RtlCopyUnicodeString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (Source == nullptr || Source->Buffer == nullptr) {
        Destination->Length = 0;
        return;
    }
    const USHORT bytes = std::min(Source->Length, Destination->MaximumLength);
    const USHORT even = static_cast<USHORT>(bytes & ~1u);
    if (even != 0) {
        std::memmove(Destination->Buffer, Source->Buffer, even);
    }
    Destination->Length = even;
    // The kernel terminates the copy when there is room for it.
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = u'\0';
    }
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive)
{
    const std::size_t n1 = Chars(String1);
    const std::size_t n2 = Chars(String2);
    const std::size_t n = std::min(n1, n2);
    for (std::size_t i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = UpcaseAscii(a);
            b = UpcaseAscii(b);
        }
        if (a != b) {
            return static_cast<LONG>(a) - static_cast<LONG>(b);
        }
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length) {
        return FALSE;
    }
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (Source == nullptr || Source->Length == 0) {
        return STATUS_SUCCESS;
    }
    if (static_cast<std::size_t>(Destination->Length) + Source->Length > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memmove(reinterpret_cast<UCHAR*>(Destination->Buffer) + Destination->Length, Source->Buffer,
                 Source->Length);
    Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = u'\0';
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}

ULONG RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING Source)
{
    return static_cast<ULONG>(Chars(Source) + 1);
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING Destination, PCUNICODE_STRING Source,
                                      BOOLEAN AllocateDestinationString)
{
    const std::size_t chars = Chars(Source);
    if (chars + 1 > 0xFFFF) {
        return STATUS_INVALID_PARAMETER;
    }
    if (AllocateDestinationString) {
        Destination->Buffer = static_cast<PCHAR>(std::calloc(chars + 1, 1));
        if (Destination->Buffer == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        Destination->MaximumLength = static_cast<USHORT>(chars + 1);
    } else if (chars + 1 > Destination->MaximumLength) {
        // The kernel converts what fits and reports the overflow.
        const std::size_t fit = Destination->MaximumLength == 0 ? 0 : Destination->MaximumLength - 1u;
        for (std::size_t i = 0; i < fit; ++i) {
            const WCHAR c = Source->Buffer[i];
            Destination->Buffer[i] = c <= 0xFF ? static_cast<CHAR>(c) : '?';
        }
        if (Destination->MaximumLength != 0) {
            Destination->Buffer[fit] = '\0';
        }
        Destination->Length = static_cast<USHORT>(fit);
        return STATUS_BUFFER_OVERFLOW;
    }
    for (std::size_t i = 0; i < chars; ++i) {
        const WCHAR c = Source->Buffer[i];
        Destination->Buffer[i] = c <= 0xFF ? static_cast<CHAR>(c) : '?';
    }
    Destination->Buffer[chars] = '\0';
    Destination->Length = static_cast<USHORT>(chars);
    return STATUS_SUCCESS;
}

void RtlFreeAnsiString(PANSI_STRING AnsiString)
{
    std::free(AnsiString->Buffer);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = 0;
    AnsiString->MaximumLength = 0;
}

namespace platform {

NTSTATUS FormatWide(std::span<WCHAR> Destination, PCWSTR Format, std::span<const FormatArg> Args,
                    std::size_t* Written)
{
    BoundedOutput out(Destination);
    std::size_t next = 0;
    NTSTATUS status = STATUS_SUCCESS;
    const WCHAR* p = Format;
    while (*p != u'\0' && NT_SUCCESS(status)) {
        if (*p != u'%') {
            out.Put(*p++);
            continue;
        }
        ++p;
        if (*p == u'%') {
            out.Put(*p++);
            continue;
        }
        Spec spec;
        for (;; ++p) {
            if (*p == u'-') {
                spec.LeftAlign = true;
            } else if (*p == u'0') {
                spec.ZeroPad = true;
            } else {
                break;
            }
        }
        while (*p >= u'0' && *p <= u'9') {
            spec.Width = spec.Width * 10 + static_cast<std::size_t>(*p++ - u'0');
        }
        if (*p == u'.') {
            ++p;
            spec.HasPrecision = true;
            while (*p >= u'0' && *p <= u'9') {
                spec.Precision = spec.Precision * 10 + static_cast<std::size_t>(*p++ - u'0');
            }
        }
        if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
            spec.Size = Spec::LongLong;
            p += 3;
        } else if (p[0] == u'l' && p[1] == u'l') {
            spec.Size = Spec::LongLong;
            p += 2;
        } else if (*p == u'l') {
            spec.Size = Spec::Long;
            spec.Wide = true;
            ++p;
        } else if (*p == u'w') {
            spec.Wide = true;
            ++p;
        } else if (*p == u'h') {
            spec.Size = Spec::Short;
            spec.Narrow = true;
            ++p;
        }
        const WCHAR conversion = *p;
        if (conversion == u'\0' || next >= Args.size()) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        ++p;
        const FormatArg& arg = Args[next++];
        switch (conversion) {
        case u'd':
        case u'i': {
            long long value = 0;
            if (const auto* s = std::get_if<long long>(&arg)) {
                value = TruncateSigned(*s, spec);
            } else if (const auto* u = std::get_if<unsigned long long>(&arg)) {
                value = TruncateSigned(static_cast<long long>(*u), spec);
            } else {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            const unsigned long long magnitude =
                value < 0 ? 0ull - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
            std::u16string body = FormatUnsigned(magnitude, 10, false);
            if (value < 0) {
                body.insert(body.begin(), u'-');
            }
            PutPadded(out, spec, body, true);
            break;
        }
        case u'u':
        case u'x':
        case u'X': {
            unsigned long long value = 0;
            if (const auto* s = std::get_if<long long>(&arg)) {
                value = Truncate(static_cast<unsigned long long>(*s), spec);
            } else if (const auto* u = std::get_if<unsigned long long>(&arg)) {
                value = Truncate(*u, spec);
            } else {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            PutPadded(out, spec,
                      FormatUnsigned(value, conversion == u'u' ? 10 : 16, conversion == u'X'), true);
            break;
        }
        case u'c': {
            WCHAR c = 0;
            if (const auto* s = std::get_if<long long>(&arg)) {
                c = static_cast<WCHAR>(*s);
            } else if (const auto* u = std::get_if<unsigned long long>(&arg)) {
                c = static_cast<WCHAR>(*u);
            } else {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            PutPadded(out, spec, std::u16string_view(&c, 1), false);
            break;
        }
        case u's':
        case u'S': {
            // In a wide format %s is wide and %S narrow; h and w/l force the kind.
            const bool narrow = spec.Narrow || (conversion == u'S' && !spec.Wide);
            std::u16string body;
            if (narrow) {
                const auto* text = std::get_if<const char*>(&arg);
                if (text == nullptr) {
                    status = STATUS_INVALID_PARAMETER;
                    break;
                }
                const char* s = *text != nullptr ? *text : "(null)";
                for (; *s != '\0' && (!spec.HasPrecision || body.size() < spec.Precision); ++s) {
                    body.push_back(static_cast<WCHAR>(static_cast<unsigned char>(*s)));
                }
            } else {
                const auto* text = std::get_if<const WCHAR*>(&arg);
                if (text == nullptr) {
                    status = STATUS_INVALID_PARAMETER;
                    break;
                }
                const WCHAR* s = *text != nullptr ? *text : u"(null)";
                for (; *s != u'\0' && (!spec.HasPrecision || body.size() < spec.Precision); ++s) {
                    body.push_back(*s);
                }
            }
            PutPadded(out, spec, body, false);
            break;
        }
        default:
            status = STATUS_INVALID_PARAMETER;
            break;
        }
    }
    *Written = out.Used();
    if (NT_SUCCESS(status) && out.Overflow()) {
        status = STATUS_BUFFER_OVERFLOW;
    }
    return status;
}

std::u16string Utf8ToUtf16(std::string_view text)
{
    std::u16string result;
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        char32_t code = 0xFFFD;
        std::size_t length = 1;
        if (byte < 0x80) {
            code = byte;
        } else if ((byte & 0xE0) == 0xC0) {
            length = 2;
        } else if ((byte & 0xF0) == 0xE0) {
            length = 3;
        } else if ((byte & 0xF8) == 0xF0) {
            length = 4;
        }
        if (length > 1) {
            if (i + length > text.size()) {
                length = 1;
            } else {
                code = byte & (0x7F >> length);
                for (std::size_t k = 1; k < length; ++k) {
                    const auto next = static_cast<unsigned char>(text[i + k]);
                    if ((next & 0xC0) != 0x80) {
                        code = 0xFFFD;
                        length = k;
                        break;
                    }
                    code = (code << 6) | (next & 0x3F);
                }
            }
        }
        i += length;
        if (code >= 0x10000 && code <= 0x10FFFF) {
            code -= 0x10000;
            result.push_back(static_cast<WCHAR>(0xD800 + (code >> 10)));
            result.push_back(static_cast<WCHAR>(0xDC00 + (code & 0x3FF)));
        } else if (code > 0x10FFFF) {
            result.push_back(u'\uFFFD');
        } else {
            result.push_back(static_cast<WCHAR>(code));
        }
    }
    return result;
}

std::string Utf16ToUtf8(std::u16string_view text)
{
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            result.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            result.push_back(static_cast<char>(0xC0 | (code >> 6)));
            result.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            result.push_back(static_cast<char>(0xE0 | (code >> 12)));
            result.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            result.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            result.push_back(static_cast<char>(0xF0 | (code >> 18)));
            result.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            result.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            result.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return result;
}

std::u16string_view View(const UNICODE_STRING& text)
{
    if (text.Buffer == nullptr) {
        return {};
    }
    return std::u16string_view(text.Buffer, text.Length / sizeof(WCHAR));
}

} // namespace platform
