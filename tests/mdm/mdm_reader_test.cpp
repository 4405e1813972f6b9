// The modem port's bulk-in reader and receive buffer as the application and
// the handset see them: the transfer size chosen at open, the two reads kept
// in flight, the buffer of 1024 transfers and what happens past it with and
// without receive flow control, SERIAL_EV_RX80FULL, stalls and a device that
// goes, power transitions with the port open, and what a close leaves in the
// registry and the Plug and Play manager.
#include "tests/mdm/modem_port.h"

#include <optional>

namespace x9tr::test {
namespace {

constexpr ULONG kBufferedTransfers = 1024;
constexpr ULONG kRx80FullTransfers = 832;
constexpr std::size_t kSmallTransfer = 10; // a short packet at either speed: each is one host transfer
constexpr std::size_t kEverything = 1 << 16;

// Bytes that tell their place in a stream: a transfer lost or run twice
// shows as a difference.
Bytes Stream(std::size_t count, std::size_t from = 0)
{
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::byte>((from + i) % 251);
    }
    return bytes;
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes DataOf(const platform::pnp::IoResult& result)
{
    const auto length = std::min<std::size_t>(result.Information, result.Data.size());
    return Bytes(result.Data.begin(), result.Data.begin() + static_cast<std::ptrdiff_t>(length));
}

// Everything the port holds and the handset still has to send: reads that
// return what is there, until the machine has nothing more.
Bytes ReadEverything(ModemPortWorld& port, platform::pnp::FileHandle& handle)
{
    SERIAL_TIMEOUTS timeouts{MAXULONG, 0, 0, 0, 0};
    EXPECT_EQ(handle.DeviceControl(IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(timeouts), 0).Status, STATUS_SUCCESS);
    Bytes all;
    for (;;) {
        port.Dispatcher().RunUntilIdle();
        auto result = handle.Read(kEverything);
        EXPECT_EQ(result.Status, STATUS_SUCCESS);
        if (result.Information == 0) {
            return all;
        }
        const Bytes data = DataOf(result);
        all.insert(all.end(), data.begin(), data.end());
    }
}

std::unique_ptr<platform::pnp::FileHandle> OpenPort(ModemPortWorld& port)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto handle = port.Open(&status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return handle;
}

std::optional<ULONG> RegistryDword(ModemPortWorld& port, std::u16string_view name)
{
    platform::RegistryValue value;
    if (port.World().Registry().QueryValue(port.Node()->HardwareKeyPath(), name, &value) != STATUS_SUCCESS) {
        return std::nullopt;
    }
    return value.AsDword();
}

// The port open, with what the application asks of the receive side.
class ReaderTest : public OpenModemPortTest {
protected:
    UCHAR BulkIn() { return port.BulkIn(); }
    std::size_t InFlight() { return port.Handset().PendingTransfers(port.BulkIn()); }

    // Count transfers of Size bytes each from the handset, continuing the stream.
    Bytes SendTransfers(std::size_t count, std::size_t size = kSmallTransfer)
    {
        Bytes bytes = Stream(count * size, sent_);
        sent_ += bytes.size();
        port.Send(bytes, size);
        port.Dispatcher().RunUntilIdle();
        return bytes;
    }

    SERIAL_STATUS CommStatus()
    {
        auto result = Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
        EXPECT_EQ(result.Status, STATUS_SUCCESS);
        return ValueOf<SERIAL_STATUS>(result.Data);
    }
    SERIALPERF_STATS Stats()
    {
        auto result = Ioctl(IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS));
        EXPECT_EQ(result.Status, STATUS_SUCCESS);
        return ValueOf<SERIALPERF_STATS>(result.Data);
    }
    SERIAL_HANDFLOW HandFlow()
    {
        return ValueOf<SERIAL_HANDFLOW>(Ioctl(IOCTL_SERIAL_GET_HANDFLOW, {}, sizeof(SERIAL_HANDFLOW)).Data);
    }
    NTSTATUS SetHandFlow(const SERIAL_HANDFLOW& handFlow)
    {
        return Ioctl(IOCTL_SERIAL_SET_HANDFLOW, BytesOf(handFlow)).Status;
    }
    NTSTATUS SetWaitMask(ULONG mask) { return Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(mask)).Status; }
    std::unique_ptr<platform::pnp::PendingIo> StartWaitOnMask()
    {
        return handle->StartDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    }

    Bytes ReadEverything() { return x9tr::test::ReadEverything(port, *handle); }

    std::size_t sent_ = 0;
};

// ---------------------------------------------------------------------------
// The transfer size: the speed's size rounded up to whole bulk IN packets, so
// that a device transfer ends in a short packet or fills the host's buffer
// exactly, never babbles past it.

