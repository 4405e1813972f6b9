// Kernel events and waits on the dispatcher.
#include "platform/kernel/event.h"

#include "platform/platform.h"

#include <optional>

namespace {

std::optional<platform::Ticks> Deadline(platform::Dispatcher& dispatcher, const LARGE_INTEGER* timeout)
{
    if (timeout == nullptr) {
        return std::nullopt;
    }
    if (timeout->QuadPart < 0) {
        return dispatcher.Now() - timeout->QuadPart;
    }
    return timeout->QuadPart;
}

} // namespace

void KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Event->Type = Type;
    Event->State.store(State ? 1 : 0);
}

LONG KeSetEvent(PKEVENT Event, LONG, BOOLEAN) { return Event->State.exchange(1); }

void KeClearEvent(PKEVENT Event) { Event->State.store(0); }

LONG KeResetEvent(PKEVENT Event) { return Event->State.exchange(0); }

LONG KeReadStateEvent(PKEVENT Event) { return Event->State.load(); }

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout)
{
    auto* event = static_cast<PKEVENT>(Object);
    auto& dispatcher = platform::Platform::Current().Dispatcher();
    auto done = [event] {
        if (event->Type == SynchronizationEvent) {
            LONG expected = 1;
            return event->State.compare_exchange_strong(expected, 0);
        }
        return event->State.load() != 0;
    };
    // A zero time-out only tests the event; it is no wait.
    if (Timeout != nullptr && Timeout->QuadPart == 0) {
        return done() ? STATUS_SUCCESS : STATUS_TIMEOUT;
    }
    return dispatcher.WaitUntil(done, Deadline(dispatcher, Timeout)) ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval)
{
    auto& dispatcher = platform::Platform::Current().Dispatcher();
    const auto deadline = Deadline(dispatcher, Interval);
    dispatcher.WaitUntil([] { return false; }, deadline.value_or(dispatcher.Now()));
    return STATUS_SUCCESS;
}

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = platform::Platform::Current().Dispatcher().Now();
}
