// Handset profiles: the default handset's descriptors byte by byte, what a
// profile's fields change in them, raw descriptors in a profile, and the
// faults a malformed profile is refused with.
#include "handset/default_handset.h"
#include "handset/handset_file.h"
#include "handset/profile.h"
#include "platform/usb/usb100.h"
#include "tests/handset/temp_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using handset::ParseProfile;
using handset::Profile;
using Bytes = std::vector<std::byte>;

Bytes Of(std::initializer_list<int> values)
{
    Bytes bytes;
    for (int v : values) {
        bytes.push_back(static_cast<std::byte>(v));
    }
    return bytes;
}

unsigned U8(const Bytes& bytes, std::size_t at) { return std::to_integer<unsigned>(bytes.at(at)); }
unsigned U16(const Bytes& bytes, std::size_t at) { return U8(bytes, at) | U8(bytes, at + 1) << 8; }

// The configuration cut into its descriptors, with the interface each lies in
// (-1 before the first interface descriptor).
struct Piece {
    int Interface;
    Bytes Raw;
};

std::vector<Piece> Pieces(const Bytes& configuration)
{
    std::vector<Piece> pieces;
    int interface = -1;
    for (std::size_t at = 0; at + 2 <= configuration.size();) {
        const std::size_t length = U8(configuration, at);
        if (length < 2 || at + length > configuration.size()) {
            ADD_FAILURE() << "a descriptor at " << at << " does not fit";
            break;
        }
        Bytes bytes(configuration.begin() + static_cast<std::ptrdiff_t>(at),
                    configuration.begin() + static_cast<std::ptrdiff_t>(at + length));
        if (U8(bytes, 1) == USB_INTERFACE_DESCRIPTOR_TYPE) {
            interface = static_cast<int>(U8(bytes, 2));
        }
        pieces.push_back(Piece{interface, std::move(bytes)});
        at += length;
    }
    return pieces;
}

// One line per descriptor, as a person reading the configuration would list it.
std::vector<std::string> Walk(const Bytes& configuration)
{
    std::vector<std::string> lines;
    for (const Piece& piece : Pieces(configuration)) {
        const Bytes& d = piece.Raw;
        char line[96];
        switch (U8(d, 1)) {
        case USB_CONFIGURATION_DESCRIPTOR_TYPE:
            std::snprintf(line, sizeof(line), "CONFIG interfaces=%u value=%u attributes=%02X power=%u", U8(d, 4),
                          U8(d, 5), U8(d, 7), U8(d, 8));
            break;
        case USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE:
            std::snprintf(line, sizeof(line), "IAD first=%u count=%u class=%02X/%02X/%02X", U8(d, 2), U8(d, 3),
                          U8(d, 4), U8(d, 5), U8(d, 6));
            break;
        case USB_INTERFACE_DESCRIPTOR_TYPE:
            std::snprintf(line, sizeof(line), "IF %u/%u endpoints=%u class=%02X/%02X/%02X", U8(d, 2), U8(d, 3),
                          U8(d, 4), U8(d, 5), U8(d, 6), U8(d, 7));
            break;
        case USB_ENDPOINT_DESCRIPTOR_TYPE:
            std::snprintf(line, sizeof(line), "EP %02X %s %u interval=%u", U8(d, 2),
                          U8(d, 3) == USB_ENDPOINT_TYPE_BULK ? "bulk" : U8(d, 3) == USB_ENDPOINT_TYPE_INTERRUPT ? "interrupt" : "other",
                          U16(d, 4), U8(d, 6));
            break;
        case USB_CS_INTERFACE_DESCRIPTOR_TYPE:
            std::snprintf(line, sizeof(line), "CS %02X", U8(d, 2));
            break;
        default:
            std::snprintf(line, sizeof(line), "type %02X", U8(d, 1));
        }
        lines.push_back(line);
    }
    return lines;
}

// The CS_INTERFACE descriptor of this subtype in the interface.
Bytes Functional(const Bytes& configuration, int interface, UCHAR subtype)
{
    for (const Piece& piece : Pieces(configuration)) {
        if (piece.Interface == interface && U8(piece.Raw, 1) == USB_CS_INTERFACE_DESCRIPTOR_TYPE &&
            piece.Raw.size() > 2 && U8(piece.Raw, 2) == subtype) {
            return piece.Raw;
        }
    }
    return {};
}

