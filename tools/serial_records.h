// The serial control codes by their system names, and the records they carry
// as named fields, so that people can write and read them as JSON objects
// ({"ReadIntervalTimeout": 50, ...}) instead of bytes.
#pragma once

#include "platform/kernel/ntddser.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace x9tr {

struct RecordField {
    const char* Name;
    std::size_t Offset;
    std::size_t Size; // 1, 2 or 4 bytes, little-endian
    bool Signed = false;
};

struct RecordLayout {
    const char* Name;
    std::size_t Size;
    std::vector<RecordField> Fields;
};

struct ControlCode {
    const char* Name;
    ULONG Code;
    const RecordLayout* Input;  // what the input buffer holds, if a record
    const RecordLayout* Output; // what the output buffer holds, if a record
};

// By name ("IOCTL_SERIAL_SET_TIMEOUTS") or by value; null when unknown.
const ControlCode* FindControlCode(std::string_view name);
const ControlCode* FindControlCode(ULONG code);

// A record from an object of its fields (fields left out are 0). Fields the
// record does not have and values that do not fit are refused: *Fault says
// which, and the result is empty.
std::vector<std::byte> EncodeRecord(const RecordLayout& layout, const nlohmann::json& object, std::string* fault);
// The fields of a record read from bytes (fields past the end are left out).
nlohmann::ordered_json DecodeRecord(const RecordLayout& layout, std::span<const std::byte> bytes);

} // namespace x9tr
