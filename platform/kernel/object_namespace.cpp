// The object namespace.
#include "platform/kernel/object_namespace.h"

#include <cstdio>

namespace platform {

std::u16string GuidText(const GUID& guid)
{
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    std::u16string result;
    for (const char* c = text; *c != 0; ++c) {
        result.push_back(static_cast<char16_t>(*c));
    }
    return result;
}

NTSTATUS ObjectNamespace::RegisterInterface(const GUID& interfaceClass, std::u16string_view instancePath,
                                            std::u16string_view reference, PDEVICE_OBJECT device,
                                            std::u16string* link)
{
    std::u16string name = u"\\??\\";
    for (char16_t c : instancePath) {
        name.push_back(c == u'\\' ? u'#' : c);
    }
    name += u"#";
    name += GuidText(interfaceClass);
    if (!reference.empty()) {
        name += u"\\";
        name += reference;
    }
    std::lock_guard lock(mutex_);
    for (const auto& known : interfaces_) {
        if (Fold(known.SymbolicLink) == Fold(name)) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    interfaces_.push_back({interfaceClass, name, std::u16string(instancePath), device});
    if (link != nullptr) {
        *link = name;
    }
    return STATUS_SUCCESS;
}

void ObjectNamespace::UnregisterInterfaces(PDEVICE_OBJECT device)
{
    std::lock_guard lock(mutex_);
    std::erase_if(interfaces_, [device](const DeviceInterface& known) { return known.Device == device; });
}

std::vector<DeviceInterface> ObjectNamespace::Interfaces(const GUID& interfaceClass) const
{
    std::lock_guard lock(mutex_);
    std::vector<DeviceInterface> found;
    for (const auto& known : interfaces_) {
        if (known.Class == interfaceClass) {
            found.push_back(known);
        }
    }
    return found;
}

std::u16string ObjectNamespace::Fold(std::u16string_view name)
{
    std::u16string folded(name);
    for (auto& c : folded) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - 32);
        }
    }
    return folded;
}

NTSTATUS ObjectNamespace::RegisterDevice(std::u16string_view name, PDEVICE_OBJECT device)
{
    if (name.empty() || name.front() != u'\\') {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::lock_guard lock(mutex_);
    const auto [at, inserted] = devices_.emplace(Fold(name), device);
    return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

void ObjectNamespace::UnregisterDevice(std::u16string_view name)
{
    std::lock_guard lock(mutex_);
    devices_.erase(Fold(name));
}

NTSTATUS ObjectNamespace::CreateLink(std::u16string_view link, std::u16string_view target)
{
    if (link.empty() || link.front() != u'\\') {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::lock_guard lock(mutex_);
    const auto [at, inserted] = links_.emplace(Fold(link), std::u16string(target));
    return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

void ObjectNamespace::DeleteLink(std::u16string_view link)
{
    std::lock_guard lock(mutex_);
    links_.erase(Fold(link));
}

PDEVICE_OBJECT ObjectNamespace::Resolve(std::u16string_view name) const
{
    std::lock_guard lock(mutex_);
    std::u16string current = Fold(name);
    // Links may name links; a loop ends after a few steps.
    for (int step = 0; step < 8; ++step) {
        if (const auto device = devices_.find(current); device != devices_.end()) {
            return device->second;
        }
        const auto link = links_.find(current);
        if (link == links_.end()) {
            return nullptr;
        }
        current = Fold(link->second);
    }
    return nullptr;
}

std::optional<std::u16string> ObjectNamespace::LinkTarget(std::u16string_view link) const
{
    std::lock_guard lock(mutex_);
    if (const auto found = links_.find(Fold(link)); found != links_.end()) {
        return found->second;
    }
    return std::nullopt;
}

} // namespace platform
