// Raw descriptor dumps in the sysfs layout: the binary and hex text forms,
// a malformed device served byte for byte, and the few files refused.
#include "handset/default_handset.h"
#include "handset/handset.h"
#include "handset/handset_file.h"
#include "handset/sysfs_descriptors.h"
#include "platform/platform.h"
#include "platform/usb/usb100.h"
#include "tests/handset/temp_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using handset::Profile;
using platform::usb::ControlAnswer;
using Bytes = std::vector<std::byte>;

Bytes Of(std::initializer_list<int> values)
{
    Bytes bytes;
    for (int v : values) {
        bytes.push_back(static_cast<std::byte>(v));
    }
    return bytes;
}

Bytes DefaultDump()
{
    const Profile profile = handset::DefaultHandsetProfile();
    Bytes dump = profile.Device;
    dump.insert(dump.end(), profile.Configuration.begin(), profile.Configuration.end());
    return dump;
}

// The dump as hex text, Format(byte, index) writing each byte with what goes before it.
std::string AsText(const Bytes& bytes, const std::function<std::string(unsigned, std::size_t)>& format)
{
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text += format(std::to_integer<unsigned>(bytes[i]), i);
    }
    return text;
}

std::string Hex2(unsigned value)
{
    char digits[3];
    std::snprintf(digits, sizeof(digits), "%02X", value);
    return digits;
}

ControlAnswer GetDescriptor(handset::Handset& device, UCHAR type, UCHAR index, USHORT length)
{
    return device.Control(USB_DEFAULT_PIPE_SETUP_PACKET{BMREQUEST_DEVICE_TO_HOST, USB_REQUEST_GET_DESCRIPTOR,
                                                        static_cast<USHORT>(type << 8 | index), 0, length},
                          {});
}