TEST(ModemPortReaderSize, ReadSizeIsTheSpeedsSizeInWholePackets)
{
    struct Case {
        const char* Speed;
        int Packet;
        ULONG ReadSize;
    };
    const Case cases[] = {
        {"full", 64, 1216},   {"full", 100, 1300},  {"full", 8, 1216},    {"full", 1, 1216},
        {"full", 1023, 2046}, {"full", 2047, 2047}, {"high", 512, 6656},  {"high", 500, 7000},
        {"high", 1024, 7168}, {"high", 2047, 8188}, {"high", 64, 6656},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Speed) + " speed, " + std::to_string(c.Packet) + "-byte packets");
        ModemPortWorld port(ModemProfile({{"speed", c.Speed}}, {{"bulkMaxPacketSize", c.Packet}}));
        ASSERT_NE(port.Device(), nullptr);
        auto handle = OpenPort(port);
        ASSERT_NE(handle, nullptr);
        const auto& usb = port.Context()->Usb;
        EXPECT_EQ(usb.ReadSize, c.ReadSize);
        EXPECT_EQ(usb.ReadMemoryLimitNum, kBufferedTransfers);
        EXPECT_EQ(usb.ReadMemoryPt8Num, kRx80FullTransfers);
        EXPECT_EQ(WdfCollectionGetCount(usb.FreeReadMemoryCollection) +
                      WdfCollectionGetCount(usb.PendingReadRequestCollection),
                  kBufferedTransfers + 2);
        EXPECT_EQ(port.Handset().PendingTransfers(port.BulkIn()), 2u);

        // The application sees the buffer as 1024 transfers.
        auto properties = handle->DeviceControl(IOCTL_SERIAL_GET_PROPERTIES, {}, sizeof(SERIAL_COMMPROP));
        EXPECT_EQ(ValueOf<SERIAL_COMMPROP>(properties.Data).CurrentRxQueue, kBufferedTransfers * c.ReadSize);

        // One device transfer longer than two host transfers arrives whole:
        // each host transfer is filled to its last packet, none babbles. (The
        // zero-length packet ends the transfer when 7 bytes are whole packets.)
        const Bytes data = Stream(2 * c.ReadSize + 7);
        port.Send(data);
        port.Send(Bytes{});
        EXPECT_EQ(ReadEverything(port, *handle), data);
        auto commStatus = handle->DeviceControl(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
        EXPECT_EQ(ValueOf<SERIAL_STATUS>(commStatus.Data).Errors, 0u);
    }
}

// ---------------------------------------------------------------------------
// Two reads in flight, and the buffer they fill.

TEST(ModemPortReader, TwoReadsAreInFlightOnlyWhileThePortIsOpen)
{
    ModemPortWorld port;
    ASSERT_NE(port.Device(), nullptr);
    EXPECT_EQ(port.Handset().PendingTransfers(port.BulkIn()), 0u);
    for (int open = 0; open < 2; ++open) {
        SCOPED_TRACE("open " + std::to_string(open + 1));
        auto handle = OpenPort(port);
        ASSERT_NE(handle, nullptr);
        port.Dispatcher().RunUntilIdle();
        EXPECT_EQ(port.Handset().PendingTransfers(port.BulkIn()), 2u);
        port.Send("one");
        port.Send("two");
        port.Send("three");
        port.Dispatcher().RunUntilIdle();
        EXPECT_EQ(port.Handset().PendingTransfers(port.BulkIn()), 2u);
        handle.reset();
        port.Dispatcher().RunUntilIdle();
        EXPECT_EQ(port.Handset().PendingTransfers(port.BulkIn()), 0u);
    }
}

TEST_F(ReaderTest, BufferedTransfersAreReadInOrderAndAReadTakesPartOfOne)
{
    const Bytes sent = Concat({SendTransfers(5, 12), SendTransfers(3, 1)});
    EXPECT_EQ(CommStatus().AmountInInQueue, sent.size());
    SetTimeouts(MAXULONG, 0, 0);
    // A read shorter than a transfer leaves the rest of it for the next.
    const Bytes first = DataOf(handle->Read(7));
    const Bytes rest = DataOf(handle->Read(kEverything));
    EXPECT_EQ(Concat({first, rest}), sent);
    EXPECT_EQ(first.size(), 7u);
    EXPECT_EQ(CommStatus().AmountInInQueue, 0u);
    EXPECT_EQ(InFlight(), 2u);
}

