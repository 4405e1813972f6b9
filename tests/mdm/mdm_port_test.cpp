// The modem port as an application and the system see it: its names, the
// device map and interface, WMI, opening and closing, file requests.
#include "tests/mdm/modem_port.h"

#include "platform/wdf/wdf_wmi.h"

namespace x9tr::test {
namespace {

TEST(ModemPortNames, DeviceNameComNameLinkMapAndInterface)
{
    ModemPortWorld port;
    ASSERT_NE(port.Device(), nullptr);
    EXPECT_EQ(port.Node()->StartStatus, STATUS_SUCCESS);
    EXPECT_EQ(port.PortName(), u"COM3");
    auto& names = port.World().Names();
    EXPECT_EQ(names.LinkTarget(u"\\DosDevices\\COM3"), std::u16string(u"\\Device\\X9TRmdm0"));
    platform::RegistryValue value;
    ASSERT_EQ(port.World().Registry().QueryValue(std::u16string(platform::kDeviceMapKey) + u"\\SERIALCOMM",
                                                 u"\\Device\\X9TRmdm0", &value),
              STATUS_SUCCESS);
    EXPECT_EQ(value.AsString(), std::u16string(u"COM3"));
    EXPECT_EQ(names.Interfaces(GUID_DEVINTERFACE_COMPORT).size(), 1u);
    EXPECT_EQ(IoGetConfigurationInformation()->SerialCount, 1u);
}

TEST(ModemPortReads, DataTheHandsetSendsReachesTheApplication)
{
    ModemPortWorld port;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto handle = port.Open(&status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    port.Send("hello\r\n");
    SERIAL_TIMEOUTS timeouts{MAXULONG, 0, 0, 0, 0};
    ASSERT_EQ(handle->DeviceControl(IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(timeouts), 0).Status, STATUS_SUCCESS);
    auto result = handle->Read(100);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(TextOf(Bytes(result.Data.begin(), result.Data.begin() + static_cast<long>(result.Information))),
              "hello\r\n");
}

TEST(ModemPortNames, InstanceNumberNamesTheDeviceAndSddlIsKept)
{
    ModemPortWorld port(handset::DefaultHandsetProfile(), {}, [](platform::Registry& registry) {
        const std::u16string parameters = std::u16string(platform::kServicesKey) + u"\\X9TRmdm\\Parameters";
        registry.OpenKey(parameters, true);
        registry.SetValue(parameters, u"NextInstanceNumber", platform::RegistryValue::Dword(3));
    });
    ASSERT_NE(port.Device(), nullptr);
    EXPECT_EQ(port.World().Names().LinkTarget(u"\\DosDevices\\COM3"), std::u16string(u"\\Device\\X9TRmdm3"));
    platform::wdf::Device* device = platform::wdf::ResolveDevice(port.Device(), "test");
    EXPECT_EQ(device->Sddl, u"D:P(A;;GA;;;SY)(A;;GRGW;;;BA)(A;;GRGW;;;WD)");
    EXPECT_EQ(device->DeviceObject.DeviceType, FILE_DEVICE_SERIAL_PORT);
}

TEST(ModemPortNames, PortNameMustLeaveRoomForItsTerminator)
{
    struct Case {
        std::u16string Given;
        std::u16string Kept;
        bool Starts;
    };
    const std::u16string longest = u"COM" + std::u16string(124, u'9');
    const std::u16string tooLong = u"COM" + std::u16string(125, u'9');
    // An empty name is no name: the installer gives the port one.
    for (const Case& c : {Case{longest, longest, true}, Case{tooLong, tooLong, false}, Case{u"", u"COM3", true}}) {
        SCOPED_TRACE(c.Given.size());
        ModemPortWorld port(handset::DefaultHandsetProfile(), {}, [&](platform::Registry& registry) {
            registry.OpenKey(ModemHardwareKey(), true);
            registry.SetValue(ModemHardwareKey(), u"PortName", platform::RegistryValue::String(c.Given));
        });
        ASSERT_NE(port.Node(), nullptr);
        EXPECT_EQ(port.Node()->PortName, c.Kept);
        EXPECT_EQ(port.Device() != nullptr, c.Starts);
        EXPECT_EQ(port.World().Names().LinkTarget(u"\\DosDevices\\" + c.Kept).has_value(), c.Starts);
        // A device that failed is counted nowhere and leaves no map entry.
        EXPECT_EQ(IoGetConfigurationInformation()->SerialCount, c.Starts ? 1u : 0u);
        EXPECT_EQ(port.World().Registry().ValueNames(std::u16string(platform::kDeviceMapKey) + u"\\SERIALCOMM").size(),
                  c.Starts ? 1u : 0u);
    }
}

TEST(ModemPortNames, TwoHandsetsGetTwoPortsAndUnplugTakesEverythingAway)
{
    ModemPortWorld port;
    auto* first = port.Parent();
    port.Plug(handset::ParseProfile(
        [] {
            auto profile = nlohmann::json::parse(handset::DefaultHandsetJson());
            profile["strings"]["serialNumber"] = "X9TR0002";
            return profile.dump();
        }(),
        "second handset"));
    ASSERT_NE(port.Device(), nullptr);
    EXPECT_EQ(port.PortName(), u"COM4");
    EXPECT_EQ(port.World().Names().LinkTarget(u"\\DosDevices\\COM4"), std::u16string(u"\\Device\\X9TRmdm1"));
    EXPECT_EQ(IoGetConfigurationInformation()->SerialCount, 2u);

    port.Pnp().Unplug(first);
    port.TheMachine().Settle();
    EXPECT_EQ(IoGetConfigurationInformation()->SerialCount, 1u);
    EXPECT_FALSE(port.World().Names().LinkTarget(u"\\DosDevices\\COM3").has_value());
    EXPECT_EQ(port.World().Registry().ValueNames(std::u16string(platform::kDeviceMapKey) + u"\\SERIALCOMM"),
              std::vector<std::u16string>{u"\\Device\\X9TRmdm1"});
    EXPECT_EQ(port.World().Names().Interfaces(GUID_DEVINTERFACE_COMPORT).size(), 1u);
}

TEST(ModemPortWmi, BlocksAnswerWithTheirSizes)
{
    ModemPortWorld port;
    struct Case {
        const char* Name;
        GUID Block;
        ULONG BufferSize;
        NTSTATUS Status;
        ULONG BufferUsed;
    };
    const Case cases[] = {
        {"port name", MSSerial_PortName_GUID, 256, STATUS_SUCCESS, 10},
        {"port name short", MSSerial_PortName_GUID, 9, STATUS_BUFFER_TOO_SMALL, 10},
        {"comm info", MSSerial_CommInfo_GUID, 64, STATUS_SUCCESS, 64},
        {"comm info short", MSSerial_CommInfo_GUID, 63, STATUS_INSUFFICIENT_RESOURCES, 64},
        {"hardware", MSSerial_HardwareConfiguration_GUID, 40, STATUS_SUCCESS, 40},
        {"hardware short", MSSerial_HardwareConfiguration_GUID, 39, STATUS_INSUFFICIENT_RESOURCES, 40},
        {"performance", MSSerial_PerformanceInformation_GUID, 24, STATUS_SUCCESS, 24},
        {"performance short", MSSerial_PerformanceInformation_GUID, 23, STATUS_INSUFFICIENT_RESOURCES, 24},
        {"properties", MSSerial_CommProperties_GUID, 68, STATUS_SUCCESS, 68},
        {"properties short", MSSerial_CommProperties_GUID, 64, STATUS_INSUFFICIENT_RESOURCES, 68},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const auto answer = platform::wmi::QueryInstance(port.Device(), c.Block, c.BufferSize);
        EXPECT_EQ(answer.Status, c.Status);
        EXPECT_EQ(answer.BufferUsed, c.BufferUsed);
    }
    // The port name as a counted string without terminator.
    const auto name = platform::wmi::QueryInstance(port.Device(), MSSerial_PortName_GUID, 256);
    ASSERT_EQ(name.Data.size(), 10u);
    EXPECT_EQ(ValueOf<USHORT>(name.Data), 8);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name.Data.data() + 2), 4), u"COM3");
    // The properties block: the port's SERIAL_COMMPROP with its last word cleared.
    const auto properties = platform::wmi::QueryInstance(port.Device(), MSSerial_CommProperties_GUID, 68);
    ASSERT_GE(properties.Data.size(), 64u);
    EXPECT_EQ(ValueOf<ULONG>(Bytes(properties.Data.begin() + 60, properties.Data.begin() + 64)), 0u);
    EXPECT_EQ(ValueOf<USHORT>(properties.Data), sizeof(SERIAL_COMMPROP));
}

