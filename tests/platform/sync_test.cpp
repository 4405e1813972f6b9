// Wait locks and spin locks, and the verifier's lock rules.
#include "tests/support/world.h"

#include <gtest/gtest.h>

namespace {

using platform::kTicksPerMillisecond;
using platform::VerifierCapture;
using platform::VerifierRule;
using x9tr::test::DriverWorld;

class Locks : public testing::Test {
public:
    void SetUp() override
    {
        world.AsDriver([&] {
            EXPECT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &waitLock), STATUS_SUCCESS);
            EXPECT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &spinLock), STATUS_SUCCESS);
            return 0;
        });
    }
    platform::VirtualDispatcher& Dispatcher() { return world.World().Dispatcher(); }

    DriverWorld world;
    WDFWAITLOCK waitLock = nullptr;
    WDFSPINLOCK spinLock = nullptr;
};

TEST_F(Locks, AcquireAndReleaseInTurn)
{
    EXPECT_EQ(WdfWaitLockAcquire(waitLock, nullptr), STATUS_SUCCESS);
    WdfWaitLockRelease(waitLock);
    LONGLONG noWait = 0;
    EXPECT_EQ(WdfWaitLockAcquire(waitLock, &noWait), STATUS_SUCCESS);
    WdfWaitLockRelease(waitLock);
    WdfSpinLockAcquire(spinLock);
    EXPECT_EQ(platform::ExecutionContext::Current().SpinLocksHeld, 1);
    WdfSpinLockRelease(spinLock);
    EXPECT_EQ(platform::ExecutionContext::Current().SpinLocksHeld, 0);
}

TEST_F(Locks, VerifierRules)
{
    struct Case {
        const char* Name;
        VerifierRule Rule;
        void (*Run)(Locks& test);
    };
    const Case cases[] = {
        {"release of a wait lock nobody holds", VerifierRule::LockNotOwned,
         [](Locks& t) { WdfWaitLockRelease(t.waitLock); }},
        {"release of a spin lock held by another context", VerifierRule::LockNotOwned,
         [](Locks& t) {
             WdfSpinLockAcquire(t.spinLock);
             t.Dispatcher().Post([&t] { WdfSpinLockRelease(t.spinLock); }, "other");
             t.Dispatcher().RunUntilIdle();
             WdfSpinLockRelease(t.spinLock);
         }},
        {"wait lock acquired twice", VerifierRule::LockRecursion,
         [](Locks& t) {
             WdfWaitLockAcquire(t.waitLock, nullptr);
             WdfWaitLockAcquire(t.waitLock, nullptr);
             WdfWaitLockRelease(t.waitLock);
             WdfWaitLockRelease(t.waitLock);
         }},
        {"spin lock acquired twice", VerifierRule::LockRecursion,
         [](Locks& t) {
             WdfSpinLockAcquire(t.spinLock);
             WdfSpinLockAcquire(t.spinLock);
             WdfSpinLockRelease(t.spinLock);
             WdfSpinLockRelease(t.spinLock);
         }},
        {"wait lock acquired under a spin lock", VerifierRule::WaitAtRaisedLevel,
         [](Locks& t) {
             WdfSpinLockAcquire(t.spinLock);
             WdfWaitLockAcquire(t.waitLock, nullptr);
             WdfWaitLockRelease(t.waitLock);
             WdfSpinLockRelease(t.spinLock);
         }},
        {"synchronous wait under a spin lock", VerifierRule::WaitAtRaisedLevel,
         [](Locks& t) {
             WdfSpinLockAcquire(t.spinLock);
             t.Dispatcher().WaitUntil([] { return false; }, t.Dispatcher().Now() + 1);
             WdfSpinLockRelease(t.spinLock);
         }},
        {"wait for a lock its holder cannot release", VerifierRule::Deadlock,
         [](Locks& t) {
             WdfWaitLockAcquire(t.waitLock, nullptr);
             t.Dispatcher().Post([&t] {
                 WdfWaitLockAcquire(t.waitLock, nullptr);
                 WdfWaitLockRelease(t.waitLock);
             }, "waiter");
             t.Dispatcher().RunUntilIdle();
             WdfWaitLockRelease(t.waitLock);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        VerifierCapture capture;
        c.Run(*this);
        EXPECT_TRUE(capture.Saw(c.Rule));
    }
}

TEST_F(Locks, TimedAcquireOfAnUnreleasableLockTimesOutOnTheVirtualClock)
{
    WdfWaitLockAcquire(waitLock, nullptr);
    NTSTATUS seen = STATUS_PENDING;
    Dispatcher().Post([&] {
        LONGLONG timeout = -250 * kTicksPerMillisecond;
        seen = WdfWaitLockAcquire(waitLock, &timeout);
    }, "waiter");
    const auto start = Dispatcher().Now();
    Dispatcher().RunUntilIdle();
    EXPECT_EQ(seen, STATUS_TIMEOUT);
    EXPECT_EQ(Dispatcher().Now() - start, 250 * kTicksPerMillisecond);
    WdfWaitLockRelease(waitLock);
}

} // namespace
