// NTSTATUS values and the success test. Negative values are failures; the
// names here are those every driver and the platform layer return.
#pragma once

#include "platform/kernel/ntdef.h"

#include <string>

using NTSTATUS = LONG;

constexpr bool NT_SUCCESS(NTSTATUS status) { return status >= 0; }

constexpr NTSTATUS MakeStatus(ULONG value) { return static_cast<NTSTATUS>(value); }

inline constexpr NTSTATUS STATUS_SUCCESS = MakeStatus(0x00000000);
inline constexpr NTSTATUS STATUS_TIMEOUT = MakeStatus(0x00000102);
inline constexpr NTSTATUS STATUS_PENDING = MakeStatus(0x00000103);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_EXISTS = MakeStatus(0x40000000);
inline constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = MakeStatus(0x80000005);
inline constexpr NTSTATUS STATUS_NO_MORE_ENTRIES = MakeStatus(0x8000001A);
inline constexpr NTSTATUS STATUS_UNSUCCESSFUL = MakeStatus(0xC0000001);
inline constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = MakeStatus(0xC0000002);
inline constexpr NTSTATUS STATUS_INVALID_HANDLE = MakeStatus(0xC0000008);
inline constexpr NTSTATUS STATUS_INVALID_PARAMETER = MakeStatus(0xC000000D);
inline constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = MakeStatus(0xC000000E);
inline constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = MakeStatus(0xC0000010);
inline constexpr NTSTATUS STATUS_ACCESS_DENIED = MakeStatus(0xC0000022);
inline constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = MakeStatus(0xC0000023);
inline constexpr NTSTATUS STATUS_OBJECT_TYPE_MISMATCH = MakeStatus(0xC0000024);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = MakeStatus(0xC0000033);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = MakeStatus(0xC0000034);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = MakeStatus(0xC0000035);
inline constexpr NTSTATUS STATUS_OBJECT_PATH_NOT_FOUND = MakeStatus(0xC000003A);
inline constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = MakeStatus(0xC000009A);
inline constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = MakeStatus(0xC000009D);
inline constexpr NTSTATUS STATUS_NOT_SUPPORTED = MakeStatus(0xC00000BB);
inline constexpr NTSTATUS STATUS_IO_TIMEOUT = MakeStatus(0xC00000B5);
inline constexpr NTSTATUS STATUS_DEVICE_DATA_ERROR = MakeStatus(0xC000009C);
inline constexpr NTSTATUS STATUS_DELETE_PENDING = MakeStatus(0xC0000056);
inline constexpr NTSTATUS STATUS_INTERNAL_ERROR = MakeStatus(0xC00000E5);
inline constexpr NTSTATUS STATUS_CANCELLED = MakeStatus(0xC0000120);
inline constexpr NTSTATUS STATUS_INVALID_DEVICE_STATE = MakeStatus(0xC0000184);
inline constexpr NTSTATUS STATUS_DEVICE_DOES_NOT_EXIST = MakeStatus(0xC00000C0);
inline constexpr NTSTATUS STATUS_INVALID_BUFFER_SIZE = MakeStatus(0xC0000206);
inline constexpr NTSTATUS STATUS_DEVICE_ENUMERATION_ERROR = MakeStatus(0xC0000366);
inline constexpr NTSTATUS STATUS_PAUSED = MakeStatus(0xC023002A);
inline constexpr NTSTATUS STATUS_WDF_BUSY = MakeStatus(0xC0200204);

// The status's symbolic name ("STATUS_CANCELLED"), or its value in hex
// ("0xC0001234") for one this table does not know.
std::string NtStatusName(NTSTATUS status);

// Parses a symbolic name or a number (decimal or 0x hex); false when it is neither.
bool NtStatusFromName(const std::string& text, NTSTATUS* status);