TEST(ModemPortWmi, PortNameIsReadAtEachQuery)
{
    ModemPortWorld port;
    auto& registry = port.World().Registry();
    registry.SetValue(ModemHardwareKey(), u"PortName", platform::RegistryValue::String(u"COM12"));
    EXPECT_EQ(platform::wmi::QueryInstance(port.Device(), MSSerial_PortName_GUID, 256).BufferUsed, 12u);
    registry.SetValue(ModemHardwareKey(), u"PortName", platform::RegistryValue::String(u""));
    EXPECT_EQ(platform::wmi::QueryInstance(port.Device(), MSSerial_PortName_GUID, 256).Status, STATUS_UNSUCCESSFUL);
}

TEST(ModemPortWmi, CommInfoShowsWhetherThePortIsOpen)
{
    ModemPortWorld port;
    auto busy = [&] {
        const auto answer = platform::wmi::QueryInstance(port.Device(), MSSerial_CommInfo_GUID, 64);
        return ValueOf<SERIAL_WMI_COMM_DATA>(answer.Data).IsBusy;
    };
    EXPECT_FALSE(busy());
    {
        auto handle = port.Open();
        ASSERT_NE(handle, nullptr);
        EXPECT_TRUE(busy());
    }
    EXPECT_FALSE(busy());
}

