// What the settings codes mean for a port: its defaults, the hand-flow
// checks and their order, transmit hold, the error abort rule, basic and
// restored settings, the properties block and receive buffer growth.
#include "tests/serial/port_fixture.h"

namespace {

using namespace x9tr::test;
constexpr LONG kBufferBytes = 1024 * 1216;

using SerialSettingsTest = OpenPortTest;

TEST_F(SerialSettingsTest, FreshPortDefaults)
{
    EXPECT_EQ(ValueOf<ULONG>(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).Data), 1200u);
    const auto line = ValueOf<SERIAL_LINE_CONTROL>(Ioctl(IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3).Data);
    EXPECT_EQ(line.WordLength, 8);
    EXPECT_EQ(line.Parity, EVEN_PARITY);
    EXPECT_EQ(line.StopBits, STOP_BIT_1);
    const auto flow = ValueOf<SERIAL_HANDFLOW>(Ioctl(IOCTL_SERIAL_GET_HANDFLOW, {}, 16).Data);
    EXPECT_EQ(flow.ControlHandShake, SERIAL_DTR_CONTROL);
    EXPECT_EQ(flow.FlowReplace, SERIAL_RTS_CONTROL);
    EXPECT_EQ(ValueOf<ULONG>(Ioctl(IOCTL_SERIAL_GET_DTRRTS, {}, 4).Data), 0u);
    const auto timeouts = ValueOf<SERIAL_TIMEOUTS>(Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20).Data);
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);

    const SERIAL_WMI_COMM_DATA& comm = State()->WmiCommData;
    EXPECT_EQ(comm.BaudRate, 1200u);
    EXPECT_EQ(comm.Parity, SERIAL_WMI_PARITY_EVEN);
    EXPECT_TRUE(comm.ParityCheckEnable);
    EXPECT_EQ(comm.MaximumBaudRate, 128000u);
    EXPECT_EQ(comm.XonXmitThreshold, static_cast<ULONG>(kBufferBytes));
    EXPECT_TRUE(comm.IsBusy);
    EXPECT_FALSE(comm.Support16BitMode);
    EXPECT_EQ(State()->WmiHwData.BaseIOAddress, 0xFFFFFFFFull);
    EXPECT_EQ(State()->WmiHwData.IrqAffinity, 0u);
}

TEST_F(SerialSettingsTest, CloseEndsBusyAndModemControlButKeepsSettings)
{
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_DTR).Status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(SERIAL_TIMEOUTS{7, 0, 0, 0, 0})).Status, STATUS_SUCCESS);
    port.reset();
    EXPECT_FALSE(State()->DeviceOpened);
    EXPECT_FALSE(State()->WmiCommData.IsBusy);
    EXPECT_EQ(State()->ModemControl, 0u);
    port = world.Open();
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(ValueOf<SERIAL_TIMEOUTS>(Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20).Data).ReadIntervalTimeout, 7u);
}

