// Framework timers and work items on the dispatcher.
#include "platform/platform.h"
#include "platform/wdf/device.h"
#include "platform/wdf/wdf_timer.h"

namespace platform::wdf {

namespace {

// The device whose synchronisation an object's callbacks share, if any.
Device* SerializingDevice(Object& object)
{
    for (Object* at = &object; at != nullptr; at = at->Parent()) {
        if (at->Kind() == ObjectKind::Device) {
            auto* device = static_cast<Device*>(at);
            return device->SerializesCallbacks(object) ? device : nullptr;
        }
    }
    return nullptr;
}

// Runs Fn as the object's driver code, under its device's lock when it
// shares it; when the lock is busy the run waits for its release.
void RunSerialized(Object& object, bool serialize, std::function<void()> fn)
{
    Device* device = serialize ? SerializingDevice(object) : nullptr;
    if (device == nullptr) {
        InvokeDriverCallback(object, fn);
        return;
    }
    if (!device->EnterCallback()) {
        device->Deferred.push_back([&object, fn] { InvokeDriverCallback(object, fn); });
        return;
    }
    InvokeDriverCallback(object, fn);
    device->LeaveCallback();
}

class Timer final : public Object {
public:
    Timer() : Object(ObjectKind::Timer) {}
    WDF_TIMER_CONFIG Config{};
    std::optional<Dispatcher::EventId> Event;
    int Running = 0;

    void Arm(Ticks due)
    {
        auto& dispatcher = Platform::Current().Dispatcher();
        const WDFOBJECT handle = Handle();
        Event = dispatcher.PostAt(due, [handle] { Fire(handle); }, "timer");
    }

    static void Fire(WDFOBJECT handle)
    {
        auto* timer = static_cast<Timer*>(Platform::Current().Objects().Lookup(handle, ObjectKind::Timer));
        if (timer == nullptr || timer->IsDeleted()) {
            return;
        }
        timer->Event.reset();
        if (timer->Config.Period != 0) {
            timer->Arm(Platform::Current().Dispatcher().Now() + timer->Config.Period * kTicksPerMillisecond);
        }
        // The callback may delete its own timer: a reference keeps the
        // object until the run is over.
        auto& objects = Platform::Current().Objects();
        objects.Reference(*timer);
        ++timer->Running;
        const auto callback = timer->Config.EvtTimerFunc;
        RunSerialized(*timer, timer->Config.AutomaticSerialization != FALSE,
                      [callback, handle] { callback(static_cast<WDFTIMER>(handle)); });
        --timer->Running;
        objects.Dereference(*timer, "the timer's run");
    }

    void OnDelete() override
    {
        if (Event) {
            Platform::Current().Dispatcher().Cancel(*Event);
            Event.reset();
        }
    }
};

class WorkItem final : public Object {
public:
    WorkItem() : Object(ObjectKind::WorkItem) {}
    WDF_WORKITEM_CONFIG Config{};
    bool Queued = false;
    bool Running = false;
    std::optional<Dispatcher::EventId> Event;

    static void Run(WDFOBJECT handle)
    {
        auto* item = static_cast<WorkItem*>(Platform::Current().Objects().Lookup(handle, ObjectKind::WorkItem));
        if (item == nullptr || item->IsDeleted()) {
            return;
        }
        item->Event.reset();
        item->Queued = false;
        // The callback may delete its own work item, as drivers that make
        // one for each job do: a reference keeps the object until the run is over.
        auto& objects = Platform::Current().Objects();
        objects.Reference(*item);
        item->Running = true;
        const auto callback = item->Config.EvtWorkItemFunc;
        RunSerialized(*item, item->Config.AutomaticSerialization != FALSE,
                      [callback, handle] { callback(static_cast<WDFWORKITEM>(handle)); });
        item->Running = false;
        objects.Dereference(*item, "the work item's run");
    }

    void OnDelete() override
    {
        if (Event) {
            Platform::Current().Dispatcher().Cancel(*Event);
            Event.reset();
        }
    }
};

template <class T>
NTSTATUS CreateWithParent(std::unique_ptr<T> object, PWDF_OBJECT_ATTRIBUTES attributes, const char* operation,
                          WDFOBJECT* handle)
{
    if (attributes == nullptr || attributes->ParentObject == nullptr) {
        GetVerifier().Report(VerifierRule::InvalidParameter, std::string(operation) + " needs a parent object");
        return STATUS_INVALID_PARAMETER;
    }
    if (auto failure = Platform::Current().Faults().Take(operation)) {
        return *failure;
    }
    T* raw = object.get();
    const NTSTATUS status = Platform::Current().Objects().Insert(std::move(object), attributes);
    if (NT_SUCCESS(status)) {
        *handle = raw->Handle();
    }
    return status;
}

} // namespace

void Device::LeaveCallback()
{
    CallbackBusy = false;
    for (Object* queue : Queues) {
        if (CallbackBusy) {
            return;
        }
        DispatchQueue(*queue);
    }
    // Timer and work item callbacks that waited for the lock.
    while (!CallbackBusy && !Deferred.empty()) {
        auto run = std::move(Deferred.front());
        Deferred.erase(Deferred.begin());
        CallbackBusy = true;
        run();
        CallbackBusy = false;
    }
}

} // namespace platform::wdf

