// Every serial control code and internal serial control code as an
// application (or a driver of the stack) sends it to a port: refused before
// open, then answered, forwarded or refused with the status, byte count and
// effect a serial port driver gives.
#include "tests/serial/port_fixture.h"

#include <functional>
#include <string>

namespace {

using namespace x9tr::test;
using Context = x9trsertest::TEST_PORT_CONTEXT;

struct Case {
    const char* Name;
    ULONG Code;
    Bytes Input;
    std::size_t OutputSize;
    NTSTATUS Status;
    ULONG_PTR Information;
    // The start routine the request ran on DeviceControl2IoQueue, or none.
    const char* Forwarded = nullptr;
    std::function<void(Context*)> Before = nullptr;
    std::function<void(const Bytes& out, const Context*)> After = nullptr;
};

SERIAL_HANDFLOW HandFlow(ULONG control, ULONG flow, LONG xon = 0, LONG xoff = 0) { return {control, flow, xon, xoff}; }

const SERIAL_TIMEOUTS kTimeouts{50, 10, 100, 2, 300};
constexpr ULONG kBufferBytes = 1024 * 1216;

std::vector<Case> DeviceControlCases()
{
    return {
        {"set baud rate", IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(SERIAL_BAUD_RATE{9600}), 0, STATUS_SUCCESS, 0,
         "StartSetBaudRate", nullptr, [](const Bytes&, const Context* c) { EXPECT_EQ(c->CurrentBaud, 9600u); }},
        {"set baud rate, input one byte short", IOCTL_SERIAL_SET_BAUD_RATE, Repeat(3), 0, STATUS_BUFFER_TOO_SMALL, 0},
        {"set queue size within the buffer", IOCTL_SERIAL_SET_QUEUE_SIZE, BytesOf(SERIAL_QUEUE_SIZE{4096, 4096}), 0,
         STATUS_SUCCESS, 0, nullptr, nullptr,
         [](const Bytes&, const Context* c) { EXPECT_EQ(c->ReadBufferSize, kBufferBytes); }},
        {"set queue size, input one byte short", IOCTL_SERIAL_SET_QUEUE_SIZE, Repeat(7), 0, STATUS_BUFFER_TOO_SMALL, 0},
        {"set line control", IOCTL_SERIAL_SET_LINE_CONTROL,
         BytesOf(SERIAL_LINE_CONTROL{STOP_BITS_2, MARK_PARITY, 8}), 0, STATUS_SUCCESS, 0, "StartSetLineControl",
         nullptr,
         [](const Bytes&, const Context* c) {
             EXPECT_EQ(c->LineControl.StopBits, STOP_BITS_2);
             EXPECT_EQ(c->WmiCommData.Parity, SERIAL_WMI_PARITY_MARK);
             EXPECT_EQ(c->WmiCommData.StopBits, SERIAL_WMI_STOP_2);
         }},
        {"set line control, input one byte short", IOCTL_SERIAL_SET_LINE_CONTROL, Repeat(2), 0, STATUS_BUFFER_TOO_SMALL,
         0},
        {"break on", IOCTL_SERIAL_SET_BREAK_ON, {}, 0, STATUS_SUCCESS, 0, "StartSetBreakOnOff"},
        {"break off", IOCTL_SERIAL_SET_BREAK_OFF, {}, 0, STATUS_SUCCESS, 0, "StartSetBreakOnOff"},
        {"immediate character without the character", IOCTL_SERIAL_IMMEDIATE_CHAR, {}, 0, STATUS_BUFFER_TOO_SMALL, 0},
        {"set timeouts", IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(kTimeouts), 0, STATUS_SUCCESS, 0, nullptr, nullptr,
         [](const Bytes&, const Context* c) { EXPECT_EQ(c->Timeouts.WriteTotalTimeoutConstant, 300u); }},
        {"set timeouts, all three read values MAXULONG", IOCTL_SERIAL_SET_TIMEOUTS,
         BytesOf(SERIAL_TIMEOUTS{MAXULONG, MAXULONG, MAXULONG, 0, 0}), 0, STATUS_INVALID_PARAMETER, 0, nullptr,
         [](Context* c) { c->Timeouts = kTimeouts; },
         [](const Bytes&, const Context* c) { EXPECT_EQ(c->Timeouts.ReadIntervalTimeout, 50u); }},
        {"set timeouts, two read values MAXULONG", IOCTL_SERIAL_SET_TIMEOUTS,
         BytesOf(SERIAL_TIMEOUTS{MAXULONG, MAXULONG, 500, 0, 0}), 0, STATUS_SUCCESS, 0, nullptr, nullptr,
         [](const Bytes&, const Context* c) { EXPECT_EQ(c->Timeouts.ReadTotalTimeoutConstant, 500u); }},
        {"set timeouts, input one byte short", IOCTL_SERIAL_SET_TIMEOUTS, Repeat(19), 0, STATUS_BUFFER_TOO_SMALL, 0},
        {"get timeouts", IOCTL_SERIAL_GET_TIMEOUTS, {}, 20, STATUS_SUCCESS, 20, nullptr,
         [](Context* c) { c->Timeouts = kTimeouts; },
         [](const Bytes& out, const Context*) { EXPECT_EQ(out, BytesOf(kTimeouts)); }},
        {"get timeouts, output one byte short", IOCTL_SERIAL_GET_TIMEOUTS, {}, 19, STATUS_BUFFER_TOO_SMALL, 0},
        {"set DTR", IOCTL_SERIAL_SET_DTR, {}, 0, STATUS_SUCCESS, 0, "StartSetOrClearDtrRts", nullptr,
         [](const Bytes&, const Context* c) { EXPECT_EQ(c->ModemControl, 1u); }},
        {"set DTR under DTR handshake", IOCTL_SERIAL_SET_DTR, {}, 0, STATUS_INVALID_PARAMETER, 0, nullptr,
         [](Context* c) { c->HandFlow.ControlHandShake = SERIAL_DTR_HANDSHAKE; }},
        {"clear DTR", IOCTL_SERIAL_CLR_DTR, {}, 0, STATUS_SUCCESS, 0, "StartSetOrClearDtrRts",
         [](Context* c) { c->ModemControl = 3; },
         [](const Bytes&, const Context* c) { EXPECT_EQ(c->ModemControl, 2u); }},
        {"clear DTR under DTR handshake", IOCTL_SERIAL_CLR_DTR, {}, 0, STATUS_INVALID_PARAMETER, 0, nullptr,
         [](Context* c) { c->HandFlow.ControlHandShake = SERIAL_DTR_HANDSHAKE | SERIAL_ERROR_ABORT; }},
        {"reset device", IOCTL_SERIAL_RESET_DEVICE, {}, 0, STATUS_SUCCESS, 0},
        {"set RTS", IOCTL_SERIAL_SET_RTS, {}, 0, STATUS_SUCCESS, 0, "StartSetOrClearDtrRts", nullptr,
         [](const Bytes&, const Context* c) { EXPECT_EQ(c->ModemControl, 2u); }},
        {"set RTS under RTS handshake", IOCTL_SERIAL_SET_RTS, {}, 0, STATUS_INVALID_PARAMETER, 0, nullptr,
         [](Context* c) { c->HandFlow.FlowReplace = SERIAL_RTS_HANDSHAKE; }},
        {"clear RTS under transmit toggle", IOCTL_SERIAL_CLR_RTS, {}, 0, STATUS_INVALID_PARAMETER, 0, nullptr,
         [](Context* c) { c->HandFlow.FlowReplace = SERIAL_TRANSMIT_TOGGLE; }},
        {"clear RTS", IOCTL_SERIAL_CLR_RTS, {}, 0, STATUS_SUCCESS, 0, "StartSetOrClearDtrRts"},
        {"set XOFF", IOCTL_SERIAL_SET_XOFF, {}, 0, STATUS_SUCCESS, 0, nullptr, nullptr,
         [](const Bytes&, const Context* c) { EXPECT_EQ(c->TXHolding, x9trsertest::SERIAL_TX_XOFF); }},
        {"set XON", IOCTL_SERIAL_SET_XON, {}, 0, STATUS_SUCCESS, 0},
        {"get wait mask", IOCTL_SERIAL_GET_WAIT_MASK, {}, 4, STATUS_SUCCESS, 4, nullptr,
         [](Context* c) { c->WaitMask = SERIAL_EV_RXCHAR | SERIAL_EV_DSR; },
         [](const Bytes& out, const Context*) { EXPECT_EQ(ValueOf<ULONG>(out), 0x11u); }},
        {"get wait mask, output one byte short", IOCTL_SERIAL_GET_WAIT_MASK, {}, 3, STATUS_BUFFER_TOO_SMALL, 0},
        {"set wait mask", IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(ULONG{0x7FF}), 0, STATUS_SUCCESS, 0, nullptr, nullptr,
         [](const Bytes&, const Context* c) { EXPECT_EQ(c->WaitMask, 0x7FFu); }},
        {"set wait mask with SERIAL_EV_EVENT1", IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(SERIAL_EV_EVENT1), 0,
         STATUS_INVALID_PARAMETER, 0, nullptr, [](Context* c) { c->WaitMask = SERIAL_EV_RXCHAR; },
         [](const Bytes&, const Context* c) { EXPECT_EQ(c->WaitMask, SERIAL_EV_RXCHAR); }},
        {"wait on mask with no mask set", IOCTL_SERIAL_WAIT_ON_MASK, {}, 4, STATUS_INVALID_PARAMETER, 4},
        {"wait on mask with an event already seen", IOCTL_SERIAL_WAIT_ON_MASK, {}, 4, STATUS_SUCCESS, 4, nullptr,
         [](Context* c) {
             c->WaitMask = SERIAL_EV_RXCHAR;
             c->HistoryMask = SERIAL_EV_RXCHAR;
         },
         [](const Bytes& out, const Context* c) {
             EXPECT_EQ(ValueOf<ULONG>(out), SERIAL_EV_RXCHAR);
             EXPECT_EQ(c->HistoryMask, 0u);
         }},
        {"wait on mask, output one byte short", IOCTL_SERIAL_WAIT_ON_MASK, {}, 3, STATUS_BUFFER_TOO_SMALL, 0},
        {"purge everything", IOCTL_SERIAL_PURGE, BytesOf(ULONG{0xF}), 0, STATUS_SUCCESS, 4},
        {"purge TXCLEAR alone", IOCTL_SERIAL_PURGE, BytesOf(SERIAL_PURGE_TXCLEAR), 0, STATUS_SUCCESS, 4},
        {"purge with mask 0", IOCTL_SERIAL_PURGE, BytesOf(ULONG{0}), 0, STATUS_INVALID_PARAMETER, 0},
        {"purge with bit 0x10", IOCTL_SERIAL_PURGE, BytesOf(ULONG{0x10}), 0, STATUS_INVALID_PARAMETER, 0},
        {"purge, input one byte short", IOCTL_SERIAL_PURGE, Repeat(3), 0, STATUS_BUFFER_TOO_SMALL, 0},
        {"get baud rate", IOCTL_SERIAL_GET_BAUD_RATE, {}, 4, STATUS_SUCCESS, 4, "StartGetBaudRate", nullptr,
         [](const Bytes& out, const Context*) { EXPECT_EQ(ValueOf<ULONG>(out), 1200u); }},
        {"get baud rate, output one byte short", IOCTL_SERIAL_GET_BAUD_RATE, {}, 3, STATUS_BUFFER_TOO_SMALL, 0},
        {"get line control", IOCTL_SERIAL_GET_LINE_CONTROL, {}, 8, STATUS_SUCCESS, 3, "StartGetLineControl", nullptr,
         [](const Bytes& out, const Context*) {
             EXPECT_EQ(out, (Bytes{std::byte{STOP_BIT_1}, std::byte{EVEN_PARITY}, std::byte{8}}));
         }},
        {"get line control, output one byte short", IOCTL_SERIAL_GET_LINE_CONTROL, {}, 2, STATUS_BUFFER_TOO_SMALL, 0},
        {"get chars", IOCTL_SERIAL_GET_CHARS, {}, 6, STATUS_SUCCESS, 6, nullptr, nullptr,
         [](const Bytes& out, const Context*) {
             const auto chars = ValueOf<SERIAL_CHARS>(out);
             EXPECT_EQ(chars.XonChar, 0x11);
             EXPECT_EQ(chars.XoffChar, 0x13);
             EXPECT_EQ(chars.EofChar, 0);
         }},
        {"get chars, output one byte short", IOCTL_SERIAL_GET_CHARS, {}, 5, STATUS_BUFFER_TOO_SMALL, 0},
        {"set chars", IOCTL_SERIAL_SET_CHARS, BytesOf(SERIAL_CHARS{0x1A, 0x3F, 0x00, 0x7E, 0x21, 0x23}), 0,
         STATUS_SUCCESS, 0, nullptr, nullptr,
         [](const Bytes&, const Context* c) {
             EXPECT_EQ(c->SpecialChars.EventChar, 0x7E);
             EXPECT_EQ(c->WmiCommData.XonCharacter, 0x21u);
             EXPECT_EQ(c->WmiCommData.XoffCharacter, 0x23u);
         }},
        {"set chars, input one byte short", IOCTL_SERIAL_SET_CHARS, Repeat(5), 0, STATUS_BUFFER_TOO_SMALL, 0},
        {"get handflow", IOCTL_SERIAL_GET_HANDFLOW, {}, 16, STATUS_SUCCESS, 16, nullptr, nullptr,
         [](const Bytes& out, const Context*) {
             const auto flow = ValueOf<SERIAL_HANDFLOW>(out);
             EXPECT_EQ(flow.ControlHandShake, SERIAL_DTR_CONTROL);
             EXPECT_EQ(flow.FlowReplace, SERIAL_RTS_CONTROL);
             EXPECT_EQ(flow.XonLimit, static_cast<LONG>(kBufferBytes));
             EXPECT_EQ(flow.XoffLimit, static_cast<LONG>(kBufferBytes));
         }},
        {"set handflow", IOCTL_SERIAL_SET_HANDFLOW, BytesOf(HandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_AUTO_TRANSMIT, 10, 20)),
         0, STATUS_SUCCESS, 0, nullptr, nullptr,
         [](const Bytes&, const Context* c) {
             EXPECT_EQ(c->HandFlow.ControlHandShake, SERIAL_DTR_HANDSHAKE);
             EXPECT_EQ(c->HandFlow.XoffLimit, 20);
         }},
        {"set handflow, input one byte short", IOCTL_SERIAL_SET_HANDFLOW, Repeat(15), 0, STATUS_BUFFER_TOO_SMALL, 0},
        {"get modem status", IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4, STATUS_SUCCESS, 4, nullptr, nullptr,
         [](const Bytes& out, const Context*) { EXPECT_EQ(ValueOf<ULONG>(out), 0x30u); }},
        {"get modem status, output one byte short", IOCTL_SERIAL_GET_MODEMSTATUS, {}, 3, STATUS_BUFFER_TOO_SMALL, 0},
        {"get comm status", IOCTL_SERIAL_GET_COMMSTATUS, {}, 20, STATUS_SUCCESS, 20, nullptr,
         [](Context* c) { c->ErrorWord = SERIAL_ERROR_BREAK; },
         [](const Bytes& out, const Context* c) {
             EXPECT_EQ(ValueOf<SERIAL_STATUS>(out).Errors, SERIAL_ERROR_BREAK);
             EXPECT_EQ(c->ErrorWord, 0u);
         }},
        {"get comm status, output one byte short", IOCTL_SERIAL_GET_COMMSTATUS, {}, 19, STATUS_BUFFER_TOO_SMALL, 0},
        {"xoff counter", IOCTL_SERIAL_XOFF_COUNTER, BytesOf(SERIAL_XOFF_COUNTER{100, 10, 0x13}), 0,
         STATUS_INVALID_PARAMETER, 0},
        {"xoff counter, input one byte short", IOCTL_SERIAL_XOFF_COUNTER, Repeat(11), 0, STATUS_BUFFER_TOO_SMALL, 0},
        {"get properties", IOCTL_SERIAL_GET_PROPERTIES, {}, 64, STATUS_SUCCESS, 64},
        {"get properties, output one byte short", IOCTL_SERIAL_GET_PROPERTIES, {}, 63, STATUS_BUFFER_TOO_SMALL, 0},
        {"get DTR and RTS", IOCTL_SERIAL_GET_DTRRTS, {}, 4, STATUS_SUCCESS, 4, nullptr,
         [](Context* c) { c->ModemControl = 0xFE; },
         [](const Bytes& out, const Context*) { EXPECT_EQ(ValueOf<ULONG>(out), 2u); }},
        {"get DTR and RTS, output one byte short", IOCTL_SERIAL_GET_DTRRTS, {}, 3, STATUS_BUFFER_TOO_SMALL, 0},
        {"LSR/MST insertion off", IOCTL_SERIAL_LSRMST_INSERT, BytesOf(UCHAR{0}), 0, STATUS_SUCCESS, 0},
        {"LSR/MST insertion with an escape character", IOCTL_SERIAL_LSRMST_INSERT, BytesOf(UCHAR{0xFF}), 0,
         STATUS_INVALID_PARAMETER, 0},
        {"LSR/MST insertion without input", IOCTL_SERIAL_LSRMST_INSERT, {}, 0, STATUS_BUFFER_TOO_SMALL, 0},
        {"config size", IOCTL_SERIAL_CONFIG_SIZE, {}, 4, STATUS_SUCCESS, 4, nullptr, nullptr,
         [](const Bytes& out, const Context*) { EXPECT_EQ(ValueOf<ULONG>(out), 0u); }},
        {"config size, output one byte short", IOCTL_SERIAL_CONFIG_SIZE, {}, 3, STATUS_BUFFER_TOO_SMALL, 0},
        {"get stats", IOCTL_SERIAL_GET_STATS, {}, 24, STATUS_SUCCESS, 24, nullptr,
         [](Context* c) { c->PerfStats.ReceivedCount = 77; },
         [](const Bytes& out, const Context*) { EXPECT_EQ(ValueOf<SERIALPERF_STATS>(out).ReceivedCount, 77u); }},
        {"get stats, output one byte short", IOCTL_SERIAL_GET_STATS, {}, 23, STATUS_BUFFER_TOO_SMALL, 0},
        {"clear stats", IOCTL_SERIAL_CLEAR_STATS, {}, 0, STATUS_SUCCESS, 0, nullptr,
         [](Context* c) {
             c->PerfStats.TransmittedCount = 5;
             c->WmiPerfData.TransmittedCount = 5;
         },
         [](const Bytes&, const Context* c) {
             EXPECT_EQ(c->PerfStats.TransmittedCount, 0u);
             EXPECT_EQ(c->WmiPerfData.TransmittedCount, 0u);
         }},
        {"get modem control", IOCTL_SERIAL_GET_MODEM_CONTROL, {}, 4, STATUS_SUCCESS, 4, nullptr,
         [](Context* c) { c->ModemControl = 3; },
         [](const Bytes& out, const Context*) { EXPECT_EQ(ValueOf<ULONG>(out), 3u); }},
        {"get modem control, output one byte short", IOCTL_SERIAL_GET_MODEM_CONTROL, {}, 3, STATUS_BUFFER_TOO_SMALL, 0},
        {"set modem control", IOCTL_SERIAL_SET_MODEM_CONTROL, BytesOf(ULONG{0xFF}), 0, STATUS_SUCCESS, 0,
         "StartSetModemControl", nullptr, [](const Bytes&, const Context* c) { EXPECT_EQ(c->ModemControl, 3u); }},
        {"set modem control, input one byte short", IOCTL_SERIAL_SET_MODEM_CONTROL, Repeat(3), 0,
         STATUS_BUFFER_TOO_SMALL, 0},
        {"set FIFO control", IOCTL_SERIAL_SET_FIFO_CONTROL, BytesOf(ULONG{0xC7}), 0, STATUS_SUCCESS, 0},
        {"set FIFO control, input one byte short", IOCTL_SERIAL_SET_FIFO_CONTROL, Repeat(3), 0, STATUS_BUFFER_TOO_SMALL,
         0},
        {"get comm config", IOCTL_SERIAL_GET_COMMCONFIG, {}, 64, STATUS_INVALID_PARAMETER, 0},
        {"set comm config", IOCTL_SERIAL_SET_COMMCONFIG, Repeat(64), 0, STATUS_INVALID_PARAMETER, 0},
        {"apply default configuration", IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION, {}, 0, STATUS_INVALID_PARAMETER, 0},
        {"a serial function number nobody defined", SerialControlCode(0x3FF), {}, 4, STATUS_INVALID_PARAMETER, 0},
        {"a control code of another device type", 0x00220003, {}, 4, STATUS_INVALID_PARAMETER, 0},
    };
}

