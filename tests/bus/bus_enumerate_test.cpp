// The bus driver on handsets made of hand-written descriptors: which devices
// start, which functions become children and what each child's descriptors
// hold, and how malformed configurations fail.
#include "base/bus/bus_driver.h"
#include "tests/support/descriptors.h"
#include "platform/wdf/device.h"
#include "tools/machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

using platform::pnp::DeviceNode;
using x9tr::test::ConfigBuilder;
using x9tr::test::DeviceDescriptor;

std::vector<uint8_t> U8(const std::vector<std::byte>& bytes)
{
    std::vector<uint8_t> out;
    for (std::byte b : bytes) {
        out.push_back(std::to_integer<uint8_t>(b));
    }
    return out;
}

class BusTest : public testing::Test {
protected:
    handset::Profile Profile(std::vector<std::byte> device, std::vector<std::byte> configuration, bool unique = true)
    {
        handset::Profile profile;
        profile.Origin = "test";
        profile.Device = std::move(device);
        profile.Configuration = std::move(configuration);
        profile.Strings = {{1, u"X9TR Devices"}, {2, u"X9TR Handset"}, {3, u"ABC123"}, {4, u"Modem"},
                           {5, u"Diagnostic"},   {6, u"Network"},      {7, u"Vendor"}, {8, u"Storage"}};
        profile.UniqueId = unique;
        return profile;
    }

    DeviceNode* Plug(handset::Profile profile)
    {
        DeviceNode* node = machine->Plug(std::make_unique<handset::Handset>(std::move(profile)));
        machine->Settle();
        return node;
    }

    x9trbus::CHILD_IDENTIFICATION_DESCRIPTION Description(const DeviceNode& child)
    {
        x9trbus::CHILD_IDENTIFICATION_DESCRIPTION description{};
        description.Header.IdentificationDescriptionSize = sizeof(description);
        EXPECT_EQ(WdfPdoRetrieveIdentificationDescription(child.PdoDevice, &description.Header), STATUS_SUCCESS);
        return description;
    }

    std::unique_ptr<x9tr::Machine> machine = std::make_unique<x9tr::Machine>();
};

std::vector<uint8_t> Body(const ConfigBuilder& builder)
{
    const auto bytes = U8(builder.Bytes());
    return std::vector<uint8_t>(bytes.begin() + 9, bytes.end());
}

// An ACM modem: interfaces First and First + 1, in an IAD or not.
std::vector<uint8_t> AcmBlock(uint8_t first = 0, uint8_t protocol = 0x01, bool iad = true)
{
    ConfigBuilder block;
    if (iad) {
        block.Iad(first, 2, 0x02, 0x02, protocol, 4);
    }
    block.Interface(first, 0, 1, 0x02, 0x02, protocol)
        .CdcHeader()
        .Raw({5, 0x24, 0x01, 0x03, static_cast<uint8_t>(first + 1)})
        .Raw({4, 0x24, 0x02, 0x06})
        .CdcUnion(first, {static_cast<uint8_t>(first + 1)})
        .Endpoint(0x81, 0x03, 16, 9)
        .Interface(static_cast<uint8_t>(first + 1), 0, 2, 0x0A, 0x00, 0x00)
        .Endpoint(0x82, 0x02)
        .Endpoint(0x02, 0x02);
    return Body(block);
}

