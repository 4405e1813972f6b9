// A function driver on a child of the default handset: what it reads, what
// it selects, the data it moves, and what the child and the parent answer,
// refuse or pass on for it.
#include "base/bus/bus_driver.h"
#include "handset/default_handset.h"
#include "platform/wdf/device.h"
#include "tests/support/function_io.h"
#include "tools/machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <span>

namespace {

using platform::pnp::DeviceNode;
using x9tr::test::GetFunctionContext;
using x9tr::test::PendingTransfer;

std::vector<std::byte> Bytes(std::size_t count, unsigned start)
{
    std::vector<std::byte> bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::byte>((start + i * 7) & 0xFF);
    }
    return bytes;
}

class ForwardTest : public testing::Test {
protected:
    void SetUp() override
    {
        x9tr::MachineOptions options;
        options.ExtraImages = {x9tr::test::FunctionDriverImage()};
        options.ExtraManifests = {x9tr::test::FunctionDriverManifest(
            {u"USB\\Vid_0abc&Pid_1d2e&Mi_00", u"USB\\Vid_0abc&Pid_1d2e&Mi_03", u"USB\\Vid_0abc&Pid_1d2e&Mi_05"})};
        machine = std::make_unique<x9tr::Machine>(options);
        parent = machine->Plug(std::make_unique<handset::Handset>(handset::DefaultHandsetProfile()));
        machine->Settle();
        ASSERT_EQ(parent->Children.size(), 5u);
        modem = parent->Children[0]->Fdo;
        network = parent->Children[2]->Fdo;
        vendor = parent->Children[3]->Fdo;
        ASSERT_NE(modem, nullptr);
        ASSERT_NE(vendor, nullptr);
    }
    handset::Handset& Handset() { return machine->HandsetAt(0); }
    x9trbus::PARENT_FDO_CONTEXT* Parent() { return x9trbus::GetParentFdoContext(parent->Fdo); }

    std::unique_ptr<x9tr::Machine> machine;
    DeviceNode* parent = nullptr;
    WDFDEVICE modem = nullptr;
    WDFDEVICE network = nullptr;
    WDFDEVICE vendor = nullptr;
};

TEST_F(ForwardTest, FunctionDriverSeesItsOwnFunctionAndRealHandles)
{
    const auto* context = GetFunctionContext(modem);
    EXPECT_EQ(context->PrepareStatus, STATUS_SUCCESS);
    EXPECT_EQ(context->DeviceDescriptor.bDeviceClass, 0x02);
    EXPECT_EQ(context->DeviceDescriptor.bDeviceSubClass, 0x02);
    EXPECT_EQ(context->DeviceDescriptor.bDeviceProtocol, 0x01);
    EXPECT_EQ(context->DeviceDescriptor.bNumConfigurations, 1);
    const auto* configuration = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(context->Configuration);
    EXPECT_EQ(configuration->wTotalLength, context->ConfigurationLength);
    EXPECT_EQ(configuration->bNumInterfaces, 2);
    // Interrupt IN, bulk IN and bulk OUT of interfaces 0 and 1, with the handset's real handles.
    ASSERT_EQ(context->PipeCount, 3u);
    for (UCHAR address : {UCHAR{0x81}, UCHAR{0x82}, UCHAR{0x02}}) {
        WDFUSBPIPE pipe = x9tr::test::PipeFor(modem, address);
        ASSERT_NE(pipe, nullptr) << int(address);
        EXPECT_NE(WdfUsbTargetPipeWdmGetPipeHandle(pipe), nullptr);
    }
    EXPECT_EQ(WdfUsbTargetDeviceWdmGetConfigurationHandle(context->UsbDevice), Parent()->ConfigurationHandle);
    EXPECT_EQ(Handset().Configuration(), 1);
}

