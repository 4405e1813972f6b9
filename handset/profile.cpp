// Reading a JSON handset profile: device fields, strings and either a list of
// functions to build the configuration from or raw descriptor bytes. Every
// fault is refused with the origin and the field it lies in, so a person can
// fix the file from the message alone.
#include "handset/profile.h"

#include "handset/configuration_layout.h"
#include "handset/descriptor_builder.h"
#include "handset/handset_file.h"
#include "handset/hex_bytes.h"
#include "platform/kernel/unicode.h"
#include "platform/usb/usb100.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <stdexcept>

namespace handset {
namespace {

using nlohmann::json;

std::string HexBound(unsigned long long value)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llx", value);
    return text;
}

std::string Quoted(std::string_view key)
{
    std::string quoted = "\"";
    quoted.append(key);
    quoted.push_back('"');
    return quoted;
}

// A number as profiles write them: a JSON number or a "0x..." string.
std::optional<unsigned long long> NumberOf(const json& value)
{
    if (value.is_number_unsigned()) {
        return value.get<unsigned long long>();
    }
    if (!value.is_string()) {
        return std::nullopt;
    }
    const auto& text = value.get_ref<const std::string&>();
    if (text.size() < 3 || text.size() > 10 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) {
        return std::nullopt;
    }
    unsigned long long number = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data() + 2, end, number, 16);
    if (error != std::errc{} || stop != end) {
        return std::nullopt;
    }
    return number;
}

// The fields of one JSON object, read with the place they are at named in
// every fault ("handset.json: functions[2] (ncm): ").
class Fields {
public:
    Fields(const json& object, std::string prefix) : object_(object), prefix_(std::move(prefix)) {}

    [[noreturn]] void Fail(const std::string& fault) const { throw std::runtime_error(prefix_ + fault); }

    // Refuses a key not in Keys, so that a misspelt field does not pass unseen.
    void Allow(const std::vector<std::string_view>& keys) const
    {
        for (const auto& item : object_.items()) {
            bool known = false;
            for (std::string_view key : keys) {
                known = known || item.key() == key;
            }
            if (!known) {
                Fail("unknown key " + Quoted(item.key()));
            }
        }
    }

    bool Has(std::string_view key) const { return object_.contains(key); }
    const json& At(std::string_view key) const { return object_.at(std::string(key)); }

    template <class T>
    std::optional<T> Number(std::string_view key, unsigned long long least, unsigned long long most) const
    {
        if (!Has(key)) {
            return std::nullopt;
        }
        const auto number = NumberOf(At(key));
        if (!number || *number < least || *number > most) {
            Fail(Quoted(key) + " must be a number from " + std::to_string(least) + " to " + HexBound(most));
        }
        return static_cast<T>(*number);
    }

    std::optional<UCHAR> Byte(std::string_view key) const { return Number<UCHAR>(key, 0, 0xFF); }
    std::optional<USHORT> Word(std::string_view key) const { return Number<USHORT>(key, 0, 0xFFFF); }

    std::optional<bool> Bool(std::string_view key) const
    {
        if (!Has(key)) {
            return std::nullopt;
        }
        if (!At(key).is_boolean()) {
            Fail(Quoted(key) + " must be true or false");
        }
        return At(key).get<bool>();
    }

    std::optional<std::string> Text(std::string_view key) const
    {
        if (!Has(key)) {
            return std::nullopt;
        }
        if (!At(key).is_string()) {
            Fail(Quoted(key) + " must be a string");
        }
        return At(key).get<std::string>();
    }

    std::optional<std::vector<std::byte>> Hex(std::string_view key) const
    {
        const auto text = Text(key);
        if (!text) {
            return std::nullopt;
        }
        HexParse parsed = ParseHexBytes(*text);
        if (!parsed.Ok()) {
            Fail(Quoted(key) + " is not hex bytes: " + parsed.Fault);
        }
        return std::move(parsed.Bytes);
    }

private:
    const json& object_;
    std::string prefix_;
};