class ModemPortFiles : public OpenModemPortTest {};

TEST_F(ModemPortFiles, SecondOpenIsRefusedWhileTheFirstIsOpen)
{
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(port.Open(&status), nullptr);
    EXPECT_EQ(status, STATUS_ACCESS_DENIED);
    handle.reset();
    EXPECT_NE(port.Open(&status), nullptr);
    EXPECT_EQ(status, STATUS_SUCCESS);
}

TEST_F(ModemPortFiles, FileInformationAndFlushAreAnsweredByThePort)
{
    struct Query {
        FILE_INFORMATION_CLASS Class;
        std::size_t Length;
        NTSTATUS Status;
        ULONG_PTR Information;
    };
    for (const Query q : {Query{FileStandardInformation, 24, STATUS_SUCCESS, 24},
                          Query{FileStandardInformation, 23, STATUS_BUFFER_TOO_SMALL, 0},
                          Query{FilePositionInformation, 8, STATUS_SUCCESS, 8},
                          Query{FilePositionInformation, 7, STATUS_BUFFER_TOO_SMALL, 0},
                          Query{FileBasicInformation, 40, STATUS_INVALID_PARAMETER, 0}}) {
        SCOPED_TRACE(static_cast<int>(q.Class));
        const auto result = handle->QueryInformation(q.Class, q.Length);
        EXPECT_EQ(result.Status, q.Status);
        EXPECT_EQ(result.Information, q.Information);
        if (NT_SUCCESS(result.Status)) {
            EXPECT_EQ(result.Data, Bytes(q.Length, std::byte{0}));
        }
    }
    struct Set {
        FILE_INFORMATION_CLASS Class;
        NTSTATUS Status;
    };
    for (const Set q : {Set{FileEndOfFileInformation, STATUS_SUCCESS}, Set{FileAllocationInformation, STATUS_SUCCESS},
                        Set{FilePositionInformation, STATUS_INVALID_PARAMETER}}) {
        SCOPED_TRACE(static_cast<int>(q.Class));
        const auto result = handle->SetInformation(q.Class, Bytes(8));
        EXPECT_EQ(result.Status, q.Status);
        EXPECT_EQ(result.Information, 0u);
    }
    // A flush goes through the write queue as a zero-length write.
    const auto flush = handle->Flush();
    EXPECT_EQ(flush.Status, STATUS_SUCCESS);
    EXPECT_EQ(flush.Information, 0u);
}

TEST_F(ModemPortFiles, OpenRefusesStopAndRemoveUntilClosed)
{
    EXPECT_FALSE(port.Pnp().QueryRemove(port.Parent()));
    handle.reset();
    EXPECT_TRUE(port.Pnp().QueryRemove(port.Parent()));
}

} // namespace
} // namespace x9tr::test
