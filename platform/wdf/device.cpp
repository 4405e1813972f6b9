// Device initialisation, device creation, the registry keys of a device
// instance, capabilities, interfaces, and the framework's handling of the
// IRPs that reach a framework device.
#include "platform/wdf/device.h"

#include "platform/platform.h"
#include "platform/wdf/child_list.h"
#include "platform/wdf/iotarget.h"
#include "platform/wdf/request.h"
#include "platform/wdf/wdf_registry.h"
#include "platform/wdf/wdf_string.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace platform::wdf {

std::u16string HardwareKeyPathFor(std::u16string_view instancePath)
{
    std::u16string path(kEnumKey);
    path += u"\\";
    path += instancePath;
    path += u"\\Device Parameters";
    return path;
}

std::u16string SoftwareKeyPathFor(std::u16string_view classGuid, ULONG index)
{
    char number[8];
    std::snprintf(number, sizeof(number), "%04u", static_cast<unsigned>(index % 10000));
    std::u16string path(kControlKey);
    path += u"\\Class\\";
    path += classGuid;
    path += u"\\";
    path += Utf8ToUtf16(number);
    return path;
}

std::unique_ptr<WDFDEVICE_INIT> MakeDeviceInit(WDFDRIVER driver, std::u16string instanceId,
                                               std::u16string softwareKeyPath, PDEVICE_OBJECT lower)
{
    auto init = std::make_unique<WDFDEVICE_INIT>();
    init->Driver = driver;
    init->HardwareKeyPath = HardwareKeyPathFor(instanceId);
    init->InstanceId = std::move(instanceId);
    init->SoftwareKeyPath = std::move(softwareKeyPath);
    init->LowerDevice = lower;
    return init;
}

Device::Device() : Object(ObjectKind::Device)
{
    DeviceObject.Handler = this;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&PnpCapabilities);
    WDF_DEVICE_POWER_CAPABILITIES_INIT(&PowerCapabilities);
}

Device::~Device() = default;

void Device::OnDelete()
{
    // The stack above no longer reaches this device, nor does its name.
    DeviceObject.Handler = nullptr;
    if (DeviceObject.LowerDevice != nullptr && DeviceObject.LowerDevice->AttachedDevice == &DeviceObject) {
        DeviceObject.LowerDevice->AttachedDevice = nullptr;
    }
    auto& names = Platform::Current().Names();
    for (const auto& link : SymbolicLinks) {
        names.DeleteLink(link);
    }
    if (!DeviceName.empty()) {
        names.UnregisterDevice(DeviceName);
    }
    names.UnregisterInterfaces(&DeviceObject);
}

Device* ResolveDevice(WDFDEVICE handle, const char* operation)
{
    return Platform::Current().Objects().ResolveAs<Device>(handle, ObjectKind::Device, operation);
}

void DeleteDevice(WDFDEVICE handle)
{
    auto& objects = Platform::Current().Objects();
    if (Object* device = objects.Resolve(handle, ObjectKind::Device, "DeleteDevice")) {
        objects.Delete(*device);
    }
}

NTSTATUS Device::DispatchIrp(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_INTERFACE) {
        for (const auto& offered : QueryInterfaces) {
            if (stack->Parameters.QueryInterface.InterfaceType != nullptr &&
                *stack->Parameters.QueryInterface.InterfaceType == offered.Type) {
                const std::size_t size = stack->Parameters.QueryInterface.Size;
                NTSTATUS status = STATUS_INVALID_PARAMETER;
                if (stack->Parameters.QueryInterface.Interface != nullptr && size <= offered.Copy.size()) {
                    std::memcpy(stack->Parameters.QueryInterface.Interface, offered.Copy.data(), size);
                    status = STATUS_SUCCESS;
                }
                irp->IoStatus.Status = status;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return status;
            }
        }
    }
    if (stack->MajorFunction == IRP_MJ_PNP || stack->MajorFunction == IRP_MJ_POWER) {
        if (!IsPdo && DeviceObject.LowerDevice != nullptr) {
            // What a function device does not answer itself goes down its stack.
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(DeviceObject.LowerDevice, irp);
        }
        const NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    for (const auto& preprocess : Preprocess) {
        if (preprocess.MajorFunction != stack->MajorFunction ||
            (!preprocess.MinorFunctions.empty() &&
             std::find(preprocess.MinorFunctions.begin(), preprocess.MinorFunctions.end(), stack->MinorFunction) ==
                 preprocess.MinorFunctions.end())) {
            continue;
        }
        // The driver sees it first; it completes it or hands it back.
        const auto callback = preprocess.Callback;
        const WDFDEVICE handle = static_cast<WDFDEVICE>(Handle());
        NTSTATUS status = STATUS_SUCCESS;
        InvokeDriverCallback(*this, [&] { status = callback(handle, irp); });
        return status;
    }
    return DispatchToQueues(irp);
}

