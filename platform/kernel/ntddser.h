// The serial port interface of the system: control codes, the records they
// carry, their flag values, and the serial WMI data blocks. Port drivers
// answer these codes; applications and other drivers send them.
#pragma once

#include "platform/kernel/ntdef.h"

inline constexpr ULONG MAXULONG = 0xFFFFFFFF;

// Serial control codes: device type FILE_DEVICE_SERIAL_PORT (0x1B), method
// buffered, any access; the function number sits in bits 2 to 13.
constexpr ULONG SerialControlCode(ULONG function) { return (0x1Bu << 16) | (function << 2); }

inline constexpr ULONG IOCTL_SERIAL_SET_BAUD_RATE = SerialControlCode(1);
inline constexpr ULONG IOCTL_SERIAL_SET_QUEUE_SIZE = SerialControlCode(2);
inline constexpr ULONG IOCTL_SERIAL_SET_LINE_CONTROL = SerialControlCode(3);
inline constexpr ULONG IOCTL_SERIAL_SET_BREAK_ON = SerialControlCode(4);
inline constexpr ULONG IOCTL_SERIAL_SET_BREAK_OFF = SerialControlCode(5);
inline constexpr ULONG IOCTL_SERIAL_IMMEDIATE_CHAR = SerialControlCode(6);
inline constexpr ULONG IOCTL_SERIAL_SET_TIMEOUTS = SerialControlCode(7);
inline constexpr ULONG IOCTL_SERIAL_GET_TIMEOUTS = SerialControlCode(8);
inline constexpr ULONG IOCTL_SERIAL_SET_DTR = SerialControlCode(9);
inline constexpr ULONG IOCTL_SERIAL_CLR_DTR = SerialControlCode(10);
inline constexpr ULONG IOCTL_SERIAL_RESET_DEVICE = SerialControlCode(11);
inline constexpr ULONG IOCTL_SERIAL_SET_RTS = SerialControlCode(12);
inline constexpr ULONG IOCTL_SERIAL_CLR_RTS = SerialControlCode(13);
inline constexpr ULONG IOCTL_SERIAL_SET_XOFF = SerialControlCode(14);
inline constexpr ULONG IOCTL_SERIAL_SET_XON = SerialControlCode(15);
inline constexpr ULONG IOCTL_SERIAL_GET_WAIT_MASK = SerialControlCode(16);
inline constexpr ULONG IOCTL_SERIAL_SET_WAIT_MASK = SerialControlCode(17);
inline constexpr ULONG IOCTL_SERIAL_WAIT_ON_MASK = SerialControlCode(18);
inline constexpr ULONG IOCTL_SERIAL_PURGE = SerialControlCode(19);
inline constexpr ULONG IOCTL_SERIAL_GET_BAUD_RATE = SerialControlCode(20);
inline constexpr ULONG IOCTL_SERIAL_GET_LINE_CONTROL = SerialControlCode(21);
inline constexpr ULONG IOCTL_SERIAL_GET_CHARS = SerialControlCode(22);
inline constexpr ULONG IOCTL_SERIAL_SET_CHARS = SerialControlCode(23);
inline constexpr ULONG IOCTL_SERIAL_GET_HANDFLOW = SerialControlCode(24);
inline constexpr ULONG IOCTL_SERIAL_SET_HANDFLOW = SerialControlCode(25);
inline constexpr ULONG IOCTL_SERIAL_GET_MODEMSTATUS = SerialControlCode(26);
inline constexpr ULONG IOCTL_SERIAL_GET_COMMSTATUS = SerialControlCode(27);
inline constexpr ULONG IOCTL_SERIAL_XOFF_COUNTER = SerialControlCode(28);
inline constexpr ULONG IOCTL_SERIAL_GET_PROPERTIES = SerialControlCode(29);
inline constexpr ULONG IOCTL_SERIAL_GET_DTRRTS = SerialControlCode(30);
inline constexpr ULONG IOCTL_SERIAL_LSRMST_INSERT = SerialControlCode(31);
inline constexpr ULONG IOCTL_SERIAL_CONFIG_SIZE = SerialControlCode(32);
inline constexpr ULONG IOCTL_SERIAL_GET_COMMCONFIG = SerialControlCode(33);
inline constexpr ULONG IOCTL_SERIAL_SET_COMMCONFIG = SerialControlCode(34);
inline constexpr ULONG IOCTL_SERIAL_GET_STATS = SerialControlCode(35);
inline constexpr ULONG IOCTL_SERIAL_CLEAR_STATS = SerialControlCode(36);
inline constexpr ULONG IOCTL_SERIAL_GET_MODEM_CONTROL = SerialControlCode(37);
inline constexpr ULONG IOCTL_SERIAL_SET_MODEM_CONTROL = SerialControlCode(38);
inline constexpr ULONG IOCTL_SERIAL_SET_FIFO_CONTROL = SerialControlCode(39);
inline constexpr ULONG IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION = SerialControlCode(40);

