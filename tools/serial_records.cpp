// The serial control codes and their records.
#include "tools/serial_records.h"

#include <cstddef>
#include <cstring>
#include <limits>

namespace x9tr {

namespace {

#define X9TR_FIELD(record, field) \
    RecordField { #field, offsetof(record, field), sizeof(record::field), std::is_signed_v<decltype(record::field)> }

const RecordLayout kUlong{"ULONG", sizeof(ULONG), {{"Value", 0, sizeof(ULONG)}}};
const RecordLayout kBaudRate{"SERIAL_BAUD_RATE", sizeof(SERIAL_BAUD_RATE), {X9TR_FIELD(SERIAL_BAUD_RATE, BaudRate)}};
const RecordLayout kLineControl{"SERIAL_LINE_CONTROL",
                                sizeof(SERIAL_LINE_CONTROL),
                                {X9TR_FIELD(SERIAL_LINE_CONTROL, StopBits), X9TR_FIELD(SERIAL_LINE_CONTROL, Parity),
                                 X9TR_FIELD(SERIAL_LINE_CONTROL, WordLength)}};
const RecordLayout kTimeouts{"SERIAL_TIMEOUTS",
                             sizeof(SERIAL_TIMEOUTS),
                             {X9TR_FIELD(SERIAL_TIMEOUTS, ReadIntervalTimeout),
                              X9TR_FIELD(SERIAL_TIMEOUTS, ReadTotalTimeoutMultiplier),
                              X9TR_FIELD(SERIAL_TIMEOUTS, ReadTotalTimeoutConstant),
                              X9TR_FIELD(SERIAL_TIMEOUTS, WriteTotalTimeoutMultiplier),
                              X9TR_FIELD(SERIAL_TIMEOUTS, WriteTotalTimeoutConstant)}};
const RecordLayout kQueueSize{"SERIAL_QUEUE_SIZE",
                              sizeof(SERIAL_QUEUE_SIZE),
                              {X9TR_FIELD(SERIAL_QUEUE_SIZE, InSize), X9TR_FIELD(SERIAL_QUEUE_SIZE, OutSize)}};
const RecordLayout kChars{"SERIAL_CHARS",
                          sizeof(SERIAL_CHARS),
                          {X9TR_FIELD(SERIAL_CHARS, EofChar), X9TR_FIELD(SERIAL_CHARS, ErrorChar),
                           X9TR_FIELD(SERIAL_CHARS, BreakChar), X9TR_FIELD(SERIAL_CHARS, EventChar),
                           X9TR_FIELD(SERIAL_CHARS, XonChar), X9TR_FIELD(SERIAL_CHARS, XoffChar)}};
const RecordLayout kHandFlow{"SERIAL_HANDFLOW",
                             sizeof(SERIAL_HANDFLOW),
                             {X9TR_FIELD(SERIAL_HANDFLOW, ControlHandShake), X9TR_FIELD(SERIAL_HANDFLOW, FlowReplace),
                              X9TR_FIELD(SERIAL_HANDFLOW, XonLimit), X9TR_FIELD(SERIAL_HANDFLOW, XoffLimit)}};
const RecordLayout kStatus{"SERIAL_STATUS",
                           sizeof(SERIAL_STATUS),
                           {X9TR_FIELD(SERIAL_STATUS, Errors), X9TR_FIELD(SERIAL_STATUS, HoldReasons),
                            X9TR_FIELD(SERIAL_STATUS, AmountInInQueue), X9TR_FIELD(SERIAL_STATUS, AmountInOutQueue),
                            X9TR_FIELD(SERIAL_STATUS, EofReceived), X9TR_FIELD(SERIAL_STATUS, WaitForImmediate)}};
const RecordLayout kXoffCounter{"SERIAL_XOFF_COUNTER",
                                sizeof(SERIAL_XOFF_COUNTER),
                                {X9TR_FIELD(SERIAL_XOFF_COUNTER, Timeout), X9TR_FIELD(SERIAL_XOFF_COUNTER, Counter),
                                 X9TR_FIELD(SERIAL_XOFF_COUNTER, XoffChar)}};
const RecordLayout kPerfStats{"SERIALPERF_STATS",
                              sizeof(SERIALPERF_STATS),
                              {X9TR_FIELD(SERIALPERF_STATS, ReceivedCount),
                               X9TR_FIELD(SERIALPERF_STATS, TransmittedCount),
                               X9TR_FIELD(SERIALPERF_STATS, FrameErrorCount),
                               X9TR_FIELD(SERIALPERF_STATS, SerialOverrunErrorCount),
                               X9TR_FIELD(SERIALPERF_STATS, BufferOverrunErrorCount),
                               X9TR_FIELD(SERIALPERF_STATS, ParityErrorCount)}};
const RecordLayout kCommProp{"SERIAL_COMMPROP",
                             sizeof(SERIAL_COMMPROP),
                             {X9TR_FIELD(SERIAL_COMMPROP, PacketLength), X9TR_FIELD(SERIAL_COMMPROP, PacketVersion),
                              X9TR_FIELD(SERIAL_COMMPROP, ServiceMask), X9TR_FIELD(SERIAL_COMMPROP, MaxTxQueue),
                              X9TR_FIELD(SERIAL_COMMPROP, MaxRxQueue), X9TR_FIELD(SERIAL_COMMPROP, MaxBaud),
                              X9TR_FIELD(SERIAL_COMMPROP, ProvSubType), X9TR_FIELD(SERIAL_COMMPROP, ProvCapabilities),
                              X9TR_FIELD(SERIAL_COMMPROP, SettableParams), X9TR_FIELD(SERIAL_COMMPROP, SettableBaud),
                              X9TR_FIELD(SERIAL_COMMPROP, SettableData),
                              X9TR_FIELD(SERIAL_COMMPROP, SettableStopParity),
                              X9TR_FIELD(SERIAL_COMMPROP, CurrentTxQueue), X9TR_FIELD(SERIAL_COMMPROP, CurrentRxQueue),
                              X9TR_FIELD(SERIAL_COMMPROP, ProvSpec1), X9TR_FIELD(SERIAL_COMMPROP, ProvSpec2)}};
const RecordLayout kUchar{"UCHAR", sizeof(UCHAR), {{"Value", 0, sizeof(UCHAR)}}};

#undef X9TR_FIELD

#define X9TR_CODE(name, in, out) ControlCode{#name, name, in, out}

const ControlCode kCodes[] = {
    X9TR_CODE(IOCTL_SERIAL_SET_BAUD_RATE, &kBaudRate, nullptr),
    X9TR_CODE(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, &kBaudRate),
    X9TR_CODE(IOCTL_SERIAL_SET_QUEUE_SIZE, &kQueueSize, nullptr),
    X9TR_CODE(IOCTL_SERIAL_SET_LINE_CONTROL, &kLineControl, nullptr),
    X9TR_CODE(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, &kLineControl),
    X9TR_CODE(IOCTL_SERIAL_SET_BREAK_ON, nullptr, nullptr),
    X9TR_CODE(IOCTL_SERIAL_SET_BREAK_OFF, nullptr, nullptr),
    X9TR_CODE(IOCTL_SERIAL_IMMEDIATE_CHAR, &kUchar, nullptr),
    X9TR_CODE(IOCTL_SERIAL_SET_TIMEOUTS, &kTimeouts, nullptr),
    X9TR_CODE(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, &kTimeouts),
    X9TR_CODE(IOCTL_SERIAL_SET_DTR, nullptr, nullptr),
    X9TR_CODE(IOCTL_SERIAL_CLR_DTR, nullptr, nullptr),
    X9TR_CODE(IOCTL_SERIAL_RESET_DEVICE, nullptr, nullptr),
    X9TR_CODE(IOCTL_SERIAL_SET_RTS, nullptr, nullptr),
    X9TR_CODE(IOCTL_SERIAL_CLR_RTS, nullptr, nullptr),
    X9TR_CODE(IOCTL_SERIAL_SET_XOFF, nullptr, nullptr),
    X9TR_CODE(IOCTL_SERIAL_SET_XON, nullptr, nullptr),
    X9TR_CODE(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, &kUlong),
    X9TR_CODE(IOCTL_SERIAL_SET_WAIT_MASK, &kUlong, nullptr),
    X9TR_CODE(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, &kUlong),
    X9TR_CODE(IOCTL_SERIAL_PURGE, &kUlong, nullptr),
    X9TR_CODE(IOCTL_SERIAL_GET_CHARS, nullptr, &kChars),
    X9TR_CODE(IOCTL_SERIAL_SET_CHARS, &kChars, nullptr),
    X9TR_CODE(IOCTL_SERIAL_GET_HANDFLOW, nullptr, &kHandFlow),
    X9TR_CODE(IOCTL_SERIAL_SET_HANDFLOW, &kHandFlow, nullptr),
    X9TR_CODE(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, &kUlong),
    X9TR_CODE(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, &kStatus),
    X9TR_CODE(IOCTL_SERIAL_XOFF_COUNTER, &kXoffCounter, nullptr),
    X9TR_CODE(IOCTL_SERIAL_GET_PROPERTIES, nullptr, &kCommProp),
    X9TR_CODE(IOCTL_SERIAL_GET_DTRRTS, nullptr, &kUlong),
    X9TR_CODE(IOCTL_SERIAL_LSRMST_INSERT, &kUchar, nullptr),
    X9TR_CODE(IOCTL_SERIAL_CONFIG_SIZE, nullptr, &kUlong),
    X9TR_CODE(IOCTL_SERIAL_GET_COMMCONFIG, nullptr, nullptr),
    X9TR_CODE(IOCTL_SERIAL_SET_COMMCONFIG, nullptr, nullptr),
    X9TR_CODE(IOCTL_SERIAL_GET_STATS, nullptr, &kPerfStats),
    X9TR_CODE(IOCTL_SERIAL_CLEAR_STATS, nullptr, nullptr),
    X9TR_CODE(IOCTL_SERIAL_GET_MODEM_CONTROL, nullptr, &kUlong),
    X9TR_CODE(IOCTL_SERIAL_SET_MODEM_CONTROL, &kUlong, nullptr),
    X9TR_CODE(IOCTL_SERIAL_SET_FIFO_CONTROL, &kUlong, nullptr),
    X9TR_CODE(IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION, nullptr, nullptr),
    X9TR_CODE(IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, nullptr, nullptr),
    X9TR_CODE(IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, nullptr, nullptr),
    X9TR_CODE(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, nullptr, nullptr),
    X9TR_CODE(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, nullptr, nullptr),
};

#undef X9TR_CODE

} // namespace

const ControlCode* FindControlCode(std::string_view name)
{
    for (const auto& code : kCodes) {
        if (name == code.Name) {
            return &code;
        }
    }
    return nullptr;
}

const ControlCode* FindControlCode(ULONG value)
{
    for (const auto& code : kCodes) {
        if (code.Code == value) {
            return &code;
        }
    }
    return nullptr;
}

std::vector<std::byte> EncodeRecord(const RecordLayout& layout, const nlohmann::json& object, std::string* fault)
{
    std::vector<std::byte> bytes(layout.Size, std::byte{0});
    if (!object.is_object()) {
        *fault = std::string("a ") + layout.Name + " is an object of its fields";
        return {};
    }
    for (const auto& [key, value] : object.items()) {
        const RecordField* field = nullptr;
        for (const auto& candidate : layout.Fields) {
            if (key == candidate.Name) {
                field = &candidate;
            }
        }
        if (field == nullptr) {
            *fault = std::string(layout.Name) + " has no field \"" + key + "\"";
            return {};
        }
        const long long low = field->Signed ? -(1ll << (8 * field->Size - 1)) : 0;
        const long long high = field->Signed ? (1ll << (8 * field->Size - 1)) - 1 : (1ll << (8 * field->Size)) - 1;
        long long number = 0;
        if (value.is_boolean()) {
            number = value.get<bool>() ? 1 : 0;
        } else if (value.is_number_integer()) {
            number = value.get<long long>();
        } else if (value.is_string()) {
            // Hex or decimal text, or MAXULONG for the all-ones value.
            const std::string text = value.get<std::string>();
            if (text == "MAXULONG") {
                number = 0xFFFFFFFFll;
            } else {
                char* end = nullptr;
                number = std::strtoll(text.c_str(), &end, 0);
                if (text.empty() || end == nullptr || *end != '\0') {
                    number = high + 1;
                }
            }
        } else {
            number = high + 1;
        }
        if (number < low || number > high) {
            *fault = std::string(layout.Name) + "." + key + " does not hold " + value.dump();
            return {};
        }
        const auto raw = static_cast<unsigned long long>(number);
        for (std::size_t i = 0; i < field->Size; ++i) {
            bytes[field->Offset + i] = static_cast<std::byte>((raw >> (8 * i)) & 0xFF);
        }
    }
    return bytes;
}

nlohmann::ordered_json DecodeRecord(const RecordLayout& layout, std::span<const std::byte> bytes)
{
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (const auto& field : layout.Fields) {
        if (field.Offset + field.Size > bytes.size()) {
            continue;
        }
        unsigned long long raw = 0;
        for (std::size_t i = 0; i < field.Size; ++i) {
            raw |= static_cast<unsigned long long>(bytes[field.Offset + i]) << (8 * i);
        }
        if (field.Signed && (raw >> (8 * field.Size - 1)) != 0) {
            object[field.Name] = static_cast<long long>(raw) - (1ll << (8 * field.Size));
        } else {
            object[field.Name] = raw;
        }
    }
    return object;
}

} // namespace x9tr
