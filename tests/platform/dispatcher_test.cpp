// The deterministic dispatcher: the virtual clock, ordering of events due at
// the same moment, cancellation, synchronous waits and their time-outs.
#include "platform/kernel/event.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using platform::kTicksPerMillisecond;
using platform::kTicksPerSecond;
using platform::VerifierCapture;
using platform::VerifierRule;
using platform::VirtualDispatcher;

TEST(Dispatcher, EventsRunInTimeOrderOnTheVirtualClock)
{
    VirtualDispatcher dispatcher;
    std::vector<std::string> log;
    auto note = [&](std::string what) { return [&log, &dispatcher, what] {
        log.push_back(what + "@" + std::to_string(dispatcher.Now() / kTicksPerMillisecond));
    }; };
    dispatcher.PostAfter(30 * kTicksPerMillisecond, note("c"), "c");
    dispatcher.PostAfter(10 * kTicksPerMillisecond, note("a"), "a");
    dispatcher.PostAfter(10 * kTicksPerMillisecond, note("b"), "b");
    dispatcher.Post(note("now"), "now");
    EXPECT_TRUE(log.empty()); // posting never runs anything

    dispatcher.AdvanceBy(20 * kTicksPerMillisecond);
    EXPECT_EQ(log, (std::vector<std::string>{"now@0", "a@10", "b@10"}));
    EXPECT_EQ(dispatcher.Now(), 20 * kTicksPerMillisecond);
    EXPECT_EQ(dispatcher.RunUntilIdle(), 1u);
    EXPECT_EQ(log.back(), "c@30");
}

TEST(Dispatcher, CancelledEventsNeverRun)
{
    VirtualDispatcher dispatcher;
    int ran = 0;
    const auto id = dispatcher.PostAfter(kTicksPerSecond, [&] { ++ran; }, "timer");
    EXPECT_TRUE(dispatcher.Cancel(id));
    EXPECT_FALSE(dispatcher.Cancel(id));
    dispatcher.RunUntilIdle();
    EXPECT_EQ(ran, 0);
    // An event that already ran cannot be cancelled.
    const auto done = dispatcher.Post([&] { ++ran; }, "once");
    dispatcher.RunUntilIdle();
    EXPECT_FALSE(dispatcher.Cancel(done));
    EXPECT_EQ(ran, 1);
}

TEST(Dispatcher, EventsPostedWhileRunningRunLater)
{
    VirtualDispatcher dispatcher;
    std::vector<int> order;
    dispatcher.Post([&] {
        order.push_back(1);
        dispatcher.Post([&] { order.push_back(3); }, "inner");
        order.push_back(2);
    }, "outer");
    dispatcher.RunUntilIdle();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

std::vector<int> RunTenSameTimeEvents(std::uint64_t shuffle)
{
    VirtualDispatcher dispatcher(shuffle);
    std::vector<int> order;
    for (int i = 0; i < 10; ++i) {
        dispatcher.PostAfter(kTicksPerMillisecond, [&order, i] { order.push_back(i); }, "event");
    }
    dispatcher.PostAfter(2 * kTicksPerMillisecond, [&order] { order.push_back(100); }, "later");
    dispatcher.RunUntilIdle();
    return order;
}

TEST(Dispatcher, ShufflePermutesSameTimeEventsAndReplays)
{
    const std::vector<int> fifo = RunTenSameTimeEvents(0);
    EXPECT_EQ(fifo, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 100}));
    bool someDiffer = false;
    for (std::uint64_t shuffle = 1; shuffle <= 5; ++shuffle) {
        const std::vector<int> shuffled = RunTenSameTimeEvents(shuffle);
        EXPECT_EQ(shuffled, RunTenSameTimeEvents(shuffle)) << "shuffle " << shuffle << " replays";
        EXPECT_EQ(shuffled.back(), 100) << "time order holds under any shuffle";
        someDiffer = someDiffer || shuffled != fifo;
    }
    EXPECT_TRUE(someDiffer);
}

TEST(Dispatcher, WaitsRunWhatIsDueAndAdvanceTheClock)
{
    VirtualDispatcher dispatcher;
    bool signalled = false;
    dispatcher.PostAfter(1500 * kTicksPerMillisecond, [&] { signalled = true; }, "completion");

    // A wait with a 1 s time-out ends at 1 s without the event.
    EXPECT_FALSE(dispatcher.WaitUntil([&] { return signalled; }, dispatcher.Now() + kTicksPerSecond));
    EXPECT_EQ(dispatcher.Now(), kTicksPerSecond);
    // A wait without time-out runs the event at 1.5 s.
    EXPECT_TRUE(dispatcher.WaitUntil([&] { return signalled; }, std::nullopt));
    EXPECT_EQ(dispatcher.Now(), 1500 * kTicksPerMillisecond);
}

TEST(Dispatcher, WaitThatNothingCanEndIsADeadlock)
{
    VirtualDispatcher dispatcher;
    VerifierCapture capture;
    EXPECT_FALSE(dispatcher.WaitUntil([] { return false; }, std::nullopt));
    EXPECT_TRUE(capture.Saw(VerifierRule::Deadlock));
}

TEST(Dispatcher, EachEventRunsInAContextOfItsOwn)
{
    VirtualDispatcher dispatcher;
    const auto outer = platform::ExecutionContext::Current().Id;
    std::vector<std::uint64_t> seen;
    for (int i = 0; i < 2; ++i) {
        dispatcher.Post([&] { seen.push_back(platform::ExecutionContext::Current().Id); }, "event");
    }
    dispatcher.RunUntilIdle();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_NE(seen[0], outer);
    EXPECT_NE(seen[0], seen[1]);
    EXPECT_EQ(platform::ExecutionContext::Current().Id, outer);
}

} // namespace

namespace {

TEST(KernelWaits, EventsAndDelaysOnTheVirtualClock)
{
    platform::Platform world;
    auto& dispatcher = world.Dispatcher();
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    dispatcher.PostAfter(300 * kTicksPerMillisecond, [&] { KeSetEvent(&event, 0, FALSE); }, "signal");

    LARGE_INTEGER timeout{-100 * kTicksPerMillisecond};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(dispatcher.Now(), 100 * kTicksPerMillisecond);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(dispatcher.Now(), 300 * kTicksPerMillisecond);
    EXPECT_EQ(KeReadStateEvent(&event), 0); // a synchronization event resets when a wait takes it

    LARGE_INTEGER delay{-1'000'000}; // 100 ms, as drivers write it
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
    EXPECT_EQ(dispatcher.Now(), 400 * kTicksPerMillisecond);
    LARGE_INTEGER now{};
    KeQuerySystemTime(&now);
    EXPECT_EQ(now.QuadPart, dispatcher.Now());
}

} // namespace
