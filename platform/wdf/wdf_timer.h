// Framework timers and work items. Both run from the dispatcher; with
// automatic serialisation their callbacks run under their device's
// synchronisation like its queue callbacks.
#pragma once

#include "platform/wdf/wdf_types.h"

struct WDFTIMER__ {};
using WDFTIMER = WDFTIMER__*;
struct WDFWORKITEM__ {};
using WDFWORKITEM = WDFWORKITEM__*;

using EVT_WDF_TIMER = void(WDFTIMER Timer);
using PFN_WDF_TIMER = EVT_WDF_TIMER*;
using EVT_WDF_WORKITEM = void(WDFWORKITEM WorkItem);
using PFN_WDF_WORKITEM = EVT_WDF_WORKITEM*;

struct WDF_TIMER_CONFIG {
    ULONG Size;
    PFN_WDF_TIMER EvtTimerFunc;
    ULONG Period; // ms; 0 for a one-shot timer
    BOOLEAN AutomaticSerialization;
    ULONG TolerableDelay;
};
using PWDF_TIMER_CONFIG = WDF_TIMER_CONFIG*;

inline void WDF_TIMER_CONFIG_INIT(PWDF_TIMER_CONFIG Config, PFN_WDF_TIMER EvtTimerFunc)
{
    *Config = WDF_TIMER_CONFIG{sizeof(WDF_TIMER_CONFIG), EvtTimerFunc, 0, TRUE, 0};
}

inline void WDF_TIMER_CONFIG_INIT_PERIODIC(PWDF_TIMER_CONFIG Config, PFN_WDF_TIMER EvtTimerFunc, LONG Period)
{
    *Config = WDF_TIMER_CONFIG{sizeof(WDF_TIMER_CONFIG), EvtTimerFunc, static_cast<ULONG>(Period), TRUE, 0};
}

// The timer's attributes must name its parent (a device, a queue, or an object under one).
NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFTIMER* Timer);
// DueTime in 100 ns units, negative relative, positive absolute. TRUE when
// the timer was already waiting (it is then restarted).
BOOLEAN WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime);
// TRUE when the timer was waiting and will not fire. With Wait, returns only
// when a callback already running has ended.
BOOLEAN WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait);
WDFOBJECT WdfTimerGetParentObject(WDFTIMER Timer);

struct WDF_WORKITEM_CONFIG {
    ULONG Size;
    PFN_WDF_WORKITEM EvtWorkItemFunc;
    BOOLEAN AutomaticSerialization;
};
using PWDF_WORKITEM_CONFIG = WDF_WORKITEM_CONFIG*;

inline void WDF_WORKITEM_CONFIG_INIT(PWDF_WORKITEM_CONFIG Config, PFN_WDF_WORKITEM EvtWorkItemFunc)
{
    *Config = WDF_WORKITEM_CONFIG{sizeof(WDF_WORKITEM_CONFIG), EvtWorkItemFunc, TRUE};
}

NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFWORKITEM* WorkItem);
// Queues the work item unless it is queued already.
void WdfWorkItemEnqueue(WDFWORKITEM WorkItem);
// Waits until a queued or running callback has ended.
void WdfWorkItemFlush(WDFWORKITEM WorkItem);
WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem);