TEST_F(SerialSettingsTest, HandFlowChecksInOrderAndChangeNothingWhenRefused)
{
    struct Case {
        const char* Name;
        SERIAL_HANDFLOW Flow;
        NTSTATUS Status;
    };
    const Case cases[] = {
        {"control bit outside the valid ones", {0x00000004, 0, 0, 0}, STATUS_INVALID_PARAMETER},
        {"flow bit outside the valid ones", {0, 0x00000020, 0, 0}, STATUS_INVALID_PARAMETER},
        {"error character replacement", {0, SERIAL_ERROR_CHAR, 0, 0}, STATUS_INVALID_PARAMETER},
        {"null stripping, otherwise valid", {SERIAL_DTR_CONTROL, SERIAL_NULL_STRIPPING | SERIAL_RTS_CONTROL, 0, 0},
         STATUS_INVALID_PARAMETER},
        {"break character", {0, SERIAL_BREAK_CHAR, 0, 0}, STATUS_INVALID_PARAMETER},
        {"both DTR bits", {SERIAL_DTR_MASK, 0, 0, 0}, STATUS_INVALID_PARAMETER},
        {"XON limit negative", {0, 0, -1, 0}, STATUS_INVALID_PARAMETER},
        {"XON limit one past the buffer", {0, 0, kBufferBytes + 1, 0}, STATUS_INVALID_PARAMETER},
        {"XOFF limit negative", {0, 0, 0, -1}, STATUS_INVALID_PARAMETER},
        {"XOFF limit one past the buffer", {0, 0, 0, kBufferBytes + 1}, STATUS_INVALID_PARAMETER},
        {"limits equal to the buffer", {0, 0, kBufferBytes, kBufferBytes}, STATUS_SUCCESS},
        {"every supported bit",
         {SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DCD_HANDSHAKE |
              SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT,
          SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_TRANSMIT_TOGGLE | SERIAL_XOFF_CONTINUE, 0, 0},
         STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const SERIAL_HANDFLOW before = State()->HandFlow;
        EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_HANDFLOW, BytesOf(c.Flow)).Status, c.Status);
        const auto after = ValueOf<SERIAL_HANDFLOW>(Ioctl(IOCTL_SERIAL_GET_HANDFLOW, {}, 16).Data);
        const SERIAL_HANDFLOW& expected = NT_SUCCESS(c.Status) ? c.Flow : before;
        EXPECT_EQ(after.ControlHandShake, expected.ControlHandShake);
        EXPECT_EQ(after.FlowReplace, expected.FlowReplace);
        EXPECT_EQ(after.XonLimit, expected.XonLimit);
        EXPECT_EQ(after.XoffLimit, expected.XoffLimit);
        // Back to the defaults for the next case.
        ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_HANDFLOW, BytesOf(SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0}))
                      .Status,
                  STATUS_SUCCESS);
    }
}

TEST_F(SerialSettingsTest, HandFlowReceiveHoldFollowsTheNewValue)
{
    // Hold reasons the new hand-flow no longer has end, the DSR hold too;
    // those it keeps stay only while the buffer is full.
    State()->RXHolding = x9trsertest::SERIAL_RX_DSR | x9trsertest::SERIAL_RX_XOFF | x9trsertest::SERIAL_RX_DTR;
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_HANDFLOW, BytesOf(SERIAL_HANDFLOW{SERIAL_DTR_HANDSHAKE, 0, 0, 0})).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(State()->RXHolding, 0u);
}

TEST_F(SerialSettingsTest, XoffStopsTheWriteQueueOnceAndXonStartsIt)
{
    auto dispatching = [&] {
        return (WdfIoQueueGetState(State()->WriteIoQueue, nullptr, nullptr) & WdfIoQueueDispatchRequests) != 0;
    };
    ASSERT_TRUE(dispatching());
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_XOFF).Status, STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_XOFF).Status, STATUS_SUCCESS);
    EXPECT_FALSE(dispatching());
    const auto status = ValueOf<SERIAL_STATUS>(Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20).Data);
    EXPECT_EQ(status.HoldReasons, SERIAL_TX_WAITING_FOR_XON);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_XON).Status, STATUS_SUCCESS);
    EXPECT_TRUE(dispatching());
    EXPECT_EQ(State()->TXHolding, 0u);
}

TEST_F(SerialSettingsTest, PurgeOfWritesKeepsAnXoffHold)
{
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_XOFF).Status, STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_PURGE, BytesOf(SERIAL_PURGE_TXABORT)).Status, STATUS_SUCCESS);
    const ULONG state = WdfIoQueueGetState(State()->WriteIoQueue, nullptr, nullptr);
    EXPECT_NE(state & WdfIoQueueAcceptRequests, 0u);
    EXPECT_EQ(state & WdfIoQueueDispatchRequests, 0u);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_XON).Status, STATUS_SUCCESS);
    EXPECT_NE(WdfIoQueueGetState(State()->WriteIoQueue, nullptr, nullptr) & WdfIoQueueDispatchRequests, 0u);
}