// The string a descriptor's index byte names.
std::u16string StringAt(const Profile& profile, const Bytes& descriptor, std::size_t offset)
{
    const auto found = profile.Strings.find(static_cast<UCHAR>(U8(descriptor, offset)));
    return found == profile.Strings.end() ? u"(none)" : found->second;
}

std::vector<Piece> OfType(const Bytes& configuration, UCHAR type)
{
    std::vector<Piece> found;
    for (Piece& piece : Pieces(configuration)) {
        if (U8(piece.Raw, 1) == type) {
            found.push_back(std::move(piece));
        }
    }
    return found;
}

TEST(DefaultHandset, DeviceDescriptor)
{
    const Profile profile = handset::DefaultHandsetProfile();
    EXPECT_EQ(profile.Device, Of({0x12, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 0x40, 0xBC, 0x0A, 0x2E, 0x1D, 0x00, 0x01,
                                  0x01, 0x02, 0x03, 0x01}));
    EXPECT_EQ(StringAt(profile, profile.Device, 14), u"X9TR Devices");
    EXPECT_EQ(StringAt(profile, profile.Device, 15), u"X9TR Handset");
    EXPECT_EQ(StringAt(profile, profile.Device, 16), u"X9TR0001");
    EXPECT_EQ(profile.Speed, platform::usb::Speed::High);
    EXPECT_TRUE(profile.UniqueId);
    EXPECT_EQ(profile.Origin, "default handset");
}

TEST(DefaultHandset, ConfigurationListsTheFunctionsInOrder)
{
    const Profile profile = handset::DefaultHandsetProfile();
    const Bytes& configuration = profile.Configuration;
    ASSERT_GE(configuration.size(), 9u);
    EXPECT_EQ(U16(configuration, 2), configuration.size()); // wTotalLength
    const std::vector<std::string> expected = {
        "CONFIG interfaces=7 value=1 attributes=C0 power=250",
        "IAD first=0 count=2 class=02/02/01",
        "IF 0/0 endpoints=1 class=02/02/01",
        "CS 00", "CS 01", "CS 02", "CS 06",
        "EP 81 interrupt 16 interval=9",
        "IF 1/0 endpoints=2 class=0A/00/00",
        "EP 82 bulk 512 interval=0", "EP 02 bulk 512 interval=0",
        "IF 2/0 endpoints=2 class=02/0A/01",
        "CS 00", "CS 12", "CS 13",
        "EP 83 bulk 512 interval=0", "EP 03 bulk 512 interval=0",
        "IAD first=3 count=2 class=02/0D/00",
        "IF 3/0 endpoints=1 class=02/0D/00",
        "CS 00", "CS 06", "CS 0F", "CS 1A",
        "EP 84 interrupt 16 interval=9",
        "IF 4/0 endpoints=0 class=0A/00/01",
        "IF 4/1 endpoints=2 class=0A/00/01",
        "EP 85 bulk 512 interval=0", "EP 05 bulk 512 interval=0",
        "IF 5/0 endpoints=2 class=FF/FF/FF",
        "EP 86 bulk 512 interval=0", "EP 06 bulk 512 interval=0",
        "IF 6/0 endpoints=2 class=08/06/50",
        "EP 87 bulk 512 interval=0", "EP 07 bulk 512 interval=0",
    };
    EXPECT_EQ(Walk(configuration), expected);
}

