// Framework I/O queues: creation and the device's default queue.
#include "platform/platform.h"
#include "platform/wdf/device.h"
#include "platform/wdf/wdf_queue.h"

namespace platform::wdf {
namespace {

class Queue final : public Object {
public:
    Queue() : Object(ObjectKind::Queue) {}
    WDF_IO_QUEUE_CONFIG Config{};
    Device* Owner = nullptr;
};

} // namespace
} // namespace platform::wdf

using platform::Platform;
using platform::wdf::Device;
using platform::wdf::Queue;

NTSTATUS WdfIoQueueCreate(WDFDEVICE DeviceHandle, PWDF_IO_QUEUE_CONFIG Config, PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                          WDFQUEUE* QueueHandle)
{
    if (QueueHandle != nullptr) {
        *QueueHandle = nullptr;
    }
    Device* device = platform::wdf::ResolveDevice(DeviceHandle, "WdfIoQueueCreate");
    if (device == nullptr || Config == nullptr || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG) ||
        Config->DispatchType <= WdfIoQueueDispatchInvalid || Config->DispatchType >= WdfIoQueueDispatchMax) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Config->DefaultQueue && device->DefaultQueue != nullptr) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfIoQueueCreate")) {
        return *failure;
    }
    auto queue = std::make_unique<Queue>();
    queue->Config = *Config;
    queue->Owner = device;
    Queue* raw = queue.get();
    // A queue belongs to its device unless its attributes name another parent.
    const bool namedParent = QueueAttributes != nullptr && QueueAttributes->ParentObject != nullptr;
    const NTSTATUS status =
        Platform::Current().Objects().Insert(std::move(queue), QueueAttributes, namedParent ? nullptr : device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (Config->DefaultQueue) {
        device->DefaultQueue = raw;
    }
    if (QueueHandle != nullptr) {
        *QueueHandle = static_cast<WDFQUEUE>(raw->Handle());
    }
    return STATUS_SUCCESS;
}

WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE QueueHandle)
{
    Queue* queue =
        Platform::Current().Objects().ResolveAs<Queue>(QueueHandle, platform::wdf::ObjectKind::Queue, "WdfIoQueueGetDevice");
    return queue != nullptr ? static_cast<WDFDEVICE>(queue->Owner->Handle()) : nullptr;
}

WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE DeviceHandle)
{
    Device* device = platform::wdf::ResolveDevice(DeviceHandle, "WdfDeviceGetDefaultQueue");
    if (device == nullptr || device->DefaultQueue == nullptr) {
        return nullptr;
    }
    return static_cast<WDFQUEUE>(device->DefaultQueue->Handle());
}
