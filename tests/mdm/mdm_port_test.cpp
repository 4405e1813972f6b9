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

} // namespace
} // namespace x9tr::test
