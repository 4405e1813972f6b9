// Applications' handles on a named device: open by name or link, writes,
// reads, device controls, overlapped requests, cancelling a handle's I/O,
// and closing.
#include "platform/pnp/application.h"
#include "tests/support/world.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using platform::pnp::FileHandle;
using x9tr::test::DriverWorld;

void EvtCancelRead(WDFREQUEST Request) { WdfRequestComplete(Request, STATUS_CANCELLED); }

void EvtIoRead(WDFQUEUE, WDFREQUEST Request, std::size_t)
{
    // Reads wait for data that never comes: only a cancel ends them.
    WdfRequestMarkCancelable(Request, EvtCancelRead);
}

void EvtIoWrite(WDFQUEUE, WDFREQUEST Request, std::size_t Length)
{
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, Length);
}

void EvtIoDeviceControl(WDFQUEUE, WDFREQUEST Request, std::size_t OutputBufferLength, std::size_t InputBufferLength,
                        ULONG)
{
    PVOID in = nullptr;
    PVOID out = nullptr;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, 1, &in, nullptr);
    if (NT_SUCCESS(status)) {
        status = WdfRequestRetrieveOutputBuffer(Request, InputBufferLength, &out, nullptr);
    }
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
        return;
    }
    // The same bytes back, reversed: the buffer is shared in and out.
    std::vector<UCHAR> copy(static_cast<UCHAR*>(in), static_cast<UCHAR*>(in) + InputBufferLength);
    for (std::size_t i = 0; i < copy.size() && i < OutputBufferLength; ++i) {
        static_cast<UCHAR*>(out)[i] = copy[copy.size() - 1 - i];
    }
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, copy.size());
}

class Applications : public testing::Test {
protected:
    void SetUp() override
    {
        world.AsDriver([&] {
            auto init = world.DeviceInit(u"TEST\\NAMED\\0");
            UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\X9TRtest0");
            EXPECT_EQ(WdfDeviceInitAssignName(init.get(), &name), STATUS_SUCCESS);
            PWDFDEVICE_INIT raw = init.get();
            EXPECT_EQ(WdfDeviceCreate(&raw, WDF_NO_OBJECT_ATTRIBUTES, &device), STATUS_SUCCESS);
            UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\DosDevices\\TEST9");
            EXPECT_EQ(WdfDeviceCreateSymbolicLink(device, &link), STATUS_SUCCESS);
            WDF_IO_QUEUE_CONFIG config;
            WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
            config.EvtIoRead = EvtIoRead;
            config.EvtIoWrite = EvtIoWrite;
            config.EvtIoDeviceControl = EvtIoDeviceControl;
            EXPECT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, nullptr), STATUS_SUCCESS);
            return 0;
        });
    }

    DriverWorld world;
    WDFDEVICE device = nullptr;
};

TEST_F(Applications, OpenByLinkAndMoveBytes)
{
    NTSTATUS status = STATUS_PENDING;
    auto handle = FileHandle::Open(u"\\DosDevices\\test9", &status); // names ignore case
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(status, STATUS_SUCCESS);

    const std::vector<std::byte> data(10, std::byte{0x5A});
    const auto written = handle->Write(data);
    EXPECT_EQ(written.Status, STATUS_SUCCESS);
    EXPECT_EQ(written.Information, 10u);

    const std::vector<std::byte> input{std::byte{1}, std::byte{2}, std::byte{3}};
    const auto control = handle->DeviceControl(0x222000, input, 8);
    EXPECT_EQ(control.Status, STATUS_SUCCESS);
    EXPECT_EQ(control.Data, (std::vector<std::byte>{std::byte{3}, std::byte{2}, std::byte{1}}));
    const auto tooSmall = handle->DeviceControl(0x222000, input, 2);
    EXPECT_EQ(tooSmall.Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(tooSmall.Data.empty());
}

TEST_F(Applications, OverlappedReadEndsWhenTheHandleCancelsItsIo)
{
    auto handle = FileHandle::Open(u"\\Device\\X9TRtest0", nullptr);
    ASSERT_NE(handle, nullptr);
    auto read = handle->StartRead(16);
    world.World().Dispatcher().RunUntilIdle();
    EXPECT_FALSE(read->Done());
    handle->CancelIo();
    const auto result = read->Wait();
    EXPECT_EQ(result.Status, STATUS_CANCELLED);
    EXPECT_TRUE(result.Data.empty());
}

TEST_F(Applications, UnknownNamesDoNotOpen)
{
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(FileHandle::Open(u"\\DosDevices\\COM99", &status), nullptr);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
}

} // namespace