TEST_F(BusTest, DeviceClassTripleDecidesTheStart)
{
    struct Case {
        uint8_t Class, SubClass, Protocol;
        NTSTATUS Status;
    };
    const Case cases[] = {
        {0x00, 0x00, 0x00, STATUS_SUCCESS},      {0xEF, 0x02, 0x01, STATUS_SUCCESS},
        {0x02, 0x00, 0x00, STATUS_SUCCESS},      {0x02, 0x7F, 0xFF, STATUS_SUCCESS},
        {0x00, 0x00, 0x01, STATUS_UNSUCCESSFUL}, {0x00, 0x01, 0x00, STATUS_UNSUCCESSFUL},
        {0xEF, 0x02, 0x02, STATUS_UNSUCCESSFUL}, {0xFF, 0x00, 0x00, STATUS_UNSUCCESSFUL},
        {0x08, 0x06, 0x50, STATUS_UNSUCCESSFUL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int(c.Class) << "/" << int(c.SubClass) << "/" << int(c.Protocol));
        machine.reset();
        machine = std::make_unique<x9tr::Machine>();
        DeviceNode* node = Plug(Profile(DeviceDescriptor(c.Class, c.SubClass, c.Protocol), ConfigBuilder().Raw(AcmBlock()).Bytes()));
        EXPECT_EQ(node->StartStatus, c.Status) << NtStatusName(node->StartStatus);
        EXPECT_EQ(node->Children.size(), NT_SUCCESS(c.Status) ? 1u : 0u);
        EXPECT_EQ(node->Fdo != nullptr, NT_SUCCESS(c.Status));
    }
}

