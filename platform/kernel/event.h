// Kernel events and waits. A wait runs the dispatcher until the event is
// signalled or the time-out passes, so on the virtual clock a 2-second
// time-out costs no real time. Times are in 100 ns units: negative values
// are relative, positive ones absolute (the virtual clock's reading).
#pragma once

#include "platform/kernel/ntstatus.h"

#include <atomic>

union LARGE_INTEGER {
    LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

enum EVENT_TYPE { NotificationEvent, SynchronizationEvent };
enum KWAIT_REASON { Executive };
enum KPROCESSOR_MODE { KernelMode, UserMode };

struct KEVENT {
    EVENT_TYPE Type;
    std::atomic<LONG> State;
};
using PKEVENT = KEVENT*;

void KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
// Returns the previous state.
LONG KeSetEvent(PKEVENT Event, LONG Increment, BOOLEAN Wait);
void KeClearEvent(PKEVENT Event);
LONG KeResetEvent(PKEVENT Event);
LONG KeReadStateEvent(PKEVENT Event);
// STATUS_SUCCESS when the event was signalled (a synchronization event is
// then reset), STATUS_TIMEOUT when the time-out passed first. A null
// Timeout waits without limit.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
// The machine's time in 100 ns units (the virtual clock on the virtual dispatcher).
void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
