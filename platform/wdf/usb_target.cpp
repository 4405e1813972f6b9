// The framework's USB target device. Creation reads the device descriptor
// and the configuration descriptor once and keeps them; what the device
// returned is kept as it came, however short, and every later walk over it
// is bounded by the bytes actually received.
#include "platform/platform.h"
#include "platform/wdf/device.h"
#include "platform/wdf/iotarget.h"
#include "platform/wdf/memory_object.h"
#include "platform/wdf/wdf_usb.h"

#include <cstring>
#include <vector>

namespace platform::wdf {
namespace {

class UsbDevice final : public Object {
public:
    UsbDevice() : Object(ObjectKind::UsbDevice) {}
    Device* Owner = nullptr;
    USB_DEVICE_DESCRIPTOR Descriptor{};
    std::vector<UCHAR> Configuration;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle = nullptr;
    // The interface entries the device returned at the last selection.
    std::vector<std::vector<std::byte>> SelectedInterfaces;
};

UsbDevice* Resolve(WDFUSBDEVICE handle, const char* operation)
{
    return Platform::Current().Objects().ResolveAs<UsbDevice>(handle, ObjectKind::UsbDevice, operation);
}

PDEVICE_OBJECT TargetOf(const UsbDevice& usb) { return usb.Owner->DeviceObject.LowerDevice; }

NTSTATUS SendUrb(PDEVICE_OBJECT target, PURB urb, std::optional<Ticks> timeout)
{
    if (target == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    const NTSTATUS status = SendIrpSynchronously(target, irp, timeout);
    IoFreeIrp(irp);
    return status;
}

// Reads a descriptor into Buffer; *Received is what the device returned.
NTSTATUS GetDescriptor(PDEVICE_OBJECT target, UCHAR type, UCHAR index, USHORT language, void* buffer, ULONG length,
                       ULONG* received)
{
    URB urb{};
    auto& request = urb.UrbControlDescriptorRequest;
    request.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request.TransferBuffer = buffer;
    request.TransferBufferLength = length;
    request.DescriptorType = type;
    request.Index = index;
    request.LanguageId = language;
    const NTSTATUS status = SendUrb(target, &urb, std::nullopt);
    *received = NT_SUCCESS(status) ? std::min(request.TransferBufferLength, length) : 0;
    return status;
}

// The interface descriptors of alternate setting 0, one per interface
// number, in descriptor order, within the bytes the device returned.
std::vector<const USB_INTERFACE_DESCRIPTOR*> FirstSettings(const std::vector<UCHAR>& configuration)
{
    std::vector<const USB_INTERFACE_DESCRIPTOR*> found;
    if (configuration.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return found;
    }
    auto* buffer = const_cast<UCHAR*>(configuration.data());
    const ULONG total = static_cast<ULONG>(configuration.size());
    UCHAR* position = buffer + configuration.front();
    if (configuration.front() == 0 || configuration.front() > total) {
        position = buffer + sizeof(USB_CONFIGURATION_DESCRIPTOR);
    }
    while (auto* descriptor = USBD_ParseDescriptors(buffer, total, position, USB_INTERFACE_DESCRIPTOR_TYPE)) {
        if (descriptor->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            break;
        }
        auto* interface = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(descriptor);
        bool seen = false;
        for (auto* earlier : found) {
            seen = seen || earlier->bInterfaceNumber == interface->bInterfaceNumber;
        }
        if (interface->bAlternateSetting == 0 && !seen) {
            found.push_back(interface);
        }
        position = reinterpret_cast<UCHAR*>(descriptor) + descriptor->bLength;
    }
    return found;
}

NTSTATUS SelectInterfaces(UsbDevice& usb, const std::vector<const USB_INTERFACE_DESCRIPTOR*>& interfaces,
                          const USB_CONFIGURATION_DESCRIPTOR* configuration)
{
    std::size_t size = sizeof(_URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (auto* interface : interfaces) {
        size += GET_USBD_INTERFACE_SIZE(interface->bNumEndpoints);
    }
    if (size > 0xFFFF) {
        return STATUS_INVALID_PARAMETER; // more than one URB can describe
    }
    std::vector<std::max_align_t> storage((size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    auto* urb = reinterpret_cast<_URB_SELECT_CONFIGURATION*>(storage.data());
    urb->Hdr.Length = static_cast<USHORT>(size);
    urb->Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->ConfigurationDescriptor = const_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration);
    auto* entry = reinterpret_cast<std::byte*>(&urb->Interface);
    for (auto* interface : interfaces) {
        auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(entry);
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(interface->bNumEndpoints));
        info->InterfaceNumber = interface->bInterfaceNumber;
        info->AlternateSetting = interface->bAlternateSetting;
        info->NumberOfPipes = interface->bNumEndpoints;
        for (ULONG pipe = 0; pipe < info->NumberOfPipes; ++pipe) {
            info->Pipes[pipe].MaximumTransferSize = 0x10000;
        }
        entry += info->Length;
    }
    const NTSTATUS status = SendUrb(TargetOf(usb), reinterpret_cast<PURB>(urb), std::nullopt);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    usb.ConfigurationHandle = urb->ConfigurationHandle;
    usb.SelectedInterfaces.clear();
    entry = reinterpret_cast<std::byte*>(&urb->Interface);
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
        auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(entry);
        usb.SelectedInterfaces.emplace_back(entry, entry + info->Length);
        entry += info->Length;
    }
    return STATUS_SUCCESS;
}

} // namespace
} // namespace platform::wdf

using platform::Platform;
using platform::wdf::UsbDevice;

NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE DeviceHandle, PWDF_OBJECT_ATTRIBUTES Attributes, WDFUSBDEVICE* UsbDeviceHandle)
{
    if (UsbDeviceHandle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *UsbDeviceHandle = nullptr;
    platform::wdf::Device* device = platform::wdf::ResolveDevice(DeviceHandle, "WdfUsbTargetDeviceCreate");
    if (device == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfUsbTargetDeviceCreate")) {
        return *failure;
    }
    auto usb = std::make_unique<UsbDevice>();
    usb->Owner = device;
    PDEVICE_OBJECT target = device->DeviceObject.LowerDevice;
    ULONG received = 0;
    NTSTATUS status = platform::wdf::GetDescriptor(target, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &usb->Descriptor,
                                                   sizeof(USB_DEVICE_DESCRIPTOR), &received);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (received < sizeof(USB_DEVICE_DESCRIPTOR)) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    // The configuration header tells the whole length; a device that fails
    // or answers short leaves the target with what it gave.
    USB_CONFIGURATION_DESCRIPTOR header{};
    status = platform::wdf::GetDescriptor(target, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &header, sizeof(header),
                                          &received);
    if (NT_SUCCESS(status) && received >= sizeof(header)) {
        const ULONG total = std::max<ULONG>(header.wTotalLength, sizeof(header));
        usb->Configuration.resize(total);
        status = platform::wdf::GetDescriptor(target, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0,
                                              usb->Configuration.data(), total, &received);
        usb->Configuration.resize(NT_SUCCESS(status) ? received : 0);
    }
    platform::wdf::UsbDevice* raw = usb.get();
    status = Platform::Current().Objects().Insert(std::move(usb), Attributes, device);
    if (NT_SUCCESS(status)) {
        *UsbDeviceHandle = static_cast<WDFUSBDEVICE>(raw->Handle());
    }
    return status;
}

void WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE UsbDeviceHandle, PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor)
{
    UsbDevice* usb = platform::wdf::Resolve(UsbDeviceHandle, "WdfUsbTargetDeviceGetDeviceDescriptor");
    if (usb != nullptr && UsbDeviceDescriptor != nullptr) {
        *UsbDeviceDescriptor = usb->Descriptor;
    }
}

