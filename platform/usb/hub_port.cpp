// The hub port: Plug and Play answers for its device and the URB engine.
#include "platform/usb/hub_port.h"

#include "platform/platform.h"

#include <algorithm>
#include <cstring>

namespace platform::usb {

NTSTATUS UsbdStatusToNtStatus(USBD_STATUS status)
{
    switch (status) {
    case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_TIMEOUT: return STATUS_IO_TIMEOUT;
    case USBD_STATUS_BUFFER_TOO_SMALL: return STATUS_BUFFER_TOO_SMALL;
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    default: return USBD_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
}

namespace {

// The USB bus interface's functions; BusContext is the port.
HubPort* PortOf(PVOID context) { return static_cast<HubPort*>(context); }

void BusInterfaceReference(PVOID) {}
void BusInterfaceDereference(PVOID) {}

void BusGetUsbdiVersion(PVOID, PUSBD_VERSION_INFORMATION version, PULONG capabilities)
{
    if (version != nullptr) {
        version->USBDI_Version = 0x00000600;
        version->Supported_USB_Version = 0x00000200;
    }
    if (capabilities != nullptr) {
        *capabilities = 0;
    }
}

NTSTATUS BusQueryBusTime(PVOID context, PULONG frame)
{
    if (frame == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *frame = PortOf(context)->CurrentFrame();
    return STATUS_SUCCESS;
}

NTSTATUS BusSubmitIsoOutUrb(PVOID, PURB) { return STATUS_NOT_SUPPORTED; }

NTSTATUS BusQueryBusInformation(PVOID, ULONG, PVOID, PULONG, PULONG) { return STATUS_NOT_SUPPORTED; }

BOOLEAN BusIsDeviceHighSpeed(PVOID context) { return PortOf(context)->IsHighSpeed(); }

USB_DEFAULT_PIPE_SETUP_PACKET Setup(UCHAR requestType, UCHAR request, USHORT value, USHORT index, ULONG length)
{
    return USB_DEFAULT_PIPE_SETUP_PACKET{requestType, request, value, index,
                                         static_cast<USHORT>(std::min<ULONG>(length, 0xFFFF))};
}

UCHAR RecipientOf(USHORT function)
{
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_CLASS_INTERFACE:
        return BMREQUEST_TO_INTERFACE;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_ENDPOINT:
        return BMREQUEST_TO_ENDPOINT;
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
        return BMREQUEST_TO_OTHER;
    default:
        return BMREQUEST_TO_DEVICE;
    }
}

} // namespace

HubPort::HubPort(Peripheral& device, ULONG portNumber) : device_(device), portNumber_(portNumber)
{
    pdo_.DeviceType = FILE_DEVICE_UNKNOWN;
    pdo_.StackSize = 1;
    pdo_.Handler = this;
}

HubPort::~HubPort() { pdo_.Handler = nullptr; }

BOOLEAN HubPort::IsHighSpeed() const { return device_.DeviceSpeed() == Speed::High ? TRUE : FALSE; }

ULONG HubPort::CurrentFrame() const
{
    return static_cast<ULONG>(Platform::Current().Dispatcher().Now() / kTicksPerMillisecond);
}

void HubPort::Disconnect()
{
    if (!connected_) {
        return;
    }
    connected_ = false;
    device_.Disconnect();
}

USBD_STATUS HubPort::Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, void* buffer, ULONG* length)
{
    if (!connected_) {
        *length = 0;
        return USBD_STATUS_DEVICE_GONE;
    }
    const bool in = (setup.bmRequestType & BMREQUEST_DEVICE_TO_HOST) != 0;
    const ULONG asked = std::min<ULONG>(*length, setup.wLength);
    std::span<const std::byte> out;
    if (!in && asked != 0) {
        if (buffer == nullptr) {
            *length = 0;
            return USBD_STATUS_INVALID_PARAMETER;
        }
        out = std::span<const std::byte>(static_cast<const std::byte*>(buffer), asked);
    }
    ControlAnswer answer = device_.Control(setup, out);
    if (in) {
        // The device never gets to write more than the host asked for.
        const ULONG received = static_cast<ULONG>(std::min<std::size_t>(answer.Data.size(), asked));
        if (received != 0 && buffer != nullptr) {
            std::memcpy(buffer, answer.Data.data(), received);
        }
        *length = buffer != nullptr ? received : 0;
    } else {
        *length = USBD_SUCCESS(answer.Status) ? asked : 0;
    }
    return answer.Status;
}

std::optional<HubPort::Identity> HubPort::ReadIdentity()
{
    Identity identity;
    ULONG length = sizeof(USB_DEVICE_DESCRIPTOR);
    if (!USBD_SUCCESS(Control(Setup(0x80, USB_REQUEST_GET_DESCRIPTOR, USB_DEVICE_DESCRIPTOR_TYPE << 8, 0, length),
                              &identity.Descriptor, &length)) ||
        length < sizeof(USB_DEVICE_DESCRIPTOR)) {
        return std::nullopt;
    }
    if (identity.Descriptor.iSerialNumber != 0) {
        UCHAR languages[4] = {};
        ULONG languagesLength = sizeof(languages);
        USHORT language = 0x0409;
        if (USBD_SUCCESS(Control(Setup(0x80, USB_REQUEST_GET_DESCRIPTOR, USB_STRING_DESCRIPTOR_TYPE << 8, 0, 4),
                                 languages, &languagesLength)) &&
            languagesLength >= 4) {
            language = static_cast<USHORT>(languages[2] | languages[3] << 8);
        }
        UCHAR text[255] = {};
        ULONG textLength = sizeof(text);
        const USHORT value = static_cast<USHORT>(USB_STRING_DESCRIPTOR_TYPE << 8 | identity.Descriptor.iSerialNumber);
        if (USBD_SUCCESS(Control(Setup(0x80, USB_REQUEST_GET_DESCRIPTOR, value, language, sizeof(text)), text,
                                 &textLength))) {
            const ULONG usable = textLength >= 2 ? std::min<ULONG>(textLength, text[0]) : 0;
            for (ULONG i = 2; i + 1 < usable; i += 2) {
                identity.SerialNumber.push_back(static_cast<WCHAR>(text[i] | text[i + 1] << 8));
            }
        }
    }
    bool printable = !identity.SerialNumber.empty();
    for (char16_t c : identity.SerialNumber) {
        printable = printable && c > 0x20 && c < 0x7F && c != u',' && c != u'\\';
    }
    uniqueId_ = device_.ReportsUniqueId() && printable;
    return identity;
}

bool HubPort::LoadConfiguration()
{
    USB_CONFIGURATION_DESCRIPTOR header{};
    ULONG length = sizeof(header);
    if (!USBD_SUCCESS(Control(Setup(0x80, USB_REQUEST_GET_DESCRIPTOR, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0, length),
                              &header, &length)) ||
        length < sizeof(header)) {
        return false;
    }
    std::vector<UCHAR> bytes(std::max<std::size_t>(header.wTotalLength, sizeof(header)));
    length = static_cast<ULONG>(bytes.size());
    if (!USBD_SUCCESS(Control(Setup(0x80, USB_REQUEST_GET_DESCRIPTOR, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0, length),
                              bytes.data(), &length))) {
        return false;
    }
    bytes.resize(length);
    configuration_ = std::move(bytes);
    return configuration_.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR);
}

