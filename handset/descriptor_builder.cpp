// Building descriptors from a description of the handset's functions. Every
// multi-byte field is written little-endian, as USB 2.0 chapter 9 lays them out.
#include "handset/descriptor_builder.h"

#include "platform/usb/usb100.h"

#include <span>
#include <stdexcept>

namespace handset {
namespace {

// One descriptor being written; bLength is filled in when it is appended.
class Descriptor {
public:
    explicit Descriptor(UCHAR type) : bytes_{std::byte{0}, std::byte{type}} {}

    Descriptor& U8(UCHAR value)
    {
        bytes_.push_back(std::byte{value});
        return *this;
    }
    Descriptor& U16(USHORT value)
    {
        bytes_.push_back(static_cast<std::byte>(value & 0xFF));
        bytes_.push_back(static_cast<std::byte>(value >> 8));
        return *this;
    }
    Descriptor& U32(ULONG value)
    {
        U16(static_cast<USHORT>(value & 0xFFFF));
        return U16(static_cast<USHORT>(value >> 16));
    }
    Descriptor& Bytes(std::span<const std::byte> bytes)
    {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return *this;
    }

    void AppendTo(std::vector<std::byte>& out)
    {
        if (bytes_.size() > 0xFF) {
            throw std::runtime_error("a descriptor is longer than 255 bytes");
        }
        bytes_[0] = static_cast<std::byte>(bytes_.size());
        out.insert(out.end(), bytes_.begin(), bytes_.end());
    }

private:
    std::vector<std::byte> bytes_;
};

// Hands out interface numbers, endpoint numbers and string indexes in order.
class Numbering {
public:
    explicit Numbering(StringTable& strings) : strings_(strings) {}

    UCHAR Interface() { return interfaces_++; }
    UCHAR Interfaces() const { return interfaces_; }

    UCHAR Endpoint()
    {
        if (endpoints_ > 15) {
            throw std::runtime_error("the functions need more than the 15 endpoint numbers a device has");
        }
        return endpoints_++;
    }

    // Index 0 means "no string" in a descriptor.
    UCHAR String(const std::optional<std::u16string>& text)
    {
        if (!text) {
            return 0;
        }
        if (nextString_ > 0xFF) {
            throw std::runtime_error("the functions need more than 255 strings");
        }
        const auto index = static_cast<UCHAR>(nextString_++);
        strings_[index] = *text;
        return index;
    }

private:
    StringTable& strings_;
    UCHAR interfaces_ = 0;
    UCHAR endpoints_ = 1;
    unsigned nextString_ = kFirstFunctionStringIndex;
};

struct Packets {
    USHORT Bulk;
    USHORT Interrupt;
    UCHAR Interval;
};

Packets PacketsFor(const FunctionDescription& function, platform::usb::Speed speed)
{
    const bool high = speed == platform::usb::Speed::High;
    return Packets{function.BulkMaxPacketSize.value_or(high ? 512 : 64), function.InterruptMaxPacketSize.value_or(16),
                   function.Interval.value_or(high ? 9 : 32)};
}

constexpr UCHAR kIn = USB_ENDPOINT_DIRECTION_MASK;

void Endpoint(std::vector<std::byte>& out, UCHAR address, UCHAR type, USHORT maxPacket, UCHAR interval)
{
    Descriptor(USB_ENDPOINT_DESCRIPTOR_TYPE).U8(address).U8(type).U16(maxPacket).U8(interval).AppendTo(out);
}

void BulkPair(std::vector<std::byte>& out, UCHAR number, const Packets& packets)
{
    Endpoint(out, kIn | number, USB_ENDPOINT_TYPE_BULK, packets.Bulk, 0);
    Endpoint(out, number, USB_ENDPOINT_TYPE_BULK, packets.Bulk, 0);
}

void Interface(std::vector<std::byte>& out, UCHAR number, UCHAR alternate, UCHAR endpoints,
               std::array<UCHAR, 3> cls, UCHAR name)
{
    Descriptor(USB_INTERFACE_DESCRIPTOR_TYPE)
        .U8(number)
        .U8(alternate)
        .U8(endpoints)
        .U8(cls[0])
        .U8(cls[1])
        .U8(cls[2])
        .U8(name)
        .AppendTo(out);
}

void CdcHeader(std::vector<std::byte>& out)
{
    Descriptor(USB_CS_INTERFACE_DESCRIPTOR_TYPE).U8(USB_CDC_HEADER_SUBTYPE).U16(0x0110).AppendTo(out);
}

void CdcUnion(std::vector<std::byte>& out, UCHAR control, UCHAR subordinate)
{
    Descriptor(USB_CS_INTERFACE_DESCRIPTOR_TYPE).U8(USB_CDC_UNION_SUBTYPE).U8(control).U8(subordinate).AppendTo(out);
}

// The function's class triple, as its first interface and its IAD carry it.
std::array<UCHAR, 3> ClassOf(const FunctionKind& kind)
{
    struct {
        std::array<UCHAR, 3> operator()(const AcmFunction&) const { return {0x02, USB_CDC_SUBCLASS_ACM, 0x01}; }
        std::array<UCHAR, 3> operator()(const MdlmFunction&) const { return {0x02, USB_CDC_SUBCLASS_MDLM, 0x01}; }
        std::array<UCHAR, 3> operator()(const NcmFunction&) const { return {0x02, USB_CDC_SUBCLASS_NCM, 0x00}; }
        std::array<UCHAR, 3> operator()(const VendorFunction&) const { return {0xFF, 0xFF, 0xFF}; }
        std::array<UCHAR, 3> operator()(const StorageFunction&) const { return {USB_DEVICE_CLASS_STORAGE, 0x06, 0x50}; }
    } visitor;
    return std::visit(visitor, kind);
}

UCHAR InterfaceCountOf(const FunctionKind& kind)
{
    return std::holds_alternative<AcmFunction>(kind) || std::holds_alternative<NcmFunction>(kind) ? 2 : 1;
}

// Writes one function: its IAD if any, its interfaces and endpoints.
class FunctionWriter {
public:
    FunctionWriter(std::vector<std::byte>& out, Numbering& numbering, const FunctionDescription& function,
                   platform::usb::Speed speed)
        : out_(out), numbering_(numbering), function_(function), packets_(PacketsFor(function, speed))
    {
    }

