// Child lists: scans, byte-for-byte matching of identification
// descriptions, and the notice to the Plug and Play manager that the
// parent's children changed.
#include "platform/wdf/child_list.h"

#include "platform/platform.h"

#include <cstring>

namespace platform::wdf {

namespace {

ChildList* Resolve(WDFCHILDLIST handle, const char* operation)
{
    return Platform::Current().Objects().ResolveAs<ChildList>(handle, ObjectKind::ChildList, operation);
}

// The Plug and Play manager learns of the change later, as the system's
// invalidation of bus relations is handled after the call that made it.
void InvalidateRelations(ChildList& list)
{
    Platform& world = Platform::Current();
    const WDFDEVICE parent = static_cast<WDFDEVICE>(list.Parent->Handle());
    world.Dispatcher().Post([&world, parent] { world.BusRelationsChanged(parent); }, "bus relations changed");
}

} // namespace

NTSTATUS CreateDefaultChildList(Device& parent, const WDF_CHILD_LIST_CONFIG& config)
{
    auto list = std::make_unique<ChildList>();
    list->Parent = &parent;
    list->Config = config;
    list->SetDriverMayDelete(false);
    ChildList* raw = list.get();
    const NTSTATUS status = Platform::Current().Objects().Insert(std::move(list), nullptr, &parent);
    if (NT_SUCCESS(status)) {
        parent.DefaultChildList = raw;
    }
    return status;
}

} // namespace platform::wdf

using platform::Platform;
using platform::wdf::ChildList;
using platform::wdf::Device;

void WdfFdoInitSetDefaultChildListConfig(PWDFDEVICE_INIT DeviceInit, PWDF_CHILD_LIST_CONFIG Config,
                                         PWDF_OBJECT_ATTRIBUTES)
{
    if (DeviceInit == nullptr || Config == nullptr || Config->Size != sizeof(WDF_CHILD_LIST_CONFIG) ||
        Config->IdentificationDescriptionSize < sizeof(WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER) ||
        Config->EvtChildListCreateDevice == nullptr) {
        platform::GetVerifier().Report(platform::VerifierRule::InvalidParameter,
                                       "WdfFdoInitSetDefaultChildListConfig with an unusable configuration");
        return;
    }
    DeviceInit->HasChildList = true;
    DeviceInit->ChildListConfig = *Config;
}

WDFCHILDLIST WdfFdoGetDefaultChildList(WDFDEVICE Fdo)
{
    Device* device = platform::wdf::ResolveDevice(Fdo, "WdfFdoGetDefaultChildList");
    if (device == nullptr || device->DefaultChildList == nullptr) {
        return nullptr;
    }
    return static_cast<WDFCHILDLIST>(device->DefaultChildList->Handle());
}

WDFDEVICE WdfChildListGetDevice(WDFCHILDLIST ChildListHandle)
{
    ChildList* list = platform::wdf::Resolve(ChildListHandle, "WdfChildListGetDevice");
    return list != nullptr ? static_cast<WDFDEVICE>(list->Parent->Handle()) : nullptr;
}

void WdfChildListBeginScan(WDFCHILDLIST ChildListHandle)
{
    ChildList* list = platform::wdf::Resolve(ChildListHandle, "WdfChildListBeginScan");
    if (list == nullptr) {
        return;
    }
    list->Scanning = true;
    for (auto& child : list->Children) {
        child.Reported = false;
    }
}

NTSTATUS WdfChildListAddOrUpdateChildDescriptionAsPresent(
    WDFCHILDLIST ChildListHandle, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
    PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER)
{
    ChildList* list = platform::wdf::Resolve(ChildListHandle, "WdfChildListAddOrUpdateChildDescriptionAsPresent");
    if (list == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (IdentificationDescription == nullptr ||
        IdentificationDescription->IdentificationDescriptionSize != list->Config.IdentificationDescriptionSize) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfChildListAddOrUpdateChildDescriptionAsPresent")) {
        return *failure;
    }
    const auto* bytes = reinterpret_cast<const std::byte*>(IdentificationDescription);
    const std::size_t size = list->Config.IdentificationDescriptionSize;
    for (auto& child : list->Children) {
        if (child.ChildState != ChildList::State::Missing && child.Description.size() == size &&
            std::memcmp(child.Description.data(), bytes, size) == 0) {
            child.Reported = true;
            return STATUS_OBJECT_NAME_EXISTS;
        }
    }
    list->Children.push_back(ChildList::Child{std::vector<std::byte>(bytes, bytes + size), ChildList::State::New, true, nullptr});
    if (!list->Scanning) {
        platform::wdf::InvalidateRelations(*list);
    }
    return STATUS_SUCCESS;
}

void WdfChildListEndScan(WDFCHILDLIST ChildListHandle)
{
    ChildList* list = platform::wdf::Resolve(ChildListHandle, "WdfChildListEndScan");
    if (list == nullptr) {
        return;
    }
    if (!list->Scanning) {
        platform::GetVerifier().Report(platform::VerifierRule::InvalidParameter, "WdfChildListEndScan with no scan begun");
    }
    list->Scanning = false;
    for (auto& child : list->Children) {
        if (!child.Reported) {
            child.ChildState = ChildList::State::Missing;
        }
    }
    platform::wdf::InvalidateRelations(*list);
}

NTSTATUS WdfChildListRequestChildEject(WDFCHILDLIST ChildListHandle, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER)
{
    return platform::wdf::Resolve(ChildListHandle, "WdfChildListRequestChildEject") != nullptr ? STATUS_NOT_SUPPORTED
                                                                                              : STATUS_INVALID_HANDLE;
}

NTSTATUS WdfPdoRetrieveIdentificationDescription(WDFDEVICE DeviceHandle,
                                                 PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription)
{
    Device* device = platform::wdf::ResolveDevice(DeviceHandle, "WdfPdoRetrieveIdentificationDescription");
    if (device == nullptr || !device->IsPdo) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfPdoRetrieveIdentificationDescription")) {
        return *failure;
    }
    if (IdentificationDescription == nullptr ||
        IdentificationDescription->IdentificationDescriptionSize != device->IdentificationDescription.size()) {
        return STATUS_INVALID_PARAMETER;
    }
    std::memcpy(IdentificationDescription, device->IdentificationDescription.data(),
                device->IdentificationDescription.size());
    return STATUS_SUCCESS;
}

WDFDEVICE WdfPdoGetParent(WDFDEVICE DeviceHandle)
{
    Device* device = platform::wdf::ResolveDevice(DeviceHandle, "WdfPdoGetParent");
    if (device == nullptr || device->ParentDevice == nullptr) {
        return nullptr;
    }
    return static_cast<WDFDEVICE>(device->ParentDevice->Handle());
}
