// The in-memory registry and its JSON form.
#include "platform/kernel/registry.h"

#include "platform/platform.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace platform {

RegistryValue RegistryValue::Dword(ULONG value)
{
    RegistryValue result{REG_DWORD, std::vector<std::byte>(sizeof(ULONG))};
    for (std::size_t i = 0; i < sizeof(ULONG); ++i) {
        result.Data[i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
    }
    return result;
}

RegistryValue RegistryValue::String(std::u16string_view text)
{
    RegistryValue result{REG_SZ, {}};
    result.Data.reserve((text.size() + 1) * 2);
    for (WCHAR c : text) {
        result.Data.push_back(static_cast<std::byte>(c & 0xFF));
        result.Data.push_back(static_cast<std::byte>(c >> 8));
    }
    result.Data.push_back(std::byte{0});
    result.Data.push_back(std::byte{0});
    return result;
}

std::optional<ULONG> RegistryValue::AsDword() const
{
    if (Type != REG_DWORD || Data.size() != sizeof(ULONG)) {
        return std::nullopt;
    }
    ULONG value = 0;
    for (std::size_t i = 0; i < sizeof(ULONG); ++i) {
        value |= static_cast<ULONG>(std::to_integer<unsigned>(Data[i])) << (8 * i);
    }
    return value;
}

std::optional<std::u16string> RegistryValue::AsString() const
{
    if (Type != REG_SZ && Type != REG_EXPAND_SZ) {
        return std::nullopt;
    }
    std::u16string text;
    for (std::size_t i = 0; i + 1 < Data.size(); i += 2) {
        const auto c = static_cast<WCHAR>(std::to_integer<unsigned>(Data[i]) |
                                          std::to_integer<unsigned>(Data[i + 1]) << 8);
        if (c == u'\0') {
            break;
        }
        text.push_back(c);
    }
    return text;
}

Registry::Folded Registry::Fold(std::u16string_view text)
{
    Folded folded{std::u16string(text)};
    for (WCHAR& c : folded.Key) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<WCHAR>(c - 32);
        }
    }
    return folded;
}

std::u16string Registry::Normalize(std::u16string_view path)
{
    std::u16string result;
    for (WCHAR c : path) {
        if (c == u'\\' && (result.empty() || result.back() == u'\\')) {
            if (result.empty()) {
                result.push_back(c);
            }
            continue;
        }
        result.push_back(c);
    }
    while (result.size() > 1 && result.back() == u'\\') {
        result.pop_back();
    }
    return result;
}

std::optional<NTSTATUS> Registry::OpenFailure(const Folded& path) const
{
    for (const auto& failure : openFailures_) {
        if (failure.Path == path) {
            return failure.Status;
        }
    }
    return std::nullopt;
}

