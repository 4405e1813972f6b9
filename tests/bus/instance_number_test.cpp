// Instance numbers: a new device instance takes the driver's next number, a
// known one keeps its own, and every failure of the registry ends the way the
// device-add callback relies on.
#include "base/bus/instance_number.h"
#include "tests/support/world.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using platform::RegistryValue;
using x9tr::test::DriverWorld;

constexpr char16_t kInstance[] = u"USB\\VID_0ABC&PID_1D2E\\SN0001";

struct Stored {
    std::optional<RegistryValue> Next;     // the driver's NextInstanceNumber
    std::optional<RegistryValue> Instance; // the device's InstanceNumber
};

enum class Failure { None, OpenParameters, WriteNext, WriteInstance, OpenHardwareKey };

struct Case {
    const char* Name;
    Stored Before;
    Failure Fails;
    NTSTATUS Status;
    ULONG Number; // what the caller receives
    Stored After;
};

const Case kCases[] = {
    {"first device of the driver gets 0", {}, Failure::None, STATUS_SUCCESS, 0,
     {RegistryValue::Dword(1), RegistryValue::Dword(0)}},
    {"counter at 5 hands out 5", {RegistryValue::Dword(5), {}}, Failure::None, STATUS_SUCCESS, 5,
     {RegistryValue::Dword(6), RegistryValue::Dword(5)}},
    {"known instance keeps 7, counter untouched", {RegistryValue::Dword(3), RegistryValue::Dword(7)},
     Failure::None, STATUS_SUCCESS, 7, {RegistryValue::Dword(3), RegistryValue::Dword(7)}},
    {"string counter is treated as absent", {RegistryValue::String(u"12"), {}}, Failure::None, STATUS_SUCCESS,
     0, {RegistryValue::Dword(1), RegistryValue::Dword(0)}},
    {"string instance number is not a number", {RegistryValue::Dword(4), RegistryValue::String(u"7")},
     Failure::None, STATUS_SUCCESS, 4, {RegistryValue::Dword(5), RegistryValue::Dword(4)}},
    {"counter wraps from 0xFFFFFFFF", {RegistryValue::Dword(0xFFFFFFFF), {}}, Failure::None, STATUS_SUCCESS,
     0xFFFFFFFF, {RegistryValue::Dword(0), RegistryValue::Dword(0xFFFFFFFF)}},
    {"Parameters key cannot be opened", {RegistryValue::Dword(2), {}}, Failure::OpenParameters,
     STATUS_ACCESS_DENIED, 0, {RegistryValue::Dword(2), {}}},
    {"counter cannot be written", {RegistryValue::Dword(2), {}}, Failure::WriteNext, STATUS_ACCESS_DENIED, 2,
     {RegistryValue::Dword(2), {}}},
    {"instance number cannot be written: counter already moved", {RegistryValue::Dword(2), {}},
     Failure::WriteInstance, STATUS_UNSUCCESSFUL, 2, {RegistryValue::Dword(3), {}}},
    {"hardware key cannot be opened at all", {RegistryValue::Dword(2), {}}, Failure::OpenHardwareKey,
     STATUS_UNSUCCESSFUL, 2, {RegistryValue::Dword(3), {}}},
};

std::optional<RegistryValue> Read(platform::Registry& registry, const std::u16string& key, std::u16string_view name)
{
    RegistryValue value;
    if (!NT_SUCCESS(registry.QueryValue(key, name, &value))) {
        return std::nullopt;
    }
    return value;
}

void Write(platform::Registry& registry, const std::u16string& key, std::u16string_view name,
           const std::optional<RegistryValue>& value)
{
    if (value) {
        ASSERT_EQ(registry.OpenKey(key, true), STATUS_SUCCESS);
        ASSERT_EQ(registry.SetValue(key, name, *value), STATUS_SUCCESS);
    }
}

TEST(InstanceNumber, GetInstanceNumberCases)
{
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.Name);
        DriverWorld world(u"X9TRbus");
        auto& registry = world.Registry();
        const std::u16string parameters = world.ParametersKey();
        const std::u16string hardware = platform::wdf::HardwareKeyPathFor(kInstance);
        Write(registry, parameters, u"NextInstanceNumber", c.Before.Next);
        Write(registry, hardware, u"InstanceNumber", c.Before.Instance);
        switch (c.Fails) {
        case Failure::None: break;
        case Failure::OpenParameters: registry.FailOpen(parameters, STATUS_ACCESS_DENIED); break;
        case Failure::WriteNext: registry.FailWrite(parameters, u"NextInstanceNumber", STATUS_ACCESS_DENIED); break;
        case Failure::WriteInstance: registry.FailWrite(hardware, u"InstanceNumber", STATUS_ACCESS_DENIED); break;
        case Failure::OpenHardwareKey: registry.FailOpen(hardware, STATUS_ACCESS_DENIED); break;
        }

        auto init = world.DeviceInit(kInstance);
        ULONG number = 0x5A5A5A5A;
        const NTSTATUS status =
            world.AsDriver([&] { return x9trbus::GetInstanceNumber(init.get(), world.Driver(), &number); });

        EXPECT_EQ(status, c.Status) << NtStatusName(status);
        if (c.Fails != Failure::OpenParameters) {
            EXPECT_EQ(number, c.Number);
        }
        registry.ClearFailures();
        EXPECT_EQ(Read(registry, parameters, u"NextInstanceNumber"), c.After.Next);
        EXPECT_EQ(Read(registry, hardware, u"InstanceNumber"), c.After.Instance);
    }
}