TEST_F(ForwardTest, BulkAndInterruptDataPassUnchanged)
{
    const auto out = Bytes(1000, 3);
    PendingTransfer write(x9tr::test::PipeFor(modem, 0x02), out, 0);
    const auto written = write.Collect();
    EXPECT_EQ(written.Status, STATUS_SUCCESS);
    EXPECT_EQ(written.Length, 1000u);
    EXPECT_EQ(Handset().OutBytes(0x02), out);

    // A short packet ends the read before its buffer is full.
    PendingTransfer read(x9tr::test::PipeFor(modem, 0x82), {}, 4096);
    machine->Settle();
    EXPECT_FALSE(read.Done());
    const auto in = Bytes(700, 11);
    Handset().Feed(0x82, in);
    const auto received = read.Collect();
    EXPECT_EQ(received.Status, STATUS_SUCCESS);
    EXPECT_EQ(received.Data, in);

    PendingTransfer notification(x9tr::test::PipeFor(modem, 0x81), {}, 16);
    const auto serialState = Bytes(10, 0xA1);
    Handset().Feed(0x81, serialState);
    EXPECT_EQ(notification.Collect().Data, serialState);

    // The vendor function's pipes are its own.
    const auto vendorOut = Bytes(64, 5);
    PendingTransfer vendorWrite(x9tr::test::PipeFor(vendor, 0x06), vendorOut, 0);
    EXPECT_EQ(vendorWrite.Collect().Status, STATUS_SUCCESS);
    EXPECT_EQ(Handset().OutBytes(0x06), vendorOut);
}

URB DescriptorUrb(UCHAR type, void* buffer, ULONG length)
{
    URB urb{};
    urb.UrbControlDescriptorRequest.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    urb.UrbControlDescriptorRequest.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb.UrbControlDescriptorRequest.DescriptorType = type;
    urb.UrbControlDescriptorRequest.TransferBuffer = buffer;
    urb.UrbControlDescriptorRequest.TransferBufferLength = length;
    return urb;
}

TEST_F(ForwardTest, ChildAnswersDescriptorsFromItsFunction)
{
    UCHAR buffer[255];
    std::memset(buffer, 0xEE, sizeof(buffer));
    URB config = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, 9);
    auto result = x9tr::test::SendInternalControl(modem, IOCTL_INTERNAL_USB_SUBMIT_URB, &config);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 9u);
    EXPECT_EQ(buffer[2] | buffer[3] << 8, GetFunctionContext(modem)->ConfigurationLength);
    EXPECT_EQ(buffer[9], 0xEE);

    URB device = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, buffer, 255);
    result = x9tr::test::SendInternalControl(modem, IOCTL_INTERNAL_USB_SUBMIT_URB, &device);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 18u);
    EXPECT_EQ(buffer[4], 0x02); // the function's class
    EXPECT_EQ(buffer[18], 0xEE);

    URB noBuffer = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, nullptr, 18);
    EXPECT_EQ(x9tr::test::SendInternalControl(modem, IOCTL_INTERNAL_USB_SUBMIT_URB, &noBuffer).Status,
              STATUS_INVALID_PARAMETER);

    // Strings are the handset's: forwarded.
    URB string = DescriptorUrb(USB_STRING_DESCRIPTOR_TYPE, buffer, 255);
    string.UrbControlDescriptorRequest.Index = 2;
    string.UrbControlDescriptorRequest.LanguageId = 0x0409;
    result = x9tr::test::SendInternalControl(modem, IOCTL_INTERNAL_USB_SUBMIT_URB, &string);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(buffer[1], USB_STRING_DESCRIPTOR_TYPE);
}

// A select-configuration URB for the modem's interfaces 0 (one pipe) and 1 (two pipes).
struct SelectConfiguration {
    alignas(std::max_align_t) std::byte Bytes[512]{};
    _URB_SELECT_CONFIGURATION* Urb() { return reinterpret_cast<_URB_SELECT_CONFIGURATION*>(Bytes); }
    USBD_INTERFACE_INFORMATION* Entry(int index)
    {
        auto* first = reinterpret_cast<std::byte*>(&Urb()->Interface);
        return reinterpret_cast<USBD_INTERFACE_INFORMATION*>(index == 0 ? first : first + GET_USBD_INTERFACE_SIZE(1));
    }
    SelectConfiguration()
    {
        Urb()->Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        Urb()->Hdr.Length = static_cast<USHORT>(sizeof(_URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION) +
                                                GET_USBD_INTERFACE_SIZE(1) + GET_USBD_INTERFACE_SIZE(2));
        Entry(0)->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(1));
        Entry(0)->InterfaceNumber = 0;
        Entry(0)->NumberOfPipes = 1;
        Entry(1)->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(2));
        Entry(1)->InterfaceNumber = 1;
        Entry(1)->NumberOfPipes = 2;
    }
};