std::optional<std::u16string> Utf16(const std::optional<std::string>& text)
{
    if (!text) {
        return std::nullopt;
    }
    return platform::Utf8ToUtf16(*text);
}

struct NamedStrings {
    std::optional<std::u16string> Manufacturer;
    std::optional<std::u16string> Product;
    std::optional<std::u16string> SerialNumber;
    StringTable Numbered; // raw configurations only: strings their descriptors point at
};

NamedStrings ReadStrings(const Fields& top, const std::string& origin, bool rawConfiguration)
{
    NamedStrings strings;
    if (!top.Has("strings")) {
        return strings;
    }
    const json& object = top.At("strings");
    if (!object.is_object()) {
        top.Fail("\"strings\" must be an object of strings by name");
    }
    const Fields fields(object, origin + ": \"strings\".");
    for (const auto& item : object.items()) {
        const std::string& key = item.key();
        if (key == "manufacturer" || key == "product" || key == "serialNumber") {
            continue;
        }
        unsigned index = 0;
        const auto [stop, error] = std::from_chars(key.data(), key.data() + key.size(), index);
        if (error != std::errc{} || stop != key.data() + key.size()) {
            fields.Fail(Quoted(key) + " is not manufacturer, product, serialNumber or a string index");
        }
        if (!rawConfiguration) {
            fields.Fail(Quoted(key) + ": numbered strings go with a raw \"configuration\"");
        }
        if (index < 1 || index > 0xFF) {
            fields.Fail(Quoted(key) + ": a string index is from 1 to 255 (0 is the language table)");
        }
        strings.Numbered[static_cast<UCHAR>(index)] = platform::Utf8ToUtf16(*fields.Text(key));
    }
    strings.Manufacturer = Utf16(fields.Text("manufacturer"));
    strings.Product = Utf16(fields.Text("product"));
    strings.SerialNumber = Utf16(fields.Text("serialNumber"));
    return strings;
}

std::optional<std::array<UCHAR, 3>> ReadClass(const Fields& top, std::string_view key)
{
    if (!top.Has(key)) {
        return std::nullopt;
    }
    const json& list = top.At(key);
    const std::string fault = Quoted(key) + " must be a list of three numbers (class, subclass, protocol) from 0 to 0xff";
    if (!list.is_array() || list.size() != 3) {
        top.Fail(fault);
    }
    std::array<UCHAR, 3> triple{};
    for (std::size_t i = 0; i < 3; ++i) {
        const auto number = NumberOf(list[i]);
        if (!number || *number > 0xFF) {
            top.Fail(fault);
        }
        triple[i] = static_cast<UCHAR>(*number);
    }
    return triple;
}

std::u16string ReadMacAddress(const Fields& fields)
{
    const auto text = fields.Text("macAddress");
    if (!text) {
        return NcmFunction{}.MacAddress;
    }
    std::u16string mac;
    for (char c : *text) {
        const bool digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!digit) {
            mac.clear();
            break;
        }
        // CDC ECM 1.2 writes the address with the digits 0-9 and A-F only.
        mac.push_back(static_cast<char16_t>(c >= 'a' ? c - 'a' + 'A' : c));
    }
    if (mac.size() != 12) {
        fields.Fail("\"macAddress\" must be 12 hex digits");
    }
    return mac;
}

// A function as the profile lists it: what it describes, and the text its
// data pipe sends of its own accord (ACM only).
struct ListedFunction {
    FunctionDescription Description;
    std::string Greeting;
};

