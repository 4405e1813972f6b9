// Kernel basic types: the integer widths, BOOLEAN, wide characters and GUIDs
// that driver code is written against. WCHAR is UTF-16 (char16_t) so that
// counted strings and registry values keep their on-disk layout.
#pragma once

#include <cstddef>
#include <cstdint>

using UCHAR = std::uint8_t;
using USHORT = std::uint16_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using CHAR = char;
using WCHAR = char16_t;
using BOOLEAN = std::uint8_t;
using SIZE_T = std::size_t;
using ULONG_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using PVOID = void*;
using PCVOID = const void*;
using PUCHAR = UCHAR*;
using PUSHORT = USHORT*;
using PULONG = ULONG*;
using PLONG = LONG*;
using PLONGLONG = LONGLONG*;
using PWCH = WCHAR*;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using PCHAR = CHAR*;
using PSTR = CHAR*;
using PCSTR = const CHAR*;
using ACCESS_MASK = ULONG;

inline constexpr BOOLEAN TRUE = 1;
inline constexpr BOOLEAN FALSE = 0;

struct GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];

    friend constexpr bool operator==(const GUID&, const GUID&) = default;
};
using LPGUID = GUID*;
using LPCGUID = const GUID*;

// Access rights of registry keys and other kernel objects.
inline constexpr ACCESS_MASK STANDARD_RIGHTS_ALL = 0x001F0000;
inline constexpr ACCESS_MASK KEY_QUERY_VALUE = 0x0001;
inline constexpr ACCESS_MASK KEY_SET_VALUE = 0x0002;
inline constexpr ACCESS_MASK KEY_READ = 0x00020019;
inline constexpr ACCESS_MASK KEY_WRITE = 0x00020006;
inline constexpr ACCESS_MASK KEY_ALL_ACCESS = 0x000F003F;

// Pool types of kernel memory; driver memory is non-paged.
enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 };

// A four-character pool tag is written as a character constant read
// little-endian: tag 'BUS ' is stored as 0x20535542.
constexpr ULONG MakePoolTag(const char (&tag)[5])
{
    return static_cast<ULONG>(static_cast<UCHAR>(tag[0])) |
           static_cast<ULONG>(static_cast<UCHAR>(tag[1])) << 8 |
           static_cast<ULONG>(static_cast<UCHAR>(tag[2])) << 16 |
           static_cast<ULONG>(static_cast<UCHAR>(tag[3])) << 24;
}
