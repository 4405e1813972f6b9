// The simulated handset on the cable: what it answers on the default pipe
// (descriptors, chapter 9 requests, class and vendor requests) and how its
// bulk and interrupt transfers end (packets, halts, failures, abort, unplug).
#include "handset/default_handset.h"
#include "handset/handset.h"
#include "platform/platform.h"
#include "platform/usb/usb100.h"

#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using handset::Handset;
using platform::usb::ControlAnswer;
using platform::usb::TransferAnswer;
using Bytes = std::vector<std::byte>;

constexpr UCHAR kStandardIn = BMREQUEST_DEVICE_TO_HOST;
constexpr UCHAR kStandardOut = BMREQUEST_HOST_TO_DEVICE;
constexpr UCHAR kInterfaceIn = BMREQUEST_DEVICE_TO_HOST | BMREQUEST_TO_INTERFACE;
constexpr UCHAR kInterfaceOut = BMREQUEST_TO_INTERFACE;
constexpr UCHAR kEndpointIn = BMREQUEST_DEVICE_TO_HOST | BMREQUEST_TO_ENDPOINT;
constexpr UCHAR kEndpointOut = BMREQUEST_TO_ENDPOINT;

// The default handset's endpoints.
constexpr UCHAR kModemIn = 0x82;
constexpr UCHAR kModemOut = 0x02;
constexpr UCHAR kNetworkIn = 0x85;
constexpr UCHAR kVendorIn = 0x86;
constexpr UCHAR kNetworkData = 4; // interface whose alternate setting 1 has the bulk pair

Bytes Of(std::initializer_list<int> values)
{
    Bytes bytes;
    for (int v : values) {
        bytes.push_back(static_cast<std::byte>(v));
    }
    return bytes;
}

// Bytes 0, 1, 2, ... so that a slice shows where it came from.
Bytes Counting(std::size_t count, std::size_t from = 0)
{
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::byte>((from + i) & 0xFF);
    }
    return bytes;
}

std::u16string TextOf(const Bytes& descriptor)
{
    std::u16string text;
    for (std::size_t i = 2; i + 1 < descriptor.size(); i += 2) {
        text.push_back(static_cast<char16_t>(std::to_integer<unsigned>(descriptor[i]) |
                                             std::to_integer<unsigned>(descriptor[i + 1]) << 8));
    }
    return text;
}

// Where a transfer's end lands; empty until the dispatcher delivers it.
using Landing = std::shared_ptr<std::optional<TransferAnswer>>;

Landing Submit(Handset& device, UCHAR endpoint, std::size_t inLength, Bytes out = {})
{
    auto landing = std::make_shared<std::optional<TransferAnswer>>();
    device.SubmitTransfer(endpoint, std::move(out), inLength, [landing](TransferAnswer answer) {
        EXPECT_FALSE(landing->has_value()) << "a transfer ended twice";
        *landing = std::move(answer);
    });
    return landing;
}

ControlAnswer Request(Handset& device, UCHAR type, UCHAR request, USHORT value, USHORT index, USHORT length,
                      const Bytes& data = {})
{
    return device.Control(USB_DEFAULT_PIPE_SETUP_PACKET{type, request, value, index, length}, data);
}

ControlAnswer GetDescriptor(Handset& device, UCHAR type, UCHAR index, USHORT length)
{
    return Request(device, kStandardIn, USB_REQUEST_GET_DESCRIPTOR, static_cast<USHORT>(type << 8 | index), 0,
                   length);
}

handset::Profile FullSpeedDefault()
{
    std::string json(handset::DefaultHandsetJson());
    const auto at = json.find("\"high\"");
    json.replace(at, 6, "\"full\"");
    return handset::ParseProfile(json, "full-speed handset");
}

// Given the default handset on a machine of its own.
class HandsetTest : public testing::Test {
protected:
    explicit HandsetTest(handset::Profile profile = handset::DefaultHandsetProfile()) : device(std::move(profile)) {}

    ControlAnswer Request(UCHAR type, UCHAR request, USHORT value, USHORT index, USHORT length,
                          const Bytes& data = {})
    {
        return ::Request(device, type, request, value, index, length, data);
    }
    void Configure() { ASSERT_EQ(Request(kStandardOut, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0).Status, USBD_STATUS_SUCCESS); }
    void Run() { world.Dispatcher().RunUntilIdle(); }