NTSTATUS Registry::OpenKey(std::u16string_view path, bool create)
{
    const std::u16string normal = Normalize(path);
    if (normal.empty() || normal.front() != u'\\') {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::lock_guard lock(mutex_);
    const Folded folded = Fold(normal);
    if (auto failure = OpenFailure(folded)) {
        return *failure;
    }
    if (keys_.contains(folded)) {
        return STATUS_SUCCESS;
    }
    if (!create) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    // Make the key and every key above it.
    for (std::size_t at = normal.find(u'\\', 1); ; at = normal.find(u'\\', at + 1)) {
        const std::u16string prefix = normal.substr(0, at);
        keys_.try_emplace(Fold(prefix), Key{prefix, {}});
        if (at == std::u16string::npos) {
            break;
        }
    }
    return STATUS_SUCCESS;
}

bool Registry::KeyExists(std::u16string_view path) const
{
    std::lock_guard lock(mutex_);
    return keys_.contains(Fold(Normalize(path)));
}

NTSTATUS Registry::QueryValue(std::u16string_view path, std::u16string_view name, RegistryValue* value) const
{
    std::lock_guard lock(mutex_);
    const auto key = keys_.find(Fold(Normalize(path)));
    if (key == keys_.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const auto found = key->second.Values.find(Fold(name));
    if (found == key->second.Values.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *value = found->second.Value;
    return STATUS_SUCCESS;
}

std::optional<NTSTATUS> Registry::WriteFailure(const Folded& path, const Folded& name) const
{
    for (const auto& failure : writeFailures_) {
        if (failure.Path == path && (!failure.Name || *failure.Name == name)) {
            return failure.Status;
        }
    }
    return std::nullopt;
}

NTSTATUS Registry::SetValue(std::u16string_view path, std::u16string_view name, RegistryValue value)
{
    std::lock_guard lock(mutex_);
    const Folded folded = Fold(Normalize(path));
    const Folded foldedName = Fold(name);
    if (auto failure = WriteFailure(folded, foldedName)) {
        return *failure;
    }
    const auto key = keys_.find(folded);
    if (key == keys_.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    key->second.Values.insert_or_assign(foldedName, NamedValue{std::u16string(name), std::move(value)});
    return STATUS_SUCCESS;
}

NTSTATUS Registry::DeleteValue(std::u16string_view path, std::u16string_view name)
{
    std::lock_guard lock(mutex_);
    const Folded folded = Fold(Normalize(path));
    const Folded foldedName = Fold(name);
    if (auto failure = WriteFailure(folded, foldedName)) {
        return *failure;
    }
    const auto key = keys_.find(folded);
    if (key == keys_.end() || key->second.Values.erase(foldedName) == 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}

std::vector<std::u16string> Registry::ValueNames(std::u16string_view path) const
{
    std::lock_guard lock(mutex_);
    std::vector<std::u16string> names;
    const auto key = keys_.find(Fold(Normalize(path)));
    if (key != keys_.end()) {
        for (const auto& [folded, named] : key->second.Values) {
            names.push_back(named.Name);
        }
    }
    return names;
}

void Registry::FailOpen(std::u16string_view path, NTSTATUS status)
{
    std::lock_guard lock(mutex_);
    openFailures_.push_back(Failure{Fold(Normalize(path)), std::nullopt, status});
}

void Registry::FailWrite(std::u16string_view path, std::u16string_view name, NTSTATUS status)
{
    std::lock_guard lock(mutex_);
    std::optional<Folded> folded;
    if (!name.empty()) {
        folded = Fold(name);
    }
    writeFailures_.push_back(Failure{Fold(Normalize(path)), folded, status});
}

void Registry::ClearFailures()
{
    std::lock_guard lock(mutex_);
    openFailures_.clear();
    writeFailures_.clear();
}

namespace {

std::string ToHex(const std::vector<std::byte>& data)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::byte b : data) {
        const auto v = std::to_integer<unsigned>(b);
        text.push_back(kDigits[v >> 4]);
        text.push_back(kDigits[v & 15]);
    }
    return text;
}

std::optional<std::vector<std::byte>> FromHex(const std::string& text)
{
    std::vector<std::byte> data;
    int high = -1;
    for (char c : text) {
        int v = -1;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        } else if (c == ' ' || c == ':' || c == ',') {
            continue;
        } else {
            return std::nullopt;
        }
        if (high < 0) {
            high = v;
        } else {
            data.push_back(static_cast<std::byte>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) {
        return std::nullopt;
    }
    return data;
}

RegistryValue ValueFromJson(const nlohmann::json& json, const std::string& where)
{
    if (json.is_number_unsigned() || json.is_number_integer()) {
        if (json.is_number_integer() && json.get<long long>() < 0) {
            throw std::runtime_error(where + ": a REG_DWORD value must lie in 0..4294967295");
        }
        const auto number = json.get<unsigned long long>();
        if (number > 0xFFFFFFFFull) {
            throw std::runtime_error(where + ": a REG_DWORD value must lie in 0..4294967295");
        }
        return RegistryValue::Dword(static_cast<ULONG>(number));
    }
    if (json.is_string()) {
        return RegistryValue::String(Utf8ToUtf16(json.get<std::string>()));
    }
    if (json.is_object() && json.contains("type") && json["type"].is_number_unsigned() &&
        json.contains("hex") && json["hex"].is_string()) {
        auto data = FromHex(json["hex"].get<std::string>());
        if (!data) {
            throw std::runtime_error(where + ": \"hex\" is not a string of hex bytes");
        }
        const auto type = json["type"].get<unsigned long long>();
        if (type > 0xFFFFFFFFull) {
            throw std::runtime_error(where + ": \"type\" is out of range");
        }
        return RegistryValue{static_cast<ULONG>(type), std::move(*data)};
    }
    throw std::runtime_error(where + ": a value is a number, a string or {\"type\": N, \"hex\": \"...\"}");
}

} // namespace

void Registry::LoadJsonText(std::string_view text, const std::string& origin)
{
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error& error) {
        throw std::runtime_error(origin + ": not valid JSON: " + error.what());
    }
    if (!document.is_object()) {
        throw std::runtime_error(origin + ": the registry is an object of key paths");
    }
    Registry loaded;
    for (const auto& [path, values] : document.items()) {
        const std::string where = origin + ": key \"" + path + "\"";
        if (!values.is_object()) {
            throw std::runtime_error(where + ": a key is an object of values");
        }
        const std::u16string keyPath = Utf8ToUtf16(path);
        if (!NT_SUCCESS(loaded.OpenKey(keyPath, true))) {
            throw std::runtime_error(where + ": a key path starts with \\");
        }
        for (const auto& [name, value] : values.items()) {
            loaded.SetValue(keyPath, Utf8ToUtf16(name), ValueFromJson(value, where + " value \"" + name + "\""));
        }
    }
    std::lock_guard lock(mutex_);
    keys_ = std::move(loaded.keys_);
}

void Registry::LoadJson(const std::string& fileName)
{
    std::ifstream in(fileName, std::ios::binary);
    if (!in) {
        throw std::runtime_error(fileName + ": cannot be read: " + std::strerror(errno));
    }
    std::stringstream text;
    text << in.rdbuf();
    LoadJsonText(text.str(), fileName);
}

std::string Registry::SaveJsonText() const
{
    std::lock_guard lock(mutex_);
    nlohmann::ordered_json document = nlohmann::ordered_json::object();
    // The hardware hive is rebuilt at every start of a machine (the device
    // map among it): it is not kept.
    const Folded hardware = Fold(u"\\Registry\\Machine\\Hardware");
    for (const auto& [folded, key] : keys_) {
        if (key.Values.empty() || (folded.Key.size() >= hardware.Key.size() &&
                                   folded.Key.compare(0, hardware.Key.size(), hardware.Key) == 0 &&
                                   (folded.Key.size() == hardware.Key.size() || folded.Key[hardware.Key.size()] == u'\\'))) {
            continue;
        }
        nlohmann::ordered_json values = nlohmann::ordered_json::object();
        for (const auto& [foldedName, named] : key.Values) {
            const std::string name = Utf16ToUtf8(named.Name);
            if (auto dword = named.Value.AsDword()) {
                values[name] = *dword;
            } else if (auto text = named.Value.AsString(); text && named.Value.Type == REG_SZ) {
                values[name] = Utf16ToUtf8(*text);
            } else {
                values[name] = {{"type", named.Value.Type}, {"hex", ToHex(named.Value.Data)}};
            }
        }
        document[Utf16ToUtf8(key.Path)] = std::move(values);
    }
    return document.dump(2) + "\n";
}

void Registry::SaveJson(const std::string& fileName) const
{
    const std::string text = SaveJsonText();
    // Written beside the target and renamed, so a failed save leaves the old file whole.
    const std::string temporary = fileName + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out || !(out << text) || !out.flush()) {
            throw std::runtime_error(fileName + ": cannot be written: " + std::strerror(errno));
        }
    }
    if (std::rename(temporary.c_str(), fileName.c_str()) != 0) {
        std::remove(temporary.c_str());
        throw std::runtime_error(fileName + ": cannot be written: " + std::strerror(errno));
    }
}

} // namespace platform