TEST_F(ForwardTest, ConfigurationSelectionBecomesInterfaceSelections)
{
    SelectConfiguration select;
    const auto result = x9tr::test::SendInternalControl(modem, IOCTL_INTERNAL_USB_SUBMIT_URB, select.Urb());
    ASSERT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(select.Urb()->ConfigurationHandle, Parent()->ConfigurationHandle);
    EXPECT_NE(select.Entry(0)->InterfaceHandle, nullptr);
    EXPECT_EQ(select.Entry(0)->Pipes[0].EndpointAddress, 0x81);
    EXPECT_EQ(select.Entry(1)->Class, 0x0A);
    EXPECT_EQ(select.Entry(1)->Pipes[1].EndpointAddress, 0x02);
    EXPECT_NE(select.Entry(1)->Pipes[1].PipeHandle, nullptr);
}

TEST_F(ForwardTest, SecondInterfaceSelectionFailing)
{
    SelectConfiguration select;
    machine->World().Faults().Arm("WdfUsbTargetDeviceSendUrbSynchronously", STATUS_IO_TIMEOUT, 1);
    const auto result = x9tr::test::SendInternalControl(modem, IOCTL_INTERNAL_USB_SUBMIT_URB, select.Urb());
    EXPECT_EQ(result.Status, STATUS_IO_TIMEOUT);
    EXPECT_NE(select.Entry(0)->InterfaceHandle, nullptr); // the first keeps its results
    EXPECT_EQ(select.Entry(1)->InterfaceHandle, nullptr);
    EXPECT_EQ(select.Urb()->ConfigurationHandle, nullptr);
}

TEST_F(ForwardTest, EntryOfLengthZeroSelectsNothing)
{
    SelectConfiguration select;
    select.Entry(0)->Length = 0;
    const auto result = x9tr::test::SendInternalControl(modem, IOCTL_INTERNAL_USB_SUBMIT_URB, select.Urb());
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(select.Urb()->ConfigurationHandle, Parent()->ConfigurationHandle);
    EXPECT_EQ(select.Entry(0)->InterfaceHandle, nullptr);
}

