// A modem's greeting: the text an ACM function's profile gives it to send on
// its data pipe, which endpoint it lands on, and when the handset sends it
// (the first read after each configuration, never without the field).
#include "handset/default_handset.h"
#include "handset/handset.h"
#include "handset/profile.h"
#include "platform/platform.h"
#include "platform/usb/usb100.h"
#include "tests/support/bytes.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using handset::Handset;
using platform::usb::TransferAnswer;
using x9tr::test::Bytes;
using x9tr::test::TextBytes;

handset::Profile Parse(const std::string& functions)
{
    return handset::ParseProfile(R"({"vendor": 1, "product": 2, "functions": )" + functions + "}", "handset.json");
}

TEST(ModemGreeting, GoesToTheBulkInEndpointOfTheAcmDataInterface)
{
    struct Case {
        const char* Name;
        std::string Functions;
        std::map<UCHAR, Bytes> Greetings;
    } cases[] = {
        {"no greeting field", R"([{"type": "acm"}])", {}},
        {"an empty greeting sends nothing", R"([{"type": "acm", "greeting": ""}])", {}},
        {"first function", R"([{"type": "acm", "greeting": "OK\r\n"}])", {{0x82, TextBytes("OK\r\n")}}},
        {"without an IAD", R"([{"type": "acm", "iad": false, "greeting": "hi"}])", {{0x82, TextBytes("hi")}}},
        // NCM takes interfaces 0-1 and endpoints 1-2, MDLM interface 2 and
        // endpoint 3; the modem's data interface is 4 with bulk IN 0x85.
        {"after two-interface and one-interface functions",
         R"([{"type": "ncm"}, {"type": "mdlm"}, {"type": "acm", "greeting": "ready"}])", {{0x85, TextBytes("ready")}}},
        // The second modem: interfaces 3-4, interrupt IN 0x84, bulk IN 0x85.
        {"each modem its own",
         R"([{"type": "acm", "greeting": "one"}, {"type": "vendor"}, {"type": "acm", "greeting": "two"}])",
         {{0x82, TextBytes("one")}, {0x85, TextBytes("two")}}},
        {"UTF-8 text goes as its bytes", R"([{"type": "acm", "greeting": "\u00e9"}])",
         {{0x82, Bytes{std::byte{0xC3}, std::byte{0xA9}}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(Parse(c.Functions).Greetings, c.Greetings);
    }
}

TEST(ModemGreeting, DefaultHandsetIsQuietUnlessAskedToGreet)
{
    EXPECT_TRUE(handset::DefaultHandsetProfile().Greetings.empty());
    const auto greeting = handset::DefaultHandsetWithGreeting().Greetings;
    ASSERT_EQ(greeting.size(), 1u);
    EXPECT_EQ(greeting.begin()->first, 0x82);
    EXPECT_EQ(greeting.begin()->second, TextBytes(handset::kDefaultModemGreeting));
}

TEST(ModemGreeting, OnlyAModemTakesATextGreeting)
{
    struct Case {
        const char* Name;
        std::string Functions;
        std::string Fault;
    } cases[] = {
        {"not text", R"([{"type": "acm", "greeting": 5}])", "functions[0] (acm): \"greeting\" must be a string"},
        {"on a diagnostic port", R"([{"type": "mdlm", "greeting": "x"}])",
         "functions[0] (mdlm): unknown key \"greeting\""},
        {"on a network adapter", R"([{"type": "ncm", "greeting": "x"}])",
         "functions[0] (ncm): unknown key \"greeting\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        try {
            Parse(c.Functions);
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find(c.Fault), std::string::npos) << error.what();
        }
    }
}

// Given the default handset with its greeting, configured, on a machine of its own.
class GreetingHandsetTest : public testing::Test {
protected:
    static constexpr UCHAR kModemIn = 0x82;

    void SetUp() override { Configure(); }

    void Configure()
    {
        const USB_DEFAULT_PIPE_SETUP_PACKET setup{BMREQUEST_HOST_TO_DEVICE, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0};
        ASSERT_EQ(device.Control(setup, {}).Status, USBD_STATUS_SUCCESS);
    }

    // One read of the modem's data pipe and what it ends with; none while it waits.
    std::optional<TransferAnswer> Read(UCHAR endpoint = kModemIn)
    {
        auto landing = std::make_shared<std::optional<TransferAnswer>>();
        device.SubmitTransfer(endpoint, {}, 512, [landing](TransferAnswer answer) { *landing = std::move(answer); });
        world.Dispatcher().RunUntilIdle();
        if (!landing->has_value()) {
            device.AbortTransfers(endpoint);
            world.Dispatcher().RunUntilIdle();
            return std::nullopt;
        }
        return *landing;
    }

    platform::Platform world;
    Handset device{handset::DefaultHandsetWithGreeting()};
};

TEST_F(GreetingHandsetTest, FirstReadAfterEachConfigurationGetsTheGreeting)
{
    const Bytes greeting = TextBytes(handset::kDefaultModemGreeting);
    auto first = Read();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(first->Data, greeting);
    // Said once: the next read waits for data.
    EXPECT_FALSE(Read().has_value());
    // Configuring again is a fresh start.
    Configure();
    auto again = Read();
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->Data, greeting);
    // Other IN endpoints never greet.
    EXPECT_FALSE(Read(0x86).has_value());
}

TEST_F(GreetingHandsetTest, AReadTheDeviceRefusesLeavesTheGreetingForTheNext)
{
    const Bytes greeting = TextBytes(handset::kDefaultModemGreeting);
    device.Stall(kModemIn);
    auto halted = Read();
    ASSERT_TRUE(halted.has_value());
    EXPECT_EQ(halted->Status, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(halted->Data.empty());
    const USB_DEFAULT_PIPE_SETUP_PACKET clearHalt{BMREQUEST_TO_ENDPOINT, USB_REQUEST_CLEAR_FEATURE,
                                                  USB_FEATURE_ENDPOINT_STALL, kModemIn, 0};
    ASSERT_EQ(device.Control(clearHalt, {}).Status, USBD_STATUS_SUCCESS);
    auto after = Read();
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(after->Data, greeting);
}

} // namespace
