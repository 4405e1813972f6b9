// Function discovery: the device checks and configuration selection at
// every preparation, and the walk that cuts the configuration descriptor
// into functions, builds one identification description per function and
// reports the enabled ones to the child list. Every step of the walk stays
// inside the bytes the device returned.
#include "base/bus/bus_driver.h"
#include "base/bus/instance_number.h"

namespace x9trbus {

namespace {

// A function's block of descriptors and what its description says of it.
struct FUNCTION_BLOCK {
    PUCHAR Start;
    ULONG Length;
    UCHAR NumberOfInterfaces;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR InterfaceNumber;
    UCHAR StringIndex;
};

// Bytes from Position to the end of the configuration descriptor.
ULONG BusBytesLeft(PARENT_FDO_CONTEXT* Context, const UCHAR* Position)
{
    const UCHAR* end = Context->ConfigurationDescriptor + Context->ConfigurationDescriptorSize;
    return Position < end ? static_cast<ULONG>(end - Position) : 0;
}

// A descriptor a generator reaches must have a non-zero length that does not
// run past the end; its two header bytes must be there to be read at all.
BOOLEAN BusDescriptorFits(const UCHAR* Descriptor, ULONG BytesLeft)
{
    return BytesLeft >= sizeof(USB_COMMON_DESCRIPTOR) && Descriptor[0] != 0 && Descriptor[0] <= BytesLeft;
}

// Sets a counted string from a queried string's memory: a trailing NUL is
// not counted.
void BusSetStringFromMemory(PUNICODE_STRING String, WDFMEMORY Memory, USHORT NumCharacters)
{
    std::size_t size = 0;
    auto* buffer = static_cast<PWCH>(WdfMemoryGetBuffer(Memory, &size));
    USHORT count = NumCharacters;
    if (count > size / sizeof(WCHAR)) {
        count = static_cast<USHORT>(size / sizeof(WCHAR));
    }
    if (count >= 1 && buffer[count - 1] == u'\0') {
        --count;
    }
    String->Length = static_cast<USHORT>(count * sizeof(WCHAR));
    String->MaximumLength = static_cast<USHORT>(size);
    String->Buffer = buffer;
}

NTSTATUS BusQueryString(PARENT_FDO_CONTEXT* Context, UCHAR Index, USHORT LangId, WDFMEMORY* Memory,
                        PUSHORT NumCharacters)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Context->Device;
    return WdfUsbTargetDeviceAllocAndQueryString(Context->UsbDevice, &attributes, Memory, NumCharacters, Index,
                                                 LangId);
}

NTSTATUS BusCreateMemory(WDFDEVICE Device, std::size_t Size, WDFMEMORY* Memory, PVOID* Buffer)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    return WdfMemoryCreate(&attributes, NonPagedPool, BUS_POOL_TAG, Size, Memory, Buffer);
}