TEST_F(ForwardTest, PortRequestsRefusedOrPassedOn)
{
    struct Case {
        ULONG Code;
        NTSTATUS Status;
    };
    const Case cases[] = {
        {IOCTL_INTERNAL_USB_RESET_PORT, STATUS_NOT_SUPPORTED},
        {IOCTL_INTERNAL_USB_CYCLE_PORT, STATUS_NOT_SUPPORTED},
        {IOCTL_INTERNAL_USB_ENABLE_PORT, STATUS_NOT_SUPPORTED},
        {IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, STATUS_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(x9tr::test::SendInternalControl(modem, c.Code, nullptr).Status, c.Status) << std::hex << c.Code;
    }
    ULONG portStatus = 0;
    EXPECT_EQ(x9tr::test::SendInternalControl(modem, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(portStatus, USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
}

TEST_F(ForwardTest, ReadsAndWritesOnAChildAreRefused)
{
    EXPECT_EQ(x9tr::test::SendMajor(modem, IRP_MJ_READ, 64).Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(x9tr::test::SendMajor(modem, IRP_MJ_WRITE, 64).Status, STATUS_NOT_SUPPORTED);
}

} // namespace

namespace {

TEST_F(ForwardTest, StoppingAPipeCancelsWhatWasSentAndRefusesNewSends)
{
    WDFUSBPIPE bulkIn = x9tr::test::PipeFor(modem, 0x82);
    WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(bulkIn);
    PendingTransfer read(bulkIn, {}, 512);
    machine->Settle();
    ASSERT_FALSE(read.Done());
    WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
    EXPECT_TRUE(read.Done()); // the stop waits for the cancelled read
    EXPECT_EQ(read.Collect().Status, STATUS_CANCELLED);
    EXPECT_EQ(WdfIoTargetGetState(target), WdfIoTargetStopped);

    // A reset ignoring the target's state still goes; a plain one does not.
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_TIMEOUT | WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
    options.Timeout = WDF_REL_TIMEOUT_IN_SEC(1);
    EXPECT_EQ(WdfUsbTargetPipeResetSynchronously(bulkIn, nullptr, &options), STATUS_SUCCESS);
    EXPECT_EQ(WdfUsbTargetPipeResetSynchronously(bulkIn, nullptr, nullptr), STATUS_INVALID_DEVICE_STATE);

    EXPECT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
    PendingTransfer again(bulkIn, {}, 512);
    Handset().Feed(0x82, Bytes(5, 1));
    EXPECT_EQ(again.Collect().Length, 5u);
}

} // namespace

namespace {

TEST_F(ForwardTest, ClassRequestsReachTheHandsetThroughChildAndParent)
{
    Handset().SetClassRequestHandler(0, [](const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<const std::byte>) {
        platform::usb::ControlAnswer answer;
        if (setup.bRequest == 0x21) {
            answer.Data = Bytes(7, 0x80);
        }
        return answer;
    });
    const WDFUSBDEVICE usb = GetFunctionContext(modem)->UsbDevice;
    UCHAR coding[7] = {0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08};
    WDF_USB_CONTROL_SETUP_PACKET setup;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&setup, BmRequestHostToDevice, BmRequestToInterface, 0x20, 0, 0);
    WDF_MEMORY_DESCRIPTOR memory;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, coding, sizeof(coding));
    ULONG transferred = 0;
    EXPECT_EQ(WdfUsbTargetDeviceSendControlTransferSynchronously(usb, nullptr, nullptr, &setup, &memory, &transferred),
              STATUS_SUCCESS);
    EXPECT_EQ(transferred, 7u);
    const auto log = Handset().ClassAndVendorRequests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].Setup.bmRequestType, 0x21);
    EXPECT_EQ(log[0].Setup.bRequest, 0x20);
    EXPECT_EQ(log[0].Data.size(), 7u);
    EXPECT_EQ(std::to_integer<UCHAR>(log[0].Data[1]), 0xC2);

    UCHAR answer[7] = {};
    WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&setup, BmRequestDeviceToHost, BmRequestToInterface, 0x21, 0, 0);
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, answer, sizeof(answer));
    EXPECT_EQ(WdfUsbTargetDeviceSendControlTransferSynchronously(usb, nullptr, nullptr, &setup, &memory, &transferred),
              STATUS_SUCCESS);
    EXPECT_EQ(transferred, 7u);
    EXPECT_EQ(answer[0], 0x80);
}

} // namespace

namespace {

std::vector<std::vector<std::byte>> readerSaw;
std::vector<NTSTATUS> readerFailures;

void ReaderComplete(WDFUSBPIPE, WDFMEMORY Buffer, std::size_t Bytes, WDFCONTEXT)
{
    auto* data = static_cast<std::byte*>(WdfMemoryGetBuffer(Buffer, nullptr));
    readerSaw.emplace_back(data, data + Bytes);
}

BOOLEAN ReadersFailed(WDFUSBPIPE, NTSTATUS Status, USBD_STATUS)
{
    readerFailures.push_back(Status);
    return TRUE;
}

TEST_F(ForwardTest, ContinuousReaderKeepsReadingUntilItsTargetStops)
{
    readerSaw.clear();
    readerFailures.clear();
    WDFUSBPIPE interrupt = x9tr::test::PipeFor(modem, 0x81);
    WDF_USB_CONTINUOUS_READER_CONFIG config;
    WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, ReaderComplete, nullptr, 16);
    config.EvtUsbTargetPipeReadersFailed = ReadersFailed;
    ASSERT_EQ(WdfUsbTargetPipeConfigContinuousReader(interrupt, &config), STATUS_SUCCESS);
    EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(interrupt, &config), STATUS_INVALID_DEVICE_STATE);
    const WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(interrupt);
    ASSERT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
    machine->Settle();
    EXPECT_EQ(Handset().PendingTransfers(0x81), 2u);

    for (unsigned i = 0; i < 3; ++i) {
        Handset().Feed(0x81, Bytes(10, i));
        machine->Settle();
    }
    ASSERT_EQ(readerSaw.size(), 3u);
    EXPECT_EQ(readerSaw[2], Bytes(10, 2));

    // A failing read: the driver is asked, the pipe reset, the reader goes on.
    Handset().FailNext(0x81, USBD_STATUS_STALL_PID);
    machine->Settle();
    ASSERT_EQ(readerFailures.size(), 1u);
    EXPECT_EQ(Handset().PendingTransfers(0x81), 2u);
    Handset().Feed(0x81, Bytes(4, 9));
    machine->Settle();
    EXPECT_EQ(readerSaw.size(), 4u);

    WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
    EXPECT_EQ(Handset().PendingTransfers(0x81), 0u);
    Handset().Feed(0x81, Bytes(4, 1));
    machine->Settle();
    EXPECT_EQ(readerSaw.size(), 4u);
    EXPECT_EQ(readerFailures.size(), 1u); // stopping is no failure
}

} // namespace

