// The device tree as text and as JSON, and the main job's read on the modem
// port. Everything here is what the platform shows of the machine (device
// nodes, framework devices, the object namespace, applications' handles);
// nothing reaches into a driver's own records.
#include "tools/devices.h"

#include "platform/kernel/ntddser.h"
#include "platform/kernel/ntstatus.h"
#include "platform/wdf/device.h"
#include "tools/byte_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace x9tr {

namespace {

using platform::Utf16ToUtf8;
using platform::pnp::DeviceNode;

// A read that has not ended this long after it was sent is cancelled: its
// time-outs end it long before, unless the driver has lost it.
constexpr LONGLONG kModemReadDeadline = 10'000 * platform::kTicksPerMillisecond;

// "0x00000102 STATUS_TIMEOUT"; a status without a name shows once.
std::string StatusText(NTSTATUS status)
{
    const std::string hex = Hex32(static_cast<ULONG>(status));
    const std::string name = NtStatusName(status);
    return name == hex ? hex : hex + " " + name;
}

long long Milliseconds(LONGLONG ticks) { return static_cast<long long>(ticks / platform::kTicksPerMillisecond); }

nlohmann::ordered_json Strings(const std::vector<std::u16string>& list)
{
    auto array = nlohmann::ordered_json::array();
    for (const auto& item : list) {
        array.push_back(Utf16ToUtf8(item));
    }
    return array;
}

nlohmann::ordered_json InstanceNumber(platform::Platform& world, const DeviceNode& node)
{
    platform::RegistryValue value;
    if (NT_SUCCESS(world.Registry().QueryValue(node.HardwareKeyPath(), u"InstanceNumber", &value))) {
        if (auto number = value.AsDword()) {
            return *number;
        }
    }
    return nullptr;
}

nlohmann::ordered_json Driver(const DeviceNode& node)
{
    if (node.Service.empty() || node.Fdo == nullptr) {
        return nullptr;
    }
    return Utf16ToUtf8(node.Service);
}

const char* StateName(DeviceNode::State state)
{
    switch (state) {
    case DeviceNode::State::Added:
        return "added";
    case DeviceNode::State::Started:
        return "started";
    case DeviceNode::State::StartFailed:
        return "start failed";
    case DeviceNode::State::NoDriver:
        return "no driver";
    case DeviceNode::State::SurpriseRemoved:
        return "surprise removed";
    case DeviceNode::State::Removed:
        return "removed";
    }
    return "unknown";
}

// The port a child's function driver made: the ports class installer gave
// the child a COM name, and the driver's device (while it has one) carries
// the device name and the handles applications have open on it.
nlohmann::ordered_json Port(const DeviceNode& node)
{
    if (node.PortName.empty()) {
        return nullptr;
    }
    platform::wdf::Device* device =
        node.Fdo != nullptr ? platform::wdf::ResolveDevice(node.Fdo, "x9tr devices") : nullptr;
    nlohmann::ordered_json port;
    port["deviceName"] = device != nullptr && !device->DeviceName.empty()
                             ? nlohmann::ordered_json(Utf16ToUtf8(device->DeviceName))
                             : nlohmann::ordered_json(nullptr);
    port["comName"] = Utf16ToUtf8(node.PortName);
    port["state"] = StateName(node.NodeState);
    port["status"] = Hex32(static_cast<ULONG>(node.StartStatus));
    port["open"] = device != nullptr && !device->Files.empty();
    return port;
}

// The bytes as JSON can carry them: printable ASCII, CR, LF and TAB as they
// are, every other byte as '.'; the hex is exact.
std::string PrintableText(const std::vector<std::byte>& bytes) { return PrintableBytes(bytes, true); }

// The bytes quoted as a C string literal: \r, \n, \t, \", \\ and \xNN for
// anything else that does not print.
std::string QuotedText(const std::vector<std::byte>& bytes)
{
    std::string text = "\"";
    for (std::byte b : bytes) {
        const auto c = std::to_integer<unsigned char>(b);
        switch (c) {
        case '\r':
            text += "\\r";
            break;
        case '\n':
            text += "\\n";
            break;
        case '\t':
            text += "\\t";
            break;
        case '"':
            text += "\\\"";
            break;
        case '\\':
            text += "\\\\";
            break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                text.push_back(static_cast<char>(c));
            } else {
                char escape[8];
                std::snprintf(escape, sizeof(escape), "\\x%02X", c);
                text += escape;
            }
        }
    }
    return text + "\"";
}

std::string HexText(const std::vector<std::byte>& bytes) { return HexBytes(bytes, true); }

