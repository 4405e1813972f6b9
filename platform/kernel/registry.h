// The registry, kept in memory: keys by path ("\Registry\Machine\..."),
// typed values by name, both compared without regard to ASCII case as the
// system's registry does. The whole registry loads from and saves to a JSON
// document {"<key path>": {"<value name>": number or string}} so that
// instance numbers and port names survive between runs. REG_DWORD values are
// numbers, REG_SZ values strings; any other type is kept as
// {"type": <type number>, "hex": "<bytes>"}.
#pragma once

#include "platform/kernel/ntstatus.h"
#include "platform/kernel/unicode.h"

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr ULONG REG_NONE = 0;
inline constexpr ULONG REG_SZ = 1;
inline constexpr ULONG REG_EXPAND_SZ = 2;
inline constexpr ULONG REG_BINARY = 3;
inline constexpr ULONG REG_DWORD = 4;
inline constexpr ULONG REG_MULTI_SZ = 7;
inline constexpr ULONG REG_QWORD = 11;

// Bases of RtlWriteRegistryValue and RtlDeleteRegistryValue paths.
inline constexpr ULONG RTL_REGISTRY_ABSOLUTE = 0;
inline constexpr ULONG RTL_REGISTRY_SERVICES = 1;
inline constexpr ULONG RTL_REGISTRY_CONTROL = 2;
inline constexpr ULONG RTL_REGISTRY_WINDOWS_NT = 3;
inline constexpr ULONG RTL_REGISTRY_DEVICEMAP = 4;

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength);
NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName);

namespace platform {

// Well-known key paths.
inline constexpr std::u16string_view kMachineKey = u"\\Registry\\Machine";
inline constexpr std::u16string_view kServicesKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
inline constexpr std::u16string_view kControlKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
inline constexpr std::u16string_view kEnumKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";
inline constexpr std::u16string_view kWindowsNtKey = u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
inline constexpr std::u16string_view kDeviceMapKey = u"\\Registry\\Machine\\Hardware\\DeviceMap";

struct RegistryValue {
    ULONG Type = REG_NONE;
    std::vector<std::byte> Data;

    static RegistryValue Dword(ULONG value);
    static RegistryValue String(std::u16string_view text); // REG_SZ, NUL-terminated
    std::optional<ULONG> AsDword() const;                   // REG_DWORD of 4 bytes only
    std::optional<std::u16string> AsString() const;         // REG_SZ / REG_EXPAND_SZ, without its NUL
    friend bool operator==(const RegistryValue&, const RegistryValue&) = default;
};

class Registry {
public:
    // Opens a key; with Create the key (and the keys above it) are made when absent.
    NTSTATUS OpenKey(std::u16string_view path, bool create);
    bool KeyExists(std::u16string_view path) const;
    NTSTATUS QueryValue(std::u16string_view path, std::u16string_view name, RegistryValue* value) const;
    NTSTATUS SetValue(std::u16string_view path, std::u16string_view name, RegistryValue value);
    NTSTATUS DeleteValue(std::u16string_view path, std::u16string_view name);
    // The names of a key's values, in the order of their names.
    std::vector<std::u16string> ValueNames(std::u16string_view path) const;

    // Failures for tests: opening the key (exactly this path) fails with
    // Status; writing Name ("" for any value) under the key fails with Status.
    void FailOpen(std::u16string_view path, NTSTATUS status);
    void FailWrite(std::u16string_view path, std::u16string_view name, NTSTATUS status);
    void ClearFailures();

    // Loading throws std::runtime_error naming the file and the fault; the
    // registry is left as it was.
    void LoadJson(const std::string& fileName);
    void SaveJson(const std::string& fileName) const;
    void LoadJsonText(std::string_view text, const std::string& origin);
    std::string SaveJsonText() const;

private:
    struct Folded {
        std::u16string Key;
        friend auto operator<=>(const Folded&, const Folded&) = default;
    };
    struct NamedValue {
        std::u16string Name;
        RegistryValue Value;
    };
    struct Key {
        std::u16string Path;
        std::map<Folded, NamedValue> Values;
    };
    struct Failure {
        Folded Path;
        std::optional<Folded> Name;
        NTSTATUS Status;
    };

    static Folded Fold(std::u16string_view text);
    static std::u16string Normalize(std::u16string_view path);
    std::optional<NTSTATUS> OpenFailure(const Folded& path) const;
    std::optional<NTSTATUS> WriteFailure(const Folded& path, const Folded& name) const;

    mutable std::mutex mutex_;
    std::map<Folded, Key> keys_;
    std::vector<Failure> openFailures_;
    std::vector<Failure> writeFailures_;
};

} // namespace platform