namespace {

std::u16string RelativePath(ULONG relativeTo, PCWSTR path)
{
    const std::u16string_view tail = path != nullptr ? std::u16string_view(path) : std::u16string_view();
    std::u16string_view base;
    switch (relativeTo) {
    case RTL_REGISTRY_ABSOLUTE: return std::u16string(tail);
    case RTL_REGISTRY_SERVICES: base = platform::kServicesKey; break;
    case RTL_REGISTRY_CONTROL: base = platform::kControlKey; break;
    case RTL_REGISTRY_WINDOWS_NT: base = platform::kWindowsNtKey; break;
    case RTL_REGISTRY_DEVICEMAP: base = platform::kDeviceMapKey; break;
    default: return {};
    }
    std::u16string full(base);
    if (!tail.empty()) {
        full += u'\\';
        full += tail;
    }
    return full;
}

} // namespace

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength)
{
    const std::u16string path = RelativePath(RelativeTo, Path);
    if (path.empty() || ValueName == nullptr || (ValueData == nullptr && ValueLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    auto& registry = platform::Platform::Current().Registry();
    NTSTATUS status = registry.OpenKey(path, true);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const auto* bytes = static_cast<const std::byte*>(ValueData);
    platform::RegistryValue value{ValueType, std::vector<std::byte>(bytes, bytes + ValueLength)};
    return registry.SetValue(path, ValueName, std::move(value));
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    const std::u16string path = RelativePath(RelativeTo, Path);
    if (path.empty() || ValueName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto& registry = platform::Platform::Current().Registry();
    NTSTATUS status = registry.OpenKey(path, false);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return registry.DeleteValue(path, ValueName);
}