TEST_F(SerialSettingsTest, ErrorAbortRefusesEverythingUntilTheErrorsAreRead)
{
    const SERIAL_HANDFLOW abort{SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT, SERIAL_RTS_CONTROL, 0, 0};
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_HANDFLOW, BytesOf(abort)).Status, STATUS_SUCCESS);
    // Without an error recorded, nothing is refused.
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_STATS, {}, 24).Status, STATUS_SUCCESS);

    State()->ErrorWord = SERIAL_ERROR_FRAMING;
    const Bytes data(10, std::byte{'x'});
    const auto write = port->Write(data);
    EXPECT_EQ(write.Status, STATUS_CANCELLED);
    EXPECT_EQ(write.Information, 0u);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_STATS, {}, 24).Status, STATUS_CANCELLED);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_DTR).Status, STATUS_CANCELLED);
    EXPECT_EQ(port->InternalDeviceControl(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, 44).Status, STATUS_CANCELLED);
    EXPECT_TRUE(TestFunction().Forwarded.empty());

    const auto status = Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20);
    ASSERT_EQ(status.Status, STATUS_SUCCESS);
    EXPECT_EQ(ValueOf<SERIAL_STATUS>(status.Data).Errors, SERIAL_ERROR_FRAMING);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_STATS, {}, 24).Status, STATUS_SUCCESS);
}

TEST_F(SerialSettingsTest, BasicSettingsThenRestoreReturnsToTheStart)
{
    const SERIAL_TIMEOUTS timeouts{20, 1, 200, 3, 400};
    const SERIAL_HANDFLOW flow{SERIAL_DTR_HANDSHAKE, SERIAL_AUTO_RECEIVE | SERIAL_RTS_CONTROL, 100, 200};
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(timeouts)).Status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_HANDFLOW, BytesOf(flow)).Status, STATUS_SUCCESS);

    const auto basic = port->InternalDeviceControl(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, 44);
    ASSERT_EQ(basic.Status, STATUS_SUCCESS);
    EXPECT_EQ(ValueOf<SERIAL_TIMEOUTS>(Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20).Data).ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(ValueOf<SERIAL_HANDFLOW>(Ioctl(IOCTL_SERIAL_GET_HANDFLOW, {}, 16).Data).ControlHandShake, 0u);

    ASSERT_EQ(port->InternalDeviceControl(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, basic.Data, 0).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20).Data, BytesOf(timeouts));
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_HANDFLOW, {}, 16).Data, BytesOf(flow));
}

TEST_F(SerialSettingsTest, PropertiesDescribeThePortAndFollowTheBuffer)
{
    const auto properties = ValueOf<SERIAL_COMMPROP>(Ioctl(IOCTL_SERIAL_GET_PROPERTIES, {}, 64).Data);
    EXPECT_EQ(properties.PacketLength, 64);
    EXPECT_EQ(properties.PacketVersion, 2);
    EXPECT_EQ(properties.ServiceMask, SERIAL_SP_SERIALCOMM);
    EXPECT_EQ(properties.MaxTxQueue, 0u);
    EXPECT_EQ(properties.MaxRxQueue, 0u);
    EXPECT_EQ(properties.MaxBaud, SERIAL_BAUD_USER);
    EXPECT_EQ(properties.ProvSubType, SERIAL_SP_RS232);
    EXPECT_EQ(properties.ProvCapabilities, 0xFFu);
    EXPECT_EQ(properties.SettableParams, 0x7Fu);
    EXPECT_EQ(properties.SettableBaud, 0xFFFFFFFFu);
    EXPECT_EQ(properties.SettableData, SERIAL_DATABITS_8);
    EXPECT_EQ(properties.SettableStopParity, 0x1F07);
    EXPECT_EQ(properties.CurrentTxQueue, 0u);
    EXPECT_EQ(properties.CurrentRxQueue, static_cast<ULONG>(kBufferBytes));
    EXPECT_EQ(properties.ProvChar[0], 0);

    // Growing: 2,000,000 bytes of 1216-byte memories is 1645 memories.
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, BytesOf(SERIAL_QUEUE_SIZE{2'000'000, 0})).Status, STATUS_SUCCESS);
    EXPECT_EQ(State()->Usb.ReadMemoryLimitNum, 1645u);
    EXPECT_EQ(State()->ReadBufferSize, 2'000'320u);
    EXPECT_EQ(State()->Usb.ReadMemoryPt8Num, 1336u);
    EXPECT_EQ(WdfCollectionGetCount(State()->Usb.FreeReadMemoryCollection), 1645u + 2);
    EXPECT_EQ(ValueOf<SERIAL_COMMPROP>(Ioctl(IOCTL_SERIAL_GET_PROPERTIES, {}, 64).Data).CurrentRxQueue, 2'000'320u);
    // The hand-flow limits stay where the open put them.
    EXPECT_EQ(State()->HandFlow.XonLimit, kBufferBytes);
}