    void Write()
    {
        const std::array<UCHAR, 3> cls = ClassOf(function_.Kind);
        const UCHAR first = numbering_.Interfaces();
        name_ = numbering_.String(function_.Name);
        if (function_.Iad) {
            Descriptor(USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE)
                .U8(first)
                .U8(InterfaceCountOf(function_.Kind))
                .U8(cls[0])
                .U8(cls[1])
                .U8(cls[2])
                .U8(name_)
                .AppendTo(out_);
        }
        std::visit([this, &cls](const auto& kind) { Body(kind, cls); }, function_.Kind);
    }

private:
    // The name goes on the first interface only when no IAD carries it.
    UCHAR FirstInterfaceName() const { return function_.Iad ? 0 : name_; }

    void Notification()
    {
        Endpoint(out_, kIn | numbering_.Endpoint(), USB_ENDPOINT_TYPE_INTERRUPT, packets_.Interrupt,
                 packets_.Interval);
    }

    void Body(const AcmFunction& acm, const std::array<UCHAR, 3>& cls)
    {
        const UCHAR control = numbering_.Interface();
        const UCHAR data = numbering_.Interface();
        Interface(out_, control, 0, 1, cls, FirstInterfaceName());
        CdcHeader(out_);
        Descriptor(USB_CS_INTERFACE_DESCRIPTOR_TYPE)
            .U8(USB_CDC_CALL_MANAGEMENT_SUBTYPE)
            .U8(acm.CallManagementCapabilities)
            .U8(data)
            .AppendTo(out_);
        Descriptor(USB_CS_INTERFACE_DESCRIPTOR_TYPE).U8(USB_CDC_ACM_SUBTYPE).U8(acm.AcmCapabilities).AppendTo(out_);
        CdcUnion(out_, control, data);
        Notification();
        Interface(out_, data, 0, 2, {USB_DEVICE_CLASS_CDC_DATA, 0x00, 0x00}, 0);
        BulkPair(out_, numbering_.Endpoint(), packets_);
    }

    void Body(const MdlmFunction& mdlm, const std::array<UCHAR, 3>& cls)
    {
        Interface(out_, numbering_.Interface(), 0, 2, cls, FirstInterfaceName());
        CdcHeader(out_);
        Descriptor(USB_CS_INTERFACE_DESCRIPTOR_TYPE).U8(USB_CDC_MDLM_SUBTYPE).U16(0x0100).Bytes(mdlm.Guid).AppendTo(out_);
        if (!mdlm.Detail.empty()) {
            Descriptor(USB_CS_INTERFACE_DESCRIPTOR_TYPE).U8(USB_CDC_MDLM_DETAIL_SUBTYPE).Bytes(mdlm.Detail).AppendTo(out_);
        }
        BulkPair(out_, numbering_.Endpoint(), packets_);
    }