TEST_F(ReaderTest, AWaitingReadTakesATransferAndTheRestIsBuffered)
{
    SetTimeouts(0, 0, 0);
    auto read = handle->StartRead(5);
    const Bytes sent = Concat({SendTransfers(1, 12), SendTransfers(1, 3)});
    ASSERT_TRUE(read->Done());
    const Bytes first = DataOf(read->Wait());
    EXPECT_EQ(CommStatus().AmountInInQueue, sent.size() - 5);
    EXPECT_EQ(Concat({first, ReadEverything()}), sent);
}

// Without receive flow control the buffer keeps 1024 transfers; a further
// transfer's data is lost, counted and reported once.
TEST_F(ReaderTest, BufferOverrunLosesTheTransfersPastTheBufferAndReportsThem)
{
    const Bytes kept = SendTransfers(kBufferedTransfers);
    EXPECT_EQ(CommStatus().Errors, 0u);
    EXPECT_EQ(CommStatus().AmountInInQueue, kept.size());
    EXPECT_EQ(InFlight(), 2u);

    SendTransfers(3, 7);
    const SERIAL_STATUS status = CommStatus();
    EXPECT_EQ(status.Errors, SERIAL_ERROR_QUEUEOVERRUN);
    EXPECT_EQ(status.AmountInInQueue, kept.size());
    EXPECT_EQ(CommStatus().Errors, 0u) << "reading the errors clears them";
    const SERIALPERF_STATS stats = Stats();
    EXPECT_EQ(stats.BufferOverrunErrorCount, 21u);
    EXPECT_EQ(stats.ReceivedCount, kept.size() + 21u);
    EXPECT_EQ(InFlight(), 2u) << "the reader goes on reading";

    EXPECT_EQ(ReadEverything(), kept);
    // The lost transfers' memories came back: the buffer holds 1024 again.
    const Bytes again = SendTransfers(kBufferedTransfers);
    EXPECT_EQ(CommStatus().Errors, 0u);
    EXPECT_EQ(ReadEverything(), again);
}

// Under SERIAL_ERROR_ABORT an overrun refuses reads and controls until the
// application has read the errors; the buffered data stays.
TEST_F(ReaderTest, AnOverrunUnderErrorAbortRefusesRequestsUntilTheErrorsAreRead)
{
    SERIAL_HANDFLOW handFlow = HandFlow();
    handFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    ASSERT_EQ(SetHandFlow(handFlow), STATUS_SUCCESS);
    SetTimeouts(MAXULONG, 0, 0);
    const Bytes kept = SendTransfers(kBufferedTransfers);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS)).Status, STATUS_SUCCESS);
    SendTransfers(1);
    EXPECT_EQ(handle->Read(16).Status, STATUS_CANCELLED);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS)).Status, STATUS_CANCELLED);
    EXPECT_EQ(CommStatus().Errors, SERIAL_ERROR_QUEUEOVERRUN);
    // The buffered data was not purged with the requests.
    EXPECT_EQ(ReadEverything(), kept);
}

// With receive flow control the reader stops asking when the buffer is full,
// so the handset keeps its data until the application reads.
TEST_F(ReaderTest, ReceiveFlowControlHoldsTheDevicesDataInsteadOfLosingIt)
{
    struct Case {
        const char* Name;
        ULONG ControlHandShake;
        ULONG FlowReplace;
        std::size_t SentBefore; // transfers buffered before flow control goes on
        ULONG HoldReasons;      // while full
    };
    constexpr ULONG kXoff = SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE;
    const Case cases[] = {
        {"XOFF", SERIAL_DTR_CONTROL, kXoff, 0, SERIAL_TX_WAITING_XOFF_SENT},
        {"DTR handshake", SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL, 0, 0},
        {"RTS handshake", SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE, 0, 0},
        {"XOFF set with one transfer of room", SERIAL_DTR_CONTROL, kXoff, kBufferedTransfers - 1,
         SERIAL_TX_WAITING_XOFF_SENT},
        {"XOFF set on a full buffer", SERIAL_DTR_CONTROL, kXoff, kBufferedTransfers, SERIAL_TX_WAITING_XOFF_SENT},
    };
    const SERIAL_HANDFLOW defaults = HandFlow();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const Bytes before = SendTransfers(c.SentBefore);
        SERIAL_HANDFLOW handFlow = defaults;
        handFlow.ControlHandShake = c.ControlHandShake;
        handFlow.FlowReplace = c.FlowReplace;
        ASSERT_EQ(SetHandFlow(handFlow), STATUS_SUCCESS);
        port.Dispatcher().RunUntilIdle();
        const std::size_t room = kBufferedTransfers - c.SentBefore;
        EXPECT_EQ(InFlight(), std::min<std::size_t>(room, 2));

        const Bytes after = SendTransfers(room + 40);
        EXPECT_EQ(InFlight(), 0u) << "no read goes out that the buffer could not keep";
        const SERIAL_STATUS full = CommStatus();
        EXPECT_EQ(full.Errors, 0u);
        EXPECT_EQ(full.HoldReasons, c.HoldReasons);
        EXPECT_EQ(full.AmountInInQueue, kBufferedTransfers * kSmallTransfer);
        EXPECT_EQ(Stats().BufferOverrunErrorCount, 0u);
        EXPECT_EQ(Stats().ReceivedCount, kBufferedTransfers * kSmallTransfer);

        EXPECT_EQ(ReadEverything(), Concat({before, after}));
        EXPECT_EQ(CommStatus().Errors, 0u);
        EXPECT_EQ(CommStatus().HoldReasons, 0u);
        EXPECT_EQ(InFlight(), 2u);
        EXPECT_EQ(Stats().BufferOverrunErrorCount, 0u);

        ASSERT_EQ(SetHandFlow(defaults), STATUS_SUCCESS);
        ASSERT_EQ(Ioctl(IOCTL_SERIAL_CLEAR_STATS).Status, STATUS_SUCCESS);
    }
}

