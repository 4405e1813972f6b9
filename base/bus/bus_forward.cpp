// The children's requests. A child answers its function driver's device and
// configuration descriptor requests from its function's own descriptors,
// refuses port resets, cycles, enables and idle notifications, and forwards
// the rest to the parent; the parent turns a configuration selection into
// one interface selection per interface on its own configuration and sends
// everything else on to the USB stack unchanged.
#include "base/bus/bus_driver.h"

namespace x9trbus {

namespace {

void ChildPdoForward(CHILD_PDO_CONTEXT* Context, WDFREQUEST Request)
{
    WDF_REQUEST_FORWARD_OPTIONS options;
    WDF_REQUEST_FORWARD_OPTIONS_INIT(&options);
    options.Flags = WDF_REQUEST_FORWARD_OPTION_SEND_AND_FORGET;
    const NTSTATUS status = WdfRequestForwardToParentDeviceIoQueue(Request, Context->ParentQueue, &options);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
    }
}

// Answers a device or configuration descriptor request from the child's own
// function. The URB carries the count as the USB stack's answers do.
void ChildPdoAnswerDescriptor(WDFDEVICE Device, WDFREQUEST Request, PURB Urb)
{
    CHILD_IDENTIFICATION_DESCRIPTION description;
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER_INIT(&description.Header, sizeof(description));
    NTSTATUS status = WdfPdoRetrieveIdentificationDescription(Device, &description.Header);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
        return;
    }
    auto& descriptorRequest = Urb->UrbControlDescriptorRequest;
    if (descriptorRequest.TransferBuffer == nullptr) {
        WdfRequestComplete(Request, STATUS_INVALID_PARAMETER);
        return;
    }
    const bool device = descriptorRequest.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE;
    const PUCHAR source = device ? description.DeviceDescriptor : description.ConfigurationDescriptor;
    const ULONG length = device ? sizeof(USB_DEVICE_DESCRIPTOR) : description.ConfigurationDescriptorLength;
    const ULONG count = descriptorRequest.TransferBufferLength < length ? descriptorRequest.TransferBufferLength : length;
    RtlCopyMemory(descriptorRequest.TransferBuffer, source, count);
    descriptorRequest.TransferBufferLength = count;
    Urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, count);
}

// Selects, one by one, the interfaces a child's configuration request names,
// on the configuration the parent selected itself.
void ParentFdoSelectConfiguration(WDFDEVICE Device, WDFREQUEST Request, PURB Urb)
{
    PARENT_FDO_CONTEXT* context = GetParentFdoContext(Device);
    auto* const urbStart = reinterpret_cast<PUCHAR>(Urb);
    PUCHAR const urbEnd = urbStart + Urb->UrbHeader.Length;
    auto* entry = reinterpret_cast<PUCHAR>(&Urb->UrbSelectConfiguration.Interface);
    NTSTATUS status = STATUS_SUCCESS;
    constexpr std::size_t kEntryHeader = offsetof(USBD_INTERFACE_INFORMATION, Pipes);

    while (entry < urbEnd) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(entry);
        // The entry's fixed part must be there to be read at all.
        if (static_cast<std::size_t>(urbEnd - entry) < kEntryHeader) {
            break;
        }
        if (info->Length == 0 || info->Length > static_cast<std::size_t>(urbEnd - entry)) {
            break;
        }
        // Its pipes must lie within its own length.
        if (info->Length < kEntryHeader ||
            info->NumberOfPipes > (info->Length - kEntryHeader) / sizeof(USBD_PIPE_INFORMATION)) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        const std::size_t size = GET_SELECT_INTERFACE_REQUEST_SIZE(info->NumberOfPipes);

        WDFMEMORY memory = nullptr;
        PVOID buffer = nullptr;
        status = WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, BUS_POOL_TAG, size, &memory, &buffer);
        if (!NT_SUCCESS(status)) {
            break;
        }
        RtlZeroMemory(buffer, size);
        auto* select = static_cast<_URB_SELECT_INTERFACE*>(buffer);
        select->Hdr.Length = static_cast<USHORT>(size);
        select->Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
        select->ConfigurationHandle = context->ConfigurationHandle;
        select->Interface.Length = static_cast<USHORT>(size - offsetof(_URB_SELECT_INTERFACE, Interface));
        select->Interface.InterfaceNumber = info->InterfaceNumber;
        select->Interface.AlternateSetting = info->AlternateSetting;
        select->Interface.Class = info->Class;
        select->Interface.SubClass = info->SubClass;
        select->Interface.Protocol = info->Protocol;
        select->Interface.NumberOfPipes = info->NumberOfPipes;
        select->Interface.InterfaceHandle = nullptr;
        for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
            select->Interface.Pipes[i] = info->Pipes[i];
        }

        status = WdfRequestAllocateTimer(Request);
        if (!NT_SUCCESS(status)) {
            WdfObjectDelete(memory);
            break;
        }
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_TIMEOUT);
        options.Timeout = -10'000'000;
        status = WdfUsbTargetDeviceSendUrbSynchronously(context->UsbDevice, nullptr, &options,
                                                        reinterpret_cast<PURB>(select));
        if (!NT_SUCCESS(status)) {
            WdfObjectDelete(memory);
            break;
        }

        info->InterfaceNumber = select->Interface.InterfaceNumber;
        info->AlternateSetting = select->Interface.AlternateSetting;
        info->Class = select->Interface.Class;
        info->SubClass = select->Interface.SubClass;
        info->Protocol = select->Interface.Protocol;
        info->InterfaceHandle = select->Interface.InterfaceHandle;
        const ULONG pipes = select->Interface.NumberOfPipes < info->NumberOfPipes ? select->Interface.NumberOfPipes
                                                                                  : info->NumberOfPipes;
        for (ULONG i = 0; i < pipes; ++i) {
            info->Pipes[i] = select->Interface.Pipes[i];
        }
        WdfObjectDelete(memory);
        entry += info->Length;
    }
    if (NT_SUCCESS(status)) {
        Urb->UrbSelectConfiguration.ConfigurationHandle = context->ConfigurationHandle;
    }
    WdfRequestComplete(Request, status);
}

} // namespace