    void Body(const NcmFunction& ncm, const std::array<UCHAR, 3>& cls)
    {
        const UCHAR control = numbering_.Interface();
        const UCHAR data = numbering_.Interface();
        // An NCM function is known by its control interface, so that interface
        // carries the name too, IAD or not.
        Interface(out_, control, 0, 1, cls, name_);
        CdcHeader(out_);
        CdcUnion(out_, control, data);
        Descriptor(USB_CS_INTERFACE_DESCRIPTOR_TYPE)
            .U8(USB_CDC_ETHERNET_SUBTYPE)
            .U8(numbering_.String(ncm.MacAddress))
            .U32(0) // bmEthernetStatistics
            .U16(ncm.MaxSegmentSize)
            .U16(0) // wNumberMCFilters
            .U8(0)  // bNumberPowerFilters
            .AppendTo(out_);
        Descriptor(USB_CS_INTERFACE_DESCRIPTOR_TYPE)
            .U8(USB_CDC_NCM_SUBTYPE)
            .U16(0x0100)
            .U8(ncm.NetworkCapabilities)
            .AppendTo(out_);
        Notification();
        // NCM 1.0: the data interface carries no traffic until the host picks alternate setting 1.
        const std::array<UCHAR, 3> dataClass{USB_DEVICE_CLASS_CDC_DATA, 0x00, 0x01};
        Interface(out_, data, 0, 0, dataClass, 0);
        Interface(out_, data, 1, 2, dataClass, 0);
        BulkPair(out_, numbering_.Endpoint(), packets_);
    }

    void Body(const VendorFunction&, const std::array<UCHAR, 3>& cls) { SingleBulkInterface(cls); }
    void Body(const StorageFunction&, const std::array<UCHAR, 3>& cls) { SingleBulkInterface(cls); }

    void SingleBulkInterface(const std::array<UCHAR, 3>& cls)
    {
        Interface(out_, numbering_.Interface(), 0, 2, cls, FirstInterfaceName());
        BulkPair(out_, numbering_.Endpoint(), packets_);
    }

    std::vector<std::byte>& out_;
    Numbering& numbering_;
    const FunctionDescription& function_;
    Packets packets_;
    UCHAR name_ = 0;
};

} // namespace

std::vector<std::byte> BuildDeviceDescriptor(const DeviceDescription& device, StringTable& strings)
{
    auto index = [&strings](const std::optional<std::u16string>& text, UCHAR at) -> UCHAR {
        if (!text) {
            return 0;
        }
        strings[at] = *text;
        return at;
    };
    std::vector<std::byte> out;
    Descriptor(USB_DEVICE_DESCRIPTOR_TYPE)
        .U16(device.BcdUsb)
        .U8(device.Class[0])
        .U8(device.Class[1])
        .U8(device.Class[2])
        .U8(device.MaxPacketSize0)
        .U16(device.Vendor)
        .U16(device.Product)
        .U16(device.BcdDevice)
        .U8(index(device.Manufacturer, kManufacturerStringIndex))
        .U8(index(device.ProductName, kProductStringIndex))
        .U8(index(device.SerialNumber, kSerialNumberStringIndex))
        .U8(1) // bNumConfigurations
        .AppendTo(out);
    return out;
}

std::vector<std::byte> BuildConfiguration(const ConfigurationDescription& configuration, platform::usb::Speed speed,
                                          StringTable& strings)
{
    Numbering numbering(strings);
    std::vector<std::byte> body;
    for (const FunctionDescription& function : configuration.Functions) {
        FunctionWriter(body, numbering, function, speed).Write();
    }

    std::vector<std::byte> out;
    const std::size_t total = sizeof(USB_CONFIGURATION_DESCRIPTOR) + body.size();
    if (total > 0xFFFF) {
        throw std::runtime_error("the configuration is longer than 65535 bytes");
    }
    Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE)
        .U16(static_cast<USHORT>(total))
        .U8(numbering.Interfaces())
        .U8(configuration.Value)
        .U8(0) // iConfiguration
        .U8(configuration.Attributes)
        .U8(configuration.MaxPower)
        .AppendTo(out);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

} // namespace handset
