// Timers and work items on the virtual clock, and their serialisation with
// the device's other callbacks.
#include "tests/support/world.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using platform::kTicksPerMillisecond;
using x9tr::test::DriverWorld;

std::vector<LONGLONG> fired;
int workRuns = 0;

void EvtTimer(WDFTIMER) { fired.push_back(platform::Platform::Current().Dispatcher().Now() / kTicksPerMillisecond); }
void EvtWork(WDFWORKITEM) { ++workRuns; }

TEST(Timers, OneShotAndPeriodicOnTheVirtualClock)
{
    fired.clear();
    DriverWorld world;
    WDFDEVICE device = world.CreateDevice(u"TEST\\TIMER\\0");
    WDFTIMER once = nullptr;
    WDFTIMER periodic = nullptr;
    world.AsDriver([&] {
        WDF_TIMER_CONFIG config;
        WDF_TIMER_CONFIG_INIT(&config, EvtTimer);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = device;
        EXPECT_EQ(WdfTimerCreate(&config, &attributes, &once), STATUS_SUCCESS);
        WDF_TIMER_CONFIG_INIT_PERIODIC(&config, EvtTimer, 10);
        EXPECT_EQ(WdfTimerCreate(&config, &attributes, &periodic), STATUS_SUCCESS);
        return 0;
    });
    EXPECT_FALSE(WdfTimerStart(once, -25 * kTicksPerMillisecond));
    EXPECT_TRUE(WdfTimerStart(once, -35 * kTicksPerMillisecond)); // restarted: it was waiting
    WdfTimerStart(periodic, -10 * kTicksPerMillisecond);
    world.World().Dispatcher().AdvanceBy(40 * kTicksPerMillisecond);
    EXPECT_EQ(fired, (std::vector<LONGLONG>{10, 20, 30, 35, 40}));
    EXPECT_TRUE(WdfTimerStop(periodic, TRUE));
    EXPECT_FALSE(WdfTimerStop(once, FALSE));
    world.World().Dispatcher().AdvanceBy(100 * kTicksPerMillisecond);
    EXPECT_EQ(fired.size(), 5u);
    EXPECT_EQ(WdfTimerGetParentObject(once), device);
}

TEST(Timers, TimerNeedsAParent)
{
    DriverWorld world;
    platform::VerifierCapture capture;
    WDF_TIMER_CONFIG config;
    WDF_TIMER_CONFIG_INIT(&config, EvtTimer);
    WDFTIMER timer = nullptr;
    EXPECT_EQ(WdfTimerCreate(&config, WDF_NO_OBJECT_ATTRIBUTES, &timer), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(capture.Saw(platform::VerifierRule::InvalidParameter));
}

TEST(WorkItems, QueuedOnceRunsOnceNeverInline)
{
    workRuns = 0;
    DriverWorld world;
    WDFDEVICE device = world.CreateDevice(u"TEST\\WORK\\0");
    WDFWORKITEM item = nullptr;
    world.AsDriver([&] {
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, EvtWork);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = device;
        EXPECT_EQ(WdfWorkItemCreate(&config, &attributes, &item), STATUS_SUCCESS);
        return 0;
    });
    WdfWorkItemEnqueue(item);
    WdfWorkItemEnqueue(item);
    EXPECT_EQ(workRuns, 0);
    WdfWorkItemFlush(item);
    EXPECT_EQ(workRuns, 1);
    WdfWorkItemEnqueue(item);
    world.World().Dispatcher().RunUntilIdle();
    EXPECT_EQ(workRuns, 2);
}

void EvtWorkDeletesItself(WDFWORKITEM item)
{
    ++workRuns;
    WdfObjectDelete(item);
}
void EvtTimerDeletesItself(WDFTIMER timer)
{
    EvtTimer(timer);
    WdfObjectDelete(timer);
}

// A driver that makes a work item (or a one-shot timer) for each job deletes
// it from its own callback; the framework must not touch the object after.
TEST(WorkItems, ACallbackMayDeleteItsOwnWorkItemOrTimer)
{
    workRuns = 0;
    fired.clear();
    DriverWorld world;
    WDFDEVICE device = world.CreateDevice(u"TEST\\WORK\\0");
    WDFWORKITEM item = nullptr;
    WDFTIMER timer = nullptr;
    world.AsDriver([&] {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = device;
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, EvtWorkDeletesItself);
        EXPECT_EQ(WdfWorkItemCreate(&config, &attributes, &item), STATUS_SUCCESS);
        WDF_TIMER_CONFIG timerConfig;
        WDF_TIMER_CONFIG_INIT(&timerConfig, EvtTimerDeletesItself);
        EXPECT_EQ(WdfTimerCreate(&timerConfig, &attributes, &timer), STATUS_SUCCESS);
        return 0;
    });
    WdfWorkItemEnqueue(item);
    WdfTimerStart(timer, -5 * kTicksPerMillisecond);
    world.World().Dispatcher().RunUntilIdle();
    EXPECT_EQ(workRuns, 1);
    EXPECT_EQ(fired, (std::vector<LONGLONG>{5}));
    EXPECT_EQ(world.World().Objects().Lookup(item, platform::wdf::ObjectKind::WorkItem), nullptr);
    EXPECT_EQ(world.World().Objects().Lookup(timer, platform::wdf::ObjectKind::Timer), nullptr);
}

} // namespace
