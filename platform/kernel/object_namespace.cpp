// The object namespace.
#include "platform/kernel/object_namespace.h"

namespace platform {

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
