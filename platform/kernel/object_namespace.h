// The object namespace: device objects by name ("\Device\X9TRmdm3") and
// symbolic links to them ("\DosDevices\COM5"), compared without regard to
// ASCII case. Applications open devices through it.
#pragma once

#include "platform/kernel/ntstatus.h"
#include "platform/kernel/wdm.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class ObjectNamespace {
public:
    NTSTATUS RegisterDevice(std::u16string_view name, PDEVICE_OBJECT device);
    void UnregisterDevice(std::u16string_view name);
    NTSTATUS CreateLink(std::u16string_view link, std::u16string_view target);
    void DeleteLink(std::u16string_view link);
    // The device a name or a link names, or null.
    PDEVICE_OBJECT Resolve(std::u16string_view name) const;
    std::optional<std::u16string> LinkTarget(std::u16string_view link) const;

private:
    static std::u16string Fold(std::u16string_view name);

    mutable std::mutex mutex_;
    std::map<std::u16string, PDEVICE_OBJECT> devices_;
    std::map<std::u16string, std::u16string> links_;
};

} // namespace platform