TEST_F(BusTest, SerialNumberOfNoCharactersStopsTheStart)
{
    handset::Profile profile = Profile(DeviceDescriptor(0xEF, 0x02, 0x01), ConfigBuilder().Raw(AcmBlock()).Bytes());
    profile.Strings[3] = u"";
    DeviceNode* node = Plug(std::move(profile));
    EXPECT_EQ(node->StartStatus, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(node->Children.empty());
}

TEST_F(BusTest, CompositeConfigurationGivesOneChildPerFunctionInOrder)
{
    ConfigBuilder mdlm;
    mdlm.Interface(2, 0, 0, 0x02, 0x0A, 0x01, 5)
        .CdcHeader()
        .Raw({21, 0x24, 0x12, 0x00, 0x01, 0xC2, 0x29, 0x9F, 0xCC, 0xD4, 0x89, 0x40, 0x66, 0x89, 0x2B, 0x10, 0xC3, 0x41,
              0xDD, 0x98, 0xA9})
        .CdcUnion(2, {3})
        .Interface(3, 0, 2, 0x0A, 0x00, 0x00)
        .Endpoint(0x83, 0x02)
        .Endpoint(0x03, 0x02);
    ConfigBuilder ncmIad;
    ncmIad.Iad(4, 2, 0x02, 0x0D, 0x00, 6);
    ConfigBuilder ncm;
    ncm.Interface(4, 0, 1, 0x02, 0x0D, 0x00, 6)
        .CdcHeader()
        .CdcUnion(4, {5})
        .Endpoint(0x84, 0x03, 16, 9)
        .Interface(5, 0, 0, 0x0A, 0x00, 0x01)
        .Interface(5, 1, 2, 0x0A, 0x00, 0x01)
        .Endpoint(0x85, 0x02)
        .Endpoint(0x05, 0x02);
    ConfigBuilder vendor;
    vendor.Interface(6, 0, 2, 0xFF, 0xFF, 0xFF, 7).Endpoint(0x86, 0x02).Endpoint(0x06, 0x02);
    ConfigBuilder storage;
    storage.Interface(7, 0, 2, 0x08, 0x06, 0x50, 8).Endpoint(0x87, 0x02).Endpoint(0x07, 0x02);

    const std::vector<uint8_t> blocks[] = {AcmBlock(), Body(mdlm), Body(ncm), Body(vendor), Body(storage)};
    ConfigBuilder whole;
    whole.Raw(blocks[0]).Raw(blocks[1]).Raw(Body(ncmIad)).Raw(blocks[2]).Raw(blocks[3]).Raw(blocks[4]);
    const auto parentConfiguration = U8(whole.Bytes(8));
    DeviceNode* node = Plug(Profile(DeviceDescriptor(0xEF, 0x02, 0x01), whole.Bytes(8)));
    ASSERT_EQ(node->StartStatus, STATUS_SUCCESS);
    ASSERT_EQ(node->Children.size(), 5u);

    struct Expected {
        uint8_t Class, SubClass, Protocol, Interface, NumInterfaces;
        const char16_t* Name;
    };
    const Expected expected[] = {{0x02, 0x02, 0x01, 0, 2, u"Modem"},   {0x02, 0x0A, 0x01, 2, 2, u"Diagnostic"},
                                 {0x02, 0x0D, 0x00, 4, 2, u"Network"}, {0xFF, 0xFF, 0xFF, 6, 1, u"Vendor"},
                                 {0x08, 0x06, 0x50, 7, 1, u"Storage"}};
    for (std::size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        const auto description = Description(*node->Children[i]);
        EXPECT_EQ(description.Class, expected[i].Class);
        EXPECT_EQ(description.SubClass, expected[i].SubClass);
        EXPECT_EQ(description.Protocol, expected[i].Protocol);
        EXPECT_EQ(description.InterfaceNumber, expected[i].Interface);
        EXPECT_FALSE(description.Disabled);
        EXPECT_EQ(platform::View(description.FunctionDescription), expected[i].Name);

        // The function's configuration: the parent's header with its own
        // length and interface count, then its block unchanged.
        const std::size_t length = description.ConfigurationDescriptorLength;
        const std::vector<uint8_t> function(description.ConfigurationDescriptor, description.ConfigurationDescriptor + length);
        ASSERT_EQ(length, blocks[i].size() + 9);
        EXPECT_EQ(function[0], 9);
        EXPECT_EQ(function[1], 0x02);
        EXPECT_EQ(function[2] | function[3] << 8, static_cast<int>(length));
        EXPECT_EQ(function[4], expected[i].NumInterfaces);
        EXPECT_EQ(function[5], parentConfiguration[5]); // bConfigurationValue
        EXPECT_EQ(function[7], parentConfiguration[7]); // bmAttributes
        EXPECT_EQ(function[8], parentConfiguration[8]); // MaxPower
        EXPECT_EQ(std::vector<uint8_t>(function.begin() + 9, function.end()), blocks[i]);

        // The function's device descriptor: the parent's with the function's class.
        const auto* device = reinterpret_cast<const USB_DEVICE_DESCRIPTOR*>(description.DeviceDescriptor);
        EXPECT_EQ(device->bDeviceClass, expected[i].Class);
        EXPECT_EQ(device->bDeviceSubClass, expected[i].SubClass);
        EXPECT_EQ(device->bDeviceProtocol, expected[i].Protocol);
        EXPECT_EQ(device->bNumConfigurations, 1);
        EXPECT_EQ(device->idVendor, 0x0abc);
    }
}

TEST_F(BusTest, InterfacesThatAreNoFunctionOfOurs)
{
    struct Case {
        const char* Name;
        ConfigBuilder Config;
    };
    std::vector<Case> cases;
    cases.push_back({"ACM protocol 0x00", ConfigBuilder().Raw(AcmBlock(0, 0x00, false))});
    cases.push_back({"ACM protocol 0xFF", ConfigBuilder().Raw(AcmBlock(0, 0xFF, false))});
    cases.push_back({"ECM", ConfigBuilder().Interface(0, 0, 1, 0x02, 0x06, 0x00).CdcHeader().Endpoint(0x81, 0x03, 16, 9)});
    cases.push_back({"HID", ConfigBuilder().Interface(0, 0, 1, 0x03, 0x01, 0x01).Endpoint(0x81, 0x03, 8, 10)});
    cases.push_back({"CDC data alone", ConfigBuilder().Interface(0, 0, 2, 0x0A, 0x00, 0x00).Endpoint(0x81, 0x02).Endpoint(0x01, 0x02)});
    cases.push_back({"no interfaces", ConfigBuilder()});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        machine.reset();
        machine = std::make_unique<x9tr::Machine>();
        DeviceNode* node = Plug(Profile(DeviceDescriptor(0x00, 0x00, 0x00), c.Config.Bytes()));
        EXPECT_EQ(node->StartStatus, STATUS_SUCCESS);
        EXPECT_TRUE(node->Children.empty());
    }
}

