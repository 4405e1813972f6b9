// Names of the statuses, for transcripts, tool output and verifier reports.
#include "platform/kernel/ntstatus.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

struct NamedStatus {
    NTSTATUS Status;
    const char* Name;
};

constexpr std::array kStatusNames = {
    NamedStatus{STATUS_SUCCESS, "STATUS_SUCCESS"},
    NamedStatus{STATUS_TIMEOUT, "STATUS_TIMEOUT"},
    NamedStatus{STATUS_PENDING, "STATUS_PENDING"},
    NamedStatus{STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
    NamedStatus{STATUS_NO_MORE_ENTRIES, "STATUS_NO_MORE_ENTRIES"},
    NamedStatus{STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
    NamedStatus{STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
    NamedStatus{STATUS_INVALID_HANDLE, "STATUS_INVALID_HANDLE"},
    NamedStatus{STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
    NamedStatus{STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
    NamedStatus{STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
    NamedStatus{STATUS_ACCESS_DENIED, "STATUS_ACCESS_DENIED"},
    NamedStatus{STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
    NamedStatus{STATUS_OBJECT_TYPE_MISMATCH, "STATUS_OBJECT_TYPE_MISMATCH"},
    NamedStatus{STATUS_OBJECT_NAME_INVALID, "STATUS_OBJECT_NAME_INVALID"},
    NamedStatus{STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
    NamedStatus{STATUS_OBJECT_NAME_COLLISION, "STATUS_OBJECT_NAME_COLLISION"},
    NamedStatus{STATUS_OBJECT_PATH_NOT_FOUND, "STATUS_OBJECT_PATH_NOT_FOUND"},
    NamedStatus{STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
    NamedStatus{STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
    NamedStatus{STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
    NamedStatus{STATUS_IO_TIMEOUT, "STATUS_IO_TIMEOUT"},
    NamedStatus{STATUS_DEVICE_DATA_ERROR, "STATUS_DEVICE_DATA_ERROR"},
    NamedStatus{STATUS_DELETE_PENDING, "STATUS_DELETE_PENDING"},
    NamedStatus{STATUS_INTERNAL_ERROR, "STATUS_INTERNAL_ERROR"},
    NamedStatus{STATUS_CANCELLED, "STATUS_CANCELLED"},
    NamedStatus{STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
    NamedStatus{STATUS_DEVICE_DOES_NOT_EXIST, "STATUS_DEVICE_DOES_NOT_EXIST"},
    NamedStatus{STATUS_INVALID_BUFFER_SIZE, "STATUS_INVALID_BUFFER_SIZE"},
    NamedStatus{STATUS_DEVICE_ENUMERATION_ERROR, "STATUS_DEVICE_ENUMERATION_ERROR"},
    NamedStatus{STATUS_PAUSED, "STATUS_PAUSED"},
};

} // namespace

std::string NtStatusName(NTSTATUS status)
{
    for (const auto& entry : kStatusNames) {
        if (entry.Status == status) {
            return entry.Name;
        }
    }
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

bool NtStatusFromName(const std::string& text, NTSTATUS* status)
{
    for (const auto& entry : kStatusNames) {
        if (text == entry.Name) {
            *status = entry.Status;
            return true;
        }
    }
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (end == nullptr || *end != '\0' || value > 0xFFFFFFFFull) {
        return false;
    }
    *status = static_cast<NTSTATUS>(static_cast<ULONG>(value));
    return true;
}