TEST(SysfsDescriptors, BinaryAndEveryHexFormGiveTheSameDevice)
{
    const Profile reference = handset::DefaultHandsetProfile();
    const Bytes dump = DefaultDump();
    struct Case {
        const char* Name;
        std::function<void(const x9tr::test::TempFile&)> Write;
    } cases[] = {
        {"binary", [&](const auto& file) { file.Write(std::span<const std::byte>(dump)); }},
        {"spaced bytes, 16 to a line", [&](const auto& file) {
             file.Write(AsText(dump, [](unsigned b, std::size_t i) {
                 std::string text = i == 0 ? "" : i % 16 == 0 ? "\n" : " ";
                 return text.append(Hex2(b));
             }));
         }},
        {"a C array with comments", [&](const auto& file) {
             file.Write("# device descriptor\n" + AsText(dump, [](unsigned b, std::size_t i) {
                            return std::string(i == 18 ? "\n# configuration\n" : i == 0 ? "" : ", ") + "0x" + Hex2(b);
                        }) + ",\n");
         }},
        {"one run of lower-case digits with CRLF", [&](const auto& file) {
             std::string text = AsText(dump, [](unsigned b, std::size_t i) {
                 return std::string(i != 0 && i % 30 == 0 ? "\r\n" : "") + Hex2(b);
             });
             for (char& c : text) {
                 c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
             }
             file.Write(text);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        x9tr::test::TempFile file(".txt");
        c.Write(file);
        for (auto load : {handset::LoadSysfsDescriptors, handset::LoadHandsetFile}) {
            const Profile profile = load(file.Path());
            EXPECT_EQ(profile.Device, reference.Device);
            EXPECT_EQ(profile.Configuration, reference.Configuration);
            EXPECT_EQ(profile.Origin, file.Path());
            EXPECT_TRUE(profile.Strings.empty());
            EXPECT_TRUE(profile.UniqueId); // iSerialNumber is 3
        }
    }
}

TEST(SysfsDescriptors, AMalformedDeviceIsServedAsGiven)
{
    platform::Platform world;
    // bLength says 0x40; no serial number. The configuration claims 0x00FF
    // bytes, holds a zero-length descriptor, and junk follows.
    const Bytes dump = Of({0x40, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01,
                           0x01, 0x07, 0x00, 0x01,
                           0x09, 0x02, 0xFF, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x00, 0x00,
                           0x09, 0x04, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0xAA, 0xBB});
    handset::Handset device(handset::ParseSysfsDescriptors(dump, "bad device"));
    EXPECT_FALSE(device.ReportsUniqueId());
    EXPECT_EQ(device.DeviceSpeed(), platform::usb::Speed::High);

    const Bytes configuration(dump.begin() + 18, dump.end());
    struct Case {
        const char* Name;
        UCHAR Type;
        UCHAR Index;
        USHORT Length;
        Bytes Expected;
    } cases[] = {
        {"device as given", USB_DEVICE_DESCRIPTOR_TYPE, 0, 64, Bytes(dump.begin(), dump.begin() + 18)},
        {"configuration header", USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9, Bytes(dump.begin() + 18, dump.begin() + 27)},
        {"the lying wTotalLength asked for", USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0xFF, configuration},
        {"everything", USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0xFFFF, configuration},
        {"language table", USB_STRING_DESCRIPTOR_TYPE, 0, 255, Of({0x04, 0x03, 0x09, 0x04})},
        {"manufacturer with no text", USB_STRING_DESCRIPTOR_TYPE, 1, 255,
         Of({0x12, 0x03, 'S', 0, 't', 0, 'r', 0, 'i', 0, 'n', 0, 'g', 0, ' ', 0, '1', 0})},
        {"product with no text, cut", USB_STRING_DESCRIPTOR_TYPE, 7, 6, Of({0x12, 0x03, 'S', 0, 't', 0})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const ControlAnswer answer = GetDescriptor(device, c.Type, c.Index, c.Length);
        EXPECT_EQ(answer.Status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(answer.Data, c.Expected);
    }
}

TEST(SysfsDescriptors, ADeviceDescriptorAloneHasAnEmptyConfiguration)
{
    platform::Platform world;
    const Bytes whole = DefaultDump();
    const Bytes dump(whole.begin(), whole.begin() + 18);
    handset::Handset device(handset::ParseSysfsDescriptors(dump, "device only"));
    const ControlAnswer answer = GetDescriptor(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9);
    EXPECT_EQ(answer.Status, USBD_STATUS_SUCCESS);
    EXPECT_TRUE(answer.Data.empty());
    // With no configuration there is no value to set it to.
    EXPECT_EQ(device.Control(USB_DEFAULT_PIPE_SETUP_PACKET{0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0}, {}).Status,
              USBD_STATUS_STALL_PID);
}

TEST(SysfsDescriptors, WhatCannotBeADeviceIsRefused)
{
    const Bytes dump = DefaultDump();
    struct Case {
        const char* Name;
        std::string Contents;
        std::string Fault;
    } cases[] = {
        {"empty file", "", "0 bytes of hex text; a device needs at least its 18-byte device descriptor"},
        {"short binary", std::string(reinterpret_cast<const char*>(dump.data()), 17), "17 bytes of binary descriptors"},
        {"short hex", "12 01 00 02 00", "5 bytes of hex text"},
        {"prose", "hello world", "neither binary descriptors nor hex text: \"hello\" at line 1 is not hex"},
        {"hex gone wrong on line 3", "12 01 00 02\n00 00 00 40\n34 12 7g", "\"7g\" at line 3 is not hex"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        x9tr::test::TempFile file(".bin");
        file.Write(c.Contents);
        try {
            handset::LoadSysfsDescriptors(file.Path());
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& error) {
            const std::string message = error.what();
            EXPECT_EQ(message.rfind(file.Path() + ": ", 0), 0u) << message;
            EXPECT_NE(message.find(c.Fault), std::string::npos) << message;
        }
    }
    EXPECT_THROW(handset::LoadSysfsDescriptors("/nonexistent/x9tr/descriptors"), std::runtime_error);
}

} // namespace