using platform::Platform;
using platform::wdf::Timer;
using platform::wdf::WorkItem;

NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFTIMER* TimerHandle)
{
    if (TimerHandle == nullptr || Config == nullptr || Config->Size != sizeof(WDF_TIMER_CONFIG) ||
        Config->EvtTimerFunc == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *TimerHandle = nullptr;
    auto timer = std::make_unique<Timer>();
    timer->Config = *Config;
    WDFOBJECT handle = nullptr;
    const NTSTATUS status = platform::wdf::CreateWithParent(std::move(timer), Attributes, "WdfTimerCreate", &handle);
    if (NT_SUCCESS(status)) {
        *TimerHandle = static_cast<WDFTIMER>(handle);
    }
    return status;
}

BOOLEAN WdfTimerStart(WDFTIMER TimerHandle, LONGLONG DueTime)
{
    Timer* timer = Platform::Current().Objects().ResolveAs<Timer>(TimerHandle, platform::wdf::ObjectKind::Timer,
                                                                  "WdfTimerStart");
    if (timer == nullptr) {
        return FALSE;
    }
    auto& dispatcher = Platform::Current().Dispatcher();
    const bool waiting = timer->Event.has_value();
    if (waiting) {
        dispatcher.Cancel(*timer->Event);
        timer->Event.reset();
    }
    timer->Arm(DueTime < 0 ? dispatcher.Now() - DueTime : DueTime);
    return waiting ? TRUE : FALSE;
}

BOOLEAN WdfTimerStop(WDFTIMER TimerHandle, BOOLEAN Wait)
{
    Timer* timer = Platform::Current().Objects().ResolveAs<Timer>(TimerHandle, platform::wdf::ObjectKind::Timer,
                                                                  "WdfTimerStop");
    if (timer == nullptr) {
        return FALSE;
    }
    bool waiting = false;
    if (timer->Event) {
        waiting = Platform::Current().Dispatcher().Cancel(*timer->Event);
        timer->Event.reset();
    }
    if (Wait && timer->Running > 0) {
        // Only another context can be running it; this one cannot wait for itself.
        if (platform::ExecutionContext::Current().SpinLocksHeld > 0) {
            platform::GetVerifier().Report(platform::VerifierRule::WaitAtRaisedLevel,
                                           "WdfTimerStop with Wait while a spin lock is held");
        }
    }
    return waiting ? TRUE : FALSE;
}

WDFOBJECT WdfTimerGetParentObject(WDFTIMER TimerHandle)
{
    Timer* timer = Platform::Current().Objects().ResolveAs<Timer>(TimerHandle, platform::wdf::ObjectKind::Timer,
                                                                  "WdfTimerGetParentObject");
    return timer != nullptr && timer->Parent() != nullptr ? timer->Parent()->Handle() : nullptr;
}

NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFWORKITEM* WorkItemHandle)
{
    if (WorkItemHandle == nullptr || Config == nullptr || Config->Size != sizeof(WDF_WORKITEM_CONFIG) ||
        Config->EvtWorkItemFunc == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *WorkItemHandle = nullptr;
    auto item = std::make_unique<WorkItem>();
    item->Config = *Config;
    WDFOBJECT handle = nullptr;
    const NTSTATUS status = platform::wdf::CreateWithParent(std::move(item), Attributes, "WdfWorkItemCreate", &handle);
    if (NT_SUCCESS(status)) {
        *WorkItemHandle = static_cast<WDFWORKITEM>(handle);
    }
    return status;
}

void WdfWorkItemEnqueue(WDFWORKITEM WorkItemHandle)
{
    WorkItem* item = Platform::Current().Objects().ResolveAs<WorkItem>(WorkItemHandle, platform::wdf::ObjectKind::WorkItem,
                                                                       "WdfWorkItemEnqueue");
    if (item == nullptr || item->Queued) {
        return;
    }
    item->Queued = true;
    const WDFOBJECT handle = item->Handle();
    item->Event = Platform::Current().Dispatcher().Post([handle] { WorkItem::Run(handle); }, "work item");
}

void WdfWorkItemFlush(WDFWORKITEM WorkItemHandle)
{
    WorkItem* item = Platform::Current().Objects().ResolveAs<WorkItem>(WorkItemHandle, platform::wdf::ObjectKind::WorkItem,
                                                                       "WdfWorkItemFlush");
    if (item == nullptr) {
        return;
    }
    Platform::Current().Dispatcher().WaitUntil([item] { return !item->Queued && !item->Running; }, std::nullopt);
}

WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItemHandle)
{
    WorkItem* item = Platform::Current().Objects().ResolveAs<WorkItem>(WorkItemHandle, platform::wdf::ObjectKind::WorkItem,
                                                                       "WdfWorkItemGetParentObject");
    return item != nullptr && item->Parent() != nullptr ? item->Parent()->Handle() : nullptr;
}