NTSTATUS Device::DispatchToQueues(PIRP irp)
{
    // Everything else is a request for the driver's queues.
    IoMarkIrpPending(irp);
    ReceiveIrp(*this, irp);
    return STATUS_PENDING;
}

namespace {

NTSTATUS OpenInstanceKey(const std::u16string& hardwareKey, const std::u16string& softwareKey, ULONG type,
                         ACCESS_MASK access, PWDF_OBJECT_ATTRIBUTES attributes, WDFKEY* key)
{
    // The system makes a device's Device Parameters key on first use; its
    // driver key exists from the driver's installation on.
    switch (type) {
    case PLUGPLAY_REGKEY_DEVICE:
        return OpenKeyObject(hardwareKey, true, access, attributes, key);
    case PLUGPLAY_REGKEY_DRIVER:
        if (softwareKey.empty()) {
            break;
        }
        return OpenKeyObject(softwareKey, true, access, attributes, key);
    default:
        break;
    }
    if (key != nullptr) {
        *key = nullptr;
    }
    return STATUS_INVALID_PARAMETER;
}

bool CheckInit(PWDFDEVICE_INIT init, const char* operation)
{
    if (init == nullptr) {
        GetVerifier().Report(VerifierRule::InvalidParameter, std::string(operation) + " without a device-init record");
        return false;
    }
    return true;
}

bool CheckPdoInit(PWDFDEVICE_INIT init, const char* operation)
{
    if (!CheckInit(init, operation)) {
        return false;
    }
    if (!init->IsPdo) {
        GetVerifier().Report(VerifierRule::InvalidParameter,
                             std::string(operation) + " on the init record of a device that is no child");
        return false;
    }
    return true;
}

NTSTATUS CopyId(PCUNICODE_STRING id, std::u16string* out)
{
    if (id == nullptr || (id->Length != 0 && id->Buffer == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    *out = std::u16string(View(*id));
    return STATUS_SUCCESS;
}

} // namespace

} // namespace platform::wdf

using platform::Platform;
using platform::wdf::Device;
using platform::wdf::ObjectKind;

NTSTATUS WdfFdoInitOpenRegistryKey(PWDFDEVICE_INIT DeviceInit, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                   PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    if (!platform::wdf::CheckInit(DeviceInit, "WdfFdoInitOpenRegistryKey")) {
        return STATUS_INVALID_PARAMETER;
    }
    return platform::wdf::OpenInstanceKey(DeviceInit->HardwareKeyPath, DeviceInit->SoftwareKeyPath,
                                          DeviceInstanceKeyType, DesiredAccess, KeyAttributes, Key);
}

void WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, ULONG DeviceType)
{
    if (platform::wdf::CheckInit(DeviceInit, "WdfDeviceInitSetDeviceType")) {
        DeviceInit->DeviceType = DeviceType;
    }
}

void WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                            PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks)
{
    if (platform::wdf::CheckInit(DeviceInit, "WdfDeviceInitSetPnpPowerEventCallbacks") &&
        PnpPowerEventCallbacks != nullptr) {
        DeviceInit->PnpPower = *PnpPowerEventCallbacks;
    }
}

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* DeviceHandle)
{
    if (DeviceInit == nullptr || *DeviceInit == nullptr || DeviceHandle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *DeviceHandle = nullptr;
    if (auto failure = Platform::Current().Faults().Take("WdfDeviceCreate")) {
        return *failure;
    }
    auto& objects = Platform::Current().Objects();
    WDFDEVICE_INIT& init = **DeviceInit;
    platform::wdf::Object* driver = objects.Resolve(init.Driver, ObjectKind::Driver, "WdfDeviceCreate");
    if (driver == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto device = std::make_unique<Device>();
    device->InstanceId = init.InstanceId;
    device->HardwareKeyPath = init.HardwareKeyPath;
    device->SoftwareKeyPath = init.SoftwareKeyPath;
    device->PnpPower = init.PnpPower;
    device->IsPdo = init.IsPdo;
    device->Identity = init.Identity;
    device->HasRequestAttributes = init.HasRequestAttributes;
    device->RequestAttributes = init.RequestAttributes;
    device->HasFileObjectConfig = init.HasFileObjectConfig;
    device->FileObjectConfig = init.FileObjectConfig;
    device->FileObjectAttributes = init.FileObjectAttributes;
    device->Exclusive = init.Exclusive;
    device->Sddl = init.Sddl;
    device->Preprocess = init.Preprocess;
    device->DeviceObject.DriverObject = WdfDriverWdmGetDriverObject(init.Driver);
    device->DeviceObject.DeviceType = init.DeviceType;
    device->DeviceObject.LowerDevice = init.LowerDevice;
    device->DeviceObject.StackSize = static_cast<CHAR>(init.LowerDevice != nullptr ? init.LowerDevice->StackSize + 1 : 1);
    if (!init.Preprocess.empty()) {
        // A preprocessed IRP handed on moves to a location of its own.
        ++device->DeviceObject.StackSize;
    }
    if (init.IsPdo) {
        device->ParentDevice = platform::wdf::ResolveDevice(init.ParentDevice, "WdfDeviceCreate");
        // A child that forwards to its parent needs room for the parent's stack too.
        if (init.Identity.AllowForwardingToParent && device->ParentDevice != nullptr) {
            device->DeviceObject.StackSize =
                static_cast<CHAR>(device->ParentDevice->DeviceObject.StackSize + device->DeviceObject.StackSize);
        }
    }
    // A Plug and Play device goes when the system removes it, not when its driver says so.
    device->SetDriverMayDelete(false);
    Device* raw = device.get();
    // Devices are always children of their driver, whatever the attributes say.
    WDF_OBJECT_ATTRIBUTES attributes;
    if (DeviceAttributes != nullptr) {
        attributes = *DeviceAttributes;
    } else {
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    }
    attributes.ParentObject = nullptr;
    NTSTATUS status = objects.Insert(std::move(device), &attributes, driver);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const WDFDEVICE handle = static_cast<WDFDEVICE>(raw->Handle());

    // The default I/O target sends to the next lower device.
    auto target = std::make_unique<platform::wdf::IoTarget>();
    target->Target = init.LowerDevice;
    target->SetDriverMayDelete(false);
    platform::wdf::IoTarget* rawTarget = target.get();
    status = objects.Insert(std::move(target), nullptr, raw);
    if (NT_SUCCESS(status)) {
        raw->DefaultTarget = rawTarget;
    }
    if (NT_SUCCESS(status) && init.HasChildList) {
        status = platform::wdf::CreateDefaultChildList(*raw, init.ChildListConfig);
    }
    if (!NT_SUCCESS(status)) {
        objects.Delete(*raw);
        return status;
    }
    if (!init.DeviceName.empty()) {
        status = Platform::Current().Names().RegisterDevice(init.DeviceName, &raw->DeviceObject);
        if (!NT_SUCCESS(status)) {
            objects.Delete(*raw);
            return status;
        }
        raw->DeviceName = init.DeviceName;
    }
    if (init.LowerDevice != nullptr) {
        init.LowerDevice->AttachedDevice = &raw->DeviceObject;
    }
    *DeviceHandle = handle;
    init.Created = handle;
    *DeviceInit = nullptr;
    return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE DeviceHandle, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                  PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    Device* device = platform::wdf::ResolveDevice(DeviceHandle, "WdfDeviceOpenRegistryKey");
    if (device == nullptr) {
        if (Key != nullptr) {
            *Key = nullptr;
        }
        return STATUS_INVALID_HANDLE;
    }
    return platform::wdf::OpenInstanceKey(device->HardwareKeyPath, device->SoftwareKeyPath, DeviceInstanceKeyType,
                                          DesiredAccess, KeyAttributes, Key);
}

PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE DeviceHandle)
{
    Device* device = platform::wdf::ResolveDevice(DeviceHandle, "WdfDeviceWdmGetDeviceObject");
    return device != nullptr ? &device->DeviceObject : nullptr;
}

void WdfDeviceSetPnpCapabilities(WDFDEVICE DeviceHandle, PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities)
{
    Device* device = platform::wdf::ResolveDevice(DeviceHandle, "WdfDeviceSetPnpCapabilities");
    if (device != nullptr && PnpCapabilities != nullptr) {
        device->PnpCapabilities = *PnpCapabilities;
    }
}

void WdfDeviceSetPowerCapabilities(WDFDEVICE DeviceHandle, PWDF_DEVICE_POWER_CAPABILITIES PowerCapabilities)
{
    Device* device = platform::wdf::ResolveDevice(DeviceHandle, "WdfDeviceSetPowerCapabilities");
    if (device != nullptr && PowerCapabilities != nullptr) {
        device->PowerCapabilities = *PowerCapabilities;
    }
}

void WdfDeviceSetBusInformationForChildren(WDFDEVICE DeviceHandle, PPNP_BUS_INFORMATION BusInformation)
{
    Device* device = platform::wdf::ResolveDevice(DeviceHandle, "WdfDeviceSetBusInformationForChildren");
    if (device != nullptr && BusInformation != nullptr) {
        device->BusInformationForChildren = *BusInformation;
        device->HasBusInformation = true;
    }
}

WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE DeviceHandle)
{
    Device* device = platform::wdf::ResolveDevice(DeviceHandle, "WdfDeviceGetIoTarget");
    if (device == nullptr || device->DefaultTarget == nullptr) {
        return nullptr;
    }
    return static_cast<WDFIOTARGET>(device->DefaultTarget->Handle());
}

