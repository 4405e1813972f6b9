// Wait-on-mask and purge as an application sees them: events kept for the
// next wait, a pending wait ended by a new mask, an event, a cancel or a
// close; buffered data dropped by a purge.
#include "tests/serial/port_fixture.h"

#include "platform/wdf/device.h"
#include "platform/wdf/queue.h"

namespace {

using namespace x9tr::test;
using Context = x9trsertest::TEST_PORT_CONTEXT;

class SerialWaitTest : public OpenPortTest {
protected:
    std::unique_ptr<platform::pnp::PendingIo> StartWait()
    {
        auto wait = port->StartDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
        world.World().Dispatcher().RunUntilIdle(1000);
        return wait;
    }
    // Events as the reader, the write path or a notification reports them.
    void Raise(ULONG events)
    {
        x9trsertest::CompleteWaitOnMask(State(), events);
        world.World().Dispatcher().RunUntilIdle(1000);
    }
    // Received bytes as the reader leaves them in the receive buffer.
    void Buffer(ULONG bytes)
    {
        Context* context = State();
        auto memory = static_cast<WDFMEMORY>(WdfCollectionGetFirstItem(context->Usb.FreeReadMemoryCollection));
        WdfCollectionRemove(context->Usb.FreeReadMemoryCollection, memory);
        *x9trsertest::GetUsbMemoryContext(memory) = {bytes, 0};
        WdfCollectionAdd(context->Usb.ReadMemoryCollection, memory);
    }
    // The default queue as the framework stops it at power-down (suspend)
    // or removal (purge) and starts it again.
    platform::wdf::Queue& DefaultQueue()
    {
        auto* device = world.World().Objects().ResolveAs<platform::wdf::Device>(world.Device(),
                                                                                platform::wdf::ObjectKind::Device, "test");
        return *static_cast<platform::wdf::Queue*>(device->DefaultQueue);
    }
    SERIAL_STATUS CommStatus() { return ValueOf<SERIAL_STATUS>(Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20).Data); }
};

TEST_F(SerialWaitTest, EventsBeforeTheWaitAreReportedAtOnce)
{
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(SERIAL_EV_RXCHAR | SERIAL_EV_DSR)).Status, STATUS_SUCCESS);
    Raise(SERIAL_EV_RXCHAR | SERIAL_EV_DSR | SERIAL_EV_RING); // the ring is not selected
    // A narrower mask keeps only what it still selects.
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(SERIAL_EV_DSR)).Status, STATUS_SUCCESS);
    const auto wait = Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    EXPECT_EQ(wait.Status, STATUS_SUCCESS);
    EXPECT_EQ(wait.Information, 4u);
    EXPECT_EQ(ValueOf<ULONG>(wait.Data), SERIAL_EV_DSR);
}

TEST_F(SerialWaitTest, PendingWaitEndsWithTheNextEvents)
{
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL)).Status, STATUS_SUCCESS);
    auto wait = StartWait();
    EXPECT_FALSE(wait->Done());
    Raise(0);
    EXPECT_FALSE(wait->Done());
    Raise(SERIAL_EV_TXEMPTY); // not selected
    EXPECT_FALSE(wait->Done());
    Raise(SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL);
    const auto result = wait->Wait();
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(ValueOf<ULONG>(result.Data), 0x401u);
    // Nothing left for the next wait.
    EXPECT_EQ(State()->HistoryMask, 0u);
}

TEST_F(SerialWaitTest, PendingWaitEndsWithNoEventsOnANewMask)
{
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(SERIAL_EV_RXCHAR)).Status, STATUS_SUCCESS);
    auto wait = StartWait();
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(SERIAL_EV_TXEMPTY)).Status, STATUS_SUCCESS);
    const auto result = wait->Wait();
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 4u);
    EXPECT_EQ(ValueOf<ULONG>(result.Data), 0u);
}

