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
#include <vector>

namespace platform {

// A device interface: a class of device (by GUID) that a device offers,
// published under a symbolic link made from the device's instance path.
struct DeviceInterface {
    GUID Class;
    std::u16string SymbolicLink; // \??\USB#VID_0ABC&PID_1D2E&MI_00#...#{guid}
    std::u16string InstancePath;
    PDEVICE_OBJECT Device;
};

// "{86E0D1E0-8089-11D0-9CE4-08003E301F73}"
std::u16string GuidText(const GUID& guid);

class ObjectNamespace {
public:
    NTSTATUS RegisterDevice(std::u16string_view name, PDEVICE_OBJECT device);
    void UnregisterDevice(std::u16string_view name);
    NTSTATUS CreateLink(std::u16string_view link, std::u16string_view target);
    void DeleteLink(std::u16string_view link);
    // The device a name or a link names, or null.
    PDEVICE_OBJECT Resolve(std::u16string_view name) const;
    std::optional<std::u16string> LinkTarget(std::u16string_view link) const;

    // A device offers an interface; its link is returned. Offering the same
    // class and reference twice is a collision.
    NTSTATUS RegisterInterface(const GUID& interfaceClass, std::u16string_view instancePath,
                               std::u16string_view reference, PDEVICE_OBJECT device, std::u16string* link);
    void UnregisterInterfaces(PDEVICE_OBJECT device);
    // The interfaces of a class, oldest first.
    std::vector<DeviceInterface> Interfaces(const GUID& interfaceClass) const;

private:
    static std::u16string Fold(std::u16string_view name);

    mutable std::mutex mutex_;
    std::map<std::u16string, PDEVICE_OBJECT> devices_;
    std::map<std::u16string, std::u16string> links_;
    std::vector<DeviceInterface> interfaces_;
};

} // namespace platform