// Internal serial control codes, sent by other drivers of the stack.
inline constexpr ULONG IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE = SerialControlCode(1);
inline constexpr ULONG IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE = SerialControlCode(2);
inline constexpr ULONG IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS = SerialControlCode(3);
inline constexpr ULONG IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS = SerialControlCode(4);

struct SERIAL_BAUD_RATE {
    ULONG BaudRate;
};

struct SERIAL_LINE_CONTROL {
    UCHAR StopBits;
    UCHAR Parity;
    UCHAR WordLength;
};
using PSERIAL_LINE_CONTROL = SERIAL_LINE_CONTROL*;

inline constexpr UCHAR STOP_BIT_1 = 0;
inline constexpr UCHAR STOP_BITS_1_5 = 1;
inline constexpr UCHAR STOP_BITS_2 = 2;
inline constexpr UCHAR NO_PARITY = 0;
inline constexpr UCHAR ODD_PARITY = 1;
inline constexpr UCHAR EVEN_PARITY = 2;
inline constexpr UCHAR MARK_PARITY = 3;
inline constexpr UCHAR SPACE_PARITY = 4;

struct SERIAL_TIMEOUTS {
    ULONG ReadIntervalTimeout;
    ULONG ReadTotalTimeoutMultiplier;
    ULONG ReadTotalTimeoutConstant;
    ULONG WriteTotalTimeoutMultiplier;
    ULONG WriteTotalTimeoutConstant;
};
using PSERIAL_TIMEOUTS = SERIAL_TIMEOUTS*;

struct SERIAL_QUEUE_SIZE {
    ULONG InSize;
    ULONG OutSize;
};

struct SERIAL_CHARS {
    UCHAR EofChar;
    UCHAR ErrorChar;
    UCHAR BreakChar;
    UCHAR EventChar;
    UCHAR XonChar;
    UCHAR XoffChar;
};
using PSERIAL_CHARS = SERIAL_CHARS*;

struct SERIAL_HANDFLOW {
    ULONG ControlHandShake;
    ULONG FlowReplace;
    LONG XonLimit;
    LONG XoffLimit;
};
using PSERIAL_HANDFLOW = SERIAL_HANDFLOW*;

// ControlHandShake bits.
inline constexpr ULONG SERIAL_DTR_MASK = 0x00000003;
inline constexpr ULONG SERIAL_DTR_CONTROL = 0x00000001;
inline constexpr ULONG SERIAL_DTR_HANDSHAKE = 0x00000002;
inline constexpr ULONG SERIAL_CTS_HANDSHAKE = 0x00000008;
inline constexpr ULONG SERIAL_DSR_HANDSHAKE = 0x00000010;
inline constexpr ULONG SERIAL_DCD_HANDSHAKE = 0x00000020;
inline constexpr ULONG SERIAL_DSR_SENSITIVITY = 0x00000040;
inline constexpr ULONG SERIAL_ERROR_ABORT = 0x80000000;
inline constexpr ULONG SERIAL_CONTROL_INVALID = 0x7FFFFF84;
// FlowReplace bits.
inline constexpr ULONG SERIAL_AUTO_TRANSMIT = 0x00000001;
inline constexpr ULONG SERIAL_AUTO_RECEIVE = 0x00000002;
inline constexpr ULONG SERIAL_ERROR_CHAR = 0x00000004;
inline constexpr ULONG SERIAL_NULL_STRIPPING = 0x00000008;
inline constexpr ULONG SERIAL_BREAK_CHAR = 0x00000010;
inline constexpr ULONG SERIAL_RTS_MASK = 0x000000C0;
inline constexpr ULONG SERIAL_RTS_CONTROL = 0x00000040;
inline constexpr ULONG SERIAL_RTS_HANDSHAKE = 0x00000080;
inline constexpr ULONG SERIAL_TRANSMIT_TOGGLE = 0x000000C0;
inline constexpr ULONG SERIAL_XOFF_CONTINUE = 0x80000000;
inline constexpr ULONG SERIAL_FLOW_INVALID = 0x7FFFFF20;

struct SERIAL_STATUS {
    ULONG Errors;
    ULONG HoldReasons;
    ULONG AmountInInQueue;
    ULONG AmountInOutQueue;
    BOOLEAN EofReceived;
    BOOLEAN WaitForImmediate;
};
using PSERIAL_STATUS = SERIAL_STATUS*;

