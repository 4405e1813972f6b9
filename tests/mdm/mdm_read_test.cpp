// Reads on the modem port: the time-out rules of SERIAL_TIMEOUTS run on the
// virtual clock, buffered data served first, and every way a waiting read
// ends early.
#include "tests/mdm/modem_port.h"

#include <optional>

namespace x9tr::test {
namespace {

constexpr ULONG MAX = MAXULONG;

// The handset sends Bytes at AtMs after the read started.
struct Arrival {
    LONGLONG AtMs;
    std::string Bytes;
};

struct ReadCase {
    const char* Name;
    SERIAL_TIMEOUTS Timeouts;
    std::string Buffered; // sent before the read starts
    ULONG Length;
    std::vector<Arrival> Arrivals;
    NTSTATUS Status;
    std::string Data;
    std::optional<LONGLONG> CompletedAtMs; // none: still waiting after ten seconds
};

// Cases are named by their Name alone, in test names and in messages.
void PrintTo(const ReadCase& c, std::ostream* out) { *out << c.Name; }

class ModemReadTimeouts : public OpenModemPortTest, public ::testing::WithParamInterface<ReadCase> {};

// Runs the machine event by event until the read ends or ten seconds have
// passed, sending the arrivals on time; returns when it completed.
std::optional<LONGLONG> RunRead(ModemPortWorld& port, platform::pnp::PendingIo& read, std::vector<Arrival> arrivals)
{
    auto& dispatcher = port.Dispatcher();
    const LONGLONG start = dispatcher.Now();
    const LONGLONG limit = start + Ms(10'000);
    std::size_t next = 0;
    dispatcher.AdvanceBy(0);
    while (!read.Done()) {
        LONGLONG due = limit;
        if (auto pending = dispatcher.NextDue()) {
            due = std::min(due, std::max(*pending, dispatcher.Now()));
        }
        if (next < arrivals.size()) {
            due = std::min(due, start + Ms(arrivals[next].AtMs));
        }
        dispatcher.AdvanceBy(due - dispatcher.Now());
        while (!read.Done() && next < arrivals.size() && dispatcher.Now() >= start + Ms(arrivals[next].AtMs)) {
            port.Send(arrivals[next++].Bytes);
        }
        if (!read.Done() && dispatcher.Now() >= limit) {
            return std::nullopt;
        }
    }
    return (dispatcher.Now() - start) / Ms(1);
}

TEST_P(ModemReadTimeouts, EndsWithTheBytesAndStatusOfItsTimeouts)
{
    const ReadCase& c = GetParam();
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(c.Timeouts)).Status, STATUS_SUCCESS);
    if (!c.Buffered.empty()) {
        port.Send(c.Buffered);
    }
    auto read = handle->StartRead(c.Length);
    const auto completed = RunRead(port, *read, c.Arrivals);
    EXPECT_EQ(completed, c.CompletedAtMs);
    if (!completed) {
        return; // the handle's close cancels it
    }
    const auto result = read->Wait();
    EXPECT_EQ(result.Status, c.Status);
    ASSERT_LE(result.Information, result.Data.size());
    EXPECT_EQ(TextOf(Bytes(result.Data.begin(), result.Data.begin() + static_cast<long>(result.Information))), c.Data);
}

const ReadCase kReadCases[] = {
    // No time-out at all: the read waits, without timers, until full.
    {"AllZeroWaitsUntilFull", {0, 0, 0, 0, 0}, "", 10, {{100, "abcd"}, {5000, "efghij"}}, STATUS_SUCCESS, "abcdefghij", 5000},
    {"AllZeroStillWaitingWhenShort", {0, 0, 0, 0, 0}, "", 10, {{100, "abcd"}}, STATUS_SUCCESS, "", std::nullopt},
    {"IntervalMaxAndNoTotalReturnsAtOnceEmpty", {MAX, 0, 0, 0, 0}, "", 10, {{10, "late"}}, STATUS_SUCCESS, "", 0},
    {"IntervalMaxAndNoTotalReturnsWhatIsThere", {MAX, 0, 0, 0, 0}, "abc", 10, {}, STATUS_SUCCESS, "abc", 0},
    // Return at the first byte: one byte only if it had to wait.
    {"FirstByteWaitedForIsTheWholeRead", {MAX, MAX, 500, 0, 0}, "", 10, {{120, "xyz"}}, STATUS_SUCCESS, "x", 120},
    {"FirstByteReadGivesWhatIsBuffered", {MAX, MAX, 500, 0, 0}, "xyz", 10, {}, STATUS_SUCCESS, "xyz", 0},
    {"FirstByteNeverComes", {MAX, MAX, 500, 0, 0}, "", 10, {}, STATUS_TIMEOUT, "", 500},
    {"FirstByteWithZeroConstantTimesOutAtOnce", {MAX, MAX, 0, 0, 0}, "", 10, {{10, "x"}}, STATUS_TIMEOUT, "", 0},
    // A total time-out without interval: bytes arriving do not end it early.
    {"TotalWithoutIntervalWaitsForAllOrTheTotal", {MAX, 0, 200, 0, 0}, "", 10, {{50, "ab"}}, STATUS_TIMEOUT, "ab", 200},
    {"TotalWithoutIntervalFullBeforeTheTotal", {MAX, 0, 200, 0, 0}, "", 4, {{50, "abcd"}}, STATUS_SUCCESS, "abcd", 50},
    // The interval time-out runs from the start of the read and from each transfer.
    {"IntervalWithNoDataTimesOut", {50, 0, 0, 0, 0}, "", 10, {}, STATUS_TIMEOUT, "", 50},
    {"IntervalKeptAliveUntilFull", {50, 0, 0, 0, 0}, "", 6, {{30, "ab"}, {60, "cd"}, {90, "ef"}}, STATUS_SUCCESS,
     "abcdef", 90},
    {"IntervalGapEndsTheRead", {50, 0, 0, 0, 0}, "", 6, {{30, "ab"}, {60, "cd"}}, STATUS_TIMEOUT, "abcd", 110},
    // Total = multiplier x length + constant.
    {"TotalFromMultiplierAndConstant", {0, 10, 100, 0, 0}, "", 50, {}, STATUS_TIMEOUT, "", 600},
    {"TotalWithBytesSoFar", {0, 10, 100, 0, 0}, "", 50, {{20, "partial"}}, STATUS_TIMEOUT, "partial", 600},
    {"IntervalAndTotalTheEarlierWins", {40, 0, 100, 0, 0}, "", 50, {{30, "a"}, {60, "b"}, {90, "c"}}, STATUS_TIMEOUT,
     "abc", 100},
    {"NoTimeoutWithMaxConstant", {MAX, 0, MAX, 0, 0}, "", 3, {{9000, "abc"}}, STATUS_SUCCESS, "abc", 9000},
    // A product of multiplier and length beyond 64 bits signed waits, it does not time out at once.
    {"HugeTotalWaits", {0, MAX - 1, MAX, 0, 0}, "", 0x7FFF, {{100, "x"}}, STATUS_SUCCESS, "", std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Table, ModemReadTimeouts, ::testing::ValuesIn(kReadCases),
                         [](const auto& param) { return std::string(param.param.Name); });

class ModemReads : public OpenModemPortTest {
public:
    void Purge(ULONG mask) { ASSERT_EQ(Ioctl(IOCTL_SERIAL_PURGE, BytesOf(mask)).Status, STATUS_SUCCESS); }

protected:
    Bytes Take(const platform::pnp::IoResult& result)
    {
        const std::size_t n = std::min<std::size_t>(result.Information, result.Data.size());
        return Bytes(result.Data.begin(), result.Data.begin() + static_cast<long>(n));
    }
};

TEST_F(ModemReads, BufferedDataIsServedFirstAcrossReads)
{
    SetTimeouts(MAX, 0, 0);
    port.Send("0123456789");
    EXPECT_EQ(TextOf(Take(handle->Read(4))), "0123");
    port.Send("ab");
    EXPECT_EQ(TextOf(Take(handle->Read(100))), "456789ab");
    EXPECT_EQ(handle->Read(100).Information, 0u);
}

TEST_F(ModemReads, BufferedBytesAreCountedInTheCommStatus)
{
    port.Send("0123456789", 3);
    auto status = ValueOf<SERIAL_STATUS>(Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS)).Data);
    EXPECT_EQ(status.AmountInInQueue, 10u);
}