// SERIAL_EV_RXCHAR comes with every completed transfer, a zero-length
// packet too: the port reports receiving, not what was received.
TEST_F(ReaderTest, RxCharComesWithEveryCompletedTransfer)
{
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    for (const Bytes& transfer : {Bytes{}, Bytes{std::byte{'a'}}}) {
        SCOPED_TRACE(transfer.size());
        auto wait = StartWaitOnMask();
        EXPECT_FALSE(wait->Done());
        port.Send(transfer);
        port.Dispatcher().RunUntilIdle();
        ASSERT_TRUE(wait->Done());
        EXPECT_EQ(ValueOf<ULONG>(wait->Wait().Data), SERIAL_EV_RXCHAR);
        EXPECT_EQ(InFlight(), 2u);
    }
}

// SERIAL_EV_RX80FULL comes when the 832nd transfer is buffered, and only then.
TEST_F(ReaderTest, Rx80FullIsRaisedOnceWhenTheBufferReaches832Transfers)
{
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RX80FULL), STATUS_SUCCESS);
    auto wait = StartWaitOnMask();
    SendTransfers(kRx80FullTransfers - 1);
    EXPECT_FALSE(wait->Done());
    SendTransfers(1);
    ASSERT_TRUE(wait->Done());
    auto result = wait->Wait();
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(ValueOf<ULONG>(result.Data), SERIAL_EV_RX80FULL);

    // Filling the rest of the buffer and past it raises nothing more.
    auto again = StartWaitOnMask();
    SendTransfers(kBufferedTransfers - kRx80FullTransfers + 5);
    EXPECT_FALSE(again->Done());
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RX80FULL), STATUS_SUCCESS);
    ASSERT_TRUE(again->Done());
    EXPECT_EQ(ValueOf<ULONG>(again->Wait().Data), 0u);
}

// IOCTL_SERIAL_SET_QUEUE_SIZE grows the buffer by whole transfers: the
// overrun and the 80% mark move with it, and the next open starts again
// from 1024.
TEST_F(ReaderTest, SetQueueSizeGrowsTheBufferInWholeTransfers)
{
    const ULONG readSize = port.Context()->Usb.ReadSize;
    constexpr ULONG kGrown = 1100;
    SERIAL_QUEUE_SIZE size{kGrown * readSize - readSize / 2, 0};
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, BytesOf(size)).Status, STATUS_SUCCESS);
    auto properties = Ioctl(IOCTL_SERIAL_GET_PROPERTIES, {}, sizeof(SERIAL_COMMPROP));
    EXPECT_EQ(ValueOf<SERIAL_COMMPROP>(properties.Data).CurrentRxQueue, kGrown * readSize);

    ASSERT_EQ(SetWaitMask(SERIAL_EV_RX80FULL), STATUS_SUCCESS);
    auto wait = StartWaitOnMask();
    SendTransfers(kRx80FullTransfers);
    EXPECT_FALSE(wait->Done()) << "the mark is 13/16 of the grown buffer";
    SendTransfers(kGrown * 13 / 16 - kRx80FullTransfers);
    EXPECT_TRUE(wait->Done());

    SendTransfers(kGrown - kGrown * 13 / 16);
    EXPECT_EQ(CommStatus().Errors, 0u);
    SendTransfers(1);
    EXPECT_EQ(CommStatus().Errors, SERIAL_ERROR_QUEUEOVERRUN);
    EXPECT_EQ(Stats().BufferOverrunErrorCount, kSmallTransfer);

    handle.reset();
    handle = OpenPort(port);
    ASSERT_NE(handle, nullptr);
    properties = Ioctl(IOCTL_SERIAL_GET_PROPERTIES, {}, sizeof(SERIAL_COMMPROP));
    EXPECT_EQ(ValueOf<SERIAL_COMMPROP>(properties.Data).CurrentRxQueue, kBufferedTransfers * readSize);
}