const char* StepName(ModemRead::Step step)
{
    switch (step) {
    case ModemRead::Step::Open:
        return "open";
    case ModemRead::Step::Timeouts:
        return "time-outs";
    case ModemRead::Step::Read:
        return "read";
    case ModemRead::Step::None:
        break;
    }
    return nullptr;
}

// Name-value lines in two columns, as the whole report is laid out.
void Line(std::string& text, const std::string& indent, const std::string& name, const std::string& value)
{
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%-16s", name.c_str());
    text += indent + buffer + value + "\n";
}

} // namespace

nlohmann::ordered_json DeviceTreeJson(platform::Platform& world, const DeviceNode& parent)
{
    platform::Platform::Scope scope(world);
    nlohmann::ordered_json children = nlohmann::ordered_json::array();
    for (const auto& child : parent.Children) {
        nlohmann::ordered_json entry;
        entry["deviceId"] = Utf16ToUtf8(child->DeviceId);
        entry["hardwareIds"] = Strings(child->HardwareIds);
        entry["compatibleIds"] = Strings(child->CompatibleIds);
        entry["instanceId"] = Utf16ToUtf8(child->InstanceId);
        entry["description"] = Utf16ToUtf8(child->Description);
        entry["location"] = Utf16ToUtf8(child->Location);
        entry["address"] = child->Address;
        entry["driver"] = Driver(*child);
        entry["port"] = Port(*child);
        children.push_back(std::move(entry));
    }
    nlohmann::ordered_json node;
    node["instancePath"] = Utf16ToUtf8(parent.InstancePath);
    node["driver"] = parent.Service.empty() ? nlohmann::ordered_json(nullptr)
                                            : nlohmann::ordered_json(Utf16ToUtf8(parent.Service));
    node["status"] = Hex32(static_cast<ULONG>(parent.StartStatus));
    node["instanceNumber"] = InstanceNumber(world, parent);
    node["hardwareKey"] = Utf16ToUtf8(parent.HardwareKeyPath());
    node["softwareKey"] = Utf16ToUtf8(parent.SoftwareKeyPath);
    node["children"] = std::move(children);
    nlohmann::ordered_json document;
    document["parent"] = std::move(node);
    return document;
}

std::string DeviceTreeText(platform::Platform& world, const DeviceNode& parent)
{
    const auto json = DeviceTreeJson(world, parent)["parent"];
    std::string text;
    auto line = [&text](const std::string& indent, const std::string& name, const std::string& value) {
        Line(text, indent, name, value);
    };
    auto show = [](const nlohmann::ordered_json& value) {
        if (value.is_null()) {
            return std::string("none");
        }
        return value.is_string() ? value.get<std::string>() : value.dump();
    };
    text += "parent " + json["instancePath"].get<std::string>() + "\n";
    line("  ", "driver", show(json["driver"]));
    line("  ", "start status", json["status"].get<std::string>());
    line("  ", "instance number", show(json["instanceNumber"]));
    line("  ", "hardware key", json["hardwareKey"].get<std::string>());
    line("  ", "software key", show(json["softwareKey"]));
    std::size_t index = 0;
    for (const auto& child : json["children"]) {
        text += "  child " + std::to_string(++index) + ": " + child["deviceId"].get<std::string>() + "\n";
        bool first = true;
        for (const auto& id : child["hardwareIds"]) {
            line("    ", first ? "hardware IDs" : "", id.get<std::string>());
            first = false;
        }
        first = true;
        for (const auto& id : child["compatibleIds"]) {
            line("    ", first ? "compatible IDs" : "", id.get<std::string>());
            first = false;
        }
        line("    ", "instance ID", child["instanceId"].get<std::string>());
        line("    ", "description", child["description"].get<std::string>());
        line("    ", "location", child["location"].get<std::string>());
        line("    ", "address", child["address"].dump());
        line("    ", "driver", show(child["driver"]));
        if (const auto& port = child["port"]; !port.is_null()) {
            line("    ", "port", show(port["deviceName"]));
            line("    ", "COM name", port["comName"].get<std::string>());
            std::string state = port["state"].get<std::string>();
            if (state == "started") {
                state += port["open"].get<bool>() ? ", open" : ", closed";
            } else {
                state += ", " + StatusText(parent.Children[index - 1]->StartStatus);
            }
            line("    ", "port state", state);
        }
    }
    if (index == 0) {
        text += "  no children\n";
    }
    return text;
}

const DeviceNode* ModemPortNode(const DeviceNode& parent)
{
    const DeviceNode* first = nullptr;
    for (const auto& child : parent.Children) {
        if (child->Service != u"X9TRmdm" || child->PortName.empty()) {
            continue;
        }
        if (child->Fdo != nullptr) {
            return child.get();
        }
        if (first == nullptr) {
            first = child.get();
        }
    }
    return first;
}