USBD_STATUS HubPort::FillInterface(USBD_INTERFACE_INFORMATION& entry, std::size_t room)
{
    auto* buffer = configuration_.data();
    const auto total = static_cast<ULONG>(configuration_.size());
    UCHAR* position = buffer;
    const USB_INTERFACE_DESCRIPTOR* found = nullptr;
    while (auto* descriptor = USBD_ParseDescriptors(buffer, total, position, USB_INTERFACE_DESCRIPTOR_TYPE)) {
        if (descriptor->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
        }
        auto* interface = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(descriptor);
        if (interface->bInterfaceNumber == entry.InterfaceNumber &&
            interface->bAlternateSetting == entry.AlternateSetting) {
            found = interface;
            break;
        }
        position = reinterpret_cast<UCHAR*>(descriptor) + descriptor->bLength;
    }
    if (found == nullptr) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    // The setting's endpoints: what follows it up to the next interface.
    std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints;
    std::size_t offset = static_cast<std::size_t>(reinterpret_cast<const UCHAR*>(found) - buffer) + found->bLength;
    while (offset + 2 <= total) {
        const UCHAR length = buffer[offset];
        const UCHAR type = buffer[offset + 1];
        if (length < 2 || offset + length > total || type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            break;
        }
        if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            endpoints.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(buffer + offset));
        }
        offset += length;
    }
    if (GET_USBD_INTERFACE_SIZE(static_cast<ULONG>(endpoints.size())) > room) {
        return USBD_STATUS_BUFFER_TOO_SMALL;
    }
    entry.Class = found->bInterfaceClass;
    entry.SubClass = found->bInterfaceSubClass;
    entry.Protocol = found->bInterfaceProtocol;
    interfaces_.push_back(std::make_unique<InterfaceHandle>(InterfaceHandle{found->bInterfaceNumber, found->bAlternateSetting}));
    entry.InterfaceHandle = interfaces_.back().get();
    liveHandles_.insert(interfaces_.back().get());
    entry.NumberOfPipes = static_cast<ULONG>(endpoints.size());
    for (std::size_t i = 0; i < endpoints.size(); ++i) {
        const auto* endpoint = endpoints[i];
        auto& pipe = entry.Pipes[i];
        pipe.MaximumPacketSize = static_cast<USHORT>(endpoint->wMaxPacketSize & 0x07FF);
        pipe.EndpointAddress = endpoint->bEndpointAddress;
        pipe.Interval = endpoint->bInterval;
        pipe.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK);
        if (pipe.MaximumTransferSize == 0) {
            pipe.MaximumTransferSize = 0x10000;
        }
        pipes_.push_back(std::make_unique<Pipe>(
            Pipe{pipe.EndpointAddress, pipe.PipeType, pipe.MaximumPacketSize, found->bInterfaceNumber}));
        pipe.PipeHandle = pipes_.back().get();
        liveHandles_.insert(pipes_.back().get());
    }
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS HubPort::SelectConfiguration(_URB_SELECT_CONFIGURATION& urb)
{
    // Every handle of the old configuration goes.
    liveHandles_.clear();
    pipes_.clear();
    interfaces_.clear();
    configurationHandle_.reset();
    if (urb.ConfigurationDescriptor == nullptr) {
        ULONG none = 0;
        return Control(Setup(0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0), nullptr, &none);
    }
    if (!LoadConfiguration()) {
        return connected_ ? USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR : USBD_STATUS_DEVICE_GONE;
    }
    const auto value = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(configuration_.data())->bConfigurationValue;
    ULONG none = 0;
    USBD_STATUS status = Control(Setup(0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0), nullptr, &none);
    if (!USBD_SUCCESS(status)) {
        return status;
    }
    auto* const start = reinterpret_cast<std::byte*>(&urb);
    auto* const end = start + urb.Hdr.Length;
    auto* entry = reinterpret_cast<std::byte*>(&urb.Interface);
    while (entry + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
        auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(entry);
        if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || entry + info->Length > end) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        status = FillInterface(*info, info->Length);
        if (!USBD_SUCCESS(status)) {
            return status;
        }
        if (info->AlternateSetting != 0) {
            status = Control(Setup(0x01, USB_REQUEST_SET_INTERFACE, info->AlternateSetting, info->InterfaceNumber, 0),
                             nullptr, &none);
            if (!USBD_SUCCESS(status)) {
                return status;
            }
        }
        entry += info->Length;
    }
    configurationHandle_ = std::make_unique<int>(0);
    urb.ConfigurationHandle = configurationHandle_.get();
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS HubPort::SelectInterface(_URB_SELECT_INTERFACE& urb)
{
    if (configurationHandle_ == nullptr || urb.ConfigurationHandle != configurationHandle_.get()) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    const std::size_t room = urb.Hdr.Length > offsetof(_URB_SELECT_INTERFACE, Interface)
                                 ? urb.Hdr.Length - offsetof(_URB_SELECT_INTERFACE, Interface)
                                 : 0;
    if (room < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || urb.Interface.Length > room) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    ULONG none = 0;
    USBD_STATUS status = Control(
        Setup(0x01, USB_REQUEST_SET_INTERFACE, urb.Interface.AlternateSetting, urb.Interface.InterfaceNumber, 0),
        nullptr, &none);
    if (!USBD_SUCCESS(status)) {
        return status;
    }
    // The interface's earlier pipes are no longer valid.
    for (auto it = pipes_.begin(); it != pipes_.end();) {
        if ((*it)->InterfaceNumber == urb.Interface.InterfaceNumber) {
            liveHandles_.erase(it->get());
            it = pipes_.erase(it);
        } else {
            ++it;
        }
    }
    return FillInterface(urb.Interface, std::min<std::size_t>(room, urb.Interface.Length));
}