// Errors of SERIAL_STATUS.
inline constexpr ULONG SERIAL_ERROR_BREAK = 0x00000001;
inline constexpr ULONG SERIAL_ERROR_FRAMING = 0x00000002;
inline constexpr ULONG SERIAL_ERROR_OVERRUN = 0x00000004;
inline constexpr ULONG SERIAL_ERROR_QUEUEOVERRUN = 0x00000008;
inline constexpr ULONG SERIAL_ERROR_PARITY = 0x00000010;
// HoldReasons of SERIAL_STATUS.
inline constexpr ULONG SERIAL_TX_WAITING_FOR_CTS = 0x00000001;
inline constexpr ULONG SERIAL_TX_WAITING_FOR_DSR = 0x00000002;
inline constexpr ULONG SERIAL_TX_WAITING_FOR_DCD = 0x00000004;
inline constexpr ULONG SERIAL_TX_WAITING_FOR_XON = 0x00000008;
inline constexpr ULONG SERIAL_TX_WAITING_XOFF_SENT = 0x00000010;
inline constexpr ULONG SERIAL_TX_WAITING_ON_BREAK = 0x00000020;
inline constexpr ULONG SERIAL_RX_WAITING_FOR_DSR = 0x00000040;

struct SERIAL_XOFF_COUNTER {
    ULONG Timeout;
    LONG Counter;
    UCHAR XoffChar;
};

struct SERIAL_COMMPROP {
    USHORT PacketLength;
    USHORT PacketVersion;
    ULONG ServiceMask;
    ULONG Reserved1;
    ULONG MaxTxQueue;
    ULONG MaxRxQueue;
    ULONG MaxBaud;
    ULONG ProvSubType;
    ULONG ProvCapabilities;
    ULONG SettableParams;
    ULONG SettableBaud;
    USHORT SettableData;
    USHORT SettableStopParity;
    ULONG CurrentTxQueue;
    ULONG CurrentRxQueue;
    ULONG ProvSpec1;
    ULONG ProvSpec2;
    WCHAR ProvChar[1];
};
using PSERIAL_COMMPROP = SERIAL_COMMPROP*;

inline constexpr ULONG SERIAL_SP_SERIALCOMM = 0x00000001;
inline constexpr ULONG SERIAL_SP_RS232 = 0x00000001;
inline constexpr ULONG SERIAL_BAUD_USER = 0x10000000;
inline constexpr USHORT SERIAL_DATABITS_8 = 0x0008;

struct SERIALPERF_STATS {
    ULONG ReceivedCount;
    ULONG TransmittedCount;
    ULONG FrameErrorCount;
    ULONG SerialOverrunErrorCount;
    ULONG BufferOverrunErrorCount;
    ULONG ParityErrorCount;
};

struct SERIAL_BASIC_SETTINGS {
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_HANDFLOW HandFlow;
    ULONG RxFifo;
    ULONG TxFifo;
};
using PSERIAL_BASIC_SETTINGS = SERIAL_BASIC_SETTINGS*;

// Wait-on-mask events.
inline constexpr ULONG SERIAL_EV_RXCHAR = 0x0001;
inline constexpr ULONG SERIAL_EV_RXFLAG = 0x0002;
inline constexpr ULONG SERIAL_EV_TXEMPTY = 0x0004;
inline constexpr ULONG SERIAL_EV_CTS = 0x0008;
inline constexpr ULONG SERIAL_EV_DSR = 0x0010;
inline constexpr ULONG SERIAL_EV_RLSD = 0x0020;
inline constexpr ULONG SERIAL_EV_BREAK = 0x0040;
inline constexpr ULONG SERIAL_EV_ERR = 0x0080;
inline constexpr ULONG SERIAL_EV_RING = 0x0100;
inline constexpr ULONG SERIAL_EV_PERR = 0x0200;
inline constexpr ULONG SERIAL_EV_RX80FULL = 0x0400;
inline constexpr ULONG SERIAL_EV_EVENT1 = 0x0800;
inline constexpr ULONG SERIAL_EV_EVENT2 = 0x1000;

// Purge mask bits.
inline constexpr ULONG SERIAL_PURGE_TXABORT = 0x00000001;
inline constexpr ULONG SERIAL_PURGE_RXABORT = 0x00000002;
inline constexpr ULONG SERIAL_PURGE_TXCLEAR = 0x00000004;
inline constexpr ULONG SERIAL_PURGE_RXCLEAR = 0x00000008;