namespace {

TEST_F(ForwardTest, NetworkFunctionSelectsItsDataSettingAndReadsItsStrings)
{
    ASSERT_NE(network, nullptr);
    const WDFUSBDEVICE usb = GetFunctionContext(network)->UsbDevice;
    // Setting 0 of the data interface has no pipes: only the notification pipe is there.
    EXPECT_NE(x9tr::test::PipeFor(network, 0x84), nullptr);
    EXPECT_EQ(x9tr::test::PipeFor(network, 0x85), nullptr);
    ASSERT_EQ(WdfUsbTargetDeviceGetNumInterfaces(usb), 2);
    WDFUSBINTERFACE data = WdfUsbTargetDeviceGetInterface(usb, 1);
    EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(data), 0);

    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS params;
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&params, 1);
    ASSERT_EQ(WdfUsbInterfaceSelectSetting(data, WDF_NO_OBJECT_ATTRIBUTES, &params), STATUS_SUCCESS);
    EXPECT_EQ(Handset().AlternateSetting(4), 1);
    ASSERT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(data), 2);
    WDFUSBPIPE out = WdfUsbInterfaceGetConfiguredPipe(data, 1, nullptr);
    ASSERT_TRUE(WdfUsbTargetPipeIsOutEndpoint(out));
    PendingTransfer write(out, Bytes(100, 2), 0);
    EXPECT_EQ(write.Collect().Status, STATUS_SUCCESS);
    EXPECT_EQ(Handset().OutBytes(0x05), Bytes(100, 2));

    WDF_USB_DEVICE_INFORMATION information;
    WDF_USB_DEVICE_INFORMATION_INIT(&information);
    ASSERT_EQ(WdfUsbTargetDeviceRetrieveInformation(usb, &information), STATUS_SUCCESS);
    EXPECT_EQ(information.Traits, WDF_USB_DEVICE_TRAIT_SELF_POWERED | WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED);

    USHORT count = 0;
    ASSERT_EQ(WdfUsbTargetDeviceQueryString(usb, nullptr, nullptr, nullptr, &count, 7, 0x0409), STATUS_SUCCESS);
    EXPECT_EQ(count, 12);
    USHORT mac[12] = {};
    USHORT small = 4;
    EXPECT_EQ(WdfUsbTargetDeviceQueryString(usb, nullptr, nullptr, mac, &small, 7, 0x0409), STATUS_BUFFER_OVERFLOW);
    ASSERT_EQ(WdfUsbTargetDeviceQueryString(usb, nullptr, nullptr, mac, &count, 7, 0x0409), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(mac), 12), u"02A0C9000001");

    EXPECT_EQ(WdfUsbTargetDeviceIsConnectedSynchronous(usb), STATUS_SUCCESS);
    parent->Port->Disconnect();
    EXPECT_EQ(WdfUsbTargetDeviceIsConnectedSynchronous(usb), STATUS_DEVICE_NOT_CONNECTED);
}

} // namespace
