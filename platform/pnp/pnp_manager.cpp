// The device tree: arrival, driver matching and loading, the framework's
// order of PnP callbacks, child creation from child lists, and removal.
#include "platform/pnp/pnp_manager.h"

#include "platform/wdf/child_list.h"
#include "platform/wdf/device.h"
#include "platform/wdf/queue.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace platform::pnp {

namespace {

std::u16string Hex(ULONG value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%0*X", digits, static_cast<unsigned>(value));
    return Utf8ToUtf16(text);
}

// A short, stable tag of a parent's instance path, as the system prefixes
// the instance IDs of children that have no unique ID of their own.
std::u16string ParentIdPrefix(const std::u16string& parentPath)
{
    ULONG hash = 2166136261u;
    for (char16_t c : parentPath) {
        hash = (hash ^ static_cast<ULONG>(c)) * 16777619u;
    }
    std::u16string prefix = u"7&";
    char text[16];
    std::snprintf(text, sizeof(text), "%x", static_cast<unsigned>(hash));
    prefix += Utf8ToUtf16(text);
    prefix += u"&0";
    return prefix;
}

// The manager's work runs after the fact (a bus-relations change is handled
// from the dispatcher), so a device may be gone by then: looked up quietly.
wdf::Device* DeviceOf(WDFDEVICE handle)
{
    return static_cast<wdf::Device*>(Platform::Current().Objects().Lookup(handle, wdf::ObjectKind::Device));
}

// Runs a device's callback as its driver's code, in a context of its own.
template <class Fn>
auto CallDriver(wdf::Device& device, Fn&& fn)
{
    ExecutionScope scope;
    wdf::DriverScope running(device.OwnerDriver());
    return fn();
}

void ResumePowerManagedQueues(wdf::Device& device)
{
    const auto queues = device.Queues;
    for (wdf::Object* object : queues) {
        auto* queue = static_cast<wdf::Queue*>(object);
        if (queue->PowerManaged()) {
            CallDriver(device, [&] { queue->PowerResume(); return 0; });
        }
    }
}

// A removal: every queue stops and lets go of what waits; the driver is told
// of the requests it holds.
void StopQueues(wdf::Device& device)
{
    const auto queues = device.Queues;
    for (wdf::Object* object : queues) {
        auto* queue = static_cast<wdf::Queue*>(object);
        CallDriver(device, [&] { queue->PowerStop(true); return 0; });
    }
}

NTSTATUS PrepareAndPowerUp(WDFDEVICE handle)
{
    wdf::Device* device = DeviceOf(handle);
    if (device == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    const auto& callbacks = device->PnpPower;
    NTSTATUS status = STATUS_SUCCESS;
    if (callbacks.EvtDevicePrepareHardware != nullptr) {
        status = CallDriver(*device, [&] { return callbacks.EvtDevicePrepareHardware(handle, nullptr, nullptr); });
    }
    if (NT_SUCCESS(status) && callbacks.EvtDeviceD0Entry != nullptr) {
        status = CallDriver(*device, [&] { return callbacks.EvtDeviceD0Entry(handle, WdfPowerDeviceD3Final); });
        if (!NT_SUCCESS(status) && callbacks.EvtDeviceReleaseHardware != nullptr) {
            CallDriver(*device, [&] { return callbacks.EvtDeviceReleaseHardware(handle, nullptr); });
        }
    }
    if (NT_SUCCESS(status)) {
        ResumePowerManagedQueues(*device);
        return status;
    }
    if (!NT_SUCCESS(status) && callbacks.EvtDeviceReleaseHardware != nullptr) {
        // A failed preparation is undone like any other.
        CallDriver(*device, [&] { return callbacks.EvtDeviceReleaseHardware(handle, nullptr); });
    }
    return status;
}

// A system power transition of one device.
NTSTATUS PowerDown(WDFDEVICE handle, WDF_POWER_DEVICE_STATE target)
{
    wdf::Device* device = DeviceOf(handle);
    if (device == nullptr || device->IsDeleted()) {
        return STATUS_SUCCESS;
    }
    const auto queues = device->Queues;
    for (wdf::Object* object : queues) {
        auto* queue = static_cast<wdf::Queue*>(object);
        if (queue->PowerManaged()) {
            CallDriver(*device, [&] { queue->PowerStop(false); return 0; });
        }
    }
    const auto exit = device->PnpPower.EvtDeviceD0Exit;
    return exit != nullptr ? CallDriver(*device, [&] { return exit(handle, target); }) : STATUS_SUCCESS;
}

NTSTATUS PowerUp(WDFDEVICE handle, WDF_POWER_DEVICE_STATE previous)
{
    wdf::Device* device = DeviceOf(handle);
    if (device == nullptr || device->IsDeleted()) {
        return STATUS_SUCCESS;
    }
    const auto entry = device->PnpPower.EvtDeviceD0Entry;
    const NTSTATUS status = entry != nullptr ? CallDriver(*device, [&] { return entry(handle, previous); })
                                             : STATUS_SUCCESS;
    if (NT_SUCCESS(status)) {
        ResumePowerManagedQueues(*device);
    }
    return status;
}

// The ports class and where the system keeps the COM names in use.
constexpr std::u16string_view kPortsClass = u"{4d36e978-e325-11ce-bfc1-08002be10318}";
constexpr std::u16string_view kComNameArbiterKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\COM Name Arbiter";
constexpr ULONG kComDbBits = 256 * 8;

void PowerDownAndRelease(WDFDEVICE handle)
{
    wdf::Device* device = DeviceOf(handle);
    if (device == nullptr || device->IsDeleted()) {
        return;
    }
    const auto& callbacks = device->PnpPower;
    // Power-managed queues stop before the device leaves D0; at removal the
    // queues of the device are purged.
    StopQueues(*device);
    if (callbacks.EvtDeviceD0Exit != nullptr) {
        CallDriver(*device, [&] { return callbacks.EvtDeviceD0Exit(handle, WdfPowerDeviceD3Final); });
    }
    if (callbacks.EvtDeviceSurpriseRemoval != nullptr) {
        CallDriver(*device, [&] { callbacks.EvtDeviceSurpriseRemoval(handle); return 0; });
    }
    if (callbacks.EvtDeviceReleaseHardware != nullptr) {
        CallDriver(*device, [&] { return callbacks.EvtDeviceReleaseHardware(handle, nullptr); });
    }
}

} // namespace

std::u16string DeviceNode::HardwareKeyPath() const { return wdf::HardwareKeyPathFor(InstancePath); }

PnpManager::PnpManager(Platform& world, std::vector<Manifest> manifests, std::vector<DriverImage> images)
    : world_(world), manifests_(std::move(manifests)), images_(std::move(images))
{
    world_.SetBusRelationsListener(this);
}

PnpManager::~PnpManager()
{
    while (!roots_.empty()) {
        DeviceNode* node = roots_.back().get();
        if (node->Port != nullptr) {
            node->Port->Disconnect();
        }
        if (node->NodeState != DeviceNode::State::SurpriseRemoved) {
            RemoveNode(*node, true);
        } else {
            DeleteDevices(*node);
        }
        roots_.pop_back();
    }
    world_.SetBusRelationsListener(nullptr);
}

DeviceNode* PnpManager::FindByFdo(WDFDEVICE fdo)
{
    std::vector<DeviceNode*> pending;
    for (auto& root : roots_) {
        pending.push_back(root.get());
    }
    while (!pending.empty()) {
        DeviceNode* node = pending.back();
        pending.pop_back();
        if (node->Fdo == fdo) {
            return node;
        }
        for (auto& child : node->Children) {
            pending.push_back(child.get());
        }
    }
    return nullptr;
}

DeviceNode* PnpManager::Plug(usb::Peripheral& device)
{
    auto node = std::make_unique<DeviceNode>();
    node->Port = std::make_unique<usb::HubPort>(device, nextPort_++);
    node->Pdo = node->Port->Pdo();
    node->Address = node->Port->PortNumber();
    const auto identity = node->Port->ReadIdentity();
    const std::u16string portTag = u"5&2b5e4d3a&0&" + Hex(node->Port->PortNumber(), 1);
    if (!identity) {
        // What the system shows for a device whose descriptor could not be read.
        node->HardwareIds = {u"USB\\DEVICE_DESCRIPTOR_FAILURE"};
        node->InstancePath = u"USB\\VID_0000&PID_0002\\" + portTag;
    } else {
        const auto& d = identity->Descriptor;
        const std::u16string vidPid = u"USB\\VID_" + Hex(d.idVendor, 4) + u"&PID_" + Hex(d.idProduct, 4);
        node->HardwareIds = {vidPid + u"&REV_" + Hex(d.bcdDevice, 4), vidPid};
        const std::u16string cls = u"USB\\Class_" + Hex(d.bDeviceClass, 2);
        node->CompatibleIds = {cls + u"&SubClass_" + Hex(d.bDeviceSubClass, 2) + u"&Prot_" + Hex(d.bDeviceProtocol, 2),
                               cls + u"&SubClass_" + Hex(d.bDeviceSubClass, 2), cls, u"USB\\COMPOSITE"};
        const bool unique = node->Port->ReportsUniqueId();
        node->InstancePath = vidPid + u"\\" + (unique ? identity->SerialNumber : portTag);
    }
    DeviceNode* raw = node.get();
    roots_.push_back(std::move(node));
    StartNode(*raw);
    return raw;
}

LoadedDriver* PnpManager::LoadedFor(const std::u16string& service)
{
    for (const auto& image : images_) {
        if (!SameId(image.Service, service)) {
            continue;
        }
        // A driver is loaded once; its entry point runs at the first device it serves.
        if (LoadedDriver* loaded = world_.FindDriverByService(image.Service)) {
            return loaded;
        }
        NTSTATUS status = STATUS_SUCCESS;
        return world_.LoadDriver(image.Service, image.Entry, &status);
    }
    return nullptr;
}

std::u16string PnpManager::SoftwareKeyFor(DeviceNode& node, const Manifest& manifest)
{
    auto& registry = world_.Registry();
    const std::u16string enumKey = std::u16string(kEnumKey) + u"\\" + node.InstancePath;
    registry.OpenKey(enumKey, true);
    RegistryValue driverValue;
    if (NT_SUCCESS(registry.QueryValue(enumKey, u"Driver", &driverValue))) {
        if (auto existing = driverValue.AsString(); existing && !existing->empty()) {
            return std::u16string(kControlKey) + u"\\Class\\" + *existing;
        }
    }
    ULONG index = 0;
    while (registry.KeyExists(wdf::SoftwareKeyPathFor(manifest.ClassGuid, index)) && index < 9999) {
        ++index;
    }
    const std::u16string path = wdf::SoftwareKeyPathFor(manifest.ClassGuid, index);
    registry.OpenKey(path, true);
    const std::u16string relative = path.substr(std::u16string(kControlKey).size() + 7); // after "\Class\"
    registry.SetValue(enumKey, u"Driver", RegistryValue::String(relative));
    registry.SetValue(enumKey, u"Service", RegistryValue::String(manifest.Service));
    return path;
}

void PnpManager::StartNode(DeviceNode& node)
{
    std::vector<std::u16string> ids = node.HardwareIds;
    ids.insert(ids.end(), node.CompatibleIds.begin(), node.CompatibleIds.end());
    const Manifest* manifest = MatchDriver(manifests_, ids);
    if (manifest == nullptr) {
        node.NodeState = DeviceNode::State::NoDriver;
        return;
    }
    node.Service = manifest->Service;
    node.StartStatus = AddAndStart(node, *manifest);
    node.NodeState = NT_SUCCESS(node.StartStatus) ? DeviceNode::State::Started : DeviceNode::State::StartFailed;
}

void PnpManager::AssignPortName(DeviceNode& node)
{
    auto& registry = world_.Registry();
    const std::u16string hardwareKey = node.HardwareKeyPath();
    registry.OpenKey(hardwareKey, true);
    RegistryValue comDb;
    if (!NT_SUCCESS(registry.QueryValue(kComNameArbiterKey, u"ComDB", &comDb)) || comDb.Type != REG_BINARY) {
        comDb = RegistryValue{REG_BINARY, {}};
    }
    comDb.Data.resize(kComDbBits / 8, std::byte{0});
    auto bit = [&](ULONG number) -> std::byte& { return comDb.Data[(number - 1) / 8]; };
    auto mask = [](ULONG number) { return static_cast<std::byte>(1u << ((number - 1) % 8)); };

    RegistryValue existing;
    if (NT_SUCCESS(registry.QueryValue(hardwareKey, u"PortName", &existing))) {
        if (auto name = existing.AsString(); name && !name->empty()) {
            // Installed before: the port keeps its name, and the name stays taken.
            node.PortName = *name;
            if (name->size() > 3 && SameId(name->substr(0, 3), u"COM")) {
                ULONG number = 0;
                for (char16_t c : name->substr(3)) {
                    number = (c >= u'0' && c <= u'9' && number < kComDbBits) ? number * 10 + (c - u'0') : kComDbBits + 1;
                }
                if (number >= 1 && number <= kComDbBits) {
                    bit(number) |= mask(number);
                    registry.OpenKey(kComNameArbiterKey, true);
                    registry.SetValue(kComNameArbiterKey, u"ComDB", comDb);
                }
            }
            return;
        }
    }
    // COM1 and COM2 are the machine's own ports.
    for (ULONG number = 3; number <= kComDbBits; ++number) {
        if ((bit(number) & mask(number)) != std::byte{0}) {
            continue;
        }
        bit(number) |= mask(number);
        registry.OpenKey(kComNameArbiterKey, true);
        registry.SetValue(kComNameArbiterKey, u"ComDB", comDb);
        node.PortName = u"COM" + Utf8ToUtf16(std::to_string(number));
        registry.SetValue(hardwareKey, u"PortName", RegistryValue::String(node.PortName));
        return;
    }
}

NTSTATUS PnpManager::Suspend(DeviceNode* node, WDF_POWER_DEVICE_STATE target)
{
    if (node == nullptr || node->NodeState != DeviceNode::State::Started || node->PowerState != WdfPowerDeviceD0) {
        return node == nullptr ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
    }
    NTSTATUS first = STATUS_SUCCESS;
    auto note = [&first](NTSTATUS status) {
        if (NT_SUCCESS(first) && !NT_SUCCESS(status)) {
            first = status;
        }
    };
    for (auto it = node->Children.rbegin(); it != node->Children.rend(); ++it) {
        note(Suspend(it->get(), target));
    }
    if (node->Fdo != nullptr) {
        note(PowerDown(node->Fdo, target));
    }
    if (node->PdoDevice != nullptr) {
        note(PowerDown(node->PdoDevice, target));
    }
    node->PowerState = target;
    return first;
}

NTSTATUS PnpManager::Resume(DeviceNode* node)
{
    if (node == nullptr || node->NodeState != DeviceNode::State::Started || node->PowerState == WdfPowerDeviceD0) {
        return node == nullptr ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
    }
    const WDF_POWER_DEVICE_STATE previous = node->PowerState;
    NTSTATUS first = STATUS_SUCCESS;
    auto note = [&first](NTSTATUS status) {
        if (NT_SUCCESS(first) && !NT_SUCCESS(status)) {
            first = status;
        }
    };
    if (node->PdoDevice != nullptr) {
        note(PowerUp(node->PdoDevice, previous));
    }
    if (node->Fdo != nullptr) {
        note(PowerUp(node->Fdo, previous));
    }
    node->PowerState = WdfPowerDeviceD0;
    for (auto& child : node->Children) {
        note(Resume(child.get()));
    }
    return first;
}

bool PnpManager::QueryRemove(const DeviceNode* node) const
{
    if (node == nullptr) {
        return false;
    }
    for (WDFDEVICE handle : {node->Fdo, node->PdoDevice}) {
        if (wdf::Device* device = handle != nullptr ? DeviceOf(handle) : nullptr;
            device != nullptr && device->StopRemoveRefusals != 0) {
            return false;
        }
    }
    return std::all_of(node->Children.begin(), node->Children.end(),
                       [this](const auto& child) { return QueryRemove(child.get()); });
}

NTSTATUS PnpManager::AddAndStart(DeviceNode& node, const Manifest& manifest)
{
    LoadedDriver* loaded = LoadedFor(manifest.Service);
    if (loaded == nullptr || loaded->FrameworkDriver() == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    node.Driver = loaded;
    node.SoftwareKeyPath = SoftwareKeyFor(node, manifest);
    if (SameId(manifest.ClassGuid, kPortsClass)) {
        AssignPortName(node);
    }
    const auto driver = static_cast<WDFDRIVER>(loaded->FrameworkDriver()->Handle());
    auto init = wdf::MakeDeviceInit(driver, node.InstancePath, node.SoftwareKeyPath, node.Pdo);
    const PFN_WDF_DRIVER_DEVICE_ADD deviceAdd = wdf::DeviceAddCallback(driver);
    if (deviceAdd == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    NTSTATUS status;
    {
        ExecutionScope scope;
        wdf::DriverScope running(loaded->FrameworkDriver());
        status = deviceAdd(driver, init.get());
    }
    if (!NT_SUCCESS(status)) {
        if (init->Created != nullptr) {
            wdf::DeleteDevice(init->Created);
        }
        return status;
    }
    if (init->Created == nullptr) {
        return STATUS_UNSUCCESSFUL; // the driver made no device
    }
    node.Fdo = init->Created;
    // The start travels down the stack: the child device below starts first.
    if (node.PdoDevice != nullptr) {
        status = PrepareAndPowerUp(node.PdoDevice);
        if (!NT_SUCCESS(status)) {
            DeleteDevices(node);
            return status;
        }
    }
    status = PrepareAndPowerUp(node.Fdo);
    if (!NT_SUCCESS(status)) {
        if (node.PdoDevice != nullptr) {
            PowerDownAndRelease(node.PdoDevice);
        }
        // A device that cannot start is removed; its node stays to show why.
        wdf::DeleteDevice(node.Fdo);
        node.Fdo = nullptr;
    }
    return status;
}

void PnpManager::RemoveNode(DeviceNode& node, bool deleteDevices)
{
    for (auto it = node.Children.rbegin(); it != node.Children.rend(); ++it) {
        RemoveNode(**it, false);
    }
    const bool started = node.NodeState == DeviceNode::State::Started;
    // The node is on its way out before its drivers hear of it: a bus driver
    // that reports its children missing while it is released (and waits on
    // the dispatcher) must not have them deleted here, ahead of a deferred
    // removal whose handles are still open.
    node.NodeState = DeviceNode::State::SurpriseRemoved;
    if (started) {
        if (node.Fdo != nullptr) {
            PowerDownAndRelease(node.Fdo);
        }
        if (node.PdoDevice != nullptr) {
            PowerDownAndRelease(node.PdoDevice);
        }
    }
    if (deleteDevices) {
        DeleteDevices(node);
    }
}

void PnpManager::DeleteDevices(DeviceNode& node)
{
    for (auto it = node.Children.rbegin(); it != node.Children.rend(); ++it) {
        DeleteDevices(**it);
    }
    node.Children.clear();
    if (node.Fdo != nullptr) {
        wdf::DeleteDevice(node.Fdo);
        node.Fdo = nullptr;
    }
    if (node.PdoDevice != nullptr) {
        wdf::DeleteDevice(node.PdoDevice);
        node.PdoDevice = nullptr;
        node.Pdo = nullptr;
    }
    node.NodeState = DeviceNode::State::Removed;
}

void PnpManager::Unplug(DeviceNode* node, bool deferCleanup)
{
    if (node == nullptr) {
        return;
    }
    if (node->Port != nullptr) {
        node->Port->Disconnect();
    }
    RemoveNode(*node, false);
    if (deferCleanup) {
        node->CleanupDeferred = true;
        return;
    }
    FinishRemoval(node);
}

void PnpManager::FinishRemoval(DeviceNode* node)
{
    DeleteDevices(*node);
    auto found = std::find_if(roots_.begin(), roots_.end(), [node](const auto& root) { return root.get() == node; });
    if (found != roots_.end()) {
        roots_.erase(found);
    }
}

void PnpManager::BusRelationsChanged(WDFDEVICE parent)
{
    DeviceNode* node = FindByFdo(parent);
    wdf::Device* device = DeviceOf(parent);
    if (node == nullptr || device == nullptr || device->IsDeleted() || device->DefaultChildList == nullptr ||
        node->NodeState == DeviceNode::State::SurpriseRemoved || node->NodeState == DeviceNode::State::Removed) {
        return;
    }
    auto& children = device->DefaultChildList->Children;
    for (std::size_t index = 0; index < children.size();) {
        auto& child = children[index];
        if (child.ChildState == wdf::ChildList::State::Missing) {
            auto found = std::find_if(node->Children.begin(), node->Children.end(),
                                      [&](const auto& c) { return child.Pdo != nullptr && c->PdoDevice == child.Pdo; });
            if (found != node->Children.end()) {
                RemoveNode(**found, true);
                node->Children.erase(found);
            }
            children.erase(children.begin() + static_cast<std::ptrdiff_t>(index));
            continue;
        }
        if (child.ChildState == wdf::ChildList::State::New) {
            CreateChild(*node, parent, index);
        }
        ++index;
    }
}

void PnpManager::CreateChild(DeviceNode& parentNode, WDFDEVICE parentHandle, std::size_t index)
{
    wdf::Device* parent = DeviceOf(parentHandle);
    wdf::ChildList& list = *parent->DefaultChildList;
    list.Children[index].ChildState = wdf::ChildList::State::Present;
    // The callback reads the description through an aligned copy.
    const std::vector<std::byte> description = list.Children[index].Description;
    std::vector<std::max_align_t> aligned((description.size() + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    std::memcpy(aligned.data(), description.data(), description.size());
    auto* header = reinterpret_cast<PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER>(aligned.data());

    auto init = std::make_unique<WDFDEVICE_INIT>();
    init->Driver = static_cast<WDFDRIVER>(parent->OwnerDriver()->Handle());
    init->IsPdo = true;
    init->ParentDevice = parentHandle;
    const auto listHandle = static_cast<WDFCHILDLIST>(list.Handle());
    const auto create = list.Config.EvtChildListCreateDevice;
    const NTSTATUS status = CallDriver(*parent, [&] { return create(listHandle, header, init.get()); });
    if (!NT_SUCCESS(status) || init->Created == nullptr) {
        if (init->Created != nullptr) {
            wdf::DeleteDevice(init->Created);
        }
        return;
    }
    // The list may have grown in the callback: look the entry up again.
    list.Children[index].Pdo = init->Created;
    wdf::Device* pdo = DeviceOf(init->Created);
    pdo->IdentificationDescription = description;

    auto node = std::make_unique<DeviceNode>();
    node->Parent = &parentNode;
    node->DeviceId = pdo->Identity.DeviceId;
    node->InstanceId = pdo->Identity.InstanceId;
    node->HardwareIds = pdo->Identity.HardwareIds;
    node->CompatibleIds = pdo->Identity.CompatibleIds;
    for (const auto& text : pdo->Identity.Texts) {
        if (node->Description.empty() && node->Location.empty()) {
            node->Description = text.Description;
            node->Location = text.Location;
        }
        if (text.LocaleId == pdo->Identity.DefaultLocale) {
            node->Description = text.Description;
            node->Location = text.Location;
            break;
        }
    }
    node->Address = pdo->PnpCapabilities.Address;
    const bool unique = pdo->PnpCapabilities.UniqueID == WdfTrue;
    node->InstancePath = node->DeviceId + u"\\" +
                         (unique ? node->InstanceId : ParentIdPrefix(parentNode.InstancePath) + u"&" + node->InstanceId);
    pdo->InstanceId = node->InstancePath;
    pdo->HardwareKeyPath = wdf::HardwareKeyPathFor(node->InstancePath);
    node->PdoDevice = init->Created;
    node->Pdo = &pdo->DeviceObject;
    DeviceNode* raw = node.get();
    parentNode.Children.push_back(std::move(node));
    StartNode(*raw);
}

} // namespace platform::pnp