TEST(DefaultHandset, FunctionalDescriptorsAndNames)
{
    const Profile profile = handset::DefaultHandsetProfile();
    const Bytes& c = profile.Configuration;
    // CDC ACM: header, call management on data interface 1, ACM, union 0 -> 1.
    EXPECT_EQ(Functional(c, 0, USB_CDC_HEADER_SUBTYPE), Of({0x05, 0x24, 0x00, 0x10, 0x01}));
    EXPECT_EQ(Functional(c, 0, USB_CDC_CALL_MANAGEMENT_SUBTYPE), Of({0x05, 0x24, 0x01, 0x03, 0x01}));
    EXPECT_EQ(Functional(c, 0, USB_CDC_ACM_SUBTYPE), Of({0x04, 0x24, 0x02, 0x06}));
    EXPECT_EQ(Functional(c, 0, USB_CDC_UNION_SUBTYPE), Of({0x05, 0x24, 0x06, 0x00, 0x01}));
    // CDC MDLM: header, the model's GUID, detail; no union of its own.
    EXPECT_EQ(Functional(c, 2, USB_CDC_HEADER_SUBTYPE), Of({0x05, 0x24, 0x00, 0x10, 0x01}));
    EXPECT_EQ(Functional(c, 2, USB_CDC_MDLM_SUBTYPE),
              Of({21, 0x24, 0x12, 0x00, 0x01, 0xC2, 0x29, 0x9F, 0xCC, 0xD4, 0x89, 0x40, 0x66, 0x89, 0x2B, 0x10, 0xC3,
                  0x41, 0xDD, 0x98, 0xA9}));
    EXPECT_EQ(Functional(c, 2, USB_CDC_MDLM_DETAIL_SUBTYPE), Of({0x06, 0x24, 0x13, 0x00, 0x0A, 0x01}));
    EXPECT_TRUE(Functional(c, 2, USB_CDC_UNION_SUBTYPE).empty());
    // CDC NCM: union 3 -> 4, Ethernet networking (MAC string, 1514-byte segments), NCM 1.0.
    EXPECT_EQ(Functional(c, 3, USB_CDC_UNION_SUBTYPE), Of({0x05, 0x24, 0x06, 0x03, 0x04}));
    const Bytes ethernet = Functional(c, 3, USB_CDC_ETHERNET_SUBTYPE);
    ASSERT_EQ(ethernet.size(), 13u);
    EXPECT_EQ(Bytes(ethernet.begin() + 4, ethernet.end()), Of({0, 0, 0, 0, 0xEA, 0x05, 0, 0, 0}));
    EXPECT_EQ(StringAt(profile, ethernet, 3), u"02A0C9000001");
    EXPECT_EQ(Functional(c, 3, USB_CDC_NCM_SUBTYPE), Of({0x06, 0x24, 0x1A, 0x00, 0x01, 0x00}));

    const auto associations = OfType(c, USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE);
    ASSERT_EQ(associations.size(), 2u);
    EXPECT_EQ(StringAt(profile, associations[0].Raw, 7), u"X9TR Modem");
    EXPECT_EQ(StringAt(profile, associations[1].Raw, 7), u"X9TR Network Adapter");
    std::vector<std::u16string> interfaceNames;
    for (const Piece& piece : OfType(c, USB_INTERFACE_DESCRIPTOR_TYPE)) {
        interfaceNames.push_back(U8(piece.Raw, 8) == 0 ? u"" : StringAt(profile, piece.Raw, 8));
    }
    // The NCM control interface is named too: the function is known by it.
    EXPECT_EQ(interfaceNames, (std::vector<std::u16string>{u"", u"", u"X9TR Diagnostic Port", u"X9TR Network Adapter", u"", u"",
                                                           u"X9TR Vendor Interface", u"X9TR Storage"}));
}

