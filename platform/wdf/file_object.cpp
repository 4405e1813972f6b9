// Framework file objects: a create on a device that configured them makes
// one for the handle and hands the create to the driver's callback, which
// completes it; cleanup and close reach the driver's callbacks and the
// close takes the file object away. An exclusive device refuses a second
// handle while one is open.
#include "platform/platform.h"
#include "platform/wdf/device.h"
#include "platform/wdf/request.h"

namespace platform::wdf {

namespace {

class FileObject final : public Object {
public:
    FileObject() : Object(ObjectKind::FileObject) {}
    Device* Owner = nullptr;
    PFILE_OBJECT Wdm = nullptr;
};

ObjectTable& Objects() { return Platform::Current().Objects(); }

void CompleteIrp(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void Forget(Device& device, FileObject& file)
{
    device.Files.erase(file.Wdm);
    Objects().Delete(file);
}

void Create(Device& device, PIRP irp, PFILE_OBJECT wdm)
{
    if (device.Exclusive && !device.Files.empty()) {
        CompleteIrp(irp, STATUS_ACCESS_DENIED);
        return;
    }
    auto owned = std::make_unique<FileObject>();
    FileObject* file = owned.get();
    file->Owner = &device;
    file->Wdm = wdm;
    const WDF_OBJECT_ATTRIBUTES* attributes = device.HasFileObjectConfig ? &device.FileObjectAttributes : nullptr;
    if (!NT_SUCCESS(Objects().Insert(std::move(owned), attributes, &device))) {
        CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    file->SetDriverMayDelete(false);
    device.Files[wdm] = file;
    const PFN_WDF_DEVICE_FILE_CREATE callback = device.FileObjectConfig.EvtDeviceFileCreate;
    if (callback == nullptr) {
        CompleteIrp(irp, STATUS_SUCCESS);
        return;
    }
    auto request = std::make_unique<Request>();
    request->Irp = irp;
    request->Incoming = true;
    request->Owner = &device;
    request->RequestState = Request::State::Presented;
    request->CreatingFile = file;
    request->SetDriverMayDelete(false);
    Request* raw = request.get();
    if (!NT_SUCCESS(Objects().Insert(std::move(request), device.HasRequestAttributes ? &device.RequestAttributes : nullptr,
                                     &device))) {
        Forget(device, *file);
        CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    irp->PlatformRequest = raw;
    irp->CancelRoutine = nullptr;
    const auto deviceHandle = static_cast<WDFDEVICE>(device.Handle());
    const auto requestHandle = raw->AsHandle();
    const auto fileHandle = static_cast<WDFFILEOBJECT>(file->Handle());
    InvokeDriverCallback(device, [&] { callback(deviceHandle, requestHandle, fileHandle); });
}

} // namespace

void FileCreateFinished(Request& request, NTSTATUS status)
{
    auto* file = static_cast<FileObject*>(request.CreatingFile);
    request.CreatingFile = nullptr;
    if (!NT_SUCCESS(status) && file->Owner != nullptr) {
        Forget(*file->Owner, *file);
    }
}

void HandleFileRequest(Device& device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* wdm = static_cast<PFILE_OBJECT>(stack->FileObject);
    if (stack->MajorFunction == IRP_MJ_CREATE) {
        Create(device, irp, wdm);
        return;
    }
    const auto found = device.Files.find(wdm);
    if (found == device.Files.end()) {
        // A handle the device never opened (its create failed): nothing to tell.
        CompleteIrp(irp, STATUS_SUCCESS);
        return;
    }
    auto* file = static_cast<FileObject*>(found->second);
    const auto fileHandle = static_cast<WDFFILEOBJECT>(file->Handle());
    if (stack->MajorFunction == IRP_MJ_CLEANUP) {
        if (const PFN_WDF_FILE_CLEANUP cleanup = device.FileObjectConfig.EvtFileCleanup) {
            InvokeDriverCallback(device, [&] { cleanup(fileHandle); });
        }
    } else if (stack->MajorFunction == IRP_MJ_CLOSE) {
        if (const PFN_WDF_FILE_CLOSE close = device.FileObjectConfig.EvtFileClose) {
            InvokeDriverCallback(device, [&] { close(fileHandle); });
        }
        Forget(device, *file);
    }
    CompleteIrp(irp, STATUS_SUCCESS);
}

} // namespace platform::wdf

using platform::wdf::Device;
using platform::wdf::ObjectKind;

void WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit, PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      PWDF_OBJECT_ATTRIBUTES FileObjectAttributes)
{
    if (DeviceInit == nullptr || FileObjectConfig == nullptr) {
        return;
    }
    DeviceInit->HasFileObjectConfig = true;
    DeviceInit->FileObjectConfig = *FileObjectConfig;
    if (FileObjectAttributes != nullptr) {
        DeviceInit->FileObjectAttributes = *FileObjectAttributes;
    } else {
        WDF_OBJECT_ATTRIBUTES_INIT(&DeviceInit->FileObjectAttributes);
    }
    // File objects belong to their device.
    DeviceInit->FileObjectAttributes.ParentObject = nullptr;
}

void WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive)
{
    if (DeviceInit != nullptr) {
        DeviceInit->Exclusive = IsExclusive != FALSE;
    }
}

namespace {

platform::wdf::FileObject* ResolveFile(WDFFILEOBJECT handle, const char* operation)
{
    return platform::Platform::Current().Objects().ResolveAs<platform::wdf::FileObject>(handle, ObjectKind::FileObject,
                                                                                        operation);
}

} // namespace

WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject)
{
    auto* file = ResolveFile(FileObject, "WdfFileObjectGetDevice");
    return file != nullptr && file->Owner != nullptr ? static_cast<WDFDEVICE>(file->Owner->Handle()) : nullptr;
}

PFILE_OBJECT WdfFileObjectWdmGetFileObject(WDFFILEOBJECT FileObject)
{
    auto* file = ResolveFile(FileObject, "WdfFileObjectWdmGetFileObject");
    return file != nullptr ? file->Wdm : nullptr;
}

WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request)
{
    platform::wdf::Request* request = platform::wdf::ResolveRequest(Request, "WdfRequestGetFileObject");
    if (request == nullptr || request->Irp == nullptr || request->Owner == nullptr) {
        return nullptr;
    }
    auto* wdm = static_cast<PFILE_OBJECT>(IoGetCurrentIrpStackLocation(request->Irp)->FileObject);
    const auto found = request->Owner->Files.find(wdm);
    return found != request->Owner->Files.end() ? static_cast<WDFFILEOBJECT>(found->second->Handle()) : nullptr;
}