ListedFunction ReadFunction(const json& item, const std::string& prefix)
{
    if (!item.is_object()) {
        throw std::runtime_error(prefix + ": a function is an object with a \"type\"");
    }
    const Fields untyped(item, prefix + ": ");
    const auto type = untyped.Has("type") && untyped.At("type").is_string() ? untyped.Text("type") : std::nullopt;
    FunctionDescription function;
    std::vector<std::string_view> keys = {"type", "iad", "string", "bulkMaxPacketSize"};
    if (type == "acm") {
        function.Kind = AcmFunction{};
        keys.insert(keys.end(),
                    {"interruptMaxPacketSize", "interval", "callManagementCapabilities", "acmCapabilities", "greeting"});
    } else if (type == "mdlm") {
        function.Kind = MdlmFunction{};
        keys.insert(keys.end(), {"guid", "detail"});
    } else if (type == "ncm") {
        function.Kind = NcmFunction{};
        keys.insert(keys.end(), {"interruptMaxPacketSize", "interval", "macAddress", "maxSegmentSize", "ncmCapabilities"});
    } else if (type == "vendor") {
        function.Kind = VendorFunction{};
    } else if (type == "msc") {
        function.Kind = StorageFunction{};
    } else {
        untyped.Fail("\"type\" must be one of acm, mdlm, ncm, vendor, msc");
    }

    const Fields fields(item, prefix + " (" + *type + "): ");
    fields.Allow(keys);
    // A two-interface function is grouped by an IAD unless the profile says not.
    const bool twoInterfaces = *type == "acm" || *type == "ncm";
    function.Iad = fields.Bool("iad").value_or(twoInterfaces);
    function.Name = Utf16(fields.Text("string"));
    // 11 bits of wMaxPacketSize hold the size.
    function.BulkMaxPacketSize = fields.Number<USHORT>("bulkMaxPacketSize", 1, 0x7FF);
    function.InterruptMaxPacketSize = fields.Number<USHORT>("interruptMaxPacketSize", 1, 0x7FF);
    function.Interval = fields.Number<UCHAR>("interval", 1, 0xFF);

    std::string greeting;
    if (auto* acm = std::get_if<AcmFunction>(&function.Kind)) {
        acm->CallManagementCapabilities = fields.Byte("callManagementCapabilities").value_or(acm->CallManagementCapabilities);
        acm->AcmCapabilities = fields.Byte("acmCapabilities").value_or(acm->AcmCapabilities);
        greeting = fields.Text("greeting").value_or(std::string());
    } else if (auto* mdlm = std::get_if<MdlmFunction>(&function.Kind)) {
        if (auto guid = fields.Hex("guid")) {
            if (guid->size() != mdlm->Guid.size()) {
                fields.Fail("\"guid\" must be 16 hex bytes");
            }
            std::copy(guid->begin(), guid->end(), mdlm->Guid.begin());
        }
        if (auto detail = fields.Hex("detail")) {
            // bLength, bDescriptorType and bDescriptorSubtype come before it in one byte-sized length.
            if (detail->size() > 0xFF - 3) {
                fields.Fail("\"detail\" must be at most 252 bytes");
            }
            mdlm->Detail = std::move(*detail);
        }
    } else if (auto* ncm = std::get_if<NcmFunction>(&function.Kind)) {
        ncm->MacAddress = ReadMacAddress(fields);
        ncm->MaxSegmentSize = fields.Word("maxSegmentSize").value_or(ncm->MaxSegmentSize);
        ncm->NetworkCapabilities = fields.Byte("ncmCapabilities").value_or(ncm->NetworkCapabilities);
    }
    return ListedFunction{std::move(function), std::move(greeting)};
}

std::vector<ListedFunction> ReadFunctions(const Fields& top, const std::string& origin)
{
    const json& list = top.At("functions");
    if (!list.is_array()) {
        top.Fail("\"functions\" must be a list of functions");
    }
    std::vector<ListedFunction> functions;
    for (std::size_t i = 0; i < list.size(); ++i) {
        functions.push_back(ReadFunction(list[i], origin + ": functions[" + std::to_string(i) + "]"));
    }
    return functions;
}

