// The applications' side: a handle opened on a device by name, and reads,
// writes, device controls and internal device controls on it, waited for or
// overlapped, cancelled with the handle's other pending I/O. Requests travel
// as buffered I/O: the data goes in and comes back through a system buffer,
// as the system does for such devices.
#pragma once

#include "platform/kernel/irp.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace platform::pnp {

struct IoResult {
    NTSTATUS Status = STATUS_PENDING;
    ULONG_PTR Information = 0;
    std::vector<std::byte> Data; // what came back (reads, output buffers)
};

class FileHandle;

// An overlapped request: it runs while the application goes on.
class PendingIo {
public:
    ~PendingIo();
    PendingIo(const PendingIo&) = delete;
    PendingIo& operator=(const PendingIo&) = delete;

    bool Done() const { return done_; }
    // The virtual time the request ended at (meaningful once Done).
    LONGLONG CompletedAt() const { return completedAt_; }
    // Runs the machine until the request ends (or the deadline, relative in 100 ns units, passes).
    IoResult Wait(std::optional<LONGLONG> timeout = std::nullopt);
    BOOLEAN Cancel();

    // Made by FileHandle only.
    PendingIo(FileHandle& handle, PIRP irp, std::size_t outputLength);

private:
    friend class FileHandle;
    static NTSTATUS Completion(PDEVICE_OBJECT device, PIRP irp, PVOID context);

    FileHandle* handle_;
    PIRP irp_;
    std::vector<std::byte> buffer_;
    std::size_t outputLength_;
    bool done_ = false;
    LONGLONG completedAt_ = 0;
    IoResult result_;
};

class FileHandle {
public:
    // Opens the device the name (or a link) names: a create request goes to
    // the top of its stack. "COM5" and "\\.\COM5" name \DosDevices\COM5.
    // Null with *Status the reason when it fails.
    static std::unique_ptr<FileHandle> Open(std::u16string_view name, NTSTATUS* status);
    // Closing sends the cleanup and close requests.
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    IoResult Read(std::size_t length) { return Finish(StartRead(length)); }
    IoResult Write(std::span<const std::byte> data) { return Finish(StartWrite(data)); }
    IoResult DeviceControl(ULONG code, std::span<const std::byte> input, std::size_t outputLength)
    {
        return Finish(StartDeviceControl(code, input, outputLength));
    }
    IoResult InternalDeviceControl(ULONG code, PVOID argument1)
    {
        return Finish(StartInternalDeviceControl(code, argument1));
    }

    std::unique_ptr<PendingIo> StartRead(std::size_t length);
    std::unique_ptr<PendingIo> StartWrite(std::span<const std::byte> data);
    std::unique_ptr<PendingIo> StartDeviceControl(ULONG code, std::span<const std::byte> input,
                                                  std::size_t outputLength);
    std::unique_ptr<PendingIo> StartInternalDeviceControl(ULONG code, PVOID argument1);
    // An internal control that carries buffers, as the serial stack's own do.
    std::unique_ptr<PendingIo> StartInternalDeviceControl(ULONG code, std::span<const std::byte> input,
                                                          std::size_t outputLength);
    IoResult InternalDeviceControl(ULONG code, std::span<const std::byte> input, std::size_t outputLength)
    {
        return Finish(StartInternalDeviceControl(code, input, outputLength));
    }
    // Flush, and the file information a serial device answers.
    IoResult Flush() { return Finish(StartFlush()); }
    IoResult QueryInformation(FILE_INFORMATION_CLASS informationClass, std::size_t length)
    {
        return Finish(StartQueryInformation(informationClass, length));
    }
    IoResult SetInformation(FILE_INFORMATION_CLASS informationClass, std::span<const std::byte> data)
    {
        return Finish(StartSetInformation(informationClass, data));
    }
    std::unique_ptr<PendingIo> StartFlush();
    std::unique_ptr<PendingIo> StartQueryInformation(FILE_INFORMATION_CLASS informationClass, std::size_t length);
    std::unique_ptr<PendingIo> StartSetInformation(FILE_INFORMATION_CLASS informationClass,
                                                   std::span<const std::byte> data);
    // Cancels every request of this handle still pending.
    void CancelIo();

    PFILE_OBJECT File() { return &file_; }

    // Made by Open only.
    FileHandle(PDEVICE_OBJECT top, std::u16string name);

private:
    friend class PendingIo;
    // Waits for a request started for one of the waiting calls above and
    // hands over its result.
    static IoResult Finish(std::unique_ptr<PendingIo> io);
    NTSTATUS SendFileRequest(UCHAR majorFunction);
    std::unique_ptr<PendingIo> Start(IO_STACK_LOCATION stack, std::span<const std::byte> input, std::size_t outputLength);
    // A device control or an internal device control with buffers.
    std::unique_ptr<PendingIo> StartControl(UCHAR majorFunction, ULONG code, std::span<const std::byte> input,
                                            std::size_t outputLength);

    PDEVICE_OBJECT top_;
    std::u16string name_;
    FILE_OBJECT file_{};
    std::vector<PendingIo*> pending_;
};

} // namespace platform::pnp