// ---------------------------------------------------------------------------
// A failed transfer: the pipe is reset from a work item and reading goes on,
// no byte of the device's lost. A device that is gone stops the reader.

TEST_F(ReaderTest, AFailedTransferIsRetriedAfterThePipeIsReset)
{
    struct Case {
        const char* Name;
        std::function<void(handset::Handset&, UCHAR)> Fault;
    };
    const Case cases[] = {
        {"stall", [](handset::Handset& h, UCHAR ep) { h.Stall(ep); }},
        {"one CRC error", [](handset::Handset& h, UCHAR ep) { h.FailNext(ep, USBD_STATUS_CRC); }},
        {"both reads not responding",
         [](handset::Handset& h, UCHAR ep) { h.FailNext(ep, USBD_STATUS_DEV_NOT_RESPONDING, 2); }},
        {"twelve failures in a row",
         [](handset::Handset& h, UCHAR ep) { h.FailNext(ep, USBD_STATUS_ENDPOINT_HALTED, 12); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const Bytes before = SendTransfers(2);
        c.Fault(port.Handset(), BulkIn());
        // Data the handset has while its endpoint fails waits for the reset.
        const Bytes during = SendTransfers(3);
        port.Dispatcher().RunUntilIdle();
        EXPECT_FALSE(port.Handset().IsHalted(BulkIn()));
        EXPECT_EQ(InFlight(), 2u);
        const Bytes after = SendTransfers(4);
        EXPECT_EQ(ReadEverything(), Concat({before, during, after}));
        EXPECT_EQ(CommStatus().Errors, 0u);
    }
}

// A failure whose pipe reset has not run yet when the port powers down or
// closes: the reset finds the reader stopped and leaves it so, and reading
// starts again cleanly at D0 entry or the next open.
TEST_F(ReaderTest, AFailureJustBeforeAPowerDownOrCloseIsRecoveredAfter)
{
    struct Case {
        const char* Name;
        bool Close; // else a power-down and up
    };
    const Case cases[] = {{"power-down", false}, {"close", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const Bytes before = SendTransfers(2);
        port.Handset().Stall(BulkIn());
        if (c.Close) {
            handle.reset();
        } else {
            ASSERT_EQ(port.Pnp().Suspend(port.Parent()), STATUS_SUCCESS);
        }
        port.Dispatcher().RunUntilIdle();
        EXPECT_EQ(InFlight(), 0u);
        Bytes expected;
        if (c.Close) {
            handle = OpenPort(port);
            ASSERT_NE(handle, nullptr);
        } else {
            ASSERT_EQ(port.Pnp().Resume(port.Parent()), STATUS_SUCCESS);
            expected = before;
        }
        port.Dispatcher().RunUntilIdle();
        EXPECT_EQ(InFlight(), 2u);
        const Bytes after = SendTransfers(3);
        EXPECT_EQ(ReadEverything(), Concat({expected, after}));
    }
}

TEST_F(ReaderTest, ADeviceThatGoesStopsTheReader)
{
    const Bytes before = SendTransfers(3);
    port.Handset().Disconnect();
    port.Dispatcher().RunUntilIdle();
    EXPECT_EQ(InFlight(), 0u);
    EXPECT_EQ(port.Dispatcher().Pending(), 0u) << "nothing retries a device that is gone";
    // What was buffered is still there to read.
    EXPECT_EQ(ReadEverything(), before);
}

TEST(ModemPortReaderUnplug, UnpluggingWithThePortOpenStopsTheReaderAndEndsItsRequests)
{
    ModemPortWorld port;
    auto handle = OpenPort(port);
    ASSERT_NE(handle, nullptr);
    port.Send("buffered");
    SERIAL_TIMEOUTS timeouts{0, 0, 0, 0, 0};
    ASSERT_EQ(handle->DeviceControl(IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(timeouts), 0).Status, STATUS_SUCCESS);
    auto read = handle->StartRead(100);
    EXPECT_FALSE(read->Done());
    const UCHAR bulkIn = port.BulkIn();
    port.Pnp().Unplug(port.Parent(), true);
    port.Dispatcher().RunUntilIdle();
    EXPECT_EQ(port.Handset().PendingTransfers(bulkIn), 0u);
    ASSERT_TRUE(read->Done());
    auto result = read->Wait();
    EXPECT_EQ(result.Status, STATUS_CANCELLED);
    EXPECT_EQ(result.Information, std::string_view("buffered").size()) << "the bytes it had taken";
    handle.reset();
    port.Pnp().FinishRemoval(port.Parent());
    port.Dispatcher().RunUntilIdle();
}

// Same-time events in other orders (completions, the reset work item, the
// power transitions' own sends): the stream still arrives whole and in order.
TEST(ModemPortReaderShuffled, FailuresAndPowerCyclesKeepTheStreamInAnyEventOrder)
{
    for (std::uint64_t shuffle = 1; shuffle <= 12; ++shuffle) {
        SCOPED_TRACE("shuffle " + std::to_string(shuffle));
        MachineOptions options;
        options.Shuffle = shuffle;
        ModemPortWorld port(handset::DefaultHandsetProfile(), options);
        ASSERT_NE(port.Device(), nullptr);
        auto handle = OpenPort(port);
        ASSERT_NE(handle, nullptr);
        const Bytes stream = Stream(100 * kSmallTransfer);
        // Five parts of twenty transfers each.
        auto part = [&](std::ptrdiff_t n) {
            constexpr auto kPart = static_cast<std::ptrdiff_t>(20 * kSmallTransfer);
            return Bytes(stream.begin() + n * kPart, stream.begin() + (n + 1) * kPart);
        };
        port.Send(part(0), kSmallTransfer);
        port.Handset().Stall(port.BulkIn());
        port.Send(part(1), kSmallTransfer);
        port.Handset().FailNext(port.BulkIn(), USBD_STATUS_CRC, 3);
        port.Send(part(2), kSmallTransfer);
        ASSERT_EQ(port.Pnp().Suspend(port.Parent()), STATUS_SUCCESS);
        port.Send(part(3), kSmallTransfer);
        ASSERT_EQ(port.Pnp().Resume(port.Parent()), STATUS_SUCCESS);
        port.Send(part(4), kSmallTransfer);
        EXPECT_EQ(ReadEverything(port, *handle), stream);
        auto commStatus = handle->DeviceControl(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
        EXPECT_EQ(ValueOf<SERIAL_STATUS>(commStatus.Data).Errors, 0u);
    }
}

// ---------------------------------------------------------------------------
// Power transitions with the port open.

TEST_F(ReaderTest, PowerDownAndUpKeepsTheBufferAndSettingsAndRestartsTheReader)
{
    SetTimeouts(7, 3, 900);
    SERIAL_HANDFLOW handFlow = HandFlow();
    handFlow.XonLimit = 100;
    handFlow.XoffLimit = 200;
    ASSERT_EQ(SetHandFlow(handFlow), STATUS_SUCCESS);
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL), STATUS_SUCCESS);
    const Bytes before = SendTransfers(5);

    ASSERT_EQ(port.Pnp().Suspend(port.Parent()), STATUS_SUCCESS);
    port.Dispatcher().RunUntilIdle();
    EXPECT_EQ(InFlight(), 0u) << "the reader stops in D0 exit";
    const Bytes asleep = SendTransfers(3);
    EXPECT_EQ(port.Context()->PerfStats.ReceivedCount, before.size()) << "the handset keeps what it has";
    EXPECT_FALSE(port.Pnp().QueryRemove(port.Parent()));

    ASSERT_EQ(port.Pnp().Resume(port.Parent()), STATUS_SUCCESS);
    port.Dispatcher().RunUntilIdle();
    EXPECT_EQ(InFlight(), 2u);
    const Bytes after = SendTransfers(2);

    auto timeouts = ValueOf<SERIAL_TIMEOUTS>(Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, {}, sizeof(SERIAL_TIMEOUTS)).Data);
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 7u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 3u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 900u);
    EXPECT_EQ(HandFlow().XonLimit, 100);
    EXPECT_EQ(HandFlow().XoffLimit, 200);
    EXPECT_EQ(ValueOf<ULONG>(Ioctl(IOCTL_SERIAL_GET_WAIT_MASK, {}, sizeof(ULONG)).Data),
              SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL);
    EXPECT_EQ(ReadEverything(), Concat({before, asleep, after}));
}