std::vector<Case> InternalCases()
{
    return {
        {"do wait wake", IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, {}, 0, STATUS_INVALID_PARAMETER, 0},
        {"cancel wait wake", IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, {}, 0, STATUS_INVALID_PARAMETER, 0},
        {"basic settings", IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, 44, STATUS_SUCCESS, 44, nullptr,
         [](Context* c) { c->Timeouts = kTimeouts; },
         [](const Bytes& out, const Context* c) {
             const auto settings = ValueOf<SERIAL_BASIC_SETTINGS>(out);
             EXPECT_EQ(settings.Timeouts.ReadIntervalTimeout, 50u);
             EXPECT_EQ(settings.HandFlow.ControlHandShake, SERIAL_DTR_CONTROL);
             EXPECT_EQ(settings.RxFifo, 0u);
             EXPECT_EQ(c->Timeouts.ReadIntervalTimeout, 0u);
             EXPECT_EQ(c->HandFlow.FlowReplace, 0u);
         }},
        {"basic settings, output one byte short", IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, 43, STATUS_BUFFER_TOO_SMALL,
         0},
        {"restore settings", IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS,
         BytesOf(SERIAL_BASIC_SETTINGS{kTimeouts, HandFlow(0, SERIAL_AUTO_RECEIVE, 1, 2), 0, 0}), 0, STATUS_SUCCESS, 0,
         nullptr, nullptr,
         [](const Bytes&, const Context* c) {
             EXPECT_EQ(c->Timeouts.WriteTotalTimeoutConstant, 300u);
             EXPECT_EQ(c->HandFlow.FlowReplace, SERIAL_AUTO_RECEIVE);
         }},
        {"restore settings, input one byte short", IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, Repeat(43), 0,
         STATUS_BUFFER_TOO_SMALL, 0},
        {"an internal code nobody defined", SerialControlCode(0x20), {}, 0, STATUS_INVALID_PARAMETER, 0},
    };
}