// The endpoint lines of a profile made of these functions.
std::vector<std::string> EndpointLines(const std::string& json)
{
    std::vector<std::string> lines;
    for (const std::string& line : Walk(ParseProfile(json, "test").Configuration)) {
        if (line.rfind("EP ", 0) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

TEST(Profile, PacketSizesFollowTheSpeedUnlessGiven)
{
    struct Case {
        const char* Name;
        std::string Json;
        std::vector<std::string> Endpoints;
    } cases[] = {
        {"high speed", R"({"vendor": 1, "product": 2, "speed": "high", "functions": [{"type": "acm"}]})",
         {"EP 81 interrupt 16 interval=9", "EP 82 bulk 512 interval=0", "EP 02 bulk 512 interval=0"}},
        {"full speed", R"({"vendor": 1, "product": 2, "speed": "full", "functions": [{"type": "acm"}]})",
         {"EP 81 interrupt 16 interval=32", "EP 82 bulk 64 interval=0", "EP 02 bulk 64 interval=0"}},
        {"given sizes", R"({"vendor": 1, "product": 2, "speed": "full", "functions": [{"type": "ncm",
            "bulkMaxPacketSize": "0x20", "interruptMaxPacketSize": 8, "interval": 1}]})",
         {"EP 81 interrupt 8 interval=1", "EP 82 bulk 32 interval=0", "EP 02 bulk 32 interval=0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(EndpointLines(c.Json), c.Endpoints);
    }
}

TEST(Profile, FunctionFieldsChangeTheirDescriptors)
{
    const Profile profile = ParseProfile(R"({
        "vendor": "0x1234", "product": "0x5678",
        "functions": [
            {"type": "acm", "iad": false, "string": "Modem", "callManagementCapabilities": 0, "acmCapabilities": "0x02"},
            {"type": "mdlm", "guid": "0x00,0x01,0x02,0x03,0x04,0x05,0x06,0x07,0x08,0x09,0x0a,0x0b,0x0c,0x0d,0x0e,0x0f",
             "detail": ""},
            {"type": "ncm", "iad": false, "macAddress": "02a0c90000ff", "maxSegmentSize": 1500, "ncmCapabilities": 3}
        ]})",
                                         "test");
    const Bytes& c = profile.Configuration;
    EXPECT_TRUE(OfType(c, USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE).empty());
    // With no IAD to carry it, the name goes on the function's first interface.
    EXPECT_EQ(StringAt(profile, OfType(c, USB_INTERFACE_DESCRIPTOR_TYPE)[0].Raw, 8), u"Modem");
    EXPECT_EQ(Functional(c, 0, USB_CDC_CALL_MANAGEMENT_SUBTYPE), Of({0x05, 0x24, 0x01, 0x00, 0x01}));
    EXPECT_EQ(Functional(c, 0, USB_CDC_ACM_SUBTYPE), Of({0x04, 0x24, 0x02, 0x02}));
    EXPECT_EQ(Functional(c, 2, USB_CDC_MDLM_SUBTYPE),
              Of({21, 0x24, 0x12, 0x00, 0x01, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
    EXPECT_TRUE(Functional(c, 2, USB_CDC_MDLM_DETAIL_SUBTYPE).empty());
    const Bytes ethernet = Functional(c, 3, USB_CDC_ETHERNET_SUBTYPE);
    ASSERT_EQ(ethernet.size(), 13u);
    EXPECT_EQ(StringAt(profile, ethernet, 3), u"02A0C90000FF");
    EXPECT_EQ(U16(ethernet, 8), 1500u);
    EXPECT_EQ(Functional(c, 3, USB_CDC_NCM_SUBTYPE), Of({0x06, 0x24, 0x1A, 0x00, 0x01, 0x03}));
    // Interfaces and endpoint numbers still run on across functions.
    EXPECT_EQ(U8(c, 4), 5u);
    EXPECT_EQ(Walk(c).back(), "EP 05 bulk 512 interval=0");
    // No IAD: the interfaces say what the device is.
    EXPECT_EQ(Bytes(profile.Device.begin() + 4, profile.Device.begin() + 7), Of({0, 0, 0}));
}

TEST(Profile, UniqueIdFollowsTheSerialNumberUnlessGiven)
{
    struct Case {
        const char* Name;
        std::string Extra;
        bool UniqueId;
    } cases[] = {
        {"serial number", R"("strings": {"serialNumber": "A1"})", true},
        {"no serial number", R"("strings": {"product": "P"})", false},
        {"said so", R"("strings": {"serialNumber": "A1"}, "uniqueId": false)", false},
        {"said so without one", R"("uniqueId": true)", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const Profile profile =
            ParseProfile(R"({"vendor": 1, "product": 2, "functions": [], )" + c.Extra + "}", "test");
        EXPECT_EQ(profile.UniqueId, c.UniqueId);
    }
}

// A configuration whose wTotalLength claims 0xFFFF for 25 bytes, one vendor
// interface named by string 4.
constexpr const char* kLyingConfiguration =
    "09 02 FF FF 01 01 00 80 32  09 04 00 00 01 FF 00 00 04  07 05 81 02 40 00 00";

TEST(Profile, RawConfigurationIsServedAsGiven)
{
    const Profile profile = ParseProfile(std::string(R"({"vendor": "0x1234", "product": "0x5678", "speed": "full",
        "strings": {"manufacturer": "Maker", "4": "Raw Interface"}, "configuration": ")") +
                                             kLyingConfiguration + R"("})",
                                         "raw.json");
    ASSERT_EQ(profile.Configuration.size(), 25u);
    EXPECT_EQ(U16(profile.Configuration, 2), 0xFFFFu);
    EXPECT_EQ(U16(profile.Device, 8), 0x1234u);
    EXPECT_EQ(StringAt(profile, profile.Device, 14), u"Maker");
    EXPECT_EQ(U8(profile.Device, 15), 0u);
    EXPECT_EQ(profile.Strings.at(4), u"Raw Interface");
    EXPECT_EQ(profile.Speed, platform::usb::Speed::Full);

    const Profile withDevice = ParseProfile(std::string(R"({"device": "12 01 00 02 00 00 00 40 34 12 78 56 00 01 00 05 00 01",
        "strings": {"product": "Named by the device"}, "configuration": ")") +
                                                kLyingConfiguration + R"("})",
                                            "raw.json");
    EXPECT_EQ(withDevice.Device.size(), 18u);
    EXPECT_EQ(withDevice.Strings.at(5), u"Named by the device");
    EXPECT_FALSE(withDevice.UniqueId);
}