// Whole packets that have come into a transfer not yet ended (no short
// packet, room left) are the handset's data: stopping the reader in the
// middle of the transfer keeps them.
TEST_F(ReaderTest, PacketsOfATransferCutShortByAPowerDownAreKept)
{
    const std::size_t packet = port.Context()->Usb.BulkInputMaxPacketSize;
    ASSERT_LT(2 * packet, port.Context()->Usb.ReadSize);
    const Bytes early = Stream(2 * packet, 0);
    port.Handset().Feed(port.BulkIn(), early, early.size());
    port.Dispatcher().RunUntilIdle();
    EXPECT_EQ(CommStatus().AmountInInQueue, 0u) << "the transfer has not ended";

    ASSERT_EQ(port.Pnp().Suspend(port.Parent()), STATUS_SUCCESS);
    port.Dispatcher().RunUntilIdle();
    ASSERT_EQ(port.Pnp().Resume(port.Parent()), STATUS_SUCCESS);
    port.Dispatcher().RunUntilIdle();
    EXPECT_EQ(CommStatus().AmountInInQueue, early.size());
    EXPECT_EQ(ReadEverything(), early);
}

TEST_F(ReaderTest, AReadWaitingAcrossAPowerDownGetsTheDataThatComesAfter)
{
    SetTimeouts(0, 0, 0);
    auto read = handle->StartRead(12);
    const Bytes first = SendTransfers(1, 4);
    ASSERT_EQ(port.Pnp().Suspend(port.Parent()), STATUS_SUCCESS);
    port.Dispatcher().RunUntilIdle();
    EXPECT_FALSE(read->Done());
    ASSERT_EQ(port.Pnp().Resume(port.Parent()), STATUS_SUCCESS);
    const Bytes second = SendTransfers(1, 8);
    ASSERT_TRUE(read->Done());
    auto result = read->Wait();
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(DataOf(result), Concat({first, second}));
}

