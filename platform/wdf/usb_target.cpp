// The framework's USB target device. Creation reads the device descriptor
// and the configuration descriptor once and keeps them; what the device
// returned is kept as it came, however short, and every later walk over it
// is bounded by the bytes actually received.
#include "platform/platform.h"
#include "platform/wdf/device.h"
#include "platform/wdf/iotarget.h"
#include "platform/wdf/memory_object.h"
#include "platform/wdf/request.h"
#include "platform/wdf/wdf_usb.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace platform::wdf {
namespace {

class UsbPipe;

class UsbDevice;

class UsbInterface final : public Object {
public:
    UsbInterface() : Object(ObjectKind::UsbInterface) {}
    UsbDevice* Usb = nullptr;
    UCHAR InterfaceNumber = 0;
    UCHAR SettingIndex = 0;
    USBD_INTERFACE_HANDLE UsbdHandle = nullptr;
    std::vector<UsbPipe*> Pipes;
};

// A pipe is an I/O target of its own: requests formatted for it are sent to it.
class UsbPipe final : public IoTarget {
public:
    UsbInterface* Interface = nullptr;
    USBD_PIPE_INFORMATION Information{};
    bool NoMaximumPacketSizeCheck = false;

    // The continuous reader.
    struct ReaderSlot {
        UsbPipe* Pipe;
        WDFREQUEST Request;
        WDFMEMORY Memory;
        bool Out; // sent and not back
    };
    bool HasReader = false;
    bool ReaderRunning = false;
    bool ReaderRecovering = false;
    WDF_USB_CONTINUOUS_READER_CONFIG Reader{};
    std::vector<std::unique_ptr<ReaderSlot>> Slots;

