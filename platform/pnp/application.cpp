// Handles, and the requests applications send through them.
#include "platform/pnp/application.h"

#include "platform/platform.h"

#include <algorithm>
#include <cstring>

namespace platform::pnp {

namespace {

PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device)
{
    while (device->AttachedDevice != nullptr) {
        device = device->AttachedDevice;
    }
    return device;
}

} // namespace

PendingIo::PendingIo(FileHandle& handle, PIRP irp, std::size_t outputLength)
    : handle_(&handle), irp_(irp), outputLength_(outputLength)
{
}

PendingIo::~PendingIo()
{
    if (!done_) {
        // An application that lets go of a pending request cancels it and waits for its end.
        Cancel();
        Wait();
    }
    if (handle_ != nullptr) {
        auto& pending = handle_->pending_;
        pending.erase(std::remove(pending.begin(), pending.end(), this), pending.end());
    }
    IoFreeIrp(irp_);
}

NTSTATUS PendingIo::Completion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* self = static_cast<PendingIo*>(context);
    self->done_ = true;
    self->completedAt_ = Platform::Current().Dispatcher().Now();
    self->result_.Status = irp->IoStatus.Status;
    self->result_.Information = irp->IoStatus.Information;
    // Buffered output: what the driver says it wrote, never more than the buffer.
    const std::size_t count = std::min<std::size_t>(irp->IoStatus.Information, self->outputLength_);
    if (NT_SUCCESS(irp->IoStatus.Status) || irp->IoStatus.Status == STATUS_BUFFER_OVERFLOW) {
        // The system buffer itself becomes the result, cut to the count: the
        // IRP is done with it, and its memory stays where SystemBuffer points.
        self->buffer_.resize(count);
        self->result_.Data = std::move(self->buffer_);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

IoResult FileHandle::Finish(std::unique_ptr<PendingIo> io)
{
    io->Wait();
    // Nobody else sees this request: its result is handed over, not copied.
    return std::move(io->result_);
}

IoResult PendingIo::Wait(std::optional<LONGLONG> timeout)
{
    auto& dispatcher = Platform::Current().Dispatcher();
    std::optional<Ticks> deadline;
    if (timeout) {
        deadline = dispatcher.Now() + *timeout;
    }
    dispatcher.WaitUntil([this] { return done_; }, deadline);
    return result_;
}

BOOLEAN PendingIo::Cancel() { return done_ ? FALSE : IoCancelIrp(irp_); }

FileHandle::FileHandle(PDEVICE_OBJECT top, std::u16string name) : top_(top), name_(std::move(name))
{
    file_.DeviceObject = top;
}

std::unique_ptr<FileHandle> FileHandle::Open(std::u16string_view name, NTSTATUS* status)
{
    // "COM5" and "\\.\COM5" name the link \DosDevices\COM5, as an application's names do.
    std::u16string path(name);
    if (path.starts_with(u"\\\\.\\")) {
        path = u"\\DosDevices\\" + path.substr(4);
    } else if (!path.empty() && path.front() != u'\\') {
        path = u"\\DosDevices\\" + path;
    }
    PDEVICE_OBJECT device = Platform::Current().Names().Resolve(path);
    if (device == nullptr || device->Handler == nullptr) {
        if (status != nullptr) {
            *status = STATUS_OBJECT_NAME_NOT_FOUND;
        }
        return nullptr;
    }
    auto handle = std::make_unique<FileHandle>(TopOf(device), std::u16string(name));
    const NTSTATUS created = handle->SendFileRequest(IRP_MJ_CREATE);
    if (status != nullptr) {
        *status = created;
    }
    if (!NT_SUCCESS(created)) {
        handle->top_ = nullptr; // never opened: nothing to close
        return nullptr;
    }
    return handle;
}

FileHandle::~FileHandle()
{
    if (top_ == nullptr) {
        return;
    }
    CancelIo();
    // Pending requests own their IRPs; they are told their handle is gone.
    for (PendingIo* io : pending_) {
        io->handle_ = nullptr;
    }
    SendFileRequest(IRP_MJ_CLEANUP);
    SendFileRequest(IRP_MJ_CLOSE);
}

NTSTATUS FileHandle::SendFileRequest(UCHAR majorFunction)
{
    IO_STACK_LOCATION stack{};
    stack.MajorFunction = majorFunction;
    auto io = Start(stack, {}, 0);
    return io->Wait().Status;
}

std::unique_ptr<PendingIo> FileHandle::Start(IO_STACK_LOCATION stack, std::span<const std::byte> input,
                                             std::size_t outputLength)
{
    PIRP irp = IoAllocateIrp(top_->StackSize, FALSE);
    auto io = std::make_unique<PendingIo>(*this, irp, outputLength);
    io->buffer_.assign(std::max(input.size(), outputLength), std::byte{0});
    if (!input.empty()) {
        std::memcpy(io->buffer_.data(), input.data(), input.size());
    }
    irp->SystemBuffer = io->buffer_.empty() ? nullptr : io->buffer_.data();
    irp->IoStatus.Status = STATUS_PENDING;
    stack.FileObject = &file_;
    *IoGetNextIrpStackLocation(irp) = stack;
    IoSetCompletionRoutine(irp, PendingIo::Completion, io.get(), TRUE, TRUE, TRUE);
    pending_.push_back(io.get());
    IoCallDriver(top_, irp);
    return io;
}

std::unique_ptr<PendingIo> FileHandle::StartFlush()
{
    IO_STACK_LOCATION stack{};
    stack.MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    return Start(stack, {}, 0);
}

std::unique_ptr<PendingIo> FileHandle::StartQueryInformation(FILE_INFORMATION_CLASS informationClass,
                                                             std::size_t length)
{
    IO_STACK_LOCATION stack{};
    stack.MajorFunction = IRP_MJ_QUERY_INFORMATION;
    stack.Parameters.QueryFile.Length = static_cast<ULONG>(length);
    stack.Parameters.QueryFile.FileInformationClass = informationClass;
    return Start(stack, {}, length);
}

std::unique_ptr<PendingIo> FileHandle::StartSetInformation(FILE_INFORMATION_CLASS informationClass,
                                                           std::span<const std::byte> data)
{
    IO_STACK_LOCATION stack{};
    stack.MajorFunction = IRP_MJ_SET_INFORMATION;
    stack.Parameters.SetFile.Length = static_cast<ULONG>(data.size());
    stack.Parameters.SetFile.FileInformationClass = informationClass;
    stack.Parameters.SetFile.FileObject = &file_;
    return Start(stack, data, 0);
}

std::unique_ptr<PendingIo> FileHandle::StartRead(std::size_t length)
{
    IO_STACK_LOCATION stack{};
    stack.MajorFunction = IRP_MJ_READ;
    stack.Parameters.Read.Length = static_cast<ULONG>(length);
    return Start(stack, {}, length);
}

std::unique_ptr<PendingIo> FileHandle::StartWrite(std::span<const std::byte> data)
{
    IO_STACK_LOCATION stack{};
    stack.MajorFunction = IRP_MJ_WRITE;
    stack.Parameters.Write.Length = static_cast<ULONG>(data.size());
    return Start(stack, data, 0);
}

std::unique_ptr<PendingIo> FileHandle::StartControl(UCHAR majorFunction, ULONG code,
                                                    std::span<const std::byte> input, std::size_t outputLength)
{
    IO_STACK_LOCATION stack{};
    stack.MajorFunction = majorFunction;
    stack.Parameters.DeviceIoControl.IoControlCode = code;
    stack.Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
    stack.Parameters.DeviceIoControl.OutputBufferLength = static_cast<ULONG>(outputLength);
    return Start(stack, input, outputLength);
}

std::unique_ptr<PendingIo> FileHandle::StartDeviceControl(ULONG code, std::span<const std::byte> input,
                                                          std::size_t outputLength)
{
    return StartControl(IRP_MJ_DEVICE_CONTROL, code, input, outputLength);
}

std::unique_ptr<PendingIo> FileHandle::StartInternalDeviceControl(ULONG code, PVOID argument1)
{
    IO_STACK_LOCATION stack{};
    stack.MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack.Parameters.DeviceIoControl.IoControlCode = code;
    stack.Parameters.Others.Argument1 = argument1;
    return Start(stack, {}, 0);
}

std::unique_ptr<PendingIo> FileHandle::StartInternalDeviceControl(ULONG code, std::span<const std::byte> input,
                                                                  std::size_t outputLength)
{
    return StartControl(IRP_MJ_INTERNAL_DEVICE_CONTROL, code, input, outputLength);
}

void FileHandle::CancelIo()
{
    const auto pending = pending_;
    for (PendingIo* io : pending) {
        io->Cancel();
    }
}

} // namespace platform::pnp