std::optional<ModemRead> ReadModemPort(platform::Platform& world, const DeviceNode& parent)
{
    const DeviceNode* node = ModemPortNode(parent);
    if (node == nullptr) {
        return std::nullopt;
    }
    platform::Platform::Scope scope(world);
    auto& dispatcher = world.Dispatcher();
    ModemRead read;
    read.ComName = node->PortName;
    auto fail = [&](ModemRead::Step step, NTSTATUS status) {
        read.FailedStep = step;
        read.Status = status;
        read.SentAt = read.EndedAt = dispatcher.Now();
        read.Handle.reset();
        return std::move(read);
    };

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    read.Handle = platform::pnp::FileHandle::Open(read.ComName, &status);
    if (read.Handle == nullptr) {
        return fail(ModemRead::Step::Open, status);
    }
    // The read ends when its buffer is full, when kModemReadIntervalMs pass
    // without new bytes (the serial core counts that from the start of the
    // read as well, so a silent handset ends it then), or kModemReadTotalMs
    // after it was sent.
    SERIAL_TIMEOUTS timeouts{kModemReadIntervalMs, 0, kModemReadTotalMs, 0, 0};
    std::vector<std::byte> record(sizeof(timeouts));
    std::memcpy(record.data(), &timeouts, sizeof(timeouts));
    status = read.Handle->DeviceControl(IOCTL_SERIAL_SET_TIMEOUTS, record, 0).Status;
    if (!NT_SUCCESS(status)) {
        return fail(ModemRead::Step::Timeouts, status);
    }

    read.SentAt = dispatcher.Now();
    auto pending = read.Handle->StartRead(kModemReadLength);
    platform::pnp::IoResult result = pending->Wait(kModemReadDeadline);
    if (!pending->Done()) {
        pending->Cancel();
        result = pending->Wait();
        read.FailedStep = ModemRead::Step::Read;
    }
    read.EndedAt = dispatcher.Now();
    read.Status = result.Status;
    if (!NT_SUCCESS(result.Status)) {
        read.FailedStep = ModemRead::Step::Read;
    }
    const std::size_t length = std::min<std::size_t>(result.Information, result.Data.size());
    read.Bytes.assign(result.Data.begin(), result.Data.begin() + static_cast<std::ptrdiff_t>(length));
    return read;
}

nlohmann::ordered_json ModemReadJson(const std::optional<ModemRead>& read)
{
    if (!read) {
        return nullptr;
    }
    nlohmann::ordered_json json;
    json["comName"] = Utf16ToUtf8(read->ComName);
    const char* step = StepName(read->FailedStep);
    json["failedStep"] = step != nullptr ? nlohmann::ordered_json(step) : nlohmann::ordered_json(nullptr);
    json["status"] = Hex32(static_cast<ULONG>(read->Status));
    json["bytes"] = read->Bytes.size();
    json["text"] = PrintableText(read->Bytes);
    json["hex"] = HexText(read->Bytes);
    json["sentAtMs"] = Milliseconds(read->SentAt);
    json["atMs"] = Milliseconds(read->EndedAt);
    return json;
}

std::string ModemReadText(const std::optional<ModemRead>& read)
{
    if (!read) {
        return "no modem port\n";
    }
    std::string text = "modem read on " + Utf16ToUtf8(read->ComName) + "\n";
    if (read->FailedStep == ModemRead::Step::Open || read->FailedStep == ModemRead::Step::Timeouts) {
        Line(text, "  ", "failed at", StepName(read->FailedStep));
        Line(text, "  ", "status", StatusText(read->Status));
        Line(text, "  ", "virtual time", std::to_string(Milliseconds(read->EndedAt)) + " ms");
        return text;
    }
    char timeouts[64];
    std::snprintf(timeouts, sizeof(timeouts), "interval %lu ms, total %lu ms, up to %zu bytes",
                  static_cast<unsigned long>(kModemReadIntervalMs), static_cast<unsigned long>(kModemReadTotalMs),
                  kModemReadLength);
    Line(text, "  ", "read time-outs", timeouts);
    Line(text, "  ", "status", StatusText(read->Status));
    Line(text, "  ", "bytes", std::to_string(read->Bytes.size()));
    Line(text, "  ", "text", QuotedText(read->Bytes));
    Line(text, "  ", "hex", read->Bytes.empty() ? "none" : HexText(read->Bytes));
    Line(text, "  ", "virtual time",
         "sent at " + std::to_string(Milliseconds(read->SentAt)) + " ms, ended at " +
             std::to_string(Milliseconds(read->EndedAt)) + " ms");
    return text;
}

} // namespace x9tr