TEST_F(BusTest, MalformedConfigurationsFailTheWholeEnumeration)
{
    const std::vector<uint8_t> acm = AcmBlock();
    struct Case {
        const char* Name;
        std::vector<std::byte> Config;
    };
    auto withTail = [&](std::vector<uint8_t> tail) {
        ConfigBuilder builder;
        builder.Raw(acm).Raw(tail);
        return builder.Bytes(3);
    };
    const Case cases[] = {
        {"zero-length descriptor inside a function",
         ConfigBuilder().Interface(0, 0, 1, 0xFF, 0, 0).Raw({0, 0x05, 0x81, 0x02, 0, 2, 0}).Bytes()},
        {"descriptor running past the end", withTail({9, 0x04, 2, 0, 0, 0xFF, 0, 0, 0, 7, 0x05, 0x81})},
        {"second interface of an IAD wrongly numbered",
         ConfigBuilder().Iad(0, 2, 0x02, 0x02, 0x01).Interface(0, 0, 0, 0x02, 0x02, 0x01).Interface(2, 0, 0, 0x0A, 0, 0).Bytes()},
        {"IAD with an interface missing", ConfigBuilder().Iad(0, 3, 0x02, 0x02, 0x01).Interface(0, 0, 0, 0x02, 0x02, 0x01).Interface(1, 0, 0, 0x0A, 0, 0).Bytes()},
        {"IAD whose interface has an alternate setting",
         ConfigBuilder().Iad(0, 2, 0xFF, 0, 0).Interface(0, 0, 0, 0xFF, 0, 0).Interface(0, 1, 0, 0xFF, 0, 0).Interface(1, 0, 0, 0xFF, 0, 0).Bytes()},
        {"zero-length IAD", ConfigBuilder().Raw({0, 0x0B}).Interface(0, 0, 0, 0xFF, 0, 0).Bytes()},
        {"IAD too short for its fields", ConfigBuilder().Raw({4, 0x0B, 0, 1}).Interface(0, 0, 0, 0xFF, 0, 0).Bytes()},
        {"interface too short for its fields", ConfigBuilder().Raw({5, 0x04, 0, 0, 0}).Bytes()},
        {"zero-length descriptor before the first function", ConfigBuilder().Raw({0, 0x24}).Interface(0, 0, 0, 0xFF, 0, 0).Bytes()},
        {"NCM IAD followed by no interface", ConfigBuilder().Raw({8, 0x0B, 1, 2, 0x02, 0x0D, 0, 0}).CdcHeader().Interface(1, 0, 0, 0x02, 0x0D, 0).Bytes()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        machine.reset();
        machine = std::make_unique<x9tr::Machine>();
        DeviceNode* node = Plug(Profile(DeviceDescriptor(0x00, 0x00, 0x00), c.Config));
        EXPECT_EQ(node->StartStatus, STATUS_DEVICE_ENUMERATION_ERROR) << NtStatusName(node->StartStatus);
        EXPECT_TRUE(node->Children.empty());
    }
}

TEST_F(BusTest, ConfigurationShorterThanItsTotalLength)
{
    auto config = ConfigBuilder().Raw(AcmBlock()).Bytes();
    config.resize(config.size() - 7); // the device answers less than wTotalLength says
    DeviceNode* node = Plug(Profile(DeviceDescriptor(0xEF, 0x02, 0x01), config));
    EXPECT_EQ(node->StartStatus, STATUS_DEVICE_ENUMERATION_ERROR);
}

TEST_F(BusTest, DisableSwitchInTheParentsSoftwareKey)
{
    for (ULONG value : {1u, 0u}) {
        SCOPED_TRACE(value);
        machine.reset();
        machine = std::make_unique<x9tr::Machine>();
        // The parent's software key as an earlier run of the machine left it.
        const std::u16string software =
            platform::wdf::SoftwareKeyPathFor(u"{36fc9e60-c465-11cf-8056-444553540000}", 7);
        auto& registry = machine->World().Registry();
        const std::u16string enumKey = std::u16string(platform::kEnumKey) + u"\\USB\\VID_0ABC&PID_1D2E\\ABC123";
        registry.OpenKey(enumKey, true);
        registry.SetValue(enumKey, u"Driver",
                          platform::RegistryValue::String(u"{36fc9e60-c465-11cf-8056-444553540000}\\0007"));
        registry.OpenKey(software, true);
        registry.SetValue(software, u"DisableIf_03", platform::RegistryValue::Dword(value));
        ConfigBuilder config;
        config.Raw(AcmBlock(0)).Interface(3, 0, 0, 0xFF, 0, 0).Interface(4, 0, 0, 0x08, 0x06, 0x50);
        DeviceNode* node = Plug(Profile(DeviceDescriptor(0x00, 0x00, 0x00), config.Bytes()));
        ASSERT_EQ(node->StartStatus, STATUS_SUCCESS);
        EXPECT_EQ(node->SoftwareKeyPath, software);
        std::vector<std::u16string> instances;
        for (const auto& child : node->Children) {
            instances.push_back(child->InstanceId);
        }
        // The other children keep their instance IDs.
        const std::vector<std::u16string> expected =
            value != 0 ? std::vector<std::u16string>{u"ABC123_00", u"ABC123_04"}
                       : std::vector<std::u16string>{u"ABC123_00", u"ABC123_03", u"ABC123_04"};
        EXPECT_EQ(instances, expected);
    }
}

} // namespace