const HubPort::Pipe* HubPort::FindPipe(USBD_PIPE_HANDLE handle) const
{
    if (handle == nullptr || !liveHandles_.contains(handle)) {
        return nullptr;
    }
    for (const auto& pipe : pipes_) {
        if (pipe.get() == handle) {
            return pipe.get();
        }
    }
    return nullptr;
}

NTSTATUS HubPort::CompleteLater(PIRP irp, PURB urb, USBD_STATUS status)
{
    urb->UrbHeader.Status = status;
    irp->IoStatus.Status = UsbdStatusToNtStatus(status);
    irp->IoStatus.Information = 0;
    IoMarkIrpPending(irp);
    Platform::Current().Dispatcher().Post([irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); }, "URB completion");
    return STATUS_PENDING;
}

NTSTATUS HubPort::SubmitTransfer(PIRP irp, PURB urb)
{
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    const Pipe* pipe = FindPipe(transfer.PipeHandle);
    if (pipe == nullptr || (pipe->Type != UsbdPipeTypeBulk && pipe->Type != UsbdPipeTypeInterrupt)) {
        return CompleteLater(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    if (transfer.TransferBuffer == nullptr && transfer.TransferBufferLength != 0) {
        return CompleteLater(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    if (!connected_) {
        return CompleteLater(irp, urb, USBD_STATUS_DEVICE_GONE);
    }
    const bool in = USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress);
    std::vector<std::byte> out;
    if (!in && transfer.TransferBufferLength != 0) {
        const auto* bytes = static_cast<const std::byte*>(transfer.TransferBuffer);
        out.assign(bytes, bytes + transfer.TransferBufferLength);
    }
    IoMarkIrpPending(irp);
    const UCHAR endpoint = pipe->EndpointAddress;
    // A cancelled transfer is taken back from the device.
    irp->CancelRoutine = [](PDEVICE_OBJECT device, PIRP cancelled) {
        auto* port = static_cast<HubPort*>(device->Handler);
        auto* pending = static_cast<PURB>(IoGetCurrentIrpStackLocation(cancelled)->Parameters.Others.Argument1);
        if (const Pipe* owner = port->FindPipe(pending->UrbBulkOrInterruptTransfer.PipeHandle)) {
            port->device_.AbortTransfers(owner->EndpointAddress);
        }
    };
    device_.SubmitTransfer(endpoint, std::move(out), in ? transfer.TransferBufferLength : 0,
                           [irp, urb, in](TransferAnswer answer) {
                               irp->CancelRoutine = nullptr;
                               auto& done = urb->UrbBulkOrInterruptTransfer;
                               if (in) {
                                   const std::size_t copied = std::min<std::size_t>(answer.Data.size(), done.TransferBufferLength);
                                   if (copied != 0) {
                                       std::memcpy(done.TransferBuffer, answer.Data.data(), copied);
                                   }
                                   done.TransferBufferLength = static_cast<ULONG>(copied);
                               } else {
                                   done.TransferBufferLength = static_cast<ULONG>(
                                       std::min<std::size_t>(answer.Transferred, done.TransferBufferLength));
                               }
                               urb->UrbHeader.Status = answer.Status;
                               irp->IoStatus.Status = UsbdStatusToNtStatus(answer.Status);
                               irp->IoStatus.Information = 0;
                               IoCompleteRequest(irp, IO_NO_INCREMENT);
                           });
    return STATUS_PENDING;
}

NTSTATUS HubPort::HandleUrb(PIRP irp, PURB urb)
{
    const USHORT function = urb->UrbHeader.Function;
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        if (urb->UrbHeader.Length < offsetof(_URB_SELECT_CONFIGURATION, Interface)) {
            return CompleteLater(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        return CompleteLater(irp, urb, SelectConfiguration(urb->UrbSelectConfiguration));
    case URB_FUNCTION_SELECT_INTERFACE:
        if (urb->UrbHeader.Length < offsetof(_URB_SELECT_INTERFACE, Interface)) {
            return CompleteLater(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        return CompleteLater(irp, urb, SelectInterface(urb->UrbSelectInterface));
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
        auto& request = urb->UrbControlDescriptorRequest;
        if (request.TransferBuffer == nullptr) {
            return CompleteLater(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        const USHORT value = static_cast<USHORT>(request.DescriptorType << 8 | request.Index);
        const USHORT index = function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ? request.LanguageId : request.Reserved1;
        ULONG length = request.TransferBufferLength;
        const USBD_STATUS status = Control(Setup(static_cast<UCHAR>(0x80 | RecipientOf(function)),
                                                 USB_REQUEST_GET_DESCRIPTOR, value, index, length),
                                           request.TransferBuffer, &length);
        request.TransferBufferLength = length;
        return CompleteLater(irp, urb, status);
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
        auto& request = urb->UrbControlVendorClassRequest;
        const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        const bool vendor = function == URB_FUNCTION_VENDOR_DEVICE || function == URB_FUNCTION_VENDOR_INTERFACE ||
                            function == URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_VENDOR_OTHER;
        const UCHAR type = static_cast<UCHAR>((in ? BMREQUEST_DEVICE_TO_HOST : 0) |
                                              (vendor ? BMREQUEST_VENDOR : BMREQUEST_CLASS) | RecipientOf(function) |
                                              (request.RequestTypeReservedBits & 0x1C));
        ULONG length = request.TransferBufferLength;
        if (request.TransferBuffer == nullptr && length != 0) {
            return CompleteLater(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        const USBD_STATUS status =
            Control(Setup(type, request.Request, request.Value, request.Index, length), request.TransferBuffer, &length);
        request.TransferBufferLength = length;
        return CompleteLater(irp, urb, status);
    }
    case URB_FUNCTION_CONTROL_TRANSFER:
    case URB_FUNCTION_CONTROL_TRANSFER_EX: {
        const bool ex = function == URB_FUNCTION_CONTROL_TRANSFER_EX;
        ULONG& bufferLength = ex ? urb->UrbControlTransferEx.TransferBufferLength : urb->UrbControlTransfer.TransferBufferLength;
        void* buffer = ex ? urb->UrbControlTransferEx.TransferBuffer : urb->UrbControlTransfer.TransferBuffer;
        const UCHAR* packet = ex ? urb->UrbControlTransferEx.SetupPacket : urb->UrbControlTransfer.SetupPacket;
        USB_DEFAULT_PIPE_SETUP_PACKET setup;
        std::memcpy(&setup, packet, sizeof(setup));
        if (buffer == nullptr && bufferLength != 0) {
            return CompleteLater(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        ULONG length = bufferLength;
        const USBD_STATUS status = Control(setup, buffer, &length);
        bufferLength = length;
        return CompleteLater(irp, urb, status);
    }
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER: {
        auto& request = urb->UrbControlGetStatusRequest;
        ULONG length = std::min<ULONG>(request.TransferBufferLength, 2);
        if (request.TransferBuffer == nullptr) {
            return CompleteLater(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        const USBD_STATUS status = Control(Setup(static_cast<UCHAR>(0x80 | RecipientOf(function)),
                                                 USB_REQUEST_GET_STATUS, 0, request.Index, 2),
                                           request.TransferBuffer, &length);
        request.TransferBufferLength = length;
        return CompleteLater(irp, urb, status);
    }
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: {
        auto& request = urb->UrbControlFeatureRequest;
        const bool set = function <= URB_FUNCTION_SET_FEATURE_TO_ENDPOINT;
        ULONG none = 0;
        const USBD_STATUS status = Control(Setup(RecipientOf(function), set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE,
                                                 request.FeatureSelector, request.Index, 0),
                                           nullptr, &none);
        return CompleteLater(irp, urb, status);
    }
    case URB_FUNCTION_GET_CONFIGURATION:
    case URB_FUNCTION_GET_INTERFACE: {
        const bool configuration = function == URB_FUNCTION_GET_CONFIGURATION;
        ULONG& bufferLength = configuration ? urb->UrbControlGetConfigurationRequest.TransferBufferLength
                                            : urb->UrbControlGetInterfaceRequest.TransferBufferLength;
        void* buffer = configuration ? urb->UrbControlGetConfigurationRequest.TransferBuffer
                                     : urb->UrbControlGetInterfaceRequest.TransferBuffer;
        if (buffer == nullptr || bufferLength == 0) {
            return CompleteLater(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        ULONG length = 1;
        const USBD_STATUS status =
            configuration ? Control(Setup(0x80, USB_REQUEST_GET_CONFIGURATION, 0, 0, 1), buffer, &length)
                          : Control(Setup(0x81, USB_REQUEST_GET_INTERFACE, 0, urb->UrbControlGetInterfaceRequest.Interface, 1),
                                    buffer, &length);
        bufferLength = length;
        return CompleteLater(irp, urb, status);
    }
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_ABORT_PIPE: {
        const Pipe* pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
        if (pipe == nullptr) {
            return CompleteLater(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
        }
        if (function == URB_FUNCTION_ABORT_PIPE) {
            device_.AbortTransfers(pipe->EndpointAddress);
            return CompleteLater(irp, urb, connected_ ? USBD_STATUS_SUCCESS : USBD_STATUS_DEVICE_GONE);
        }
        if (function == URB_FUNCTION_SYNC_RESET_PIPE) {
            return CompleteLater(irp, urb, connected_ ? USBD_STATUS_SUCCESS : USBD_STATUS_DEVICE_GONE);
        }
        ULONG none = 0;
        const USBD_STATUS status = Control(Setup(BMREQUEST_TO_ENDPOINT, USB_REQUEST_CLEAR_FEATURE,
                                                 USB_FEATURE_ENDPOINT_STALL, pipe->EndpointAddress, 0),
                                           nullptr, &none);
        return CompleteLater(irp, urb, status);
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return SubmitTransfer(irp, urb);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        return CompleteLater(irp, urb, USBD_STATUS_SUCCESS);
    default:
        return CompleteLater(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

NTSTATUS HubPort::HandleInternalControl(PIRP irp, PIO_STACK_LOCATION stack)
{
    NTSTATUS status = STATUS_SUCCESS;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: {
        auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        if (urb == nullptr || urb->UrbHeader.Length < sizeof(_URB_HEADER)) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        return HandleUrb(irp, urb);
    }
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        if (auto* portStatus = static_cast<PULONG>(stack->Parameters.Others.Argument1)) {
            *portStatus = connected_ ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
        } else {
            status = STATUS_INVALID_PARAMETER;
        }
        break;
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
    case IOCTL_INTERNAL_USB_ENABLE_PORT:
        status = connected_ ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
        break;
    default:
        status = STATUS_NOT_SUPPORTED;
        break;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS HubPort::HandlePnp(PIRP irp, PIO_STACK_LOCATION stack)
{
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (caps == nullptr || caps->Size < sizeof(DEVICE_CAPABILITIES) || caps->Version != 1) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            caps->Removable = 1;
            caps->UniqueID = uniqueId_ ? 1 : 0;
            caps->SurpriseRemovalOK = 0;
            caps->Address = portNumber_;
            caps->UINumber = portNumber_;
            caps->DeviceState[1] = 1; // S0: D0
            for (int state = 2; state < 7; ++state) {
                caps->DeviceState[state] = 4; // sleeping, hibernate, shutdown: D3
            }
            status = STATUS_SUCCESS;
        }
    } else if (stack->MinorFunction == IRP_MN_QUERY_INTERFACE) {
        const auto& query = stack->Parameters.QueryInterface;
        if (query.InterfaceType != nullptr && *query.InterfaceType == USB_BUS_INTERFACE_USBDI_GUID) {
            constexpr std::size_t kVersion0Size = offsetof(USB_BUS_INTERFACE_USBDI_V1, IsDeviceHighSpeed);
            if (query.Version > USB_BUSIF_USBDI_VERSION_1 || query.Interface == nullptr ||
                query.Size < (query.Version == 0 ? kVersion0Size : sizeof(USB_BUS_INTERFACE_USBDI_V1))) {
                status = STATUS_NOT_SUPPORTED;
            } else {
                USB_BUS_INTERFACE_USBDI_V1 bus{};
                bus.Size = query.Version == 0 ? static_cast<USHORT>(kVersion0Size) : sizeof(bus);
                bus.Version = query.Version;
                bus.BusContext = this;
                bus.InterfaceReference = BusInterfaceReference;
                bus.InterfaceDereference = BusInterfaceDereference;
                bus.GetUSBDIVersion = BusGetUsbdiVersion;
                bus.QueryBusTime = BusQueryBusTime;
                bus.SubmitIsoOutUrb = BusSubmitIsoOutUrb;
                bus.QueryBusInformation = BusQueryBusInformation;
                bus.IsDeviceHighSpeed = BusIsDeviceHighSpeed;
                std::memcpy(query.Interface, &bus, bus.Size);
                ++busInterfaceReferences_;
                status = STATUS_SUCCESS;
            }
        }
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS HubPort::DispatchIrp(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        return HandlePnp(irp, stack);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return HandleInternalControl(irp, stack);
    default: {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    }
}

} // namespace platform::usb