NTSTATUS WdfFdoQueryForInterface(WDFDEVICE Fdo, const GUID* InterfaceType, PINTERFACE Interface, USHORT Size,
                                 USHORT Version, PVOID InterfaceSpecificData)
{
    Device* device = platform::wdf::ResolveDevice(Fdo, "WdfFdoQueryForInterface");
    if (device == nullptr || InterfaceType == nullptr || Interface == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfFdoQueryForInterface")) {
        return *failure;
    }
    PDEVICE_OBJECT lower = device->DeviceObject.LowerDevice;
    if (lower == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = InterfaceType;
    next->Parameters.QueryInterface.Size = Size;
    next->Parameters.QueryInterface.Version = Version;
    next->Parameters.QueryInterface.Interface = Interface;
    next->Parameters.QueryInterface.InterfaceSpecificData = InterfaceSpecificData;
    const NTSTATUS status = platform::wdf::SendIrpSynchronously(lower, irp, std::nullopt);
    IoFreeIrp(irp);
    return status;
}

NTSTATUS WdfDeviceAddQueryInterface(WDFDEVICE DeviceHandle, PWDF_QUERY_INTERFACE_CONFIG InterfaceConfig)
{
    Device* device = platform::wdf::ResolveDevice(DeviceHandle, "WdfDeviceAddQueryInterface");
    if (device == nullptr || InterfaceConfig == nullptr || InterfaceConfig->Interface == nullptr ||
        InterfaceConfig->InterfaceType == nullptr || InterfaceConfig->Interface->Size < sizeof(INTERFACE)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfDeviceAddQueryInterface")) {
        return *failure;
    }
    const auto* bytes = reinterpret_cast<const std::byte*>(InterfaceConfig->Interface);
    device->QueryInterfaces.push_back(
        Device::OfferedInterface{*InterfaceConfig->InterfaceType,
                                 std::vector<std::byte>(bytes, bytes + InterfaceConfig->Interface->Size)});
    return STATUS_SUCCESS;
}

NTSTATUS WdfPdoInitAssignDeviceID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceID)
{
    if (!platform::wdf::CheckPdoInit(DeviceInit, "WdfPdoInitAssignDeviceID")) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return platform::wdf::CopyId(DeviceID, &DeviceInit->Identity.DeviceId);
}