    platform::Platform world;
    Handset device;
};

class FullSpeedHandsetTest : public HandsetTest {
protected:
    FullSpeedHandsetTest() : HandsetTest(FullSpeedDefault()) {}
};

TEST_F(HandsetTest, GetDescriptorAnswersAtMostWLength)
{
    const std::size_t total = device.GetProfile().Configuration.size();
    struct Case {
        const char* Name;
        UCHAR Type;
        UCHAR Index;
        USHORT Length;
        std::size_t Expected;
    } cases[] = {
        {"device, first 8 bytes as at enumeration", USB_DEVICE_DESCRIPTOR_TYPE, 0, 8, 8},
        {"device, more than it has", USB_DEVICE_DESCRIPTOR_TYPE, 0, 255, 18},
        {"device, nothing asked", USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 0},
        {"configuration header", USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9, 9},
        {"configuration cut inside a descriptor", USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 100, 100},
        {"whole configuration", USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0xFFFF, total},
        {"language table", USB_STRING_DESCRIPTOR_TYPE, 0, 255, 4},
        {"string header only", USB_STRING_DESCRIPTOR_TYPE, 2, 2, 2},
        {"string cut in a character", USB_STRING_DESCRIPTOR_TYPE, 2, 5, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const ControlAnswer whole = GetDescriptor(device, c.Type, c.Index, 0xFFFF);
        const ControlAnswer answer = GetDescriptor(device, c.Type, c.Index, c.Length);
        ASSERT_EQ(answer.Status, USBD_STATUS_SUCCESS);
        ASSERT_EQ(answer.Data.size(), c.Expected);
        EXPECT_TRUE(std::equal(answer.Data.begin(), answer.Data.end(), whole.Data.begin()));
    }
}

TEST_F(HandsetTest, StringDescriptorsAreUtf16WithTheirLength)
{
    EXPECT_EQ(GetDescriptor(device, USB_STRING_DESCRIPTOR_TYPE, 0, 255).Data, Of({0x04, 0x03, 0x09, 0x04}));

    struct Case {
        UCHAR Index;
        std::u16string Text;
    } cases[] = {
        {1, u"X9TR Devices"}, {2, u"X9TR Handset"}, {3, u"X9TR0001"},
        // Indexes the profile gives no text for.
        {42, u"String 42"}, {255, u"String 255"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Index);
        const Bytes descriptor = GetDescriptor(device, USB_STRING_DESCRIPTOR_TYPE, c.Index, 255).Data;
        ASSERT_GE(descriptor.size(), 2u);
        EXPECT_EQ(std::to_integer<std::size_t>(descriptor[0]), descriptor.size());
        EXPECT_EQ(std::to_integer<UCHAR>(descriptor[1]), USB_STRING_DESCRIPTOR_TYPE);
        EXPECT_EQ(TextOf(descriptor), c.Text);
    }
}

TEST(HandsetStrings, LongTextIsCutToWholeCharactersWithinOneByteOfLength)
{
    platform::Platform world;
    std::string product(125, 'p');
    product += "\xF0\x9F\x93\xB1"; // one character outside the BMP: a surrogate pair across units 125 and 126
    product += std::string(100, 'q');
    Handset device(handset::ParseProfile(
        R"({"vendor": 1, "product": 2, "strings": {"product": ")" + product + R"("}, "functions": []})", "long"));
    const Bytes descriptor = GetDescriptor(device, USB_STRING_DESCRIPTOR_TYPE, 2, 0xFFFF).Data;
    // 126 units would end in half a pair, so the cut comes before it.
    ASSERT_EQ(descriptor.size(), 2u + 2u * 125u);
    EXPECT_EQ(std::to_integer<std::size_t>(descriptor[0]), descriptor.size());
    EXPECT_EQ(TextOf(descriptor), std::u16string(125, u'p'));
}

TEST_F(HandsetTest, RequestsTheHandsetDoesNotServeStall)
{
    struct Case {
        const char* Name;
        UCHAR Type;
        UCHAR Request;
        USHORT Value;
        USHORT Index;
    } cases[] = {
        {"device qualifier", kStandardIn, USB_REQUEST_GET_DESCRIPTOR, USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE << 8, 0},
        {"other-speed configuration", kStandardIn, USB_REQUEST_GET_DESCRIPTOR,
         USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0},
        {"a second configuration", kStandardIn, USB_REQUEST_GET_DESCRIPTOR, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8 | 1, 0},
        {"GET_DESCRIPTOR of an interface", kInterfaceIn, USB_REQUEST_GET_DESCRIPTOR, 0x2200, 0},
        {"GET_DESCRIPTOR sent host-to-device", kStandardOut, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0},
        {"SET_DESCRIPTOR", kStandardOut, USB_REQUEST_SET_DESCRIPTOR, 0x0100, 0},
        {"SET_ADDRESS past 127", kStandardOut, USB_REQUEST_SET_ADDRESS, 128, 0},
        {"TEST_MODE", kStandardOut, USB_REQUEST_SET_FEATURE, 2, 0x0100},
        {"a feature of an interface", kInterfaceOut, USB_REQUEST_SET_FEATURE, 0, 0},
        {"reserved request type", 0x60, 0x00, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const ControlAnswer answer = Request(c.Type, c.Request, c.Value, c.Index, 64);
        EXPECT_EQ(answer.Status, USBD_STATUS_STALL_PID);
        EXPECT_TRUE(answer.Data.empty());
    }
}

TEST_F(HandsetTest, DeviceStateRequests)
{
    EXPECT_EQ(Request(kStandardOut, USB_REQUEST_SET_ADDRESS, 7, 0, 0).Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(device.Address(), 7);
    // bmAttributes 0xC0: self-powered; remote wake-up follows SET/CLEAR_FEATURE.
    EXPECT_EQ(Request(kStandardIn, USB_REQUEST_GET_STATUS, 0, 0, 2).Data, Of({0x01, 0x00}));
    EXPECT_EQ(Request(kStandardOut, USB_REQUEST_SET_FEATURE, 1, 0, 0).Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(Request(kStandardIn, USB_REQUEST_GET_STATUS, 0, 0, 2).Data, Of({0x03, 0x00}));
    EXPECT_EQ(Request(kStandardOut, USB_REQUEST_CLEAR_FEATURE, 1, 0, 0).Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(Request(kStandardIn, USB_REQUEST_GET_STATUS, 0, 0, 2).Data, Of({0x01, 0x00}));
    EXPECT_EQ(device.DeviceSpeed(), platform::usb::Speed::High);
    EXPECT_TRUE(device.ReportsUniqueId());
}

TEST_F(HandsetTest, SetConfigurationTakesZeroOrTheConfigurationsValue)
{
    struct Case {
        USHORT Value;
        USBD_STATUS Status;
        UCHAR After; // starting from configuration 1
    } cases[] = {
        {1, USBD_STATUS_SUCCESS, 1},
        {0, USBD_STATUS_SUCCESS, 0},
        {2, USBD_STATUS_STALL_PID, 1},
        {0x0101, USBD_STATUS_STALL_PID, 1}, // the high byte is not ignored
        {0xFF, USBD_STATUS_STALL_PID, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Value);
        Configure();
        EXPECT_EQ(Request(kStandardOut, USB_REQUEST_SET_CONFIGURATION, c.Value, 0, 0).Status, c.Status);
        EXPECT_EQ(Request(kStandardIn, USB_REQUEST_GET_CONFIGURATION, 0, 0, 1).Data, Of({c.After}));
        EXPECT_EQ(device.Configuration(), c.After);
    }
}

TEST_F(HandsetTest, SetInterfaceTakesOnlySettingsTheConfigurationHas)
{
    struct Case {
        const char* Name;
        bool Configured;
        USHORT Interface;
        USHORT Alternate;
        USBD_STATUS Status;
        std::optional<int> After; // GET_INTERFACE on the interface afterwards
    } cases[] = {
        {"before SET_CONFIGURATION", false, kNetworkData, 1, USBD_STATUS_STALL_PID, std::nullopt},
        {"the NCM data setting", true, kNetworkData, 1, USBD_STATUS_SUCCESS, 1},
        {"a setting past the last", true, kNetworkData, 2, USBD_STATUS_STALL_PID, 0},
        {"the only setting of the modem", true, 0, 0, USBD_STATUS_SUCCESS, 0},
        {"an interface the handset lacks", true, 7, 0, USBD_STATUS_STALL_PID, std::nullopt},
        {"a number past one byte", true, 0x0100 | kNetworkData, 1, USBD_STATUS_STALL_PID, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Handset fresh(handset::DefaultHandsetProfile());
        if (c.Configured) {
            ASSERT_EQ(::Request(fresh, kStandardOut, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0).Status,
                      USBD_STATUS_SUCCESS);
        }
        EXPECT_EQ(::Request(fresh, kInterfaceOut, USB_REQUEST_SET_INTERFACE, c.Alternate, c.Interface, 0).Status,
                  c.Status);
        const ControlAnswer current = ::Request(fresh, kInterfaceIn, USB_REQUEST_GET_INTERFACE, 0, c.Interface, 1);
        if (c.After) {
            EXPECT_EQ(current.Data, Of({*c.After}));
        } else {
            EXPECT_EQ(current.Status, USBD_STATUS_STALL_PID);
        }
    }
}

TEST_F(HandsetTest, EndpointsWorkOnlyInTheirConfigurationAndSetting)
{
    EXPECT_EQ(Request(kEndpointOut, USB_REQUEST_SET_FEATURE, USB_FEATURE_ENDPOINT_STALL, kModemIn, 0).Status,
              USBD_STATUS_STALL_PID);
    auto early = Submit(device, kModemIn, 512);
    Run();
    ASSERT_TRUE(early->has_value());
    EXPECT_EQ((*early)->Status, USBD_STATUS_STALL_PID);

    Configure();
    auto idle = Submit(device, kNetworkIn, 512); // setting 0 of the data interface has no endpoints
    Run();
    EXPECT_EQ((*idle)->Status, USBD_STATUS_STALL_PID);

    ASSERT_EQ(Request(kInterfaceOut, USB_REQUEST_SET_INTERFACE, 1, kNetworkData, 0).Status, USBD_STATUS_SUCCESS);
    auto waiting = Submit(device, kNetworkIn, 512);
    Run();
    EXPECT_FALSE(waiting->has_value());
    // Back to setting 0: the endpoint goes away and its transfer cannot be left hanging.
    ASSERT_EQ(Request(kInterfaceOut, USB_REQUEST_SET_INTERFACE, 0, kNetworkData, 0).Status, USBD_STATUS_SUCCESS);
    Run();
    ASSERT_TRUE(waiting->has_value());
    EXPECT_EQ((*waiting)->Status, USBD_STATUS_CANCELED);
}

TEST_F(HandsetTest, HaltedEndpointFailsTransfersUntilCleared)
{
    Configure();
    auto endpointStatus = [&] { return Request(kEndpointIn, USB_REQUEST_GET_STATUS, 0, kModemIn, 2).Data; };
    auto pending = Submit(device, kModemIn, 512);
    ASSERT_EQ(Request(kEndpointOut, USB_REQUEST_SET_FEATURE, USB_FEATURE_ENDPOINT_STALL, kModemIn, 0).Status,
              USBD_STATUS_SUCCESS);
    EXPECT_EQ(endpointStatus(), Of({0x01, 0x00}));
    auto whileHalted = Submit(device, kModemIn, 512);
    Run();
    EXPECT_EQ((*pending)->Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ((*whileHalted)->Status, USBD_STATUS_STALL_PID);
    // The other direction of the same number is an endpoint of its own.
    auto out = Submit(device, kModemOut, 0, Of({1, 2}));
    Run();
    EXPECT_EQ((*out)->Status, USBD_STATUS_SUCCESS);

    ASSERT_EQ(Request(kEndpointOut, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, kModemIn, 0).Status,
              USBD_STATUS_SUCCESS);
    EXPECT_EQ(endpointStatus(), Of({0x00, 0x00}));
    auto after = Submit(device, kModemIn, 512);
    device.Feed(kModemIn, Of({0x41}));
    Run();
    EXPECT_EQ((*after)->Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ((*after)->Data, Of({0x41}));

    // A halt the function makes itself lasts until the host clears it, or until it configures again.
    device.Stall(kModemIn);
    EXPECT_TRUE(device.IsHalted(kModemIn));
    Configure();
    EXPECT_FALSE(device.IsHalted(kModemIn));
}

// IN transfers on a bulk endpoint of 64-byte packets, the data fed as
// Counting bytes. Each expected end is a status and a byte count, or none
// when the transfer must still be waiting.
TEST_F(FullSpeedHandsetTest, InTransfersEndOnShortPacketsOrAFullBuffer)
{
    struct Feed {
        std::size_t Bytes;
        std::size_t TransferSize;
    };
    struct End {
        USBD_STATUS Status;
        std::size_t Bytes;
    };
    struct Case {
        const char* Name;
        std::vector<Feed> Feeds;
        std::vector<std::size_t> Reads;
        std::vector<std::optional<End>> Ends;
        std::size_t Lost = 0; // bytes of packets lost to babble, before the last read's data
    } cases[] = {
        {"one short packet ends the transfer early", {{10, 0}}, {4096}, {End{USBD_STATUS_SUCCESS, 10}}},
        {"packets then a short one", {{150, 0}}, {4096}, {End{USBD_STATUS_SUCCESS, 150}}},
        {"device transfers split the data", {{150, 50}}, {4096, 4096, 4096},
         {End{USBD_STATUS_SUCCESS, 50}, End{USBD_STATUS_SUCCESS, 50}, End{USBD_STATUS_SUCCESS, 50}}},
        {"whole packets filling the buffer end it", {{128, 0}}, {128}, {End{USBD_STATUS_SUCCESS, 128}}},
        {"whole packets short of the buffer wait", {{128, 0}}, {256}, {std::nullopt}},
        {"a zero-length packet ends them", {{128, 0}, {0, 0}}, {256}, {End{USBD_STATUS_SUCCESS, 128}}},
        {"whole-packet device transfers run together", {{128, 64}, {10, 0}}, {4096}, {End{USBD_STATUS_SUCCESS, 138}}},
        {"a full buffer leaves the rest for the next", {{200, 0}}, {128, 4096},
         {End{USBD_STATUS_SUCCESS, 128}, End{USBD_STATUS_SUCCESS, 72}}},
        {"a packet larger than the room left babbles", {{100, 0}}, {32, 4096},
         {End{USBD_STATUS_BABBLE_DETECTED, 0}, End{USBD_STATUS_SUCCESS, 36}}, 64},
        {"transfers wait for data", {}, {64}, {std::nullopt}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Handset fresh(FullSpeedDefault());
        ASSERT_EQ(::Request(fresh, kStandardOut, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0).Status, USBD_STATUS_SUCCESS);
        std::vector<Landing> landings;
        for (std::size_t length : c.Reads) {
            landings.push_back(Submit(fresh, kModemIn, length));
        }
        std::size_t fed = 0;
        for (const Feed& feed : c.Feeds) {
            fresh.Feed(kModemIn, Counting(feed.Bytes, fed), feed.TransferSize);
            fed += feed.Bytes;
        }
        Run();
        Bytes received;
        for (std::size_t i = 0; i < landings.size(); ++i) {
            SCOPED_TRACE("read " + std::to_string(i));
            ASSERT_EQ(landings[i]->has_value(), c.Ends[i].has_value());
            if (!c.Ends[i]) {
                continue;
            }
            const TransferAnswer& answer = **landings[i];
            EXPECT_EQ(answer.Status, c.Ends[i]->Status);
            EXPECT_EQ(answer.Data.size(), c.Ends[i]->Bytes);
            EXPECT_EQ(answer.Transferred, answer.Data.size());
            received.insert(received.end(), answer.Data.begin(), answer.Data.end());
        }
        // What arrived is the fed data in order, less what babble lost.
        if (c.Lost == 0) {
            EXPECT_EQ(received, Counting(received.size()));
        } else {
            EXPECT_EQ(received, Counting(received.size(), c.Lost));
        }
        fresh.Disconnect();
        Run();
    }
}

TEST_F(HandsetTest, TransfersEndOnlyFromTheDispatcher)
{
    Configure();
    device.Feed(kModemIn, Of({1, 2, 3}));
    auto read = Submit(device, kModemIn, 512); // its data is there already
    auto write = Submit(device, kModemOut, 0, Of({0x41, 0x54, 0x0D}));
    EXPECT_FALSE(read->has_value());
    EXPECT_FALSE(write->has_value());
    // Taken at once: the bytes are the device's as soon as the host sends them.
    EXPECT_EQ(device.OutBytes(kModemOut), Of({0x41, 0x54, 0x0D}));
    Run();
    ASSERT_TRUE(read->has_value());
    EXPECT_EQ((*read)->Data, Of({1, 2, 3}));
    ASSERT_TRUE(write->has_value());
    EXPECT_EQ((*write)->Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ((*write)->Transferred, 3u);

    Submit(device, kModemOut, 0, Of({0x5A}));
    Run();
    EXPECT_EQ(device.OutTransfers(kModemOut), (std::vector<Bytes>{Of({0x41, 0x54, 0x0D}), Of({0x5A})}));
}

TEST(HandsetOrder, OneEndpointsTransfersEndInOrderUnderAnyShuffle)
{
    for (std::uint64_t shuffle = 1; shuffle <= 16; ++shuffle) {
        SCOPED_TRACE("shuffle " + std::to_string(shuffle));
        platform::Platform world(platform::Platform::Options{shuffle});
        Handset device(handset::DefaultHandsetProfile());
        ASSERT_EQ(Request(device, kStandardOut, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0).Status, USBD_STATUS_SUCCESS);
        std::vector<int> modem;
        std::vector<int> vendor;
        for (int i = 0; i < 8; ++i) {
            for (const auto& target : {std::pair{kModemIn, &modem}, std::pair{kVendorIn, &vendor}}) {
                std::vector<int>* seen = target.second;
                device.SubmitTransfer(target.first, {}, 512, [seen](TransferAnswer answer) {
                    seen->push_back(answer.Data.empty() ? -1 : std::to_integer<int>(answer.Data[0]));
                });
            }
        }
        for (int i = 0; i < 8; ++i) {
            device.Feed(kModemIn, Of({i}));
            device.Feed(kVendorIn, Of({i}));
        }
        world.Dispatcher().RunUntilIdle();
        const std::vector<int> inOrder{0, 1, 2, 3, 4, 5, 6, 7};
        EXPECT_EQ(modem, inOrder);
        EXPECT_EQ(vendor, inOrder);
    }
}

TEST_F(HandsetTest, FailuresOnDemand)
{
    Configure();
    auto pending = Submit(device, kModemIn, 512);
    device.FailNext(kModemIn, USBD_STATUS_CRC, 2);
    Run();
    ASSERT_TRUE(pending->has_value()); // a pending transfer is the next to end
    auto second = Submit(device, kModemIn, 512);
    auto third = Submit(device, kModemIn, 512);
    device.Feed(kModemIn, Of({7}));
    Run();
    EXPECT_EQ((*pending)->Status, USBD_STATUS_CRC);
    EXPECT_EQ((*second)->Status, USBD_STATUS_CRC);
    EXPECT_EQ((*third)->Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ((*third)->Data, Of({7})); // the failures did not eat the data

    device.FailNext(kModemOut, USBD_STATUS_DEV_NOT_RESPONDING);
    auto lost = Submit(device, kModemOut, 0, Of({1}));
    auto taken = Submit(device, kModemOut, 0, Of({2}));
    Run();
    EXPECT_EQ((*lost)->Status, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ((*taken)->Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(device.OutBytes(kModemOut), Of({2}));

    // On endpoint 0 the failures hit control requests, and a stall lasts one request.
    device.FailNext(0, USBD_STATUS_CRC, 1);
    EXPECT_EQ(GetDescriptor(device, USB_DEVICE_DESCRIPTOR_TYPE, 0, 18).Status, USBD_STATUS_CRC);
    device.Stall(0);
    EXPECT_EQ(GetDescriptor(device, USB_DEVICE_DESCRIPTOR_TYPE, 0, 18).Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(GetDescriptor(device, USB_DEVICE_DESCRIPTOR_TYPE, 0, 18).Data.size(), 18u);
}

TEST_F(HandsetTest, AbortEndsOnlyThatEndpointsTransfers)
{
    Configure();
    device.Feed(kModemIn, Counting(512 * 2)); // whole packets: the read takes them and keeps waiting
    auto partly = Submit(device, kModemIn, 4096);
    auto next = Submit(device, kModemIn, 4096);
    auto other = Submit(device, kVendorIn, 512);
    device.AbortTransfers(kModemIn);
    Run();
    EXPECT_EQ((*partly)->Status, USBD_STATUS_CANCELED);
    EXPECT_EQ((*partly)->Data, Counting(512 * 2)); // what had arrived is handed back
    EXPECT_EQ((*next)->Status, USBD_STATUS_CANCELED);
    EXPECT_FALSE(other->has_value());
    EXPECT_EQ(device.PendingTransfers(kVendorIn), 1u);
}

TEST_F(HandsetTest, DisconnectEndsEverythingAndEverythingAfter)
{
    Configure();
    auto modem = Submit(device, kModemIn, 512);
    auto vendor = Submit(device, kVendorIn, 512);
    device.Disconnect();
    device.Feed(kModemIn, Of({1}));
    auto later = Submit(device, kModemOut, 0, Of({1}));
    Run();
    EXPECT_EQ((*modem)->Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ((*vendor)->Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ((*later)->Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_TRUE(device.OutTransfers(kModemOut).empty());
    const ControlAnswer answer = GetDescriptor(device, USB_DEVICE_DESCRIPTOR_TYPE, 0, 18);
    EXPECT_EQ(answer.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_TRUE(answer.Data.empty());
    EXPECT_FALSE(device.IsConnected());
}

TEST_F(HandsetTest, ClassAndVendorRequestsAreLoggedAndAnsweredByHooks)
{
    constexpr UCHAR kClassOut = BMREQUEST_CLASS | BMREQUEST_TO_INTERFACE;
    constexpr UCHAR kClassIn = BMREQUEST_DEVICE_TO_HOST | BMREQUEST_CLASS | BMREQUEST_TO_INTERFACE;
    constexpr UCHAR kVendorInType = BMREQUEST_DEVICE_TO_HOST | BMREQUEST_VENDOR;
    const Bytes lineCoding = Of({0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08}); // 115200 8N1

    // No hook: success with no data.
    EXPECT_EQ(Request(kClassOut, 0x20, 0, 0, 7, lineCoding).Status, USBD_STATUS_SUCCESS);
    const ControlAnswer unhooked = Request(kClassIn, 0x21, 0, 0, 7);
    EXPECT_EQ(unhooked.Status, USBD_STATUS_SUCCESS);
    EXPECT_TRUE(unhooked.Data.empty());

    device.SetClassRequestHandler(0, [](const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<const std::byte>) {
        return setup.bRequest == 0x21 ? ControlAnswer{USBD_STATUS_SUCCESS, Counting(10)}
                                      : ControlAnswer{USBD_STATUS_STALL_PID, {}};
    });
    EXPECT_EQ(Request(kClassIn, 0x21, 0, 0, 7).Data, Counting(7)); // cut to wLength
    EXPECT_EQ(Request(kClassOut, 0x22, 3, 0, 0).Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(Request(kClassIn, 0x21, 0, 2, 7).Data, Bytes{}); // another interface's requests are not its own
    EXPECT_EQ(Request(kVendorInType, 0x01, 0x1234, 0x0005, 4).Status, USBD_STATUS_SUCCESS);

    const auto log = device.ClassAndVendorRequests();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0].Setup.bmRequestType, kClassOut);
    EXPECT_EQ(log[0].Setup.bRequest, 0x20);
    EXPECT_EQ(log[0].Setup.wLength, 7);
    EXPECT_EQ(log[0].Data, lineCoding);
    EXPECT_TRUE(log[1].Data.empty()); // an IN request has no data stage to log
    EXPECT_EQ(log[5].Setup.bmRequestType, kVendorInType);
    EXPECT_EQ(log[5].Setup.wValue, 0x1234);
    EXPECT_EQ(log[5].Setup.wIndex, 0x0005);

    device.SetClassRequestHandler(0, nullptr);
    EXPECT_EQ(Request(kClassOut, 0x22, 3, 0, 0).Status, USBD_STATUS_SUCCESS);
}

TEST_F(HandsetTest, HooksMayFeedTheHandset)
{
    Configure();
    // A modem that answers every command with OK, as the function's own code will.
    device.SetOutHandler(kModemOut, [this](std::span<const std::byte>) { device.Feed(kModemIn, Of({'O', 'K'})); });
    auto read = Submit(device, kModemIn, 512);
    Submit(device, kModemOut, 0, Of({'A', 'T', '\r'}));
    Run();
    ASSERT_TRUE(read->has_value());
    EXPECT_EQ((*read)->Data, Of({'O', 'K'}));
}

} // namespace