// Builds and collects the description of one function block.
BOOLEAN BusBuildDescription(WDFDEVICE Device, const FUNCTION_BLOCK& Block, WDFCOLLECTION Collection)
{
    PARENT_FDO_CONTEXT* context = GetParentFdoContext(Device);
    const ULONG configurationLength = Block.Length + sizeof(USB_CONFIGURATION_DESCRIPTOR);
    if (configurationLength > 0xFFFF) {
        return FALSE;
    }

    // The function's configuration: the parent's header, its own total
    // length and interface count, then the block unchanged.
    WDFMEMORY configurationMemory = nullptr;
    PUCHAR configuration = nullptr;
    if (!NT_SUCCESS(BusCreateMemory(Device, configurationLength, &configurationMemory,
                                    reinterpret_cast<PVOID*>(&configuration)))) {
        return FALSE;
    }
    RtlCopyMemory(configuration, context->ConfigurationDescriptor, sizeof(USB_CONFIGURATION_DESCRIPTOR));
    configuration[2] = static_cast<UCHAR>(configurationLength & 0xFF);
    configuration[3] = static_cast<UCHAR>(configurationLength >> 8);
    configuration[4] = Block.NumberOfInterfaces;
    RtlCopyMemory(configuration + sizeof(USB_CONFIGURATION_DESCRIPTOR), Block.Start, Block.Length);

    WDFMEMORY deviceMemory = nullptr;
    PUSB_DEVICE_DESCRIPTOR deviceDescriptor = nullptr;
    if (!NT_SUCCESS(BusCreateMemory(Device, sizeof(USB_DEVICE_DESCRIPTOR), &deviceMemory,
                                    reinterpret_cast<PVOID*>(&deviceDescriptor)))) {
        return FALSE;
    }
    *deviceDescriptor = context->UsbDeviceDescriptor;
    deviceDescriptor->bDeviceClass = Block.Class;
    deviceDescriptor->bDeviceSubClass = Block.SubClass;
    deviceDescriptor->bDeviceProtocol = Block.Protocol;

    WDFMEMORY descriptionMemory = nullptr;
    PCHILD_IDENTIFICATION_DESCRIPTION description = nullptr;
    if (!NT_SUCCESS(BusCreateMemory(Device, sizeof(CHILD_IDENTIFICATION_DESCRIPTION), &descriptionMemory,
                                    reinterpret_cast<PVOID*>(&description)))) {
        return FALSE;
    }
    RtlZeroMemory(description, sizeof(*description));
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER_INIT(&description->Header, sizeof(CHILD_IDENTIFICATION_DESCRIPTION));
    description->Disabled = FALSE;
    description->Class = Block.Class;
    description->SubClass = Block.SubClass;
    description->Protocol = Block.Protocol;
    description->InterfaceNumber = Block.InterfaceNumber;

    if (Block.StringIndex != 0) {
        WDFMEMORY stringMemory = nullptr;
        USHORT characters = 0;
        if (!NT_SUCCESS(BusQueryString(context, Block.StringIndex, context->LangId, &stringMemory, &characters))) {
            return FALSE;
        }
        BusSetStringFromMemory(&description->FunctionDescription, stringMemory, characters);
    }
    description->DeviceDescriptor = reinterpret_cast<PUCHAR>(deviceDescriptor);
    description->ConfigurationDescriptor = configuration;
    description->ConfigurationDescriptorLength = static_cast<USHORT>(configurationLength);

    WCHAR valueName[64];
    if (!NT_SUCCESS(RtlStringCbPrintfW(valueName, sizeof(valueName), u"DisableIf_%02x", Block.InterfaceNumber))) {
        return FALSE;
    }
    ULONG disabled = 0;
    if (GetRegistrySoftwareKeyValue(Device, valueName, &disabled) && disabled != 0) {
        description->Disabled = TRUE;
    }
    return NT_SUCCESS(WdfCollectionAdd(Collection, descriptionMemory)) ? TRUE : FALSE;
}

// Includes in a block every descriptor from Position up to (not including)
// the next interface, other-speed configuration or IAD descriptor, or the
// end. FALSE when one of them is malformed.
BOOLEAN BusIncludeUpToNextFunction(PARENT_FDO_CONTEXT* Context, PUCHAR Position, PULONG Length)
{
    ULONG left = BusBytesLeft(Context, Position);
    while (left > 0) {
        if (!BusDescriptorFits(Position, left)) {
            return FALSE;
        }
        const UCHAR type = Position[1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE || type == USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE ||
            type == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE) {
            break;
        }
        *Length += Position[0];
        left -= Position[0];
        Position += Position[0];
    }
    return TRUE;
}

// Vendor-specific and mass-storage functions: the interface and everything
// up to the next interface, other-speed configuration or IAD.
BOOLEAN BusGenerateFromSingleInterface(WDFDEVICE Device, PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                       WDFCOLLECTION Collection)
{
    PARENT_FDO_CONTEXT* context = GetParentFdoContext(Device);
    auto* start = reinterpret_cast<PUCHAR>(InterfaceDescriptor);
    if (!BusDescriptorFits(start, BusBytesLeft(context, start))) {
        return FALSE;
    }
    ULONG length = start[0];
    if (!BusIncludeUpToNextFunction(context, start + start[0], &length)) {
        return FALSE;
    }
    const FUNCTION_BLOCK block{start, length, 1, InterfaceDescriptor->bInterfaceClass,
                               InterfaceDescriptor->bInterfaceSubClass, InterfaceDescriptor->bInterfaceProtocol,
                               InterfaceDescriptor->bInterfaceNumber, InterfaceDescriptor->iInterface};
    return BusBuildDescription(Device, block, Collection);
}