// Modem status bits (IOCTL_SERIAL_GET_MODEMSTATUS).
inline constexpr ULONG SERIAL_MSR_DCTS = 0x01;
inline constexpr ULONG SERIAL_MSR_DDSR = 0x02;
inline constexpr ULONG SERIAL_MSR_TERI = 0x04;
inline constexpr ULONG SERIAL_MSR_DDCD = 0x08;
inline constexpr ULONG SERIAL_MSR_CTS = 0x10;
inline constexpr ULONG SERIAL_MSR_DSR = 0x20;
inline constexpr ULONG SERIAL_MSR_RI = 0x40;
inline constexpr ULONG SERIAL_MSR_DCD = 0x80;

// IOCTL_SERIAL_GET_DTRRTS bits.
inline constexpr ULONG SERIAL_DTR_STATE = 0x00000001;
inline constexpr ULONG SERIAL_RTS_STATE = 0x00000002;

// The serial WMI data blocks: communication settings, hardware resources
// and performance counters of a port.
struct SERIAL_WMI_COMM_DATA {
    ULONG BaudRate;
    ULONG BitsPerByte;
    ULONG Parity;
    BOOLEAN ParityCheckEnable;
    ULONG StopBits;
    ULONG XoffCharacter;
    ULONG XoffXmitThreshold;
    ULONG XonCharacter;
    ULONG XonXmitThreshold;
    ULONG MaximumBaudRate;
    ULONG MaximumOutputBufferSize;
    ULONG MaximumInputBufferSize;
    BOOLEAN Support16BitMode;
    BOOLEAN SupportDTRDSR;
    BOOLEAN SupportIntervalTimeouts;
    BOOLEAN SupportParityCheck;
    BOOLEAN SupportRTSCTS;
    BOOLEAN SupportXonXoff;
    BOOLEAN SettableBaudRate;
    BOOLEAN SettableDataBits;
    BOOLEAN SettableFlowControl;
    BOOLEAN SettableParity;
    BOOLEAN SettableParityCheck;
    BOOLEAN SettableStopBits;
    BOOLEAN IsBusy;
};

// Parity and stop-bit numbers of the WMI block (space and mark swap places
// compared with the line control values).
inline constexpr ULONG SERIAL_WMI_PARITY_NONE = 0;
inline constexpr ULONG SERIAL_WMI_PARITY_ODD = 1;
inline constexpr ULONG SERIAL_WMI_PARITY_EVEN = 2;
inline constexpr ULONG SERIAL_WMI_PARITY_SPACE = 3;
inline constexpr ULONG SERIAL_WMI_PARITY_MARK = 4;
inline constexpr ULONG SERIAL_WMI_STOP_1 = 0;
inline constexpr ULONG SERIAL_WMI_STOP_1_5 = 1;
inline constexpr ULONG SERIAL_WMI_STOP_2 = 2;

struct SERIAL_WMI_HW_DATA {
    ULONG IrqNumber;
    ULONG IrqVector;
    ULONG IrqLevel;
    ULONGLONG IrqAffinity;
    ULONG InterruptType;
    ULONGLONG BaseIOAddress;
};

struct SERIAL_WMI_PERF_DATA {
    ULONG ReceivedCount;
    ULONG TransmittedCount;
    ULONG FrameErrorCount;
    ULONG SerialOverrunErrorCount;
    ULONG BufferOverrunErrorCount;
    ULONG ParityErrorCount;
};

static_assert(sizeof(SERIAL_LINE_CONTROL) == 3);
static_assert(sizeof(SERIAL_TIMEOUTS) == 20);
static_assert(sizeof(SERIAL_CHARS) == 6);
static_assert(sizeof(SERIAL_HANDFLOW) == 16);
static_assert(sizeof(SERIAL_STATUS) == 20);
static_assert(sizeof(SERIAL_XOFF_COUNTER) == 12);
static_assert(sizeof(SERIAL_COMMPROP) == 64);
static_assert(sizeof(SERIALPERF_STATS) == 24);
static_assert(sizeof(SERIAL_BASIC_SETTINGS) == 44);
static_assert(IOCTL_SERIAL_SET_FIFO_CONTROL == 0x1B009C);
static_assert(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS == 0x1B0010);

// The device interface class of COM ports.
inline constexpr GUID GUID_DEVINTERFACE_COMPORT = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

// The serial WMI data blocks.
inline constexpr GUID MSSerial_PortName_GUID = {
    0xA0EC11A8, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
inline constexpr GUID MSSerial_CommInfo_GUID = {
    0xEDB16A62, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
inline constexpr GUID MSSerial_HardwareConfiguration_GUID = {
    0x270B9B86, 0xB16D, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
inline constexpr GUID MSSerial_PerformanceInformation_GUID = {
    0x56415ACC, 0xB16D, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
inline constexpr GUID MSSerial_CommProperties_GUID = {
    0x8209EC2A, 0x2D6B, 0x11D2, {0xBA, 0x49, 0x00, 0xA0, 0xC9, 0x06, 0x29, 0x10}};