TEST(Profile, MalformedProfilesAreRefusedWithTheFault)
{
    const std::string functions = R"("vendor": 1, "product": 2, "functions": )";
    const std::string raw = R"("configuration": "09 02 09 00 00 01 00 80 32")";
    std::string sixteen;
    for (int i = 0; i < 16; ++i) {
        sixteen += std::string(i ? ", " : "") + R"({"type": "vendor"})";
    }
    struct Case {
        const char* Name;
        std::string Json;
        std::string Fault;
    } cases[] = {
        {"not JSON", "{", "not valid JSON"},
        {"not an object", "[]", "a handset profile is a JSON object"},
        {"unknown key", R"({"vendr": 1})", "unknown key \"vendr\""},
        {"vendor too large", R"({"vendor": 65536, "product": 2, "functions": []})",
         "\"vendor\" must be a number from 0 to 0xffff"},
        {"vendor negative", R"({"vendor": -1, "product": 2, "functions": []})", "\"vendor\" must be a number"},
        {"vendor a fraction", R"({"vendor": 1.5, "product": 2, "functions": []})", "\"vendor\" must be a number"},
        {"vendor decimal text", R"({"vendor": "123", "product": 2, "functions": []})", "\"vendor\" must be a number"},
        {"vendor bare prefix", R"({"vendor": "0x", "product": 2, "functions": []})", "\"vendor\" must be a number"},
        {"vendor not hex", R"({"vendor": "0xg1", "product": 2, "functions": []})", "\"vendor\" must be a number"},
        {"product missing", R"({"vendor": 1, "functions": []})", "needs \"product\""},
        {"byte field too large", "{" + functions + R"([], "maxPower": 256})", "\"maxPower\" must be a number from 0 to 0xff"},
        {"speed", "{" + functions + R"([], "speed": "super"})", "\"speed\" must be \"full\" or \"high\""},
        {"device class of two", "{" + functions + R"([], "deviceClass": [1, 2]})",
         "\"deviceClass\" must be a list of three numbers"},
        {"device class out of range", "{" + functions + R"([], "deviceClass": [1, 2, 256]})",
         "\"deviceClass\" must be a list of three numbers"},
        {"uniqueId", "{" + functions + R"([], "uniqueId": "yes"})", "\"uniqueId\" must be true or false"},
        {"no configuration", R"({"vendor": 1, "product": 2})", "needs \"functions\" or a raw \"configuration\""},
        {"both configurations", "{" + functions + "[], " + raw + "}", "give either \"functions\" or a raw"},
        {"device alone", R"({"device": "12 01", "functions": []})", "a raw \"device\" goes with a raw \"configuration\""},
        {"device too short", "{" + raw + R"(, "device": "12 01 00 02 00 00 00 40 34 12 78 56 00 01 00 00 00"})",
         "\"device\" must be the 18 bytes of a device descriptor, not 17"},
        {"device and vendor", "{" + raw + R"(, "vendor": 1, "device": "12 01 00 02 00 00 00 40 34 12 78 56 00 01 00 00 00 01"})",
         "\"vendor\" cannot go with a raw \"device\""},
        {"raw configuration and maxPower", R"({"vendor": 1, "product": 2, "maxPower": 1, )" + raw + "}",
         "\"maxPower\" goes with \"functions\""},
        {"configuration not hex", R"({"vendor": 1, "product": 2, "configuration": "09 zz"})",
         "\"configuration\" is not hex bytes: \"zz\" at line 1 is not hex"},
        {"configuration odd digits", R"({"vendor": 1, "product": 2, "configuration": "090"})",
         "\"090\" at line 1 has an odd number of hex digits"},
        {"configuration wide byte", R"({"vendor": 1, "product": 2, "configuration": "0x0902"})",
         "\"0x0902\" at line 1 is more than one byte"},
        {"configuration not text", R"({"vendor": 1, "product": 2, "configuration": 9})",
         "\"configuration\" must be a string"},
        {"functions not a list", "{" + functions + "{}}", "\"functions\" must be a list"},
        {"function not an object", "{" + functions + "[1]}", "functions[0]: a function is an object with a \"type\""},
        {"function type unknown", "{" + functions + R"([{"type": "acm"}, {"type": "hid"}]})",
         "functions[1]: \"type\" must be one of acm, mdlm, ncm, vendor, msc"},
        {"function type missing", "{" + functions + R"([{"iad": true}]})", "functions[0]: \"type\" must be one of"},
        {"field of another function", "{" + functions + R"([{"type": "mdlm", "macAddress": "02A0C9000001"}]})",
         "functions[0] (mdlm): unknown key \"macAddress\""},
        {"iad not a bool", "{" + functions + R"([{"type": "acm", "iad": "yes"}]})",
         "functions[0] (acm): \"iad\" must be true or false"},
        {"name not text", "{" + functions + R"([{"type": "msc", "string": 5}]})",
         "functions[0] (msc): \"string\" must be a string"},
        {"mac address with colons", "{" + functions + R"([{"type": "ncm", "macAddress": "02:A0:C9:00:00:01"}]})",
         "functions[0] (ncm): \"macAddress\" must be 12 hex digits"},
        {"mac address short", "{" + functions + R"([{"type": "ncm", "macAddress": "02A0C90000"}]})",
         "\"macAddress\" must be 12 hex digits"},
        {"guid short", "{" + functions + R"([{"type": "mdlm", "guid": "00 01 02"}]})", "\"guid\" must be 16 hex bytes"},
        {"detail too long", "{" + functions + R"([{"type": "mdlm", "detail": ")" + std::string(2 * 253, 'a') + R"("}]})",
         "\"detail\" must be at most 252 bytes"},
        {"zero packet size", "{" + functions + R"([{"type": "vendor", "bulkMaxPacketSize": 0}]})",
         "\"bulkMaxPacketSize\" must be a number from 1 to 0x7ff"},
        {"too many endpoints", "{" + functions + "[" + sixteen + "]}", "more than the 15 endpoint numbers"},
        {"strings not an object", "{" + functions + R"([], "strings": ["a"]})", "\"strings\" must be an object"},
        {"string not text", "{" + functions + R"([], "strings": {"product": 5}})",
         "\"strings\".\"product\" must be a string"},
        {"string name unknown", "{" + functions + R"([], "strings": {"serial": "1"}})",
         "\"serial\" is not manufacturer, product, serialNumber or a string index"},
        {"numbered string with functions", "{" + functions + R"([], "strings": {"4": "x"}})",
         "numbered strings go with a raw \"configuration\""},
        {"string 0", R"({"vendor": 1, "product": 2, "strings": {"0": "x"}, )" + raw + "}",
         "a string index is from 1 to 255"},
        {"string given twice", R"({"vendor": 1, "product": 2, "strings": {"manufacturer": "a", "1": "b"}, )" + raw + "}",
         "string 1 is given twice"},
        {"raw device without the index",
         "{" + raw + R"(, "strings": {"serialNumber": "S"}, "device": "12 01 00 02 00 00 00 40 34 12 78 56 00 01 01 02 00 01"})",
         "\"strings\".\"serialNumber\": the raw \"device\" has no index for it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        try {
            ParseProfile(c.Json, "handset.json");
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& error) {
            const std::string message = error.what();
            EXPECT_EQ(message.rfind("handset.json: ", 0), 0u) << message;
            EXPECT_NE(message.find(c.Fault), std::string::npos) << message;
        }
    }
}

TEST(Profile, FilesAreNamedInTheirFaults)
{
    x9tr::test::TempFile file(".json");
    file.Write(std::string(R"({"vendor": 1, "product": 2, "functions": [{"type": "vendor"}]})"));
    const Profile loaded = handset::LoadProfile(file.Path());
    EXPECT_EQ(loaded.Origin, file.Path());
    EXPECT_EQ(handset::LoadHandsetFile(file.Path()).Configuration, loaded.Configuration);

    file.Write(std::string(R"({"vendor": "0x10000", "product": 2, "functions": []})"));
    for (auto load : {handset::LoadProfile, handset::LoadHandsetFile}) {
        try {
            load(file.Path());
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), file.Path() + ": \"vendor\" must be a number from 0 to 0xffff");
        }
    }
    try {
        handset::LoadProfile(file.Path() + ".missing");
        ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind(file.Path() + ".missing: cannot be read", 0), 0u) << error.what();
    }
}

} // namespace
