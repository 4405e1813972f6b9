// The Plug and Play manager: the machine's device tree. A handset's arrival
// makes a device node on a hub port; the node's driver is found by matching
// its hardware and compatible IDs against the installation manifests, loaded
// (entry point once per driver) and given the device (device add, prepare
// hardware, D0 entry). A bus driver's child list makes child nodes, whose
// own function drivers are matched the same way. On the way out, every node
// of the subtree, children first, gets D0 exit, surprise removal and release
// hardware, and its devices are deleted.
#pragma once

#include "platform/kernel/irp.h"
#include "platform/pnp/manifest.h"
#include "platform/platform.h"
#include "platform/usb/hub_port.h"
#include "platform/wdf/wdf_device.h"

#include <memory>
#include <string>
#include <vector>

namespace platform::pnp {

// A driver the machine can load: its service name and entry point.
struct DriverImage {
    std::u16string Service;
    PDRIVER_INITIALIZE Entry;
};

class DeviceNode {
public:
    enum class State { Added, Started, StartFailed, NoDriver, SurpriseRemoved, Removed };

    std::u16string InstancePath;
    std::vector<std::u16string> HardwareIds;
    std::vector<std::u16string> CompatibleIds;
    std::u16string DeviceId;   // a child's device ID as its bus driver gave it
    std::u16string InstanceId; // a child's instance ID as its bus driver gave it
    std::u16string Description;
    std::u16string Location;
    ULONG Address = 0xFFFFFFFF;
    std::u16string Service;    // the function driver, empty for none
    std::u16string SoftwareKeyPath;
    std::u16string PortName; // the COM name a port got at installation, empty for none
    NTSTATUS StartStatus = STATUS_SUCCESS;
    // The device power state of the node's devices.
    WDF_POWER_DEVICE_STATE PowerState = WdfPowerDeviceD0;
    State NodeState = State::Added;

    DeviceNode* Parent = nullptr;
    std::vector<std::unique_ptr<DeviceNode>> Children;

    // The bottom of the node's stack: a hub port or a bus driver's child device.
    std::unique_ptr<usb::HubPort> Port;
    WDFDEVICE PdoDevice = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    WDFDEVICE Fdo = nullptr;
    LoadedDriver* Driver = nullptr;
    bool CleanupDeferred = false;

    std::u16string HardwareKeyPath() const;
};

class PnpManager final : public BusRelationsListener {
public:
    PnpManager(Platform& world, std::vector<Manifest> manifests, std::vector<DriverImage> images);
    ~PnpManager() override;
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // A device arrives on a new hub port; its node is started at once, its
    // children come as the dispatcher runs.
    DeviceNode* Plug(usb::Peripheral& device);
    // The device leaves: surprise removal of the whole subtree. With
    // DeferCleanup the nodes' devices stay until FinishRemoval (as while an
    // application still holds a handle), so a re-plugged device of the same
    // instance meets its predecessor.
    void Unplug(DeviceNode* node, bool deferCleanup = false);
    void FinishRemoval(DeviceNode* node);

    // A system power transition of the node and everything below it: the
    // devices leave D0 for Target (children first, each stack from the top,
    // power-managed queues stopped first), and with Resume come back (parents
    // first, each stack from the bottom). The first failure is returned.
    NTSTATUS Suspend(DeviceNode* node, WDF_POWER_DEVICE_STATE target = WdfPowerDeviceD3);
    NTSTATUS Resume(DeviceNode* node);
    // Whether the node's subtree may be stopped or removed: no device of it
    // has refused with WdfDeviceSetStaticStopRemove.
    bool QueryRemove(const DeviceNode* node) const;

    const std::vector<std::unique_ptr<DeviceNode>>& Roots() const { return roots_; }
    DeviceNode* FindByFdo(WDFDEVICE fdo);

    void BusRelationsChanged(WDFDEVICE parent) override;

private:
    void StartNode(DeviceNode& node);
    NTSTATUS AddAndStart(DeviceNode& node, const Manifest& manifest);
    void RemoveNode(DeviceNode& node, bool deleteDevices);
    void DeleteDevices(DeviceNode& node);
    void CreateChild(DeviceNode& parent, WDFDEVICE parentDevice, std::size_t index);
    LoadedDriver* LoadedFor(const std::u16string& service);
    std::u16string SoftwareKeyFor(DeviceNode& node, const Manifest& manifest);
    // The ports class installer's work: a port keeps the COM name in its
    // hardware key, or gets the lowest free one from COM3 up.
    void AssignPortName(DeviceNode& node);

    Platform& world_;
    std::vector<Manifest> manifests_;
    std::vector<DriverImage> images_;
    std::vector<std::unique_ptr<DeviceNode>> roots_;
    ULONG nextPort_ = 1;
};

} // namespace platform::pnp