TEST_F(ModemReads, WaysAWaitingReadEndsEarlyKeepTheBytesSoFar)
{
    struct Ending {
        const char* Name;
        std::function<void(ModemReads&, platform::pnp::PendingIo&)> End;
    };
    const Ending endings[] = {
        {"cancel", [](ModemReads&, platform::pnp::PendingIo& read) { read.Cancel(); }},
        {"purge", [](ModemReads& test, platform::pnp::PendingIo&) { test.Purge(SERIAL_PURGE_RXABORT); }},
    };
    SetTimeouts(0, 0, 0);
    for (const auto& ending : endings) {
        SCOPED_TRACE(ending.Name);
        auto read = handle->StartRead(10);
        port.Send("abc");
        ASSERT_FALSE(read->Done());
        ending.End(*this, *read);
        port.Dispatcher().AdvanceBy(0);
        ASSERT_TRUE(read->Done());
        const auto result = read->Wait();
        EXPECT_EQ(result.Status, STATUS_CANCELLED);
        // The count says what the read took; an error status brings no data back to the application.
        EXPECT_EQ(result.Information, 3u);
        // The next read starts fresh.
        port.Send("z");
        SetTimeouts(MAX, 0, 0);
        EXPECT_EQ(TextOf(Take(handle->Read(10))), "z");
        SetTimeouts(0, 0, 0);
    }
}

TEST_F(ModemReads, ReadsQueueBehindTheWaitingOneInOrder)
{
    SetTimeouts(0, 0, 0);
    auto first = handle->StartRead(3);
    auto second = handle->StartRead(2);
    port.Send("abcde");
    ASSERT_TRUE(first->Done());
    ASSERT_TRUE(second->Done());
    EXPECT_EQ(TextOf(Take(first->Wait())), "abc");
    EXPECT_EQ(TextOf(Take(second->Wait())), "de");
}

TEST_F(ModemReads, ZeroLengthReadCompletesAtOnce)
{
    SetTimeouts(0, 0, 0);
    const auto result = handle->Read(0);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 0u);
}

} // namespace
} // namespace x9tr::test