namespace {

TEST_F(BusTest, NoTwoChildrenWithTheSameInterfaceNumber)
{
    struct Case {
        const char* Name;
        ConfigBuilder Config;
        std::size_t Children;
    };
    std::vector<Case> cases;
    cases.push_back({"vendor interface with a second setting",
                     ConfigBuilder().Interface(3, 0, 0, 0xFF, 0, 0).Interface(3, 1, 0, 0xFF, 0, 0), 1});
    cases.push_back({"two interfaces numbered alike",
                     ConfigBuilder().Interface(3, 0, 0, 0xFF, 0, 0).Interface(3, 0, 0, 0x08, 0x06, 0x50), 1});
    cases.push_back({"CDC control interface with a second setting",
                     ConfigBuilder().Interface(2, 0, 0, 0x02, 0x0A, 0x01).CdcHeader().Interface(2, 1, 0, 0x02, 0x0A, 0x01), 1});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        machine.reset();
        machine = std::make_unique<x9tr::Machine>();
        DeviceNode* node = Plug(Profile(DeviceDescriptor(0x00, 0x00, 0x00), c.Config.Bytes(1)));
        EXPECT_EQ(node->StartStatus, STATUS_SUCCESS);
        EXPECT_EQ(node->Children.size(), c.Children);
    }
}

TEST_F(BusTest, SerialNumbersThatCannotNameAnInstance)
{
    struct Case {
        const char16_t* Serial;
        uint8_t SerialIndex;
        NTSTATUS Status;
        const char16_t* InstanceId;
    };
    const Case cases[] = {
        {u"ABC123", 3, STATUS_SUCCESS, u"ABC123_00"},
        {u"A\\B C", 3, STATUS_SUCCESS, u"00"},   // no unique ID: the interface alone
        {u"ABC123", 0, STATUS_UNSUCCESSFUL, nullptr}, // no serial number string
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(platform::Utf16ToUtf8(c.Serial));
        machine.reset();
        machine = std::make_unique<x9tr::Machine>();
        handset::Profile profile =
            Profile(DeviceDescriptor(0xEF, 0x02, 0x01, 0x0abc, 0x1d2e, 0x0100, c.SerialIndex), ConfigBuilder().Raw(AcmBlock()).Bytes());
        profile.Strings[3] = c.Serial;
        DeviceNode* node = Plug(std::move(profile));
        EXPECT_EQ(node->StartStatus, c.Status);
        if (c.InstanceId != nullptr) {
            ASSERT_EQ(node->Children.size(), 1u);
            EXPECT_EQ(node->Children[0]->InstanceId, c.InstanceId);
        }
    }
}

} // namespace
