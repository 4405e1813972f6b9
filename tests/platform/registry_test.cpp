// The registry: typed values, key and name case, failures on demand, the
// framework's key operations, and the JSON file the x9tr program keeps.
#include "platform/wdf/wdf_registry.h"
#include "tests/support/world.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace {

using platform::Registry;
using platform::RegistryValue;

constexpr char16_t kKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\X9TRbus\\Parameters";

TEST(Registry, ValuesAreTypedAndNamesIgnoreCase)
{
    Registry registry;
    EXPECT_EQ(registry.OpenKey(kKey, false), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(registry.OpenKey(kKey, true), STATUS_SUCCESS);
    EXPECT_TRUE(registry.KeyExists(u"\\REGISTRY\\MACHINE\\system")); // the keys above were made too
    ASSERT_EQ(registry.SetValue(kKey, u"NextInstanceNumber", RegistryValue::Dword(3)), STATUS_SUCCESS);

    RegistryValue value;
    ASSERT_EQ(registry.QueryValue(u"\\registry\\machine\\system\\currentcontrolset\\services\\x9trbus\\parameters\\",
                                  u"NEXTINSTANCENUMBER", &value),
              STATUS_SUCCESS);
    EXPECT_EQ(value.AsDword(), 3u);
    EXPECT_EQ(value.AsString(), std::nullopt);
    EXPECT_EQ(RegistryValue::String(u"COM3").AsString(), u"COM3");
    EXPECT_EQ(RegistryValue::String(u"COM3").AsDword(), std::nullopt);
    EXPECT_EQ((RegistryValue{REG_DWORD, {std::byte{1}}}).AsDword(), std::nullopt); // short DWORD data

    EXPECT_EQ(registry.DeleteValue(kKey, u"nextinstancenumber"), STATUS_SUCCESS);
    EXPECT_EQ(registry.QueryValue(kKey, u"NextInstanceNumber", &value), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(registry.DeleteValue(kKey, u"NextInstanceNumber"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(Registry, FailuresOnDemand)
{
    Registry registry;
    registry.OpenKey(kKey, true);
    registry.FailOpen(kKey, STATUS_ACCESS_DENIED);
    registry.FailWrite(kKey, u"Locked", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(registry.OpenKey(kKey, false), STATUS_ACCESS_DENIED);
    EXPECT_EQ(registry.SetValue(kKey, u"Locked", RegistryValue::Dword(1)), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(registry.SetValue(kKey, u"Free", RegistryValue::Dword(1)), STATUS_SUCCESS);
    registry.ClearFailures();
    EXPECT_EQ(registry.OpenKey(kKey, false), STATUS_SUCCESS);
}

TEST(Registry, FrameworkKeyOperations)
{
    x9tr::test::DriverWorld world(u"X9TRbus");
    world.AsDriver([&] {
        WDFKEY key = nullptr;
        UNICODE_STRING path = RTL_CONSTANT_STRING(kKey);
        EXPECT_EQ(WdfRegistryOpenKey(nullptr, &path, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key),
                  STATUS_OBJECT_NAME_NOT_FOUND);
        ASSERT_EQ(WdfDriverOpenParametersRegistryKey(world.Driver(), STANDARD_RIGHTS_ALL, WDF_NO_OBJECT_ATTRIBUTES, &key),
                  STATUS_SUCCESS);

        UNICODE_STRING number = RTL_CONSTANT_STRING(u"Number");
        UNICODE_STRING name = RTL_CONSTANT_STRING(u"PortName");
        ULONG value = 1234;
        EXPECT_EQ(WdfRegistryQueryULong(key, &number, &value), STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(value, 1234u);
        ASSERT_EQ(WdfRegistryAssignULong(key, &number, 0xFFFFFFFF), STATUS_SUCCESS);
        ASSERT_EQ(WdfRegistryQueryULong(key, &number, &value), STATUS_SUCCESS);
        EXPECT_EQ(value, 0xFFFFFFFFu);

        UNICODE_STRING com = RTL_CONSTANT_STRING(u"COM12");
        ASSERT_EQ(WdfRegistryAssignUnicodeString(key, &name, &com), STATUS_SUCCESS);
        EXPECT_EQ(WdfRegistryQueryULong(key, &name, &value), STATUS_OBJECT_TYPE_MISMATCH);

        WCHAR small[4];
        UNICODE_STRING tooSmall{0, sizeof(small), small};
        USHORT bytes = 0;
        EXPECT_EQ(WdfRegistryQueryUnicodeString(key, &name, &bytes, &tooSmall), STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(bytes, 10);
        EXPECT_EQ(tooSmall.Length, 0);
        WCHAR fits[5];
        UNICODE_STRING exact{0, sizeof(fits), fits};
        EXPECT_EQ(WdfRegistryQueryUnicodeString(key, &name, &bytes, &exact), STATUS_SUCCESS);
        EXPECT_EQ(platform::View(exact), u"COM12");

        UCHAR raw[3];
        ULONG needed = 0;
        ULONG type = 0;
        EXPECT_EQ(WdfRegistryQueryValue(key, &number, sizeof(raw), raw, &needed, &type), STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(needed, 4u);
        EXPECT_EQ(type, REG_DWORD);
        EXPECT_EQ(WdfRegistryRemoveValue(key, &number), STATUS_SUCCESS);
        WdfRegistryClose(key);
    });
}

TEST(Registry, DeviceMapThroughTheKernelCalls)
{
    platform::Platform world;
    WCHAR port[] = u"COM5";
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\X9TRmdm0", REG_SZ, port,
                                    sizeof(port)),
              STATUS_SUCCESS);
    RegistryValue value;
    ASSERT_EQ(world.Registry().QueryValue(u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM",
                                          u"\\Device\\X9TRmdm0", &value),
              STATUS_SUCCESS);
    EXPECT_EQ(value, RegistryValue::String(u"COM5"));
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\X9TRmdm0"), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\X9TRmdm0"),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(RegistryJson, RoundTripKeepsEveryType)
{
    Registry registry;
    registry.OpenKey(kKey, true);
    registry.SetValue(kKey, u"NextInstanceNumber", RegistryValue::Dword(4000000000u));
    registry.SetValue(kKey, u"PortName", RegistryValue::String(u"COM3 \u00e9"));
    registry.SetValue(kKey, u"Blob", RegistryValue{REG_BINARY, {std::byte{0}, std::byte{0xFF}}});
    registry.OpenKey(u"\\Registry\\Machine\\Empty", true);

    Registry loaded;
    loaded.LoadJsonText(registry.SaveJsonText(), "saved");
    EXPECT_EQ(loaded.SaveJsonText(), registry.SaveJsonText());
    RegistryValue blob;
    ASSERT_EQ(loaded.QueryValue(kKey, u"blob", &blob), STATUS_SUCCESS);
    EXPECT_EQ(blob.Type, REG_BINARY);
    EXPECT_EQ(blob.Data.size(), 2u);
}

TEST(RegistryJson, TheHardwareHiveIsNotKept)
{
    // The device map is the machine's picture of the devices present now;
    // a saved one would name ports that are gone at the next start.
    Registry registry;
    const std::u16string map = std::u16string(platform::kDeviceMapKey) + u"\\SERIALCOMM";
    registry.OpenKey(map, true);
    registry.SetValue(map, u"\\Device\\X9TRmdm0", RegistryValue::String(u"COM3"));
    const std::u16string lookalike = u"\\Registry\\Machine\\HardwareProfiles";
    registry.OpenKey(lookalike, true);
    registry.SetValue(lookalike, u"Kept", RegistryValue::Dword(1));

    Registry loaded;
    loaded.LoadJsonText(registry.SaveJsonText(), "saved");
    RegistryValue value;
    EXPECT_NE(loaded.QueryValue(map, u"\\Device\\X9TRmdm0", &value), STATUS_SUCCESS);
    EXPECT_EQ(loaded.QueryValue(lookalike, u"Kept", &value), STATUS_SUCCESS);
}

TEST(RegistryJson, MalformedDocumentsAreRefusedWithTheFault)
{
    struct Case {
        const char* Text;
        const char* Fault;
    };
    const Case cases[] = {
        {"{", "not valid JSON"},
        {"[1]", "an object of key paths"},
        {R"({"\\Registry\\A": 5})", "a key is an object of values"},
        {R"({"Registry": {}})", "starts with \\"},
        {R"({"\\Registry\\A": {"V": -1}})", "0..4294967295"},
        {R"({"\\Registry\\A": {"V": 4294967296}})", "0..4294967295"},
        {R"({"\\Registry\\A": {"V": true}})", "a value is a number"},
        {R"({"\\Registry\\A": {"V": {"type": 3, "hex": "abc"}}})", "hex bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        Registry registry;
        registry.OpenKey(kKey, true);
        try {
            registry.LoadJsonText(c.Text, "reg.json");
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& error) {
            const std::string message = error.what();
            EXPECT_EQ(message.rfind("reg.json: ", 0), 0u) << message;
            EXPECT_NE(message.find(c.Fault), std::string::npos) << message;
        }
        EXPECT_TRUE(registry.KeyExists(kKey)); // left as it was
    }
}

TEST(RegistryJson, FilesLoadAndSave)
{
    const std::string file = testing::TempDir() + "x9tr_registry_test.json";
    Registry registry;
    registry.OpenKey(kKey, true);
    registry.SetValue(kKey, u"NextInstanceNumber", RegistryValue::Dword(2));
    registry.SaveJson(file);
    Registry loaded;
    loaded.LoadJson(file);
    RegistryValue value;
    ASSERT_EQ(loaded.QueryValue(kKey, u"NextInstanceNumber", &value), STATUS_SUCCESS);
    EXPECT_EQ(value.AsDword(), 2u);
    std::remove(file.c_str());
    EXPECT_THROW(loaded.LoadJson(file), std::runtime_error);
}

} // namespace