// A close in D0 stops the reader and aborts the bulk pipes; one while the
// device is powered down sends the device nothing, so it neither waits for
// a device that cannot answer nor aborts anything. A transfer the test
// leaves on the bulk IN endpoint shows whether the pipe was aborted.
TEST(ModemPortReaderClose, ACloseAbortsTheBulkInPipeOnlyInD0)
{
    struct Case {
        const char* Name;
        bool PoweredDown;
        USBD_STATUS Probe; // how the left transfer ends at the close
    };
    const Case cases[] = {
        {"in D0", false, USBD_STATUS_CANCELED},
        {"powered down", true, USBD_STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ModemPortWorld port;
        auto handle = OpenPort(port);
        ASSERT_NE(handle, nullptr);
        port.Send("buffered at the close");
        const UCHAR bulkIn = port.BulkIn();
        if (c.PoweredDown) {
            ASSERT_EQ(port.Pnp().Suspend(port.Parent()), STATUS_SUCCESS);
            port.Dispatcher().RunUntilIdle();
        }
        std::optional<USBD_STATUS> probe;
        port.Handset().SubmitTransfer(bulkIn, {}, 64, [&](platform::usb::TransferAnswer answer) {
            probe = answer.Status;
        });
        port.Dispatcher().RunUntilIdle();
        EXPECT_FALSE(probe.has_value());

        const auto before = port.Dispatcher().Now();
        handle.reset();
        EXPECT_EQ(port.Dispatcher().Now(), before) << "the close waited for the device";
        port.Dispatcher().RunUntilIdle();
        EXPECT_TRUE(port.Pnp().QueryRemove(port.Parent()));
        if (c.PoweredDown) {
            EXPECT_FALSE(probe.has_value()) << "the close sent the device something";
            ASSERT_EQ(port.Pnp().Resume(port.Parent()), STATUS_SUCCESS);
            port.Dispatcher().RunUntilIdle();
            EXPECT_EQ(port.Handset().PendingTransfers(bulkIn), 1u) << "a closed port does not read";
            port.Send("x");
            port.Dispatcher().RunUntilIdle();
        } else {
            ASSERT_TRUE(probe.has_value());
        }
        EXPECT_EQ(probe.value_or(USBD_STATUS_SUCCESS), c.Probe);

        // The port opens again and reads what comes now.
        handle = OpenPort(port);
        ASSERT_NE(handle, nullptr);
        port.Send("again");
        EXPECT_EQ(TextOf(ReadEverything(port, *handle)), "again");
    }
}

// ---------------------------------------------------------------------------
// What a close leaves: the most transfers ever buffered, and those of the
// open that just ended.

TEST(ModemPortReaderRegistry, MaxCountBufferedRisesAndLastTimeFollowsEachOpen)
{
    struct Open {
        std::size_t Buffered;
        ULONG Max;
        ULONG LastTime;
    };
    const Open opens[] = {
        {3, 3, 3}, {1, 3, 1}, {5, 5, 5}, {0, 5, 0}, {5, 5, 5}, {2, 5, 2}, {1030, 1024, 1024}, {4, 1024, 4},
    };
    ModemPortWorld port;
    ASSERT_NE(port.Device(), nullptr);
    EXPECT_FALSE(RegistryDword(port, u"MaxCountUsbReadMemoriesBuffered").has_value());
    EXPECT_FALSE(RegistryDword(port, u"MaxCountUsbReadMemoriesBufferedLastTime").has_value());
    int number = 0;
    for (const Open& open : opens) {
        SCOPED_TRACE("open " + std::to_string(++number) + " with " + std::to_string(open.Buffered) + " buffered");
        auto handle = OpenPort(port);
        ASSERT_NE(handle, nullptr);
        port.Send(Stream(open.Buffered * kSmallTransfer), kSmallTransfer);
        port.Dispatcher().RunUntilIdle();
        handle.reset();
        EXPECT_EQ(RegistryDword(port, u"MaxCountUsbReadMemoriesBuffered"), open.Max);
        EXPECT_EQ(RegistryDword(port, u"MaxCountUsbReadMemoriesBufferedLastTime"), open.LastTime);
    }
}

// Reading keeps the count of the buffer at its highest, not at its end.
TEST(ModemPortReaderRegistry, TheCountIsTheHighestOfTheOpenNotTheLast)
{
    ModemPortWorld port;
    auto handle = OpenPort(port);
    ASSERT_NE(handle, nullptr);
    port.Send(Stream(6 * kSmallTransfer), kSmallTransfer);
    EXPECT_EQ(ReadEverything(port, *handle).size(), 6 * kSmallTransfer);
    port.Send(Stream(4 * kSmallTransfer), kSmallTransfer);
    port.Dispatcher().RunUntilIdle();
    handle.reset();
    EXPECT_EQ(RegistryDword(port, u"MaxCountUsbReadMemoriesBuffered"), 6u);
    EXPECT_EQ(RegistryDword(port, u"MaxCountUsbReadMemoriesBufferedLastTime"), 6u);
}

// ---------------------------------------------------------------------------
// An open port refuses to be stopped or removed; an open that fails part way
// gives back what it took: stop and remove are allowed, no read is left with
// the device, and the next open works.

TEST(ModemPortReaderStopRemove, AFailedOpenAllowsStopAndRemoveAndTheNextOpenWorks)
{
    struct Case {
        const char* Name;
        std::function<void(ModemPortWorld&)> Arm;
    };
    const Case cases[] = {
        {"a memory of the buffer",
         [](ModemPortWorld& port) {
             port.World().Faults().Arm("WdfMemoryCreate", STATUS_INSUFFICIENT_RESOURCES, 500);
         }},
        {"the pipe reset", [](ModemPortWorld& port) { port.Handset().FailNext(0, USBD_STATUS_STALL_PID); }},
        {"the reader's start",
         [](ModemPortWorld& port) {
             port.World().Faults().Arm("WdfIoTargetStart", STATUS_INSUFFICIENT_RESOURCES, 1);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ModemPortWorld port;
        ASSERT_NE(port.Device(), nullptr);
        c.Arm(port);
        NTSTATUS status = STATUS_SUCCESS;
        EXPECT_EQ(port.Open(&status), nullptr);
        EXPECT_FALSE(NT_SUCCESS(status));
        port.World().Faults().Clear();
        port.Dispatcher().RunUntilIdle();
        EXPECT_TRUE(port.Pnp().QueryRemove(port.Parent()));
        EXPECT_EQ(port.Handset().PendingTransfers(port.BulkIn()), 0u);

        auto handle = OpenPort(port);
        ASSERT_NE(handle, nullptr);
        EXPECT_FALSE(port.Pnp().QueryRemove(port.Parent()));
        port.Send("after");
        EXPECT_EQ(TextOf(ReadEverything(port, *handle)), "after");
    }
}

TEST(ModemPortReaderStopRemove, AnOpenPortRefusesStopAndRemove)
{
    ModemPortWorld port;
    ASSERT_NE(port.Device(), nullptr);
    EXPECT_TRUE(port.Pnp().QueryRemove(port.Parent()));
    for (int open = 0; open < 2; ++open) {
        SCOPED_TRACE("open " + std::to_string(open + 1));
        auto handle = OpenPort(port);
        ASSERT_NE(handle, nullptr);
        EXPECT_FALSE(port.Pnp().QueryRemove(port.Parent()));
        EXPECT_FALSE(port.Pnp().QueryRemove(port.Node()));
        handle.reset();
        EXPECT_TRUE(port.Pnp().QueryRemove(port.Parent()));
    }
}

} // namespace
} // namespace x9tr::test
