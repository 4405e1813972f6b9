// Which ACM interfaces the modem port accepts: the functional descriptors'
// capabilities, the union's subordinates, the interrupt endpoint and the
// data interface's bulk pair, over configurations written byte by byte.
#include "base/mdm/src/mdm.h"
#include "tests/support/descriptors.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using x9tr::test::ConfigBuilder;

struct Acm {
    uint8_t CallCapabilities = 0x03;
    uint8_t DataInterface = 1;
    uint8_t AcmCapabilities = 0x02;
    std::optional<std::vector<uint8_t>> Union = std::vector<uint8_t>{1};
    bool InterruptEndpoint = true;
    uint8_t DataNumber = 1;
    uint8_t DataAlternate = 0;
    int BulkEndpoints = 2;
    uint8_t Protocol = 0x01;
};

ConfigBuilder& AddAcm(ConfigBuilder& builder, uint8_t number, const Acm& acm)
{
    builder.Interface(number, 0, acm.InterruptEndpoint ? 1 : 0, 0x02, 0x02, acm.Protocol).CdcHeader();
    builder.Raw({5, 0x24, 0x01, acm.CallCapabilities, acm.DataInterface});
    builder.Raw({4, 0x24, 0x02, acm.AcmCapabilities});
    if (acm.Union) {
        std::vector<uint8_t> bytes{static_cast<uint8_t>(4 + acm.Union->size()), 0x24, 0x06, number};
        bytes.insert(bytes.end(), acm.Union->begin(), acm.Union->end());
        builder.Raw(bytes);
    }
    if (acm.InterruptEndpoint) {
        builder.Endpoint(static_cast<uint8_t>(0x81 + number), 0x03, 16, 8);
    }
    builder.Interface(acm.DataNumber, acm.DataAlternate, static_cast<uint8_t>(acm.BulkEndpoints), 0x0A, 0, 0);
    for (int i = 0; i < acm.BulkEndpoints; ++i) {
        builder.Endpoint(static_cast<uint8_t>(i == 0 ? 0x82 + number : 0x02 + number), 0x02, 64);
    }
    return builder;
}

struct Found {
    bool Accepted;
    PUSB_INTERFACE_DESCRIPTOR Comm;
    PUSB_INTERFACE_DESCRIPTOR Data;
    bool SendBreak;
    bool CommFeature;
};

Found Search(std::vector<std::byte>& bytes)
{
    x9trmdm::MDM_USB_PART usb{};
    usb.ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    const bool accepted = x9trmdm::MdmFindCdcAcmInterface(&usb) != FALSE;
    return {accepted, usb.CommInterfaceDescriptor, usb.DataInterfaceDescriptor, usb.AcmSendBreakSupported != FALSE,
            usb.AcmCommFeatureSupported != FALSE};
}

TEST(MdmAcmInterface, AcceptanceRules)
{
    struct Case {
        const char* Name;
        Acm Function;
        bool Accepted;
        bool SendBreak;
    };
    const Case cases[] = {
        {"call management 0x03, ACM 0x02", {}, true, false},
        {"call management 0x01 only", {.CallCapabilities = 0x01}, false, false},
        {"call management 0x02 only", {.CallCapabilities = 0x02}, false, false},
        {"ACM 0x06: break supported", {.AcmCapabilities = 0x06}, true, true},
        {"ACM without line coding and serial state", {.AcmCapabilities = 0x05}, false, true},
        {"union lists other interfaces", {.DataInterface = 5, .Union = std::vector<uint8_t>{3, 4}, .DataNumber = 5},
         false, false},
        {"union without subordinates is ignored", {.Union = std::vector<uint8_t>{}}, true, false},
        {"no union at all", {.Union = std::nullopt}, true, false},
        {"no interrupt endpoint", {.InterruptEndpoint = false}, false, false},
        {"data interface with one bulk endpoint", {.BulkEndpoints = 1}, false, false},
        {"data interface only at alternate setting 1", {.DataAlternate = 1}, false, false},
        {"call management names a missing data interface", {.DataInterface = 7, .Union = std::vector<uint8_t>{7}},
         false, false},
        {"ACM without AT commands is never considered", {.Protocol = 0x00}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ConfigBuilder builder;
        auto bytes = AddAcm(builder, 0, c.Function).Bytes();
        const Found found = Search(bytes);
        EXPECT_EQ(found.Accepted, c.Accepted);
        if (c.Function.Protocol == 0x01) {
            EXPECT_EQ(found.SendBreak, c.SendBreak);
        }
        if (c.Accepted) {
            ASSERT_NE(found.Comm, nullptr);
            ASSERT_NE(found.Data, nullptr);
            EXPECT_EQ(found.Comm->bInterfaceNumber, 0);
            EXPECT_EQ(found.Data->bInterfaceNumber, c.Function.DataNumber);
        }
    }
}

TEST(MdmAcmInterface, SecondInterfaceChosenWhenTheFirstFails)
{
    ConfigBuilder builder;
    AddAcm(builder, 0, {.CallCapabilities = 0x01});
    AddAcm(builder, 2, {.DataInterface = 3, .AcmCapabilities = 0x07, .Union = std::vector<uint8_t>{3}, .DataNumber = 3});
    auto bytes = builder.Bytes();
    const Found found = Search(bytes);
    ASSERT_TRUE(found.Accepted);
    EXPECT_EQ(found.Comm->bInterfaceNumber, 2);
    EXPECT_EQ(found.Data->bInterfaceNumber, 3);
    EXPECT_TRUE(found.CommFeature);
    EXPECT_TRUE(found.SendBreak);
}

TEST(MdmAcmInterface, WalkStaysInsideTheDescriptor)
{
    // A functional descriptor whose length runs past the end of the
    // configuration ends the walk: the ACM descriptor after it is not seen.
    ConfigBuilder builder;
    builder.Interface(0, 0, 1, 0x02, 0x02, 0x01).Raw({5, 0x24, 0x01, 0x03, 0x01});
    builder.Raw({0xF0, 0x24, 0x02, 0x02});
    auto bytes = builder.Bytes();
    EXPECT_FALSE(Search(bytes).Accepted);

    // A zero length ends it too.
    ConfigBuilder zero;
    zero.Interface(0, 0, 1, 0x02, 0x02, 0x01).Raw({5, 0x24, 0x01, 0x03, 0x01}).Raw({0, 0x24, 0x02, 0x02});
    zero.Endpoint(0x81, 0x03, 16).Interface(1, 0, 2, 0x0A, 0, 0).Endpoint(0x82, 2).Endpoint(0x02, 2);
    auto zeroBytes = zero.Bytes();
    EXPECT_FALSE(Search(zeroBytes).Accepted);

    // An interface descriptor given from outside the configuration is refused.
    ConfigBuilder valid;
    auto validBytes = AddAcm(valid, 0, {}).Bytes();
    x9trmdm::MDM_USB_PART usb{};
    usb.ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(validBytes.data());
    USB_INTERFACE_DESCRIPTOR outside{9, 4, 0, 0, 1, 2, 2, 1, 0};
    EXPECT_FALSE(x9trmdm::MdmGetInterfacesCdcAcm(&usb, &outside));
}

} // namespace
