// Inside the platform: the device-init record that the Plug and Play manager
// (or a child list) hands to a driver, and the framework device made from
// it, with its WDM device object, its place in a device stack and
// everything the driver set on it.
#pragma once

#include "platform/kernel/irp.h"
#include "platform/wdf/object.h"
#include "platform/wdf/wdf_childlist.h"
#include "platform/wdf/wdf_device.h"
#include "platform/wdf/wdf_file.h"
#include "platform/wdf/wdf_queue.h"

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace platform::wdf {
// A driver's WDM preprocessing of one major function.
struct IrpPreprocess {
    UCHAR MajorFunction;
    std::vector<UCHAR> MinorFunctions; // empty: all
    PFN_WDFDEVICE_WDM_IRP_PREPROCESS Callback;
};
} // namespace platform::wdf

// The identity a bus driver gives a child.
struct PdoIdentity {
    std::u16string DeviceId;
    std::vector<std::u16string> HardwareIds;
    std::vector<std::u16string> CompatibleIds;
    std::u16string InstanceId;
    struct Text {
        std::u16string Description;
        std::u16string Location;
        ULONG LocaleId;
    };
    std::vector<Text> Texts;
    ULONG DefaultLocale = 0;
    bool AllowForwardingToParent = false;
};

// Everything a driver sets before WdfDeviceCreate, and the device instance it is for.
struct WDFDEVICE_INIT {
    WDFDRIVER Driver = nullptr;
    std::u16string InstanceId;      // the device instance path, "USB\VID_0ABC&PID_1D2E\..."
    std::u16string HardwareKeyPath; // the instance's Device Parameters key
    std::u16string SoftwareKeyPath; // the instance's driver key
    ULONG DeviceType = FILE_DEVICE_UNKNOWN;
    WDF_PNPPOWER_EVENT_CALLBACKS PnpPower{};
    bool HasChildList = false;
    WDF_CHILD_LIST_CONFIG ChildListConfig{};
    // The device the new one attaches to (a function device) or its parent (a child).
    PDEVICE_OBJECT LowerDevice = nullptr;
    bool IsPdo = false;
    WDFDEVICE ParentDevice = nullptr;
    PdoIdentity Identity;
    std::u16string DeviceName; // in the object namespace, empty for none
    // What every request the framework makes for the device carries.
    bool HasRequestAttributes = false;
    WDF_OBJECT_ATTRIBUTES RequestAttributes{};
    // Handles on the device: its file object callbacks and whether one handle excludes others.
    bool HasFileObjectConfig = false;
    WDF_FILEOBJECT_CONFIG FileObjectConfig{};
    WDF_OBJECT_ATTRIBUTES FileObjectAttributes{};
    bool Exclusive = false;
    std::u16string Sddl;
    std::vector<platform::wdf::IrpPreprocess> Preprocess;
    // The device WdfDeviceCreate made from this record.
    WDFDEVICE Created = nullptr;
};

namespace platform::wdf {

class ChildList;

// Where a device instance's keys live.
std::u16string HardwareKeyPathFor(std::u16string_view instancePath);
std::u16string SoftwareKeyPathFor(std::u16string_view classGuid, ULONG index);

// A device-init record for a function device on the stack whose top is Lower.
std::unique_ptr<WDFDEVICE_INIT> MakeDeviceInit(WDFDRIVER driver, std::u16string instanceId,
                                               std::u16string softwareKeyPath, PDEVICE_OBJECT lower = nullptr);

class Device final : public Object, public IrpHandler {
public:
    Device();
    ~Device() override;

    NTSTATUS DispatchIrp(PDEVICE_OBJECT device, PIRP irp) override;
    // The framework's own handling of an IRP: a request for the queues.
    NTSTATUS DispatchToQueues(PIRP irp);

    std::u16string InstanceId;
    std::u16string HardwareKeyPath;
    std::u16string SoftwareKeyPath;
    WDF_PNPPOWER_EVENT_CALLBACKS PnpPower{};
    DEVICE_OBJECT DeviceObject{};
    bool IsPdo = false;
    Device* ParentDevice = nullptr;
    Object* DefaultTarget = nullptr;
    Object* DefaultQueue = nullptr;
    ChildList* DefaultChildList = nullptr;
    WDF_DEVICE_PNP_CAPABILITIES PnpCapabilities{};
    WDF_DEVICE_POWER_CAPABILITIES PowerCapabilities{};
    bool HasBusInformation = false;
    PNP_BUS_INFORMATION BusInformationForChildren{};
    PdoIdentity Identity;
    std::vector<std::byte> IdentificationDescription;
    std::u16string DeviceName;
    std::vector<std::u16string> SymbolicLinks;
    bool HasRequestAttributes = false;
    WDF_OBJECT_ATTRIBUTES RequestAttributes{};
    bool HasFileObjectConfig = false;
    WDF_FILEOBJECT_CONFIG FileObjectConfig{};
    WDF_OBJECT_ATTRIBUTES FileObjectAttributes{};
    bool Exclusive = false;
    std::u16string Sddl;
    std::vector<platform::wdf::IrpPreprocess> Preprocess;
    // Outstanding WdfDeviceSetStaticStopRemove(FALSE) calls.
    ULONG StopRemoveRefusals = 0;
    // The framework file object of each open handle.
    std::unordered_map<PFILE_OBJECT, Object*> Files;

    // Queues of the device and the queue each request type goes to.
    std::vector<Object*> Queues;
    std::vector<std::pair<WDF_REQUEST_TYPE, Object*>> DispatchQueues;
    // Device-level synchronisation: one callback of the device at a time.
    bool CallbackBusy = false;
    // Whether a callback of an object with this scope runs under the device's lock.
    bool SerializesCallbacks(const Object& object) const;
    // Takes the device's callback lock; false when another callback holds it.
    bool EnterCallback();
    // Lets it go and presents what waited for it.
    void LeaveCallback();
    // Timer and work item callbacks waiting for the lock.
    std::vector<std::function<void()>> Deferred;

    struct OfferedInterface {
        GUID Type;
        std::vector<std::byte> Copy;
    };
    std::vector<OfferedInterface> QueryInterfaces;

    void OnDelete() override;
};

Device* ResolveDevice(WDFDEVICE handle, const char* operation);

// Presents what waits in one of the device's queues.
void DispatchQueue(Object& queue);

// Removal of a device by the Plug and Play manager: the framework deletes it.
void DeleteDevice(WDFDEVICE device);

} // namespace platform::wdf