TEST(InstanceNumber, NewInstancesCountUpAndKnownOnesKeepTheirNumber)
{
    DriverWorld world(u"X9TRbus");
    const std::u16string instances[] = {u"USB\\VID_0ABC&PID_1D2E\\A", u"USB\\VID_0ABC&PID_1D2E\\B",
                                        u"USB\\VID_0ABC&PID_1D2E\\A"};
    const ULONG expected[] = {0, 1, 0};
    for (std::size_t i = 0; i < std::size(instances); ++i) {
        auto init = world.DeviceInit(instances[i]);
        ULONG number = 99;
        EXPECT_EQ(world.AsDriver([&] { return x9trbus::GetInstanceNumber(init.get(), world.Driver(), &number); }),
                  STATUS_SUCCESS);
        EXPECT_EQ(number, expected[i]) << "device " << i;
    }
    RegistryValue next;
    ASSERT_EQ(world.Registry().QueryValue(world.ParametersKey(), u"NextInstanceNumber", &next), STATUS_SUCCESS);
    EXPECT_EQ(next.AsDword(), 2u);
}

TEST(InstanceNumber, EachDriverHasItsOwnCounter)
{
    DriverWorld bus(u"X9TRbus");
    auto init = bus.DeviceInit(kInstance);
    ULONG number = 0;
    bus.Registry().OpenKey(bus.ParametersKey(), true);
    bus.Registry().SetValue(bus.ParametersKey(), u"NextInstanceNumber", RegistryValue::Dword(9));
    ASSERT_EQ(bus.AsDriver([&] { return x9trbus::GetInstanceNumber(init.get(), bus.Driver(), &number); }),
              STATUS_SUCCESS);
    EXPECT_EQ(number, 9u);
    RegistryValue other;
    EXPECT_FALSE(NT_SUCCESS(bus.Registry().QueryValue(
        std::u16string(platform::kServicesKey) + u"\\X9TRmdm\\Parameters", u"NextInstanceNumber", &other)));
}

// The single-value helpers on the keys of a created device.
TEST(RegistryValueHelpers, ReadAndWriteOneValue)
{
    DriverWorld world(u"X9TRmdm");
    WDFDEVICE device = world.CreateDevice(kInstance);
    ASSERT_NE(device, nullptr);
    auto& registry = world.Registry();
    const std::u16string hardware = platform::wdf::HardwareKeyPathFor(kInstance);

    EXPECT_TRUE(world.AsDriver([&] { return x9trbus::SerialPutRegistryKeyValue(device, u"MaxCount", 12); }));
    RegistryValue stored;
    ASSERT_EQ(registry.QueryValue(hardware, u"MaxCount", &stored), STATUS_SUCCESS);
    EXPECT_EQ(stored, RegistryValue::Dword(12));

    ULONG value = 77;
    EXPECT_TRUE(world.AsDriver([&] { return x9trbus::SerialGetRegistryKeyValue(device, u"MaxCount", &value); }));
    EXPECT_EQ(value, 12u);

    // Absent, or not a REG_DWORD: not read, and the value is 0.
    registry.SetValue(hardware, u"Text", RegistryValue::String(u"12"));
    for (const char16_t* name : {u"Missing", u"Text"}) {
        value = 77;
        EXPECT_FALSE(world.AsDriver([&] { return x9trbus::SerialGetRegistryKeyValue(device, name, &value); }));
        EXPECT_EQ(value, 0u);
    }
}

TEST(RegistryValueHelpers, SoftwareKeyIsTheDriverKey)
{
    DriverWorld world(u"X9TRbus");
    WDFDEVICE device = world.CreateDevice(kInstance);
    auto init = world.DeviceInit(u"USB\\VID_0ABC&PID_1D2E\\OTHER");
    const std::u16string software = platform::wdf::SoftwareKeyPathFor(u"{4d36e978-e325-11ce-bfc1-08002be10318}", 0);
    world.Registry().OpenKey(software, true);
    world.Registry().SetValue(software, u"DisableIf_02", RegistryValue::Dword(1));

    ULONG value = 0;
    EXPECT_TRUE(world.AsDriver([&] { return x9trbus::GetRegistrySoftwareKeyValue(device, u"DisableIf_02", &value); }));
    EXPECT_EQ(value, 1u);
    // The hardware key does not hold it.
    EXPECT_FALSE(world.AsDriver([&] { return x9trbus::SerialGetRegistryKeyValue(device, u"DisableIf_02", &value); }));
}

TEST(RegistryValueHelpers, KeyThatCannotBeOpened)
{
    DriverWorld world(u"X9TRbus");
    WDFDEVICE device = world.CreateDevice(kInstance);
    auto init = world.DeviceInit(kInstance);
    const std::u16string hardware = platform::wdf::HardwareKeyPathFor(kInstance);
    world.Registry().OpenKey(hardware, true);
    world.Registry().SetValue(hardware, u"InstanceNumber", RegistryValue::Dword(3));
    world.Registry().FailOpen(hardware, STATUS_ACCESS_DENIED);

    ULONG value = 55;
    EXPECT_FALSE(world.AsDriver([&] { return x9trbus::GetFdoRegistryKeyValue(init.get(), u"InstanceNumber", &value); }));
    EXPECT_EQ(value, 0u);
    value = 55;
    EXPECT_FALSE(world.AsDriver([&] { return x9trbus::SerialGetRegistryKeyValue(device, u"InstanceNumber", &value); }));
    EXPECT_EQ(value, 0u);
    EXPECT_FALSE(world.AsDriver([&] { return x9trbus::PutFdoRegistryKeyValue(init.get(), u"InstanceNumber", 4); }));
    EXPECT_FALSE(world.AsDriver([&] { return x9trbus::SerialPutRegistryKeyValue(device, u"InstanceNumber", 4); }));
}

} // namespace