NTSTATUS ParentFdoForwardRequestThenCompleteIfError(WDFDEVICE Device, WDFREQUEST Request)
{
    WdfRequestFormatRequestUsingCurrentType(Request);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
    if (!WdfRequestSend(Request, WdfDeviceGetIoTarget(Device), &options)) {
        const NTSTATUS status = WdfRequestGetStatus(Request);
        WdfRequestComplete(Request, status);
        return status;
    }
    return STATUS_SUCCESS;
}

void ChildPdoEvtIoInternalDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, std::size_t, std::size_t, ULONG IoControlCode)
{
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    CHILD_PDO_CONTEXT* context = GetChildPdoContext(device);
    WDF_REQUEST_PARAMETERS params;
    WDF_REQUEST_PARAMETERS_INIT(&params);
    WdfRequestGetParameters(Request, &params);

    switch (IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: {
        auto* urb = static_cast<PURB>(params.Parameters.Others.Arg1);
        if (urb == nullptr) {
            WdfRequestComplete(Request, STATUS_INVALID_PARAMETER);
            return;
        }
        if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
            (urb->UrbControlDescriptorRequest.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE ||
             urb->UrbControlDescriptorRequest.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE)) {
            ChildPdoAnswerDescriptor(device, Request, urb);
            return;
        }
        ChildPdoForward(context, Request);
        return;
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_ENABLE_PORT:
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
    case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION:
        WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
        return;
    case IOCTL_INTERNAL_USB_GET_HUB_NAME: {
        PVOID buffer = nullptr;
        const NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, 6, &buffer, nullptr);
        if (NT_SUCCESS(status)) {
            auto* name = static_cast<PUSB_HUB_NAME>(buffer);
            name->ActualLength = 0;
            name->HubName[0] = u'\0';
        }
        WdfRequestComplete(Request, status);
        return;
    }
    default:
        ChildPdoForward(context, Request);
        return;
    }
}

void ChildPdoEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, std::size_t, std::size_t, ULONG IoControlCode)
{
    if (IoControlCode == IOCTL_USB_HUB_CYCLE_PORT) {
        WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
        return;
    }
    ChildPdoForward(GetChildPdoContext(WdfIoQueueGetDevice(Queue)), Request);
}

void ChildPdoEvtIoDefault(WDFQUEUE, WDFREQUEST Request) { WdfRequestComplete(Request, STATUS_NOT_SUPPORTED); }

void ParentFdoEvtIoInternalDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, std::size_t, std::size_t,
                                         ULONG IoControlCode)
{
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    WDF_REQUEST_PARAMETERS params;
    WDF_REQUEST_PARAMETERS_INIT(&params);
    WdfRequestGetParameters(Request, &params);

    switch (IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: {
        auto* urb = static_cast<PURB>(params.Parameters.Others.Arg1);
        if (urb != nullptr && urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION) {
            ParentFdoSelectConfiguration(device, Request, urb);
            return;
        }
        ParentFdoForwardRequestThenCompleteIfError(device, Request);
        return;
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_ENABLE_PORT:
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
        WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
        return;
    case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION:
        WdfRequestComplete(Request, STATUS_UNSUCCESSFUL);
        return;
    default:
        ParentFdoForwardRequestThenCompleteIfError(device, Request);
        return;
    }
}

void ParentFdoEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, std::size_t, std::size_t, ULONG IoControlCode)
{
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    switch (IoControlCode) {
    case IOCTL_USB_HUB_CYCLE_PORT:
        WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
        return;
    case IOCTL_USB_GET_NODE_INFORMATION: {
        // The parent answers for itself: a composite device and its interface
        // count, the whole record returned.
        PVOID buffer = nullptr;
        const NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(USB_NODE_INFORMATION), &buffer, nullptr);
        if (!NT_SUCCESS(status)) {
            WdfRequestComplete(Request, status);
            return;
        }
        auto* node = static_cast<PUSB_NODE_INFORMATION>(buffer);
        node->NodeType = UsbMIParent;
        node->u.MiParentInformation.NumberOfInterfaces = GetParentFdoContext(device)->NumberOfInterfaces;
        WdfRequestCompleteWithInformation(Request, status, sizeof(USB_NODE_INFORMATION));
        return;
    }
    default:
        ParentFdoForwardRequestThenCompleteIfError(device, Request);
        return;
    }
}

void ParentFdoEvtIoDefault(WDFQUEUE Queue, WDFREQUEST Request)
{
    ParentFdoForwardRequestThenCompleteIfError(WdfIoQueueGetDevice(Queue), Request);
}

} // namespace x9trbus