NTSTATUS WdfPdoInitAddHardwareID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING HardwareID)
{
    if (!platform::wdf::CheckPdoInit(DeviceInit, "WdfPdoInitAddHardwareID")) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::u16string id;
    const NTSTATUS status = platform::wdf::CopyId(HardwareID, &id);
    if (NT_SUCCESS(status)) {
        DeviceInit->Identity.HardwareIds.push_back(std::move(id));
    }
    return status;
}

NTSTATUS WdfPdoInitAddCompatibleID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING CompatibleID)
{
    if (!platform::wdf::CheckPdoInit(DeviceInit, "WdfPdoInitAddCompatibleID")) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::u16string id;
    const NTSTATUS status = platform::wdf::CopyId(CompatibleID, &id);
    if (NT_SUCCESS(status)) {
        DeviceInit->Identity.CompatibleIds.push_back(std::move(id));
    }
    return status;
}

NTSTATUS WdfPdoInitAssignInstanceID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING InstanceID)
{
    if (!platform::wdf::CheckPdoInit(DeviceInit, "WdfPdoInitAssignInstanceID")) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return platform::wdf::CopyId(InstanceID, &DeviceInit->Identity.InstanceId);
}

NTSTATUS WdfPdoInitAddDeviceText(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceDescription,
                                 PCUNICODE_STRING DeviceLocation, ULONG LocaleId)
{
    if (!platform::wdf::CheckPdoInit(DeviceInit, "WdfPdoInitAddDeviceText")) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PdoIdentity::Text text{{}, {}, LocaleId};
    NTSTATUS status = platform::wdf::CopyId(DeviceDescription, &text.Description);
    if (NT_SUCCESS(status)) {
        status = platform::wdf::CopyId(DeviceLocation, &text.Location);
    }
    if (NT_SUCCESS(status)) {
        DeviceInit->Identity.Texts.push_back(std::move(text));
    }
    return status;
}

void WdfPdoInitSetDefaultLocale(PWDFDEVICE_INIT DeviceInit, ULONG LocaleId)
{
    if (platform::wdf::CheckPdoInit(DeviceInit, "WdfPdoInitSetDefaultLocale")) {
        DeviceInit->Identity.DefaultLocale = LocaleId;
    }
}

void WdfPdoInitAllowForwardingRequestToParent(PWDFDEVICE_INIT DeviceInit)
{
    if (platform::wdf::CheckPdoInit(DeviceInit, "WdfPdoInitAllowForwardingRequestToParent")) {
        DeviceInit->Identity.AllowForwardingToParent = true;
    }
}

void WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT DeviceInit, PWDF_OBJECT_ATTRIBUTES RequestAttributes)
{
    if (platform::wdf::CheckInit(DeviceInit, "WdfDeviceInitSetRequestAttributes") && RequestAttributes != nullptr) {
        DeviceInit->HasRequestAttributes = true;
        DeviceInit->RequestAttributes = *RequestAttributes;
        // The framework parents its requests itself.
        DeviceInit->RequestAttributes.ParentObject = nullptr;
    }
}

NTSTATUS WdfDeviceInitAssignName(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceName)
{
    if (!platform::wdf::CheckInit(DeviceInit, "WdfDeviceInitAssignName")) {
        return STATUS_INVALID_PARAMETER;
    }
    if (DeviceName == nullptr) {
        DeviceInit->DeviceName.clear();
        return STATUS_SUCCESS;
    }
    return platform::wdf::CopyId(DeviceName, &DeviceInit->DeviceName);
}

NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE DeviceHandle, PCUNICODE_STRING SymbolicLinkName)
{
    Device* device = platform::wdf::ResolveDevice(DeviceHandle, "WdfDeviceCreateSymbolicLink");
    if (device == nullptr || SymbolicLinkName == nullptr || device->DeviceName.empty()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfDeviceCreateSymbolicLink")) {
        return *failure;
    }
    const std::u16string link(platform::View(*SymbolicLinkName));
    const NTSTATUS status = Platform::Current().Names().CreateLink(link, device->DeviceName);
    if (NT_SUCCESS(status)) {
        device->SymbolicLinks.push_back(link);
    }
    return status;
}