// The bulk IN endpoint of each ACM function's data interface gets the
// function's greeting. Interfaces are numbered in the order the builder gives
// them out: two for ACM and NCM, one for the others; the data interface is
// the second of an ACM function's two.
std::map<UCHAR, std::vector<std::byte>> PlaceGreetings(const std::vector<ListedFunction>& functions,
                                                       std::span<const std::byte> configuration)
{
    std::map<UCHAR, std::vector<std::byte>> greetings;
    const ConfigurationLayout layout(configuration);
    UCHAR firstInterface = 0;
    for (const ListedFunction& function : functions) {
        const auto& kind = function.Description.Kind;
        const bool twoInterfaces = std::holds_alternative<AcmFunction>(kind) || std::holds_alternative<NcmFunction>(kind);
        if (std::holds_alternative<AcmFunction>(kind) && !function.Greeting.empty()) {
            if (const InterfaceSetting* data = layout.FindSetting(static_cast<UCHAR>(firstInterface + 1), 0)) {
                for (const EndpointInfo& endpoint : data->Endpoints) {
                    if (USB_ENDPOINT_DIRECTION_IN(endpoint.Address) &&
                        (endpoint.Attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_BULK) {
                        const auto* text = reinterpret_cast<const std::byte*>(function.Greeting.data());
                        greetings[endpoint.Address].assign(text, text + function.Greeting.size());
                    }
                }
            }
        }
        firstInterface = static_cast<UCHAR>(firstInterface + (twoInterfaces ? 2 : 1));
    }
    return greetings;
}

platform::usb::Speed ReadSpeed(const Fields& top)
{
    const auto speed = top.Has("speed") && top.At("speed").is_string() ? top.Text("speed") : std::nullopt;
    if (!top.Has("speed") || speed == "high") {
        return platform::usb::Speed::High;
    }
    if (speed == "full") {
        return platform::usb::Speed::Full;
    }
    top.Fail("\"speed\" must be \"full\" or \"high\"");
}

// The configuration built from the listed functions, and the greetings they send.
void BuildFromFunctions(const Fields& top, const std::string& origin, Profile& profile)
{
    ConfigurationDescription configuration;
    configuration.Value = top.Byte("configurationValue").value_or(configuration.Value);
    configuration.Attributes = top.Byte("attributes").value_or(configuration.Attributes);
    configuration.MaxPower = top.Byte("maxPower").value_or(configuration.MaxPower);
    const std::vector<ListedFunction> functions = ReadFunctions(top, origin);
    for (const ListedFunction& function : functions) {
        configuration.Functions.push_back(function.Description);
    }
    try {
        profile.Configuration = BuildConfiguration(configuration, profile.Speed, profile.Strings);
    } catch (const std::runtime_error& error) {
        top.Fail(error.what());
    }
    profile.Greetings = PlaceGreetings(functions, profile.Configuration);
}

std::vector<std::byte> BuildDevice(const Fields& top, const NamedStrings& named,
                                   std::span<const std::byte> configuration, StringTable& strings)
{
    DeviceDescription device;
    for (std::string_view key : {"vendor", "product"}) {
        if (!top.Has(key)) {
            top.Fail("needs " + Quoted(key) + " (or a raw \"device\")");
        }
    }
    device.Vendor = *top.Word("vendor");
    device.Product = *top.Word("product");
    device.BcdDevice = top.Word("bcdDevice").value_or(device.BcdDevice);
    device.BcdUsb = top.Word("bcdUSB").value_or(device.BcdUsb);
    device.MaxPacketSize0 = top.Byte("maxPacketSize0").value_or(device.MaxPacketSize0);
    // A configuration with IADs needs the Miscellaneous/Common/IAD triple for
    // hosts to read its functions; without one the interfaces speak for themselves.
    constexpr std::array<UCHAR, 3> kAssociation{USB_DEVICE_CLASS_MISCELLANEOUS, 0x02, 0x01};
    device.Class = ReadClass(top, "deviceClass")
                       .value_or(ConfigurationLayout(configuration).HasInterfaceAssociation() ? kAssociation
                                                                                              : std::array<UCHAR, 3>{});
    device.Manufacturer = named.Manufacturer;
    device.ProductName = named.Product;
    device.SerialNumber = named.SerialNumber;
    return BuildDeviceDescriptor(device, strings);
}

// A raw device descriptor says itself where its strings are.
void PlaceRawDeviceStrings(const Fields& top, const NamedStrings& named, std::span<const std::byte> device,
                           StringTable& strings)
{
    const struct {
        const std::optional<std::u16string>& Text;
        const char* Name;
        std::size_t Offset;
    } places[] = {{named.Manufacturer, "manufacturer", 14}, {named.Product, "product", 15}, {named.SerialNumber, "serialNumber", 16}};
    for (const auto& place : places) {
        if (!place.Text) {
            continue;
        }
        const auto index = std::to_integer<UCHAR>(device[place.Offset]);
        if (index == 0) {
            top.Fail(std::string("\"strings\".\"") + place.Name + "\": the raw \"device\" has no index for it");
        }
        if (!strings.emplace(index, *place.Text).second) {
            top.Fail("\"strings\": string " + std::to_string(index) + " is given twice");
        }
    }
}

Profile FromDocument(const json& document, const std::string& origin)
{
    if (!document.is_object()) {
        throw std::runtime_error(origin + ": a handset profile is a JSON object");
    }
    const Fields top(document, origin + ": ");
    top.Allow({"vendor", "product", "bcdDevice", "bcdUSB", "deviceClass", "maxPacketSize0", "speed", "uniqueId",
               "strings", "functions", "configurationValue", "attributes", "maxPower", "configuration", "device"});

    const bool functions = top.Has("functions");
    const bool rawConfiguration = top.Has("configuration");
    const bool rawDevice = top.Has("device");
    if (functions && rawConfiguration) {
        top.Fail("give either \"functions\" or a raw \"configuration\", not both");
    }
    if (!functions && !rawConfiguration) {
        top.Fail("needs \"functions\" or a raw \"configuration\"");
    }
    if (rawDevice && !rawConfiguration) {
        top.Fail("a raw \"device\" goes with a raw \"configuration\"");
    }
    if (rawConfiguration) {
        for (std::string_view key : {"configurationValue", "attributes", "maxPower"}) {
            if (top.Has(key)) {
                top.Fail(Quoted(key) + " goes with \"functions\"; a raw \"configuration\" holds its own");
            }
        }
    }
    if (rawDevice) {
        for (std::string_view key : {"vendor", "product", "bcdDevice", "bcdUSB", "deviceClass", "maxPacketSize0"}) {
            if (top.Has(key)) {
                top.Fail(Quoted(key) + " cannot go with a raw \"device\", which holds its own");
            }
        }
    }

    Profile profile;
    profile.Origin = origin;
    profile.Speed = ReadSpeed(top);
    const NamedStrings named = ReadStrings(top, origin, rawConfiguration);

    if (functions) {
        BuildFromFunctions(top, origin, profile);
    } else {
        profile.Configuration = *top.Hex("configuration");
    }
    if (rawDevice) {
        profile.Device = *top.Hex("device");
        if (profile.Device.size() != sizeof(USB_DEVICE_DESCRIPTOR)) {
            top.Fail("\"device\" must be the 18 bytes of a device descriptor, not " +
                     std::to_string(profile.Device.size()));
        }
        PlaceRawDeviceStrings(top, named, profile.Device, profile.Strings);
    } else {
        profile.Device = BuildDevice(top, named, profile.Configuration, profile.Strings);
    }
    for (const auto& [index, text] : named.Numbered) {
        if (!profile.Strings.emplace(index, text).second) {
            top.Fail("\"strings\": string " + std::to_string(index) + " is given twice");
        }
    }

    // The hub tells devices apart by serial number; one without can be told apart only by its port.
    const bool hasSerialNumber = std::to_integer<UCHAR>(profile.Device[16]) != 0;
    profile.UniqueId = top.Bool("uniqueId").value_or(hasSerialNumber);
    return profile;
}

} // namespace

Profile ParseProfile(std::string_view text, const std::string& origin)
{
    json document;
    try {
        document = json::parse(text);
    } catch (const json::parse_error& error) {
        throw std::runtime_error(origin + ": not valid JSON: " + error.what());
    }
    return FromDocument(document, origin);
}

Profile LoadProfile(const std::string& fileName)
{
    const std::vector<std::byte> contents = ReadWholeFile(fileName);
    return ParseProfile(std::string_view(reinterpret_cast<const char*>(contents.data()), contents.size()), fileName);
}

} // namespace handset