TEST_F(SerialWaitTest, SecondWaitIsRefusedWhileOneIsPending)
{
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(SERIAL_EV_RXCHAR)).Status, STATUS_SUCCESS);
    auto first = StartWait();
    const auto second = Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    EXPECT_EQ(second.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(second.Information, 4u);
    EXPECT_FALSE(first->Done());
    Raise(SERIAL_EV_RXCHAR);
    EXPECT_EQ(first->Wait().Status, STATUS_SUCCESS);
}

TEST_F(SerialWaitTest, CancelledWaitEndsOnceAndLaterEventsAreKept)
{
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(SERIAL_EV_RXCHAR)).Status, STATUS_SUCCESS);
    auto wait = StartWait();
    EXPECT_TRUE(wait->Cancel());
    const auto result = wait->Wait();
    EXPECT_EQ(result.Status, STATUS_CANCELLED);
    EXPECT_EQ(result.Information, 4u);
    EXPECT_EQ(State()->CurrentWaitOnMaskRequest, nullptr);
    Raise(SERIAL_EV_RXCHAR);
    EXPECT_EQ(ValueOf<ULONG>(Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4).Data), SERIAL_EV_RXCHAR);
}

TEST_F(SerialWaitTest, SuspendedWaitStaysAndIsCancelableAgainAfterResume)
{
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(SERIAL_EV_RXCHAR)).Status, STATUS_SUCCESS);
    auto wait = StartWait();
    DefaultQueue().PowerStop(false);
    world.World().Dispatcher().RunUntilIdle(1000);
    EXPECT_FALSE(wait->Done());
    EXPECT_EQ(x9trsertest::GetRequestContext(State()->CurrentWaitOnMaskRequest)->CancelRoutine, nullptr);
    DefaultQueue().PowerResume();
    world.World().Dispatcher().RunUntilIdle(1000);
    EXPECT_FALSE(wait->Done());
    EXPECT_TRUE(wait->Cancel());
    EXPECT_EQ(wait->Wait().Status, STATUS_CANCELLED);
}

TEST_F(SerialWaitTest, PurgingStopEndsThePendingWait)
{
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(SERIAL_EV_RXCHAR)).Status, STATUS_SUCCESS);
    auto wait = StartWait();
    DefaultQueue().PowerStop(true);
    const auto result = wait->Wait();
    EXPECT_EQ(result.Status, STATUS_CANCELLED);
    EXPECT_EQ(State()->CurrentWaitOnMaskRequest, nullptr);
    DefaultQueue().PowerResume();
}

TEST_F(SerialWaitTest, OpenClearsMaskAndHistory)
{
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(SERIAL_EV_RXCHAR)).Status, STATUS_SUCCESS);
    Raise(SERIAL_EV_RXCHAR);
    port.reset();
    port = world.Open();
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(ValueOf<ULONG>(Ioctl(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4).Data), 0u);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4).Status, STATUS_INVALID_PARAMETER);
}

TEST_F(SerialWaitTest, PurgeReceiveClearDropsBufferedData)
{
    Buffer(100);
    Buffer(7);
    EXPECT_EQ(CommStatus().AmountInInQueue, 107u);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_PURGE, BytesOf(SERIAL_PURGE_RXCLEAR)).Status, STATUS_SUCCESS);
    EXPECT_EQ(CommStatus().AmountInInQueue, 0u);
    EXPECT_EQ(WdfCollectionGetCount(State()->Usb.FreeReadMemoryCollection), 1026u);
    // Data arriving afterwards is buffered as usual.
    Buffer(5);
    EXPECT_EQ(CommStatus().AmountInInQueue, 5u);
    // Purging transmit and receive requests leaves the buffer alone.
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_PURGE, BytesOf(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT)).Status, STATUS_SUCCESS);
    EXPECT_EQ(CommStatus().AmountInInQueue, 5u);
    // Both queues run again.
    for (WDFQUEUE queue : {State()->ReadIoQueue, State()->WriteIoQueue}) {
        const ULONG state = WdfIoQueueGetState(queue, nullptr, nullptr);
        EXPECT_NE(state & WdfIoQueueAcceptRequests, 0u);
        EXPECT_NE(state & WdfIoQueueDispatchRequests, 0u);
    }
}

} // namespace