// Whether the descriptors from Position to the end can all be stepped over.
// The walk ends where no further function is found; that must be the true
// end of the configuration, not a descriptor that hides the rest of it.
BOOLEAN BusRestIsWellFormed(PARENT_FDO_CONTEXT* Context, PUCHAR Position)
{
    ULONG left = BusBytesLeft(Context, Position);
    while (left > 0) {
        if (!BusDescriptorFits(Position, left)) {
            return FALSE;
        }
        left -= Position[0];
        Position += Position[0];
    }
    return TRUE;
}

} // namespace

NTSTATUS BusUsbSetConfiguration(WDFDEVICE Device)
{
    PARENT_FDO_CONTEXT* context = GetParentFdoContext(Device);
    WdfUsbTargetDeviceGetDeviceDescriptor(context->UsbDevice, &context->UsbDeviceDescriptor);

    const UCHAR deviceClass = context->UsbDeviceDescriptor.bDeviceClass;
    const UCHAR deviceSubClass = context->UsbDeviceDescriptor.bDeviceSubClass;
    const UCHAR deviceProtocol = context->UsbDeviceDescriptor.bDeviceProtocol;
    const BOOLEAN accepted =
        (deviceClass == 0x00 && deviceSubClass == 0x00 && deviceProtocol == 0x00) ||
        (deviceClass == USB_DEVICE_CLASS_MISCELLANEOUS && deviceSubClass == 0x02 && deviceProtocol == 0x01) ||
        deviceClass == USB_DEVICE_CLASS_COMMUNICATIONS;
    if (!accepted) {
        return STATUS_UNSUCCESSFUL;
    }
    context->UsbDeviceDescriptor.bNumConfigurations = 1;

    // The language table: its first entry names the language of every later string.
    WDFMEMORY memory = nullptr;
    USHORT characters = 0;
    NTSTATUS status = BusQueryString(context, 0, 0, &memory, &characters);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::size_t size = 0;
    auto* table = static_cast<PUCHAR>(WdfMemoryGetBuffer(memory, &size));
    if (size < 2) {
        // A device with an empty language table has no strings to name its
        // functions by, nor a serial number: it does not start.
        WdfObjectDelete(memory);
        return STATUS_UNSUCCESSFUL;
    }
    context->LangId = static_cast<USHORT>(table[0] + 256 * table[1]);
    WdfObjectDelete(memory);

    // String index 0 names no string (it is the language table): a device
    // without a product string has an empty one.
    RtlZeroMemory(&context->ProductString, sizeof(context->ProductString));
    if (context->UsbDeviceDescriptor.iProduct != 0) {
        status = BusQueryString(context, context->UsbDeviceDescriptor.iProduct, context->LangId, &memory, &characters);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        BusSetStringFromMemory(&context->ProductString, memory, characters);
    }

    // A device without a serial number, or with an empty one, does not start.
    if (context->UsbDeviceDescriptor.iSerialNumber == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    status = BusQueryString(context, context->UsbDeviceDescriptor.iSerialNumber, context->LangId, &memory, &characters);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (characters == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    BusSetStringFromMemory(&context->SerialNum, memory, characters);
    if (context->SerialNum.Length == 0) {
        return STATUS_UNSUCCESSFUL; // a serial number that is only its terminating NUL
    }

    USHORT configurationSize = 0;
    status = WdfUsbTargetDeviceRetrieveConfigDescriptor(context->UsbDevice, nullptr, &configurationSize);
    if (status != STATUS_BUFFER_TOO_SMALL || configurationSize < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    WDFMEMORY configurationMemory = nullptr;
    PUCHAR configuration = nullptr;
    status = BusCreateMemory(Device, configurationSize, &configurationMemory, reinterpret_cast<PVOID*>(&configuration));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfUsbTargetDeviceRetrieveConfigDescriptor(context->UsbDevice, configuration, &configurationSize);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const USHORT totalLength = static_cast<USHORT>(configuration[2] | configuration[3] << 8);
    if (configurationSize < totalLength) {
        return STATUS_DEVICE_ENUMERATION_ERROR;
    }
    context->ConfigurationDescriptor = configuration;
    context->ConfigurationDescriptorSize = configurationSize;
    // Reported to whoever asks the parent for its node information.
    context->NumberOfInterfaces = configuration[4];

    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, nullptr);
    status = WdfUsbTargetDeviceSelectConfig(context->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    context->ConfigurationHandle = WdfUsbTargetDeviceWdmGetConfigurationHandle(context->UsbDevice);
    if (context->ConfigurationHandle == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

void BusInitChildList(PWDFDEVICE_INIT DeviceInit)
{
    WDF_CHILD_LIST_CONFIG config;
    WDF_CHILD_LIST_CONFIG_INIT(&config, sizeof(CHILD_IDENTIFICATION_DESCRIPTION), BusEvtChildListCreateDevice);
    config.EvtChildListDeviceReenumerated = BusEvtChildListDeviceReenumerated;
    WdfFdoInitSetDefaultChildListConfig(DeviceInit, &config, WDF_NO_OBJECT_ATTRIBUTES);
}

NTSTATUS BusEnumerateChildren(WDFDEVICE Device)
{
    PARENT_FDO_CONTEXT* context = GetParentFdoContext(Device);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    WDFCOLLECTION collection = nullptr;
    NTSTATUS status = WdfCollectionCreate(&attributes, &collection);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    context->IdDescriptionCollection = collection;

    status = BusGenerateIdentificationDescriptions(Device, collection);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WDFCHILDLIST list = WdfFdoGetDefaultChildList(Device);
    WdfChildListBeginScan(list);
    const ULONG count = WdfCollectionGetCount(collection);
    for (ULONG i = 0; i < count; ++i) {
        auto memory = static_cast<WDFMEMORY>(WdfCollectionGetItem(collection, i));
        auto* description = static_cast<PCHILD_IDENTIFICATION_DESCRIPTION>(WdfMemoryGetBuffer(memory, nullptr));
        if (!description->Disabled) {
            status = WdfChildListAddOrUpdateChildDescriptionAsPresent(list, &description->Header, nullptr);
        }
    }
    WdfChildListEndScan(list);
    return status;
}

PUSB_COMMON_DESCRIPTOR BusFindNextFunctionDescriptor(PUCHAR ConfigurationDescriptor, ULONG Size, PUCHAR Start)
{
    PUSB_COMMON_DESCRIPTOR iad =
        USBD_ParseDescriptors(ConfigurationDescriptor, Size, Start, USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE);
    PUSB_COMMON_DESCRIPTOR interface =
        USBD_ParseDescriptors(ConfigurationDescriptor, Size, Start, USB_INTERFACE_DESCRIPTOR_TYPE);
    if (interface == nullptr) {
        return nullptr;
    }
    if (iad != nullptr && reinterpret_cast<PUCHAR>(iad) < reinterpret_cast<PUCHAR>(interface)) {
        return iad;
    }
    return interface;
}

NTSTATUS BusGenerateIdentificationDescriptions(WDFDEVICE Device, WDFCOLLECTION Collection)
{
    PARENT_FDO_CONTEXT* context = GetParentFdoContext(Device);
    PUCHAR configuration = context->ConfigurationDescriptor;
    const ULONG size = context->ConfigurationDescriptorSize;
    if (configuration == nullptr || size == 0) {
        return STATUS_SUCCESS;
    }
    // Interface numbers that already have a function: a second description
    // with the same number would give two children the same IDs.
    BOOLEAN described[256] = {};
    PUCHAR from = configuration;
    PUSB_COMMON_DESCRIPTOR d = BusFindNextFunctionDescriptor(configuration, size, from);
    while (d != nullptr) {
        if (d->bLength == 0) {
            return STATUS_DEVICE_ENUMERATION_ERROR;
        }
        if (d->bDescriptorType == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE) {
            // Too short to hold the fields the walk reads: malformed.
            if (d->bLength < sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR)) {
                return STATUS_DEVICE_ENUMERATION_ERROR;
            }
            auto* iad = reinterpret_cast<PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR>(d);
            if (iad->bFunctionClass == USB_DEVICE_CLASS_COMMUNICATIONS &&
                iad->bFunctionSubClass == USB_CDC_SUBCLASS_NCM) {
                // An NCM function is described by its control interface,
                // which must follow the IAD at once.
                PUCHAR next = reinterpret_cast<PUCHAR>(d) + d->bLength;
                const ULONG left = BusBytesLeft(context, next);
                if (left >= 1 && next[0] == 0) {
                    return STATUS_DEVICE_ENUMERATION_ERROR;
                }
                if (!BusDescriptorFits(next, left) || next[1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
                    return STATUS_DEVICE_ENUMERATION_ERROR;
                }
                d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(next);
            } else if (described[iad->bFirstInterface]) {
                from = reinterpret_cast<PUCHAR>(d) + d->bLength;
                d = BusFindNextFunctionDescriptor(configuration, size, from);
                continue;
            } else {
                USHORT consumed = 0;
                if (!BusGenerateIdDescriptionFromInterfaceAssociation(Device, iad, Collection, &consumed)) {
                    return STATUS_DEVICE_ENUMERATION_ERROR;
                }
                described[iad->bFirstInterface] = TRUE;
                from = reinterpret_cast<PUCHAR>(d) + consumed;
                d = BusFindNextFunctionDescriptor(configuration, size, from);
                continue;
            }
        }
        if (d->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            return STATUS_DEVICE_ENUMERATION_ERROR;
        }
        auto* interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
        BOOLEAN generated = TRUE;
        const ULONG before = WdfCollectionGetCount(Collection);
        switch (described[interface->bInterfaceNumber] ? 0x00 : interface->bInterfaceClass) {
        case USB_DEVICE_CLASS_COMMUNICATIONS:
            if ((interface->bInterfaceSubClass == USB_CDC_SUBCLASS_ACM && interface->bInterfaceProtocol == 0x01) ||
                interface->bInterfaceSubClass == USB_CDC_SUBCLASS_MDLM ||
                interface->bInterfaceSubClass == USB_CDC_SUBCLASS_NCM) {
                generated = BusGenerateIdDescriptionFromCdcInterface(Device, interface, Collection);
            }
            break;
        case USB_DEVICE_CLASS_STORAGE:
            // Only the first setting of an interface becomes a function, so
            // that no two children carry the same IDs.
            if (interface->bAlternateSetting == 0) {
                generated = BusGenerateIdDescriptionMscInterface(Device, interface, Collection);
            }
            break;
        case USB_DEVICE_CLASS_VENDOR_SPECIFIC:
            if (interface->bAlternateSetting == 0) {
                generated = BusGenerateIdDescriptionFromVendorSpecificInterface(Device, interface, Collection);
            }
            break;
        default:
            break; // CDC data interfaces belong to their control interface's function
        }
        if (!generated) {
            return STATUS_DEVICE_ENUMERATION_ERROR;
        }
        if (WdfCollectionGetCount(Collection) != before) {
            described[interface->bInterfaceNumber] = TRUE;
        }
        from = reinterpret_cast<PUCHAR>(d) + d->bLength;
        d = BusFindNextFunctionDescriptor(configuration, size, from);
    }
    return BusRestIsWellFormed(context, from) ? STATUS_SUCCESS : STATUS_DEVICE_ENUMERATION_ERROR;
}

BOOLEAN BusGenerateIdDescriptionFromInterfaceAssociation(WDFDEVICE Device, PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR Iad,
                                                        WDFCOLLECTION Collection, PUSHORT ConsumedLength)
{
    PARENT_FDO_CONTEXT* context = GetParentFdoContext(Device);
    auto* start = reinterpret_cast<PUCHAR>(Iad);
    if (!BusDescriptorFits(start, BusBytesLeft(context, start))) {
        return FALSE;
    }
    // The IAD's interfaces follow it with consecutive numbers, one
    // descriptor each.
    PUCHAR position = start + start[0];
    for (ULONG k = 0; k < Iad->bInterfaceCount; ++k) {
        auto* found = USBD_ParseDescriptors(context->ConfigurationDescriptor, context->ConfigurationDescriptorSize,
                                            position, USB_INTERFACE_DESCRIPTOR_TYPE);
        if (found == nullptr) {
            return FALSE;
        }
        auto* interfaceStart = reinterpret_cast<PUCHAR>(found);
        if (!BusDescriptorFits(interfaceStart, BusBytesLeft(context, interfaceStart)) ||
            found->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            return FALSE;
        }
        const auto* interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
        if (static_cast<ULONG>(interface->bInterfaceNumber) != Iad->bFirstInterface + k) {
            return FALSE;
        }
        position = interfaceStart + found->bLength;
    }
    ULONG length = static_cast<ULONG>(position - start);
    if (!BusIncludeUpToNextFunction(context, position, &length)) {
        return FALSE;
    }
    const FUNCTION_BLOCK block{start, length, Iad->bInterfaceCount, Iad->bFunctionClass, Iad->bFunctionSubClass,
                               Iad->bFunctionProtocol, Iad->bFirstInterface, Iad->iFunction};
    if (!BusBuildDescription(Device, block, Collection)) {
        return FALSE;
    }
    *ConsumedLength = static_cast<USHORT>(length);
    return TRUE;
}

BOOLEAN BusGenerateIdDescriptionFromCdcInterface(WDFDEVICE Device, PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                                 WDFCOLLECTION Collection)
{
    PARENT_FDO_CONTEXT* context = GetParentFdoContext(Device);
    auto* start = reinterpret_cast<PUCHAR>(InterfaceDescriptor);
    ULONG left = BusBytesLeft(context, start);
    if (!BusDescriptorFits(start, left)) {
        return FALSE;
    }
    ULONG length = start[0];
    left -= start[0];
    PUCHAR position = start + start[0];
    const UCHAR* subordinates = nullptr;
    ULONG subordinateCount = 0;
    BOOLEAN sawUnion = FALSE;
    while (left > 0) {
        if (!BusDescriptorFits(position, left)) {
            return FALSE;
        }
        const UCHAR descriptorLength = position[0];
        const UCHAR type = position[1];
        BOOLEAN include = FALSE;
        if (type == USB_CS_INTERFACE_DESCRIPTOR_TYPE) {
            include = TRUE;
            // A later Union replaces an earlier one.
            if (descriptorLength >= 3 && position[2] == USB_CDC_UNION_SUBTYPE) {
                sawUnion = TRUE;
                subordinates = position + 4;
                subordinateCount = descriptorLength >= 5 ? descriptorLength - 4u : 0;
            }
        } else if (type == USB_CS_ENDPOINT_DESCRIPTOR_TYPE || type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            include = TRUE;
        } else if (type == USB_INTERFACE_DESCRIPTOR_TYPE && descriptorLength >= 3) {
            for (ULONG i = 0; i < subordinateCount; ++i) {
                include = include || subordinates[i] == position[2];
            }
        }
        if (!include) {
            break;
        }
        length += descriptorLength;
        left -= descriptorLength;
        position += descriptorLength;
    }
    const auto interfaces = static_cast<UCHAR>(sawUnion ? subordinateCount + 1 : 1);
    const FUNCTION_BLOCK block{start, length, interfaces, InterfaceDescriptor->bInterfaceClass,
                               InterfaceDescriptor->bInterfaceSubClass, InterfaceDescriptor->bInterfaceProtocol,
                               InterfaceDescriptor->bInterfaceNumber, InterfaceDescriptor->iInterface};
    return BusBuildDescription(Device, block, Collection);
}

BOOLEAN BusGenerateIdDescriptionFromVendorSpecificInterface(WDFDEVICE Device,
                                                            PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                                            WDFCOLLECTION Collection)
{
    return BusGenerateFromSingleInterface(Device, InterfaceDescriptor, Collection);
}

BOOLEAN BusGenerateIdDescriptionMscInterface(WDFDEVICE Device, PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                             WDFCOLLECTION Collection)
{
    return BusGenerateFromSingleInterface(Device, InterfaceDescriptor, Collection);
}

} // namespace x9trbus