NTSTATUS WdfUsbTargetDeviceRetrieveConfigDescriptor(WDFUSBDEVICE UsbDeviceHandle, PVOID ConfigDescriptor,
                                                    PUSHORT ConfigDescriptorLength)
{
    UsbDevice* usb = platform::wdf::Resolve(UsbDeviceHandle, "WdfUsbTargetDeviceRetrieveConfigDescriptor");
    if (usb == nullptr || ConfigDescriptorLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto size = static_cast<USHORT>(std::min<std::size_t>(usb->Configuration.size(), 0xFFFF));
    if (ConfigDescriptor == nullptr || *ConfigDescriptorLength < size) {
        *ConfigDescriptorLength = size;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (size != 0) {
        std::memcpy(ConfigDescriptor, usb->Configuration.data(), size);
    }
    *ConfigDescriptorLength = size;
    return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceAllocAndQueryString(WDFUSBDEVICE UsbDeviceHandle, PWDF_OBJECT_ATTRIBUTES StringMemoryAttributes,
                                               WDFMEMORY* StringMemory, PUSHORT NumCharacters, UCHAR StringIndex,
                                               USHORT LangID)
{
    if (StringMemory == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *StringMemory = nullptr;
    UsbDevice* usb = platform::wdf::Resolve(UsbDeviceHandle, "WdfUsbTargetDeviceAllocAndQueryString");
    if (usb == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfUsbTargetDeviceAllocAndQueryString")) {
        return *failure;
    }
    UCHAR buffer[255] = {};
    ULONG received = 0;
    const NTSTATUS status = platform::wdf::GetDescriptor(platform::wdf::TargetOf(*usb), USB_STRING_DESCRIPTOR_TYPE,
                                                         StringIndex, LangID, buffer, sizeof(buffer), &received);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The characters are what both the received bytes and bLength cover.
    const ULONG usable = received >= 2 ? std::min<ULONG>(received, buffer[0]) : 0;
    const ULONG characters = usable >= 2 ? (usable - 2) / 2 : 0;
    const auto* text = reinterpret_cast<const std::byte*>(buffer + 2);
    WDFMEMORY memory = nullptr;
    const NTSTATUS created = platform::wdf::CreateMemoryObject(
        StringMemoryAttributes, usb, std::span<const std::byte>(text, characters * 2), 0, &memory);
    if (!NT_SUCCESS(created)) {
        return created;
    }
    *StringMemory = memory;
    if (NumCharacters != nullptr) {
        *NumCharacters = static_cast<USHORT>(characters);
    }
    return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDeviceHandle, PWDF_OBJECT_ATTRIBUTES,
                                        PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params)
{
    UsbDevice* usb = platform::wdf::Resolve(UsbDeviceHandle, "WdfUsbTargetDeviceSelectConfig");
    if (usb == nullptr || Params == nullptr || Params->Size != sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfUsbTargetDeviceSelectConfig")) {
        return *failure;
    }
    switch (Params->Type) {
    case WdfUsbTargetDeviceSelectConfigTypeDeconfig: {
        URB urb{};
        urb.UrbSelectConfiguration.Hdr.Length = sizeof(_URB_SELECT_CONFIGURATION);
        urb.UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        const NTSTATUS status = platform::wdf::SendUrb(platform::wdf::TargetOf(*usb), &urb, std::nullopt);
        if (NT_SUCCESS(status)) {
            usb->ConfigurationHandle = nullptr;
            usb->SelectedInterfaces.clear();
        }
        return status;
    }
    case WdfUsbTargetDeviceSelectConfigTypeMultiInterface: {
        if (Params->Types.MultiInterface.NumberInterfaces != 0) {
            return STATUS_NOT_SUPPORTED; // setting pairs come with the interface objects
        }
        if (usb->Configuration.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        const auto interfaces = platform::wdf::FirstSettings(usb->Configuration);
        const NTSTATUS status = platform::wdf::SelectInterfaces(
            *usb, interfaces, reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(usb->Configuration.data()));
        if (NT_SUCCESS(status)) {
            Params->Types.MultiInterface.NumberOfConfiguredInterfaces = static_cast<UCHAR>(interfaces.size());
        }
        return status;
    }
    case WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor: {
        const auto& descriptor = Params->Types.Descriptor;
        if (descriptor.ConfigurationDescriptor == nullptr || descriptor.InterfaceDescriptors == nullptr ||
            descriptor.NumInterfaceDescriptors == 0) {
            return STATUS_INVALID_PARAMETER;
        }
        std::vector<const USB_INTERFACE_DESCRIPTOR*> interfaces(
            descriptor.InterfaceDescriptors, descriptor.InterfaceDescriptors + descriptor.NumInterfaceDescriptors);
        return platform::wdf::SelectInterfaces(*usb, interfaces, descriptor.ConfigurationDescriptor);
    }
    default:
        return STATUS_NOT_SUPPORTED;
    }
}

USBD_CONFIGURATION_HANDLE WdfUsbTargetDeviceWdmGetConfigurationHandle(WDFUSBDEVICE UsbDeviceHandle)
{
    UsbDevice* usb = platform::wdf::Resolve(UsbDeviceHandle, "WdfUsbTargetDeviceWdmGetConfigurationHandle");
    return usb != nullptr ? usb->ConfigurationHandle : nullptr;
}

NTSTATUS WdfUsbTargetDeviceSendUrbSynchronously(WDFUSBDEVICE UsbDeviceHandle, WDFREQUEST,
                                                PWDF_REQUEST_SEND_OPTIONS RequestOptions, PURB Urb)
{
    UsbDevice* usb = platform::wdf::Resolve(UsbDeviceHandle, "WdfUsbTargetDeviceSendUrbSynchronously");
    if (usb == nullptr || Urb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::optional<platform::Ticks> timeout;
    if (RequestOptions != nullptr && (RequestOptions->Flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) != 0 &&
        RequestOptions->Timeout != 0) {
        timeout = RequestOptions->Timeout < 0 ? -RequestOptions->Timeout
                                              : RequestOptions->Timeout - Platform::Current().Dispatcher().Now();
    }
    return platform::wdf::SendUrb(platform::wdf::TargetOf(*usb), Urb, timeout);
}
