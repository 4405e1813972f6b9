// Moving data and control requests through the test function driver, for tests.
#include "tests/support/function_io.h"

#include "platform/platform.h"

#include <gtest/gtest.h>

namespace x9tr::test {

PendingTransfer::PendingTransfer(WDFUSBPIPE pipe, std::vector<std::byte> data, std::size_t readLength)
    : buffer_(data.empty() ? std::vector<std::byte>(readLength) : std::move(data)), read_(readLength != 0)
{
    EXPECT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, WdfUsbTargetPipeGetIoTarget(pipe), &request_), STATUS_SUCCESS);
    EXPECT_EQ(WdfMemoryCreatePreallocated(WDF_NO_OBJECT_ATTRIBUTES, buffer_.data(), buffer_.size(), &memory_),
              STATUS_SUCCESS);
    const NTSTATUS formatted = read_ ? WdfUsbTargetPipeFormatRequestForRead(pipe, request_, memory_, nullptr)
                                     : WdfUsbTargetPipeFormatRequestForWrite(pipe, request_, memory_, nullptr);
    EXPECT_EQ(formatted, STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(request_, Completion, this);
    EXPECT_TRUE(WdfRequestSend(request_, WdfUsbTargetPipeGetIoTarget(pipe), nullptr));
}

PendingTransfer::~PendingTransfer()
{
    WdfObjectDelete(request_);
    WdfObjectDelete(memory_);
}

void PendingTransfer::Completion(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params, PVOID context)
{
    auto* self = static_cast<PendingTransfer*>(context);
    self->done_ = true;
    self->result_.Status = params->IoStatus.Status;
    const auto* usb = params->Parameters.Usb.Completion;
    self->result_.Length = self->read_ ? usb->Parameters.PipeRead.Length : usb->Parameters.PipeWrite.Length;
    if (self->read_) {
        self->result_.Data.assign(self->buffer_.begin(),
                                  self->buffer_.begin() + static_cast<std::ptrdiff_t>(self->result_.Length));
    }
}

TransferResult PendingTransfer::Collect()
{
    auto& dispatcher = platform::Platform::Current().Dispatcher();
    dispatcher.WaitUntil([this] { return done_; }, dispatcher.Now() + 10 * platform::kTicksPerSecond);
    EXPECT_TRUE(done_);
    return result_;
}

namespace {

ControlResult SendStack(WDFDEVICE device, IO_STACK_LOCATION& stack)
{
    WDFIOTARGET target = WdfDeviceGetIoTarget(device);
    WDFREQUEST request = nullptr;
    EXPECT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target, &request), STATUS_SUCCESS);
    WdfRequestWdmFormatUsingStackLocation(request, &stack);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
    WdfRequestSend(request, target, &options);
    const ControlResult result{WdfRequestGetStatus(request), WdfRequestGetInformation(request)};
    WdfObjectDelete(request);
    return result;
}

} // namespace

ControlResult SendInternalControl(WDFDEVICE device, ULONG code, PVOID argument1)
{
    IO_STACK_LOCATION stack{};
    stack.MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack.Parameters.DeviceIoControl.IoControlCode = code;
    stack.Parameters.Others.Argument1 = argument1;
    return SendStack(device, stack);
}

ControlResult SendMajor(WDFDEVICE device, UCHAR majorFunction, std::size_t length)
{
    IO_STACK_LOCATION stack{};
    stack.MajorFunction = majorFunction;
    stack.Parameters.Read.Length = static_cast<ULONG>(length);
    return SendStack(device, stack);
}

} // namespace x9tr::test