void Check(const Case& c, const platform::pnp::IoResult& result, Context* context)
{
    EXPECT_EQ(result.Status, c.Status) << NtStatusName(result.Status);
    EXPECT_EQ(result.Information, c.Information);
    if (c.Forwarded != nullptr) {
        ASSERT_EQ(TestFunction().Forwarded.size(), 1u);
        EXPECT_EQ(TestFunction().Forwarded[0].IoControlCode, c.Code);
        EXPECT_EQ(TestFunction().Forwarded[0].StartRoutine, c.Forwarded);
    } else {
        EXPECT_TRUE(TestFunction().Forwarded.empty());
    }
    if (c.After) {
        c.After(result.Data, context);
    }
}

// A device control is refused until the port is opened, then dispatched.
void RunDeviceControl(const Case& c)
{
    SCOPED_TRACE(c.Name);
    TestPortWorld world;
    ASSERT_NE(world.Device(), nullptr);
    {
        const auto before = world.Unopened()->DeviceControl(c.Code, c.Input, c.OutputSize);
        EXPECT_EQ(before.Status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(before.Information, 0u);
        EXPECT_TRUE(TestFunction().Forwarded.empty());
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto port = world.Open(&status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    if (c.Before) {
        c.Before(world.Context());
    }
    Check(c, port->DeviceControl(c.Code, c.Input, c.OutputSize), world.Context());
}

// Internal controls come from drivers of the stack: no open needed.
void RunInternalControl(const Case& c)
{
    SCOPED_TRACE(c.Name);
    TestPortWorld world;
    ASSERT_NE(world.Device(), nullptr);
    if (c.Before) {
        c.Before(world.Context());
    }
    Check(c, world.Unopened()->InternalDeviceControl(c.Code, c.Input, c.OutputSize), world.Context());
}

TEST(SerialDispatch, EveryDeviceControlCode)
{
    for (const Case& c : DeviceControlCases()) {
        RunDeviceControl(c);
    }
}

TEST(SerialDispatch, EveryInternalControlCode)
{
    for (const Case& c : InternalCases()) {
        RunInternalControl(c);
    }
}

using SerialDispatchTest = OpenPortTest;

TEST_F(SerialDispatchTest, GetLineControlZeroesTheWholeOutputBeforeTheDeviceAnswers)
{
    TestFunction().HoldForwarded = true;
    Bytes garbage(8, std::byte{0xEE});
    auto pending = port->StartDeviceControl(IOCTL_SERIAL_GET_LINE_CONTROL, garbage, 8);
    world.World().Dispatcher().RunUntilIdle(1000);
    ASSERT_EQ(TestFunction().Held.size(), 1u);
    // The answer in the first three bytes, zero where the application's bytes were.
    const auto* buffer = static_cast<const std::byte*>(x9trsertest::GetRequestContext(TestFunction().Held[0])->Buffer);
    Bytes expected = Repeat(8);
    expected[1] = std::byte{EVEN_PARITY};
    expected[2] = std::byte{8};
    EXPECT_EQ(Bytes(buffer, buffer + 8), expected);
    WdfRequestCompleteWithInformation(TestFunction().Held[0], STATUS_SUCCESS, 3);
    EXPECT_EQ(pending->Wait().Status, STATUS_SUCCESS);
}

TEST_F(SerialDispatchTest, ForwardedCodeCompletedWithTheDeviceStatus)
{
    TestFunction().DeviceStatus = STATUS_IO_TIMEOUT;
    const auto result = port->DeviceControl(IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(SERIAL_BAUD_RATE{57600}), 0);
    EXPECT_EQ(result.Status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(State()->CurrentBaud, 1200u);
}

TEST_F(SerialDispatchTest, FailedForwardCompletesWithTheForwardingStatus)
{
    world.World().Faults().Arm("WdfRequestForwardToIoQueue", STATUS_INSUFFICIENT_RESOURCES);
    const auto result = port->DeviceControl(IOCTL_SERIAL_SET_DTR, {}, 0);
    EXPECT_EQ(result.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(result.Information, 0u);
    EXPECT_TRUE(TestFunction().Forwarded.empty());
    EXPECT_EQ(State()->ModemControl, 0u);
}

TEST_F(SerialDispatchTest, ForwardedRequestsComeUpOneAtATime)
{
    // The second queue is sequential: one request with the device at a time.
    TestFunction().HoldForwarded = true;
    auto first = port->StartDeviceControl(IOCTL_SERIAL_SET_DTR, {}, 0);
    auto second = port->StartDeviceControl(IOCTL_SERIAL_SET_RTS, {}, 0);
    world.World().Dispatcher().RunUntilIdle(1000);
    ASSERT_EQ(TestFunction().Forwarded.size(), 1u);
    // A control code that needs no device is answered meanwhile.
    EXPECT_EQ(port->DeviceControl(IOCTL_SERIAL_GET_DTRRTS, {}, 4).Status, STATUS_SUCCESS);
    WdfRequestCompleteWithInformation(TestFunction().Held[0], STATUS_SUCCESS, 0);
    EXPECT_EQ(first->Wait().Status, STATUS_SUCCESS);
    world.World().Dispatcher().RunUntilIdle(1000);
    ASSERT_EQ(TestFunction().Forwarded.size(), 2u);
    EXPECT_EQ(TestFunction().Forwarded[1].IoControlCode, IOCTL_SERIAL_SET_RTS);
    WdfRequestCompleteWithInformation(TestFunction().Held[1], STATUS_SUCCESS, 0);
    EXPECT_EQ(second->Wait().Status, STATUS_SUCCESS);
}

} // namespace