    NTSTATUS OnStart() override;
    void OnStop() override { ReaderRunning = false; }
    NTSTATUS Submit(ReaderSlot& slot);
    void ReaderFailed(NTSTATUS status, USBD_STATUS usbdStatus);
};

class UsbDevice final : public Object {
public:
    UsbDevice() : Object(ObjectKind::UsbDevice) {}
    Device* Owner = nullptr;
    // The device's default pipe as an I/O target.
    IoTarget* ControlTarget = nullptr;
    USB_DEVICE_DESCRIPTOR Descriptor{};
    std::vector<UCHAR> Configuration;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle = nullptr;
    // The interface entries the device returned at the last selection.
    std::vector<std::vector<std::byte>> SelectedInterfaces;
    std::vector<UsbInterface*> Interfaces;
};

UsbInterface* ResolveInterface(WDFUSBINTERFACE handle, const char* operation)
{
    return Platform::Current().Objects().ResolveAs<UsbInterface>(handle, ObjectKind::UsbInterface, operation);
}

UsbPipe* ResolvePipe(WDFUSBPIPE handle, const char* operation)
{
    auto* target = Platform::Current().Objects().ResolveAs<IoTarget>(handle, ObjectKind::IoTarget, operation);
    auto* pipe = dynamic_cast<UsbPipe*>(target);
    if (target != nullptr && pipe == nullptr) {
        GetVerifier().Report(VerifierRule::WrongObjectType, std::string(operation) + " takes a USB pipe handle");
    }
    return pipe;
}

// The pipe objects of an interface's selected setting.
NTSTATUS AddPipes(UsbDevice& usb, UsbInterface& interface, const USBD_INTERFACE_INFORMATION& info)
{
    for (ULONG i = 0; i < info.NumberOfPipes; ++i) {
        auto pipe = std::make_unique<UsbPipe>();
        pipe->Interface = &interface;
        pipe->Information = info.Pipes[i];
        pipe->Target = usb.Owner->DeviceObject.LowerDevice;
        pipe->SetDriverMayDelete(false);
        UsbPipe* raw = pipe.get();
        const NTSTATUS status = Platform::Current().Objects().Insert(std::move(pipe), nullptr, &interface);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        interface.Pipes.push_back(raw);
    }
    return STATUS_SUCCESS;
}

// The part of a memory object a transfer uses: the whole memory, or the
// range Offset names, which must lie inside it.
NTSTATUS MemoryRange(WDFMEMORY memory, const WDFMEMORY_OFFSET* offset, std::byte** buffer, std::size_t* length)
{
    std::size_t size = 0;
    auto* bytes = static_cast<std::byte*>(WdfMemoryGetBuffer(memory, &size));
    if (offset == nullptr) {
        *buffer = bytes;
        *length = size;
        return STATUS_SUCCESS;
    }
    if (offset->BufferOffset > size || offset->BufferLength > size - offset->BufferOffset) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    *buffer = bytes + offset->BufferOffset;
    *length = offset->BufferLength;
    return STATUS_SUCCESS;
}

// The interface and pipe objects of a selection replace those of the last one.
NTSTATUS MakeInterfaceObjects(UsbDevice& usb)
{
    auto& objects = Platform::Current().Objects();
    for (UsbInterface* old : usb.Interfaces) {
        if (!old->IsDeleted()) {
            objects.Delete(*old);
        }
    }
    usb.Interfaces.clear();
    for (const auto& entry : usb.SelectedInterfaces) {
        const auto* info = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(entry.data());
        auto interface = std::make_unique<UsbInterface>();
        interface->Usb = &usb;
        interface->InterfaceNumber = info->InterfaceNumber;
        interface->SettingIndex = info->AlternateSetting;
        interface->UsbdHandle = info->InterfaceHandle;
        interface->SetDriverMayDelete(false);
        UsbInterface* raw = interface.get();
        NTSTATUS status = objects.Insert(std::move(interface), nullptr, &usb);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        usb.Interfaces.push_back(raw);
        status = AddPipes(usb, *raw, *info);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

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

// A string descriptor's characters, bounded by what came and by its bLength.
NTSTATUS ReadString(UsbDevice& usb, UCHAR index, USHORT language, std::vector<WCHAR>* characters)
{
    UCHAR buffer[255] = {};
    ULONG received = 0;
    const NTSTATUS status = platform::wdf::GetDescriptor(platform::wdf::TargetOf(usb), USB_STRING_DESCRIPTOR_TYPE, index,
                                                         language, buffer, sizeof(buffer), &received);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG usable = received >= 2 ? std::min<ULONG>(received, buffer[0]) : 0;
    characters->clear();
    for (ULONG i = 2; i + 1 < usable; i += 2) {
        characters->push_back(static_cast<WCHAR>(buffer[i] | buffer[i + 1] << 8));
    }
    return STATUS_SUCCESS;
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
    return MakeInterfaceObjects(usb);
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
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto control = std::make_unique<platform::wdf::IoTarget>();
    control->Target = target;
    control->SetDriverMayDelete(false);
    raw->ControlTarget = control.get();
    status = Platform::Current().Objects().Insert(std::move(control), nullptr, raw);
    if (!NT_SUCCESS(status)) {
        Platform::Current().Objects().Delete(*raw);
        return status;
    }
    *UsbDeviceHandle = static_cast<WDFUSBDEVICE>(raw->Handle());
    return STATUS_SUCCESS;
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
    std::vector<WCHAR> text;
    const NTSTATUS status = platform::wdf::ReadString(*usb, StringIndex, LangID, &text);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const std::size_t characters = text.size();
    WDFMEMORY memory = nullptr;
    const NTSTATUS created = platform::wdf::CreateMemoryObject(
        StringMemoryAttributes, usb, std::as_bytes(std::span<const WCHAR>(text)), 0, &memory);
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
        NTSTATUS status = platform::wdf::SendUrb(platform::wdf::TargetOf(*usb), &urb, std::nullopt);
        if (NT_SUCCESS(status)) {
            usb->ConfigurationHandle = nullptr;
            usb->SelectedInterfaces.clear();
            status = platform::wdf::MakeInterfaceObjects(*usb);
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
    if (auto failure = Platform::Current().Faults().Take("WdfUsbTargetDeviceSendUrbSynchronously")) {
        return *failure;
    }
    return platform::wdf::SendUrb(platform::wdf::TargetOf(*usb), Urb, platform::wdf::SendTimeout(RequestOptions));
}

using platform::wdf::UsbInterface;
using platform::wdf::UsbPipe;

UCHAR WdfUsbTargetDeviceGetNumInterfaces(WDFUSBDEVICE UsbDeviceHandle)
{
    UsbDevice* usb = platform::wdf::Resolve(UsbDeviceHandle, "WdfUsbTargetDeviceGetNumInterfaces");
    return usb != nullptr ? static_cast<UCHAR>(usb->Interfaces.size()) : 0;
}

WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(WDFUSBDEVICE UsbDeviceHandle, UCHAR InterfaceIndex)
{
    UsbDevice* usb = platform::wdf::Resolve(UsbDeviceHandle, "WdfUsbTargetDeviceGetInterface");
    if (usb == nullptr || InterfaceIndex >= usb->Interfaces.size()) {
        return nullptr;
    }
    return static_cast<WDFUSBINTERFACE>(usb->Interfaces[InterfaceIndex]->Handle());
}

BYTE WdfUsbInterfaceGetInterfaceNumber(WDFUSBINTERFACE UsbInterfaceHandle)
{
    UsbInterface* interface = platform::wdf::ResolveInterface(UsbInterfaceHandle, "WdfUsbInterfaceGetInterfaceNumber");
    return interface != nullptr ? interface->InterfaceNumber : 0;
}

BYTE WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterfaceHandle)
{
    UsbInterface* interface = platform::wdf::ResolveInterface(UsbInterfaceHandle, "WdfUsbInterfaceGetNumConfiguredPipes");
    return interface != nullptr ? static_cast<BYTE>(interface->Pipes.size()) : 0;
}

BYTE WdfUsbInterfaceGetConfiguredSettingIndex(WDFUSBINTERFACE UsbInterfaceHandle)
{
    UsbInterface* interface = platform::wdf::ResolveInterface(UsbInterfaceHandle, "WdfUsbInterfaceGetConfiguredSettingIndex");
    return interface != nullptr ? interface->SettingIndex : 0;
}

namespace {

void FillPipeInformation(const UsbPipe& pipe, PWDF_USB_PIPE_INFORMATION info)
{
    info->Size = sizeof(WDF_USB_PIPE_INFORMATION);
    info->MaximumPacketSize = pipe.Information.MaximumPacketSize;
    info->EndpointAddress = pipe.Information.EndpointAddress;
    info->Interval = pipe.Information.Interval;
    info->SettingIndex = pipe.Interface->SettingIndex;
    info->MaximumTransferSize = pipe.Information.MaximumTransferSize;
    switch (pipe.Information.PipeType) {
    case UsbdPipeTypeControl: info->PipeType = WdfUsbPipeTypeControl; break;
    case UsbdPipeTypeIsochronous: info->PipeType = WdfUsbPipeTypeIsochronous; break;
    case UsbdPipeTypeBulk: info->PipeType = WdfUsbPipeTypeBulk; break;
    case UsbdPipeTypeInterrupt: info->PipeType = WdfUsbPipeTypeInterrupt; break;
    }
}

NTSTATUS FormatTransfer(WDFUSBPIPE PipeHandle, WDFREQUEST RequestHandle, WDFMEMORY MemoryHandle, PWDFMEMORY_OFFSET Offset,
                        bool read, const char* operation)
{
    UsbPipe* pipe = platform::wdf::ResolvePipe(PipeHandle, operation);
    platform::wdf::Request* request = platform::wdf::ResolveRequest(RequestHandle, operation);
    if (pipe == nullptr || request == nullptr || MemoryHandle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const bool in = USB_ENDPOINT_DIRECTION_IN(pipe->Information.EndpointAddress);
    if (in != read) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::byte* buffer = nullptr;
    std::size_t length = 0;
    const NTSTATUS ranged = platform::wdf::MemoryRange(MemoryHandle, Offset, &buffer, &length);
    if (!NT_SUCCESS(ranged)) {
        return ranged;
    }
    const std::size_t offset = Offset != nullptr ? Offset->BufferOffset : 0;
    if (length > 0xFFFFFFFFu) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(request->Irp);
    if (next == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    request->UrbStorage = std::make_unique<std::max_align_t[]>(
        (sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    std::memset(request->UrbStorage.get(), 0, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
    auto* urb = reinterpret_cast<URB*>(request->UrbStorage.get());
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    transfer.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer.PipeHandle = pipe->Information.PipeHandle;
    transfer.TransferFlags = read ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_TRANSFER_DIRECTION_OUT;
    transfer.TransferBufferLength = static_cast<ULONG>(length);
    transfer.TransferBuffer = buffer;
    std::memset(next, 0, sizeof(*next));
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    request->Formatted = true;
    request->UsbCompletion = WDF_USB_REQUEST_COMPLETION_PARAMS{};
    request->UsbCompletion.Type = read ? WdfUsbRequestTypePipeRead : WdfUsbRequestTypePipeWrite;
    if (read) {
        request->UsbCompletion.Parameters.PipeRead.Buffer = MemoryHandle;
        request->UsbCompletion.Parameters.PipeRead.Offset = offset;
    } else {
        request->UsbCompletion.Parameters.PipeWrite.Buffer = MemoryHandle;
        request->UsbCompletion.Parameters.PipeWrite.Offset = offset;
    }
    return STATUS_SUCCESS;
}

NTSTATUS PipeRequestSynchronously(WDFUSBPIPE PipeHandle, PWDF_REQUEST_SEND_OPTIONS Options, USHORT function,
                                  const char* operation)
{
    UsbPipe* pipe = platform::wdf::ResolvePipe(PipeHandle, operation);
    if (pipe == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!pipe->Accepts(Options != nullptr ? Options->Flags : 0)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    URB urb{};
    urb.UrbPipeRequest.Hdr.Length = sizeof(_URB_PIPE_REQUEST);
    urb.UrbPipeRequest.Hdr.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe->Information.PipeHandle;
    return platform::wdf::SendUrb(pipe->Target, &urb, platform::wdf::SendTimeout(Options));
}

} // namespace

WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterfaceHandle, UCHAR PipeIndex,
                                            PWDF_USB_PIPE_INFORMATION PipeInfo)
{
    UsbInterface* interface = platform::wdf::ResolveInterface(UsbInterfaceHandle, "WdfUsbInterfaceGetConfiguredPipe");
    if (interface == nullptr || PipeIndex >= interface->Pipes.size()) {
        return nullptr;
    }
    UsbPipe* pipe = interface->Pipes[PipeIndex];
    if (PipeInfo != nullptr) {
        FillPipeInformation(*pipe, PipeInfo);
    }
    return static_cast<WDFUSBPIPE>(pipe->Handle());
}

void WdfUsbTargetPipeGetInformation(WDFUSBPIPE PipeHandle, PWDF_USB_PIPE_INFORMATION PipeInformation)
{
    UsbPipe* pipe = platform::wdf::ResolvePipe(PipeHandle, "WdfUsbTargetPipeGetInformation");
    if (pipe != nullptr && PipeInformation != nullptr) {
        FillPipeInformation(*pipe, PipeInformation);
    }
}

BOOLEAN WdfUsbTargetPipeIsInEndpoint(WDFUSBPIPE PipeHandle)
{
    UsbPipe* pipe = platform::wdf::ResolvePipe(PipeHandle, "WdfUsbTargetPipeIsInEndpoint");
    return pipe != nullptr && USB_ENDPOINT_DIRECTION_IN(pipe->Information.EndpointAddress) ? TRUE : FALSE;
}

BOOLEAN WdfUsbTargetPipeIsOutEndpoint(WDFUSBPIPE PipeHandle)
{
    UsbPipe* pipe = platform::wdf::ResolvePipe(PipeHandle, "WdfUsbTargetPipeIsOutEndpoint");
    return pipe != nullptr && !USB_ENDPOINT_DIRECTION_IN(pipe->Information.EndpointAddress) ? TRUE : FALSE;
}

WDF_USB_PIPE_TYPE WdfUsbTargetPipeGetType(WDFUSBPIPE PipeHandle)
{
    UsbPipe* pipe = platform::wdf::ResolvePipe(PipeHandle, "WdfUsbTargetPipeGetType");
    if (pipe == nullptr) {
        return WdfUsbPipeTypeInvalid;
    }
    WDF_USB_PIPE_INFORMATION info{};
    FillPipeInformation(*pipe, &info);
    return info.PipeType;
}

void WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(WDFUSBPIPE PipeHandle)
{
    if (UsbPipe* pipe = platform::wdf::ResolvePipe(PipeHandle, "WdfUsbTargetPipeSetNoMaximumPacketSizeCheck")) {
        pipe->NoMaximumPacketSizeCheck = true;
    }
}

WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE PipeHandle)
{
    UsbPipe* pipe = platform::wdf::ResolvePipe(PipeHandle, "WdfUsbTargetPipeGetIoTarget");
    return pipe != nullptr ? static_cast<WDFIOTARGET>(pipe->Handle()) : nullptr;
}

USBD_PIPE_HANDLE WdfUsbTargetPipeWdmGetPipeHandle(WDFUSBPIPE PipeHandle)
{
    UsbPipe* pipe = platform::wdf::ResolvePipe(PipeHandle, "WdfUsbTargetPipeWdmGetPipeHandle");
    return pipe != nullptr ? pipe->Information.PipeHandle : nullptr;
}

NTSTATUS WdfUsbTargetPipeFormatRequestForRead(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY ReadMemory,
                                              PWDFMEMORY_OFFSET ReadOffset)
{
    return FormatTransfer(Pipe, Request, ReadMemory, ReadOffset, true, "WdfUsbTargetPipeFormatRequestForRead");
}

NTSTATUS WdfUsbTargetPipeFormatRequestForWrite(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY WriteMemory,
                                               PWDFMEMORY_OFFSET WriteOffset)
{
    return FormatTransfer(Pipe, Request, WriteMemory, WriteOffset, false, "WdfUsbTargetPipeFormatRequestForWrite");
}

NTSTATUS WdfUsbTargetPipeResetSynchronously(WDFUSBPIPE Pipe, WDFREQUEST, PWDF_REQUEST_SEND_OPTIONS RequestOptions)
{
    return PipeRequestSynchronously(Pipe, RequestOptions, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
                                    "WdfUsbTargetPipeResetSynchronously");
}

NTSTATUS WdfUsbTargetPipeAbortSynchronously(WDFUSBPIPE Pipe, WDFREQUEST, PWDF_REQUEST_SEND_OPTIONS RequestOptions)
{
    return PipeRequestSynchronously(Pipe, RequestOptions, URB_FUNCTION_ABORT_PIPE, "WdfUsbTargetPipeAbortSynchronously");
}

namespace {

void FillControlUrb(_URB_CONTROL_TRANSFER& transfer, const WDF_USB_CONTROL_SETUP_PACKET& packet, PVOID buffer,
                    ULONG length)
{
    transfer.Hdr.Length = sizeof(_URB_CONTROL_TRANSFER);
    transfer.Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
    transfer.PipeHandle = nullptr;
    transfer.TransferFlags = USBD_DEFAULT_PIPE_TRANSFER | USBD_SHORT_TRANSFER_OK |
                             (packet.Packet.bm.Request.Dir != 0 ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT);
    transfer.TransferBuffer = buffer;
    transfer.TransferBufferLength = length;
    WDF_USB_CONTROL_SETUP_PACKET setup = packet;
    setup.Packet.wLength = static_cast<USHORT>(length > 0xFFFF ? 0xFFFF : length);
    std::memcpy(transfer.SetupPacket, setup.Generic.Bytes, sizeof(transfer.SetupPacket));
}

} // namespace

NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(WDFUSBDEVICE UsbDeviceHandle, WDFREQUEST,
                                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                            PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
                                                            PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
                                                            PULONG BytesTransferred)
{
    if (BytesTransferred != nullptr) {
        *BytesTransferred = 0;
    }
    UsbDevice* usb = platform::wdf::Resolve(UsbDeviceHandle, "WdfUsbTargetDeviceSendControlTransferSynchronously");
    if (usb == nullptr || SetupPacket == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!usb->ControlTarget->Accepts(RequestOptions != nullptr ? RequestOptions->Flags : 0)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PVOID buffer = nullptr;
    ULONG length = 0;
    if (MemoryDescriptor != nullptr) {
        if (MemoryDescriptor->Type == WdfMemoryDescriptorTypeBuffer) {
            buffer = MemoryDescriptor->u.BufferType.Buffer;
            length = MemoryDescriptor->u.BufferType.Length;
        } else if (MemoryDescriptor->Type == WdfMemoryDescriptorTypeHandle) {
            std::byte* bytes = nullptr;
            std::size_t size = 0;
            const NTSTATUS ranged = platform::wdf::MemoryRange(MemoryDescriptor->u.HandleType.Memory,
                                                               MemoryDescriptor->u.HandleType.Offsets, &bytes, &size);
            if (!NT_SUCCESS(ranged)) {
                return ranged;
            }
            buffer = bytes;
            length = static_cast<ULONG>(size);
        } else {
            return STATUS_INVALID_PARAMETER;
        }
    }
    if (auto failure = Platform::Current().Faults().Take("WdfUsbTargetDeviceSendControlTransferSynchronously")) {
        return *failure;
    }
    URB urb{};
    FillControlUrb(urb.UrbControlTransfer, *SetupPacket, buffer, length);
    const NTSTATUS status =
        platform::wdf::SendUrb(platform::wdf::TargetOf(*usb), &urb, platform::wdf::SendTimeout(RequestOptions));
    if (BytesTransferred != nullptr) {
        *BytesTransferred = urb.UrbControlTransfer.TransferBufferLength;
    }
    return status;
}

NTSTATUS WdfUsbTargetDeviceFormatRequestForControlTransfer(WDFUSBDEVICE UsbDeviceHandle, WDFREQUEST RequestHandle,
                                                           PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
                                                           WDFMEMORY TransferMemory, PWDFMEMORY_OFFSET TransferOffset)
{
    UsbDevice* usb = platform::wdf::Resolve(UsbDeviceHandle, "WdfUsbTargetDeviceFormatRequestForControlTransfer");
    platform::wdf::Request* request =
        platform::wdf::ResolveRequest(RequestHandle, "WdfUsbTargetDeviceFormatRequestForControlTransfer");
    if (usb == nullptr || request == nullptr || SetupPacket == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::byte* buffer = nullptr;
    std::size_t length = 0;
    if (TransferMemory != nullptr) {
        const NTSTATUS ranged = platform::wdf::MemoryRange(TransferMemory, TransferOffset, &buffer, &length);
        if (!NT_SUCCESS(ranged)) {
            return ranged;
        }
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(request->Irp);
    if (next == nullptr || length > 0xFFFF) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    request->UrbStorage = std::make_unique<std::max_align_t[]>(
        (sizeof(_URB_CONTROL_TRANSFER) + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    std::memset(request->UrbStorage.get(), 0, sizeof(_URB_CONTROL_TRANSFER));
    auto* urb = reinterpret_cast<URB*>(request->UrbStorage.get());
    FillControlUrb(urb->UrbControlTransfer, *SetupPacket, buffer, static_cast<ULONG>(length));
    std::memset(next, 0, sizeof(*next));
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    request->Formatted = true;
    request->UsbCompletion = WDF_USB_REQUEST_COMPLETION_PARAMS{};
    request->UsbCompletion.Type = WdfUsbRequestTypeDeviceControlTransfer;
    return STATUS_SUCCESS;
}

WDFIOTARGET WdfUsbTargetDeviceGetIoTarget(WDFUSBDEVICE UsbDeviceHandle)
{
    UsbDevice* usb = platform::wdf::Resolve(UsbDeviceHandle, "WdfUsbTargetDeviceGetIoTarget");
    return usb != nullptr ? static_cast<WDFIOTARGET>(usb->ControlTarget->Handle()) : nullptr;
}

namespace platform::wdf {

namespace {

void ReaderCompletion(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context)
{
    auto* slot = static_cast<UsbPipe::ReaderSlot*>(Context);
    UsbPipe* pipe = slot->Pipe;
    slot->Out = false;
    if (!pipe->ReaderRunning) {
        return; // stopped: the reads that come back are not the driver's business
    }
    const NTSTATUS status = Params->IoStatus.Status;
    const auto* usb = Params->Parameters.Usb.Completion;
    if (!NT_SUCCESS(status)) {
        pipe->ReaderFailed(status, usb != nullptr ? usb->UsbdStatus : USBD_STATUS_SUCCESS);
        return;
    }
    const std::size_t bytes = usb != nullptr ? usb->Parameters.PipeRead.Length : 0;
    const auto callback = pipe->Reader.EvtUsbTargetPipeReadComplete;
    const auto handle = static_cast<WDFUSBPIPE>(pipe->Handle());
    InvokeDriverCallback(*pipe, [&] { callback(handle, slot->Memory, bytes, pipe->Reader.EvtUsbTargetPipeReadCompleteContext); });
    if (pipe->ReaderRunning && pipe->TargetState == IoTarget::State::Started) {
        pipe->Submit(*slot);
    }
}

} // namespace

NTSTATUS UsbPipe::Submit(ReaderSlot& slot)
{
    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    WdfRequestReuse(slot.Request, &reuse);
    WDFMEMORY_OFFSET offset{Reader.HeaderLength, Reader.TransferLength};
    NTSTATUS status = WdfUsbTargetPipeFormatRequestForRead(static_cast<WDFUSBPIPE>(Handle()), slot.Request, slot.Memory,
                                                           &offset);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WdfRequestSetCompletionRoutine(slot.Request, ReaderCompletion, &slot);
    slot.Out = true;
    if (!WdfRequestSend(slot.Request, static_cast<WDFIOTARGET>(Handle()), nullptr)) {
        slot.Out = false;
        return WdfRequestGetStatus(slot.Request);
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbPipe::OnStart()
{
    if (!HasReader || ReaderRunning) {
        return STATUS_SUCCESS;
    }
    ReaderRunning = true;
    for (auto& slot : Slots) {
        if (!slot->Out) {
            const NTSTATUS status = Submit(*slot);
            if (!NT_SUCCESS(status)) {
                ReaderRunning = false;
                return status;
            }
        }
    }
    return STATUS_SUCCESS;
}

// A read failed: the reader's other reads are taken back, then the driver
// decides whether the pipe is reset and read again.
void UsbPipe::ReaderFailed(NTSTATUS status, USBD_STATUS usbdStatus)
{
    ReaderRunning = false;
    if (ReaderRecovering) {
        return;
    }
    ReaderRecovering = true;
    for (auto& slot : Slots) {
        if (slot->Out) {
            WdfRequestCancelSentRequest(slot->Request);
        }
    }
    const WDFOBJECT handle = Handle();
    Platform::Current().Dispatcher().Post(
        [handle, status, usbdStatus] {
            auto* pipe = dynamic_cast<UsbPipe*>(Platform::Current().Objects().Lookup(handle, ObjectKind::IoTarget));
            if (pipe == nullptr || pipe->IsDeleted()) {
                return;
            }
            Platform::Current().Dispatcher().WaitUntil(
                [pipe] {
                    return std::none_of(pipe->Slots.begin(), pipe->Slots.end(), [](const auto& slot) { return slot->Out; });
                },
                std::nullopt);
            pipe->ReaderRecovering = false;
            BOOLEAN restart = TRUE;
            if (pipe->Reader.EvtUsbTargetPipeReadersFailed != nullptr) {
                const auto callback = pipe->Reader.EvtUsbTargetPipeReadersFailed;
                InvokeDriverCallback(*pipe, [&] { restart = callback(static_cast<WDFUSBPIPE>(handle), status, usbdStatus); });
            }
            if (restart && pipe->TargetState == IoTarget::State::Started) {
                WDF_REQUEST_SEND_OPTIONS options;
                WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_TIMEOUT);
                options.Timeout = WDF_REL_TIMEOUT_IN_SEC(1);
                WdfUsbTargetPipeResetSynchronously(static_cast<WDFUSBPIPE>(handle), nullptr, &options);
                pipe->OnStart();
            }
        },
        "continuous reader recovery");
}

} // namespace platform::wdf

NTSTATUS WdfUsbTargetPipeConfigContinuousReader(WDFUSBPIPE PipeHandle, PWDF_USB_CONTINUOUS_READER_CONFIG Config)
{
    UsbPipe* pipe = platform::wdf::ResolvePipe(PipeHandle, "WdfUsbTargetPipeConfigContinuousReader");
    if (pipe == nullptr || Config == nullptr || Config->Size != sizeof(WDF_USB_CONTINUOUS_READER_CONFIG) ||
        Config->EvtUsbTargetPipeReadComplete == nullptr || Config->TransferLength == 0 ||
        !USB_ENDPOINT_DIRECTION_IN(pipe->Information.EndpointAddress)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (pipe->HasReader) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfUsbTargetPipeConfigContinuousReader")) {
        return *failure;
    }
    const std::size_t reads = Config->NumPendingReads != 0 ? Config->NumPendingReads : 2;
    const std::size_t size = Config->HeaderLength + Config->TransferLength + Config->TrailerLength;
    for (std::size_t i = 0; i < reads; ++i) {
        auto slot = std::make_unique<UsbPipe::ReaderSlot>(UsbPipe::ReaderSlot{pipe, nullptr, nullptr, false});
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = PipeHandle;
        NTSTATUS status = WdfRequestCreate(&attributes, static_cast<WDFIOTARGET>(pipe->Handle()), &slot->Request);
        if (NT_SUCCESS(status)) {
            WDF_OBJECT_ATTRIBUTES memoryAttributes;
            if (Config->BufferAttributes != nullptr) {
                memoryAttributes = *Config->BufferAttributes;
            } else {
                WDF_OBJECT_ATTRIBUTES_INIT(&memoryAttributes);
            }
            memoryAttributes.ParentObject = slot->Request;
            status = WdfMemoryCreate(&memoryAttributes, NonPagedPool, 0, size, &slot->Memory, nullptr);
        }
        if (!NT_SUCCESS(status)) {
            pipe->Slots.clear();
            return status;
        }
        pipe->Slots.push_back(std::move(slot));
    }
    pipe->Reader = *Config;
    pipe->HasReader = true;
    return STATUS_SUCCESS;
}


NTSTATUS WdfUsbTargetDeviceRetrieveInformation(WDFUSBDEVICE UsbDeviceHandle, PWDF_USB_DEVICE_INFORMATION Information)
{
    UsbDevice* usb = platform::wdf::Resolve(UsbDeviceHandle, "WdfUsbTargetDeviceRetrieveInformation");
    if (usb == nullptr || Information == nullptr || Information->Size != sizeof(WDF_USB_DEVICE_INFORMATION)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfUsbTargetDeviceRetrieveInformation")) {
        return *failure;
    }
    ULONG traits = 0;
    if (usb->Configuration.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        const UCHAR attributes = usb->Configuration[7];
        traits |= (attributes & 0x40) != 0 ? WDF_USB_DEVICE_TRAIT_SELF_POWERED : 0;
        traits |= (attributes & 0x20) != 0 ? WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE : 0;
    }
    USB_BUS_INTERFACE_USBDI_V1 bus{};
    if (NT_SUCCESS(WdfFdoQueryForInterface(static_cast<WDFDEVICE>(usb->Owner->Handle()), &USB_BUS_INTERFACE_USBDI_GUID,
                                           reinterpret_cast<PINTERFACE>(&bus), sizeof(bus), USB_BUSIF_USBDI_VERSION_1,
                                           nullptr))) {
        if (bus.IsDeviceHighSpeed != nullptr && bus.IsDeviceHighSpeed(bus.BusContext)) {
            traits |= WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED;
        }
        if (bus.GetUSBDIVersion != nullptr) {
            bus.GetUSBDIVersion(bus.BusContext, &Information->UsbdVersionInformation, &Information->HcdPortCapabilities);
        }
        if (bus.InterfaceDereference != nullptr) {
            bus.InterfaceDereference(bus.BusContext);
        }
    }
    Information->Traits = traits;
    return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceQueryString(WDFUSBDEVICE UsbDeviceHandle, WDFREQUEST, PWDF_REQUEST_SEND_OPTIONS,
                                       PUSHORT String, PUSHORT NumCharacters, UCHAR StringIndex, USHORT LangID)
{
    UsbDevice* usb = platform::wdf::Resolve(UsbDeviceHandle, "WdfUsbTargetDeviceQueryString");
    if (usb == nullptr || NumCharacters == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<WCHAR> characters;
    const NTSTATUS status = platform::wdf::ReadString(*usb, StringIndex, LangID, &characters);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const auto count = static_cast<USHORT>(characters.size());
    if (String == nullptr) {
        *NumCharacters = count;
        return STATUS_SUCCESS;
    }
    if (*NumCharacters < count) {
        *NumCharacters = count;
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(String, characters.data(), count * sizeof(WCHAR));
    *NumCharacters = count;
    return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceIsConnectedSynchronous(WDFUSBDEVICE UsbDeviceHandle)
{
    UsbDevice* usb = platform::wdf::Resolve(UsbDeviceHandle, "WdfUsbTargetDeviceIsConnectedSynchronous");
    if (usb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PDEVICE_OBJECT target = platform::wdf::TargetOf(*usb);
    if (target == nullptr) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    ULONG portStatus = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
    next->Parameters.Others.Argument1 = &portStatus;
    NTSTATUS status = platform::wdf::SendIrpSynchronously(target, irp, std::nullopt);
    IoFreeIrp(irp);
    if (NT_SUCCESS(status) && (portStatus & USBD_PORT_CONNECTED) == 0) {
        status = STATUS_DEVICE_NOT_CONNECTED;
    }
    return status;
}

NTSTATUS WdfUsbInterfaceSelectSetting(WDFUSBINTERFACE UsbInterfaceHandle, PWDF_OBJECT_ATTRIBUTES,
                                      PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params)
{
    UsbInterface* interface = platform::wdf::ResolveInterface(UsbInterfaceHandle, "WdfUsbInterfaceSelectSetting");
    if (interface == nullptr || Params == nullptr || Params->Size != sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS)) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR setting = 0;
    switch (Params->Type) {
    case WdfUsbInterfaceSelectSettingTypeSetting: setting = Params->Types.Interface.SettingIndex; break;
    case WdfUsbInterfaceSelectSettingTypeDescriptor:
        if (Params->Types.Descriptor.InterfaceDescriptor == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        setting = Params->Types.Descriptor.InterfaceDescriptor->bAlternateSetting;
        break;
    default: return STATUS_NOT_SUPPORTED;
    }
    UsbDevice& usb = *interface->Usb;
    // The setting's endpoint count, from the configuration as the device gave it.
    const USB_INTERFACE_DESCRIPTOR* found = nullptr;
    if (usb.Configuration.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        auto* buffer = usb.Configuration.data();
        const auto total = static_cast<ULONG>(usb.Configuration.size());
        UCHAR* position = buffer;
        while (auto* d = USBD_ParseDescriptors(buffer, total, position, USB_INTERFACE_DESCRIPTOR_TYPE)) {
            if (d->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
                break;
            }
            auto* candidate = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(d);
            if (candidate->bInterfaceNumber == interface->InterfaceNumber && candidate->bAlternateSetting == setting) {
                found = candidate;
                break;
            }
            position = reinterpret_cast<UCHAR*>(d) + d->bLength;
        }
    }
    if (found == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::size_t size = GET_SELECT_INTERFACE_REQUEST_SIZE(found->bNumEndpoints);
    std::vector<std::max_align_t> storage((size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    auto* urb = reinterpret_cast<_URB_SELECT_INTERFACE*>(storage.data());
    urb->Hdr.Length = static_cast<USHORT>(size);
    urb->Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->ConfigurationHandle = usb.ConfigurationHandle;
    urb->Interface.Length = static_cast<USHORT>(size - offsetof(_URB_SELECT_INTERFACE, Interface));
    urb->Interface.InterfaceNumber = interface->InterfaceNumber;
    urb->Interface.AlternateSetting = setting;
    urb->Interface.NumberOfPipes = found->bNumEndpoints;
    for (ULONG i = 0; i < urb->Interface.NumberOfPipes; ++i) {
        urb->Interface.Pipes[i].MaximumTransferSize = 0x10000;
    }
    const NTSTATUS status = platform::wdf::SendUrb(platform::wdf::TargetOf(usb), reinterpret_cast<PURB>(urb), std::nullopt);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The old setting's pipes go; the new setting's come.
    auto& objects = Platform::Current().Objects();
    for (UsbPipe* pipe : interface->Pipes) {
        if (!pipe->IsDeleted()) {
            objects.Delete(*pipe);
        }
    }
    interface->Pipes.clear();
    interface->SettingIndex = setting;
    interface->UsbdHandle = urb->Interface.InterfaceHandle;
    return platform::wdf::AddPipes(usb, *interface, urb->Interface);
}