TEST_F(SerialSettingsTest, FailedGrowthKeepsTheBuffer)
{
    world.World().Faults().Arm("WdfMemoryCreate", STATUS_INSUFFICIENT_RESOURCES, 10);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, BytesOf(SERIAL_QUEUE_SIZE{2'000'000, 0})).Status,
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(State()->Usb.ReadMemoryLimitNum, 1024u);
    EXPECT_EQ(State()->ReadBufferSize, static_cast<ULONG>(kBufferBytes));
    EXPECT_EQ(WdfCollectionGetCount(State()->Usb.FreeReadMemoryCollection), 1026u);
}

TEST_F(SerialSettingsTest, GrowthPastWhatTheBufferSizeCanCountIsRefused)
{
    // 0xFFFFFFFF bytes in whole 1216-byte memories is more bytes than a
    // 32-bit size holds: refused before any memory is made.
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, BytesOf(SERIAL_QUEUE_SIZE{0xFFFFFFFF, 0})).Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(State()->Usb.ReadMemoryLimitNum, 1024u);
    EXPECT_EQ(State()->ReadBufferSize, static_cast<ULONG>(kBufferBytes));
    EXPECT_EQ(WdfCollectionGetCount(State()->Usb.FreeReadMemoryCollection), 1026u);
}

TEST_F(SerialSettingsTest, LineControlReachesTheWmiBlock)
{
    struct Case {
        SERIAL_LINE_CONTROL Line;
        ULONG Parity;
        ULONG StopBits;
        BOOLEAN ParityCheck;
    };
    const Case cases[] = {
        {{STOP_BIT_1, NO_PARITY, 8}, SERIAL_WMI_PARITY_NONE, SERIAL_WMI_STOP_1, FALSE},
        {{STOP_BITS_1_5, ODD_PARITY, 8}, SERIAL_WMI_PARITY_ODD, SERIAL_WMI_STOP_1_5, TRUE},
        {{STOP_BITS_2, MARK_PARITY, 8}, SERIAL_WMI_PARITY_MARK, SERIAL_WMI_STOP_2, TRUE},
        {{STOP_BIT_1, SPACE_PARITY, 7}, SERIAL_WMI_PARITY_SPACE, SERIAL_WMI_STOP_1, TRUE},
        {{9, 9, 8}, SERIAL_WMI_PARITY_NONE, SERIAL_WMI_STOP_1, TRUE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.Line.Parity) << "/" << int(c.Line.StopBits));
        ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, BytesOf(c.Line)).Status, STATUS_SUCCESS);
        EXPECT_EQ(State()->WmiCommData.Parity, c.Parity);
        EXPECT_EQ(State()->WmiCommData.StopBits, c.StopBits);
        EXPECT_EQ(State()->WmiCommData.ParityCheckEnable, c.ParityCheck);
        EXPECT_EQ(State()->WmiCommData.BitsPerByte, c.Line.WordLength);
    }
}

} // namespace