NTSTATUS WdfDeviceInitAssignSDDLString(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING SDDLString)
{
    if (!platform::wdf::CheckInit(DeviceInit, "WdfDeviceInitAssignSDDLString")) {
        return STATUS_INVALID_PARAMETER;
    }
    if (SDDLString == nullptr) {
        DeviceInit->Sddl.clear();
        return STATUS_SUCCESS;
    }
    const std::u16string_view text = platform::View(*SDDLString);
    // A descriptor in SDDL starts with a component tag: "D:", "O:", "G:" or "S:".
    if (text.size() < 2 || text[1] != u':' ||
        (text[0] != u'D' && text[0] != u'O' && text[0] != u'G' && text[0] != u'S')) {
        return STATUS_INVALID_PARAMETER;
    }
    DeviceInit->Sddl = std::u16string(text);
    return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceRetrieveDeviceName(WDFDEVICE DeviceHandle, WDFSTRING String)
{
    Device* device = platform::wdf::ResolveDevice(DeviceHandle, "WdfDeviceRetrieveDeviceName");
    if (device == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfDeviceRetrieveDeviceName")) {
        return *failure;
    }
    return platform::wdf::AssignString(String, device->DeviceName);
}

void WdfDeviceSetStaticStopRemove(WDFDEVICE DeviceHandle, BOOLEAN Stoppable)
{
    Device* device = platform::wdf::ResolveDevice(DeviceHandle, "WdfDeviceSetStaticStopRemove");
    if (device == nullptr) {
        return;
    }
    if (Stoppable == FALSE) {
        ++device->StopRemoveRefusals;
    } else if (device->StopRemoveRefusals == 0) {
        platform::GetVerifier().Report(platform::VerifierRule::InvalidParameter,
                                       "WdfDeviceSetStaticStopRemove(TRUE) without a matching FALSE");
    } else {
        --device->StopRemoveRefusals;
    }
}

NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE DeviceHandle, const GUID* InterfaceClassGUID,
                                        PCUNICODE_STRING ReferenceString)
{
    Device* device = platform::wdf::ResolveDevice(DeviceHandle, "WdfDeviceCreateDeviceInterface");
    if (device == nullptr || InterfaceClassGUID == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfDeviceCreateDeviceInterface")) {
        return *failure;
    }
    const std::u16string reference =
        ReferenceString != nullptr ? std::u16string(platform::View(*ReferenceString)) : std::u16string();
    return Platform::Current().Names().RegisterInterface(*InterfaceClassGUID, device->InstanceId, reference,
                                                         &device->DeviceObject, nullptr);
}

NTSTATUS WdfDeviceInitAssignWdmIrpPreprocessCallback(PWDFDEVICE_INIT DeviceInit,
                                                     PFN_WDFDEVICE_WDM_IRP_PREPROCESS EvtDeviceWdmIrpPreprocess,
                                                     UCHAR MajorFunction, PUCHAR MinorFunctions,
                                                     ULONG NumMinorFunctions)
{
    if (!platform::wdf::CheckInit(DeviceInit, "WdfDeviceInitAssignWdmIrpPreprocessCallback") ||
        EvtDeviceWdmIrpPreprocess == nullptr || MajorFunction > IRP_MJ_PNP ||
        (NumMinorFunctions != 0 && MinorFunctions == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    for (const auto& known : DeviceInit->Preprocess) {
        if (known.MajorFunction == MajorFunction) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    platform::wdf::IrpPreprocess preprocess{MajorFunction, {}, EvtDeviceWdmIrpPreprocess};
    if (NumMinorFunctions != 0) {
        preprocess.MinorFunctions.assign(MinorFunctions, MinorFunctions + NumMinorFunctions);
    }
    DeviceInit->Preprocess.push_back(std::move(preprocess));
    return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceWdmDispatchPreprocessedIrp(WDFDEVICE DeviceHandle, PIRP Irp)
{
    Device* device = platform::wdf::ResolveDevice(DeviceHandle, "WdfDeviceWdmDispatchPreprocessedIrp");
    if (device == nullptr || Irp == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Irp->CurrentLocation <= 1) {
        platform::GetVerifier().Report(platform::VerifierRule::InvalidParameter,
                                       "WdfDeviceWdmDispatchPreprocessedIrp with no stack location left");
        Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    // The driver set up the next location; the framework works on it.
    --Irp->CurrentLocation;
    IoGetCurrentIrpStackLocation(Irp)->DeviceObject = &device->DeviceObject;
    return device->DispatchToQueues(Irp);
}
