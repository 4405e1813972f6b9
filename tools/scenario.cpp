// Scenarios: the whole file is read and checked first, so that a fault in
// step 12 is reported before step 1 runs; then the steps run in order on one
// machine, and each completion is compared with the step's expectations.
#include "tools/scenario.h"

#include "handset/configuration_layout.h"
#include "handset/default_handset.h"
#include "handset/handset.h"
#include "handset/handset_file.h"
#include "handset/hex_bytes.h"
#include "platform/pnp/application.h"
#include "tools/byte_text.h"
#include "tools/machine.h"
#include "tools/serial_records.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace x9tr {

namespace {

using json = nlohmann::json;
using ojson = nlohmann::ordered_json;
using Bytes = std::vector<std::byte>;

// A fault in the file: the message names the step and what is wrong.
struct ScenarioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Longest a waited-for request may take before the step gives up on it.
constexpr LONGLONG kWaitLimit = 60'000 * platform::kTicksPerMillisecond;
// Most bytes one step's data may have.
constexpr std::size_t kMostBytes = 64u << 20;
// Longest a settle step runs the clock.
constexpr LONGLONG kSettleLimit = 3'600'000 * platform::kTicksPerMillisecond;

struct UsbdStatusName {
    const char* Name;
    USBD_STATUS Status;
};

const UsbdStatusName kUsbdStatuses[] = {
    {"USBD_STATUS_SUCCESS", USBD_STATUS_SUCCESS},
    {"USBD_STATUS_CRC", USBD_STATUS_CRC},
    {"USBD_STATUS_STALL_PID", USBD_STATUS_STALL_PID},
    {"USBD_STATUS_DEV_NOT_RESPONDING", USBD_STATUS_DEV_NOT_RESPONDING},
    {"USBD_STATUS_ENDPOINT_HALTED", USBD_STATUS_ENDPOINT_HALTED},
    {"USBD_STATUS_BABBLE_DETECTED", USBD_STATUS_BABBLE_DETECTED},
    {"USBD_STATUS_DEVICE_GONE", USBD_STATUS_DEVICE_GONE},
    {"USBD_STATUS_CANCELED", USBD_STATUS_CANCELED},
    {"USBD_STATUS_TIMEOUT", USBD_STATUS_TIMEOUT},
    {"USBD_STATUS_INSUFFICIENT_RESOURCES", USBD_STATUS_INSUFFICIENT_RESOURCES},
};

std::string HexText(const Bytes& bytes) { return HexBytes(bytes, false); }
std::string PrintableText(const Bytes& bytes) { return PrintableBytes(bytes, false); }

std::string StatusText(NTSTATUS status)
{
    const std::string name = NtStatusName(status);
    const std::string hex = Hex32(static_cast<ULONG>(status));
    return name == hex ? hex : name + " (" + hex + ")";
}


double TicksToMs(LONGLONG ticks) { return static_cast<double>(ticks) / platform::kTicksPerMillisecond; }

std::string MsText(LONGLONG ticks)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f ms", TicksToMs(ticks));
    return text;
}

// The expectations of one completing step.
struct Expectation {
    std::optional<NTSTATUS> Status;
    std::optional<ULONG_PTR> Information;
    std::optional<Bytes> Data;
    std::optional<Bytes> OutBytes;
    std::optional<json> OutFields;
    std::optional<LONGLONG> AtTicks;
    std::optional<LONGLONG> WithinTicks;
};

enum class Kind {
    Plug,
    Unplug,
    Replug,
    Open,
    Close,
    Ioctl,
    InternalIoctl,
    Read,
    Write,
    Cancel,
    Wait,
    HandsetSend,
    HandsetStall,
    HandsetFail,
    HandsetHold,
    HandsetRelease,
    Advance,
    Settle,
};

const std::map<std::string, Kind, std::less<>> kKinds = {
    {"plug", Kind::Plug},
    {"unplug", Kind::Unplug},
    {"replug", Kind::Replug},
    {"open", Kind::Open},
    {"close", Kind::Close},
    {"ioctl", Kind::Ioctl},
    {"internal-ioctl", Kind::InternalIoctl},
    {"read", Kind::Read},
    {"write", Kind::Write},
    {"cancel", Kind::Cancel},
    {"wait", Kind::Wait},
    {"handset.send", Kind::HandsetSend},
    {"handset.stall", Kind::HandsetStall},
    {"handset.fail", Kind::HandsetFail},
    {"handset.hold", Kind::HandsetHold},
    {"handset.release", Kind::HandsetRelease},
    {"advance", Kind::Advance},
    {"settle", Kind::Settle},
};

struct Step {
    std::size_t Number = 0;
    std::string Do;
    Kind What = Kind::Settle;
    std::string Handle;
    std::string Path;
    std::string Id;
    ULONG Code = 0;
    const ControlCode* KnownCode = nullptr;
    Bytes In;
    std::size_t OutSize = 0;
    std::size_t Length = 0;
    Bytes Data;
    std::string Function;
    std::string Pipe;
    UCHAR Endpoint = 0;
    std::size_t TransferSize = 0;
    USBD_STATUS UsbdStatus = USBD_STATUS_SUCCESS;
    std::size_t Count = 1;
    LONGLONG Ticks = 0;
    std::optional<Expectation> Expect;
};

struct Scenario {
    handset::Profile Profile;
    std::string HandsetName;
    std::optional<std::string> RegistryText;
    std::string RegistryOrigin;
    std::vector<Step> Steps;
};

// Reading the file ---------------------------------------------------------

class Reader {
public:
    Reader(std::string fileName) : fileName_(std::move(fileName)) {}

    Scenario Read()
    {
        std::ifstream in(fileName_, std::ios::binary);
        if (!in) {
            throw ScenarioError("cannot read the file");
        }
        json document;
        try {
            document = json::parse(in);
        } catch (const json::parse_error& error) {
            throw ScenarioError(std::string("not JSON: ") + error.what());
        }
        if (!document.is_object()) {
            throw ScenarioError("a scenario is an object with \"handset\" and \"steps\"");
        }
        for (const auto& [key, value] : document.items()) {
            if (key != "handset" && key != "registry" && key != "steps" && key != "description") {
                throw ScenarioError("unknown field \"" + key + "\"");
            }
        }
        Scenario scenario;
        ReadHandset(document.value("handset", json("default")), &scenario);
        if (document.contains("registry")) {
            ReadRegistry(document["registry"], &scenario);
        }
        if (!document.contains("steps") || !document["steps"].is_array()) {
            throw ScenarioError("\"steps\" must be a list of steps");
        }
        layout_ = handset::ConfigurationLayout(scenario.Profile.Configuration);
        std::size_t number = 0;
        for (const auto& entry : document["steps"]) {
            ++number;
            try {
                scenario.Steps.push_back(ReadStep(entry, number));
            } catch (const json::exception& error) {
                // A value of a kind no check above expected.
                throw ScenarioError("step " + std::to_string(number) + ": " + error.what());
            }
            CheckNames(scenario.Steps.back());
        }
        return scenario;
    }

private:
    std::filesystem::path Beside(const std::string& path) const
    {
        const std::filesystem::path given(path);
        return given.is_absolute() ? given : std::filesystem::path(fileName_).parent_path() / given;
    }

    void ReadHandset(const json& value, Scenario* scenario)
    {
        try {
            if (value.is_string() && value.get<std::string>() == "default") {
                scenario->Profile = handset::DefaultHandsetProfile();
                scenario->HandsetName = "the default handset";
            } else if (value.is_string()) {
                scenario->Profile = handset::LoadHandsetFile(Beside(value.get<std::string>()).string());
                scenario->HandsetName = value.get<std::string>();
            } else if (value.is_object()) {
                scenario->Profile = handset::ParseProfile(value.dump(), "the scenario's handset");
                scenario->HandsetName = "the scenario's handset";
            } else {
                throw ScenarioError("\"handset\" is \"default\", a profile object or a profile file");
            }
        } catch (const ScenarioError&) {
            throw;
        } catch (const std::exception& error) {
            throw ScenarioError(std::string("handset: ") + error.what());
        }
    }

    void ReadRegistry(const json& value, Scenario* scenario)
    {
        if (value.is_object()) {
            scenario->RegistryText = value.dump();
            scenario->RegistryOrigin = "the scenario's registry";
        } else if (value.is_string()) {
            std::ifstream in(Beside(value.get<std::string>()), std::ios::binary);
            if (!in) {
                throw ScenarioError("registry: cannot read " + value.get<std::string>());
            }
            std::ostringstream text;
            text << in.rdbuf();
            scenario->RegistryText = text.str();
            scenario->RegistryOrigin = value.get<std::string>();
        } else {
            throw ScenarioError("\"registry\" is a registry object or a registry file");
        }
        // Checked now, on a registry of its own, so that a bad one stops the run before it starts.
        platform::Registry check;
        try {
            check.LoadJsonText(*scenario->RegistryText, scenario->RegistryOrigin);
        } catch (const std::exception& error) {
            throw ScenarioError(std::string("registry: ") + error.what());
        }
    }

    [[noreturn]] void Fail(const Step& step, const std::string& fault) const
    {
        throw ScenarioError("step " + std::to_string(step.Number) + (step.Do.empty() ? "" : " (" + step.Do + ")") +
                            ": " + fault);
    }

    const json& Field(const Step& step, const json& entry, const char* name) const
    {
        if (!entry.contains(name)) {
            Fail(step, std::string("missing field \"") + name + "\"");
        }
        return entry[name];
    }

    std::string Text(const Step& step, const json& entry, const char* name) const
    {
        const json& value = Field(step, entry, name);
        if (!value.is_string() || value.get<std::string>().empty()) {
            Fail(step, std::string("\"") + name + "\" must be a name");
        }
        return value.get<std::string>();
    }

    std::size_t Count(const Step& step, const json& value, const char* name) const
    {
        if (!value.is_number_unsigned() && !(value.is_number_integer() && value.get<long long>() >= 0)) {
            Fail(step, std::string("\"") + name + "\" must be a whole number");
        }
        return value.get<std::size_t>();
    }

    // A buffer's size in bytes.
    std::size_t Size(const Step& step, const json& value, const char* name) const
    {
        const std::size_t size = Count(step, value, name);
        if (size > kMostBytes) {
            Fail(step, std::string("\"") + name + "\": at most " + std::to_string(kMostBytes) + " bytes");
        }
        return size;
    }

    double Milliseconds(const Step& step, const json& value, const char* name) const
    {
        if (!value.is_number() || value.get<double>() < 0) {
            Fail(step, std::string("\"") + name + "\" must be a number of milliseconds, 0 or more");
        }
        return value.get<double>();
    }

    Bytes DataOf(const Step& step, const json& value, const char* name) const
    {
        if (value.is_string()) {
            auto parsed = handset::ParseHexBytes(value.get<std::string>());
            if (!parsed.Ok()) {
                Fail(step, std::string("\"") + name + "\": bad hex: " + parsed.Fault);
            }
            return parsed.Bytes;
        }
        if (value.is_object() && value.size() == 1 && value.contains("text") && value["text"].is_string()) {
            const std::string text = value["text"].get<std::string>();
            Bytes bytes(text.size());
            std::memcpy(bytes.data(), text.data(), text.size());
            return bytes;
        }
        if (value.is_object() && value.size() == 2 && value.contains("repeat") && value.contains("count")) {
            const std::size_t byte = Count(step, value["repeat"], "repeat");
            if (byte > 0xFF) {
                Fail(step, std::string("\"") + name + "\": repeat is one byte, 0 to 255");
            }
            const std::size_t count = Count(step, value["count"], "count");
            if (count > kMostBytes) {
                Fail(step, std::string("\"") + name + "\": at most " + std::to_string(kMostBytes) + " bytes");
            }
            return Bytes(count, static_cast<std::byte>(byte));
        }
        Fail(step, std::string("\"") + name + "\" is hex text, {\"text\": ...} or {\"repeat\": byte, \"count\": n}");
    }

    NTSTATUS StatusOf(const Step& step, const json& value) const
    {
        NTSTATUS status = STATUS_SUCCESS;
        if (value.is_number_unsigned() && value.get<unsigned long long>() <= 0xFFFFFFFFull) {
            return static_cast<NTSTATUS>(value.get<ULONG>());
        }
        if (!value.is_string() || !NtStatusFromName(value.get<std::string>(), &status)) {
            Fail(step, "unknown status " + value.dump());
        }
        return status;
    }

    USBD_STATUS UsbdStatusOf(const Step& step, const json& value) const
    {
        if (value.is_string()) {
            for (const auto& entry : kUsbdStatuses) {
                if (value.get<std::string>() == entry.Name) {
                    return entry.Status;
                }
            }
            char* end = nullptr;
            const std::string text = value.get<std::string>();
            const unsigned long long number = std::strtoull(text.c_str(), &end, 0);
            if (!text.empty() && end != nullptr && *end == '\0' && number <= 0xFFFFFFFFull) {
                return static_cast<USBD_STATUS>(number);
            }
        } else if (value.is_number_unsigned() && value.get<unsigned long long>() <= 0xFFFFFFFFull) {
            return static_cast<USBD_STATUS>(value.get<ULONG>());
        }
        Fail(step, "unknown USB status " + value.dump());
    }

    void ReadCode(Step& step, const json& entry) const
    {
        const json& value = Field(step, entry, "code");
        if (value.is_string()) {
            if (const ControlCode* known = FindControlCode(value.get<std::string>())) {
                step.KnownCode = known;
                step.Code = known->Code;
                return;
            }
            char* end = nullptr;
            const std::string text = value.get<std::string>();
            const unsigned long long number = std::strtoull(text.c_str(), &end, 0);
            if (text.empty() || end == nullptr || *end != '\0' || number > 0xFFFFFFFFull) {
                Fail(step, "unknown control code " + value.dump());
            }
            step.Code = static_cast<ULONG>(number);
        } else if (value.is_number_unsigned() && value.get<unsigned long long>() <= 0xFFFFFFFFull) {
            step.Code = value.get<ULONG>();
        } else {
            Fail(step, "unknown control code " + value.dump());
        }
        step.KnownCode = FindControlCode(step.Code);
    }

    // Which endpoint of the handset a function and pipe name.
    UCHAR EndpointOf(const Step& step) const
    {
        std::vector<UCHAR> interfaces;
        if (!step.Function.empty() && std::isdigit(static_cast<unsigned char>(step.Function.front()))) {
            const unsigned long number = std::strtoul(step.Function.c_str(), nullptr, 10);
            if (number > 0xFF || !layout_.HasInterface(static_cast<UCHAR>(number))) {
                Fail(step, "the handset has no interface " + step.Function);
            }
            interfaces.push_back(static_cast<UCHAR>(number));
        } else {
            interfaces = FunctionInterfaces(step);
        }
        UCHAR type = 0;
        bool in = true;
        if (step.Pipe == "bulk-in") {
            type = 2;
        } else if (step.Pipe == "bulk-out") {
            type = 2;
            in = false;
        } else if (step.Pipe == "interrupt") {
            type = 3;
        } else {
            Fail(step, "\"pipe\" is \"bulk-in\", \"bulk-out\" or \"interrupt\"");
        }
        for (const auto& setting : layout_.Settings()) {
            if (std::find(interfaces.begin(), interfaces.end(), setting.Number) == interfaces.end()) {
                continue;
            }
            for (const auto& endpoint : setting.Endpoints) {
                if ((endpoint.Attributes & 0x3) == type && USB_ENDPOINT_DIRECTION_IN(endpoint.Address) == in) {
                    return endpoint.Address;
                }
            }
        }
        Fail(step, "the handset's " + step.Function + " function has no " + step.Pipe + " pipe");
    }

    // The interfaces of the first function of that kind: an association's
    // interfaces, or a lone interface.
    std::vector<UCHAR> FunctionInterfaces(const Step& step) const
    {
        struct FunctionKind {
            const char* Name;
            UCHAR SubClass;
        };
        const FunctionKind kinds[] = {{"acm", 0x02}, {"mdlm", 0x0A}, {"ncm", 0x0D}};
        const FunctionKind* kind = nullptr;
        for (const auto& candidate : kinds) {
            if (step.Function == candidate.Name) {
                kind = &candidate;
            }
        }
        if (kind == nullptr) {
            Fail(step, "\"function\" is \"acm\", \"mdlm\", \"ncm\" or an interface number");
        }
        for (const auto& setting : layout_.Settings()) {
            if (setting.Class != 0x02 || setting.SubClass != kind->SubClass) {
                continue;
            }
            std::vector<UCHAR> interfaces{setting.Number};
            for (const auto& association : layout_.Associations()) {
                if (association.FirstInterface == setting.Number) {
                    for (UCHAR i = 1; i < association.InterfaceCount; ++i) {
                        interfaces.push_back(static_cast<UCHAR>(setting.Number + i));
                    }
                }
            }
            // Without an association, a data interface right after belongs to the function.
            if (interfaces.size() == 1) {
                for (const auto& data : layout_.Settings()) {
                    if (data.Number == setting.Number + 1 && data.Class == 0x0A) {
                        interfaces.push_back(data.Number);
                        break;
                    }
                }
            }
            return interfaces;
        }
        Fail(step, "the handset has no " + step.Function + " function");
    }

    Expectation ReadExpectation(Step& step, const json& value) const
    {
        if (!value.is_object()) {
            Fail(step, "\"expect\" is an object");
        }
        Expectation expect;
        for (const auto& [key, field] : value.items()) {
            if (key == "status") {
                expect.Status = StatusOf(step, field);
            } else if (key == "information") {
                expect.Information = Count(step, field, "information");
            } else if (key == "data") {
                expect.Data = DataOf(step, field, "data");
            } else if (key == "out") {
                json out = field;
                if (step.KnownCode != nullptr && step.KnownCode->Output != nullptr &&
                    step.KnownCode->Output->Fields.size() == 1 && (out.is_number() || out.is_boolean())) {
                    out = json{{step.KnownCode->Output->Fields[0].Name, out}};
                }
                if (out.is_object() && !out.contains("text") && !out.contains("repeat")) {
                    if (step.KnownCode == nullptr || step.KnownCode->Output == nullptr) {
                        Fail(step, "\"out\" as fields needs a control code whose output is a record");
                    }
                    std::string fault;
                    if (EncodeRecord(*step.KnownCode->Output, out, &fault).empty()) {
                        Fail(step, "\"out\": " + fault);
                    }
                    expect.OutFields = out;
                } else {
                    expect.OutBytes = DataOf(step, out, "out");
                }
            } else if (key == "atMs") {
                expect.AtTicks = static_cast<LONGLONG>(Milliseconds(step, field, "atMs") * platform::kTicksPerMillisecond);
            } else if (key == "withinMs") {
                expect.WithinTicks =
                    static_cast<LONGLONG>(Milliseconds(step, field, "withinMs") * platform::kTicksPerMillisecond);
            } else {
                Fail(step, "\"expect\" has no field \"" + key + "\"");
            }
        }
        return expect;
    }

    Step ReadStep(const json& entry, std::size_t number) const
    {
        Step step;
        step.Number = number;
        if (!entry.is_object()) {
            Fail(step, "a step is an object with \"do\"");
        }
        if (!entry.contains("do") || !entry["do"].is_string()) {
            Fail(step, "missing field \"do\"");
        }
        step.Do = entry["do"].get<std::string>();
        const auto kind = kKinds.find(step.Do);
        if (kind == kKinds.end()) {
            Fail(step, "unknown step \"" + step.Do + "\"");
        }
        step.What = kind->second;
        std::vector<std::string> allowed = {"do", "comment"};
        auto allow = [&allowed](std::initializer_list<const char*> names) { allowed.insert(allowed.end(), names.begin(), names.end()); };
        const bool request = step.What == Kind::Ioctl || step.What == Kind::InternalIoctl || step.What == Kind::Read ||
                             step.What == Kind::Write;
        switch (step.What) {
        case Kind::Plug:
        case Kind::Unplug:
        case Kind::Replug:
        case Kind::Settle:
            break;
        case Kind::Open:
            step.Handle = Text(step, entry, "handle");
            step.Path = Text(step, entry, "path");
            allow({"handle", "path", "expect"});
            break;
        case Kind::Close:
            step.Handle = Text(step, entry, "handle");
            allow({"handle"});
            break;
        case Kind::Ioctl:
        case Kind::InternalIoctl:
            step.Handle = Text(step, entry, "handle");
            ReadCode(step, entry);
            if (entry.contains("in")) {
                json in = entry["in"];
                // A one-value record may be given as the value itself.
                if (step.KnownCode != nullptr && step.KnownCode->Input != nullptr &&
                    step.KnownCode->Input->Fields.size() == 1 && (in.is_number() || in.is_boolean())) {
                    in = json{{step.KnownCode->Input->Fields[0].Name, in}};
                }
                if (in.is_object() && !in.contains("text") && !in.contains("repeat")) {
                    if (step.KnownCode == nullptr || step.KnownCode->Input == nullptr) {
                        Fail(step, "\"in\" as fields needs a control code whose input is a record");
                    }
                    std::string fault;
                    step.In = EncodeRecord(*step.KnownCode->Input, in, &fault);
                    if (step.In.empty()) {
                        Fail(step, "\"in\": " + fault);
                    }
                } else {
                    step.In = DataOf(step, in, "in");
                }
            }
            if (entry.contains("outSize")) {
                step.OutSize = Size(step, entry["outSize"], "outSize");
            } else if (step.KnownCode != nullptr && step.KnownCode->Output != nullptr) {
                step.OutSize = step.KnownCode->Output->Size;
            }
            allow({"handle", "code", "in", "outSize", "id", "expect"});
            break;
        case Kind::Read:
            step.Handle = Text(step, entry, "handle");
            step.Length = Size(step, Field(step, entry, "length"), "length");
            allow({"handle", "length", "id", "expect"});
            break;
        case Kind::Write:
            step.Handle = Text(step, entry, "handle");
            step.Data = DataOf(step, Field(step, entry, "data"), "data");
            allow({"handle", "data", "id", "expect"});
            break;
        case Kind::Cancel:
            if (entry.contains("id")) {
                step.Id = Text(step, entry, "id");
            } else {
                step.Handle = Text(step, entry, "handle");
            }
            allow({"id", "handle"});
            break;
        case Kind::Wait:
            step.Id = Text(step, entry, "id");
            allow({"id", "expect"});
            break;
        case Kind::HandsetSend:
        case Kind::HandsetStall:
        case Kind::HandsetFail:
        case Kind::HandsetHold:
        case Kind::HandsetRelease:
            step.Function = Field(step, entry, "function").is_number_unsigned()
                                ? std::to_string(entry["function"].get<unsigned>())
                                : Text(step, entry, "function");
            step.Pipe = step.What == Kind::HandsetSend && !entry.contains("pipe") ? "bulk-in" : Text(step, entry, "pipe");
            step.Endpoint = EndpointOf(step);
            allow({"function", "pipe"});
            if (step.What == Kind::HandsetSend) {
                if (!USB_ENDPOINT_DIRECTION_IN(step.Endpoint)) {
                    Fail(step, "the handset sends on IN pipes only");
                }
                step.Data = DataOf(step, Field(step, entry, "data"), "data");
                if (entry.contains("transferSize")) {
                    step.TransferSize = Count(step, entry["transferSize"], "transferSize");
                }
                allow({"data", "transferSize"});
            }
            if (step.What == Kind::HandsetFail) {
                step.UsbdStatus = UsbdStatusOf(step, Field(step, entry, "status"));
                if (entry.contains("count")) {
                    step.Count = Count(step, entry["count"], "count");
                }
                allow({"status", "count"});
            }
            break;
        case Kind::Advance:
            step.Ticks = static_cast<LONGLONG>(Milliseconds(step, Field(step, entry, "ms"), "ms") *
                                               platform::kTicksPerMillisecond);
            allow({"ms"});
            break;
        }
        if (request && entry.contains("id")) {
            step.Id = Text(step, entry, "id");
        }
        for (const auto& [key, value] : entry.items()) {
            if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
                Fail(step, "no field \"" + key + "\" in this step");
            }
        }
        if (entry.contains("expect")) {
            if (request && !step.Id.empty()) {
                Fail(step, "an overlapped request is checked on its \"wait\" step");
            }
            step.Expect = ReadExpectation(step, entry["expect"]);
        }
        return step;
    }

    // Handles and overlapped requests are named by earlier steps.
    void CheckNames(const Step& step)
    {
        if (step.What == Kind::Open) {
            handles_.insert(step.Handle);
        } else if (!step.Handle.empty() && handles_.count(step.Handle) == 0) {
            Fail(step, "handle \"" + step.Handle + "\" is never opened before this step");
        }
        const bool starts = step.What == Kind::Ioctl || step.What == Kind::InternalIoctl || step.What == Kind::Read ||
                            step.What == Kind::Write;
        if (starts && !step.Id.empty()) {
            ids_.insert(step.Id);
        } else if (!step.Id.empty() && ids_.count(step.Id) == 0) {
            Fail(step, "request \"" + step.Id + "\" is never started before this step");
        }
    }

    std::string fileName_;
    handset::ConfigurationLayout layout_;
    std::set<std::string> handles_;
    std::set<std::string> ids_;
};

// Running it ---------------------------------------------------------------

struct Completion {
    NTSTATUS Status = STATUS_SUCCESS;
    ULONG_PTR Information = 0;
    Bytes Data;   // a read's bytes, or a control code's output
    LONGLONG AtTicks = 0;
};

class Runner {
public:
    Runner(const Scenario& scenario, const ScenarioOptions& options, std::ostream& out)
        : scenario_(scenario), options_(options), out_(out)
    {
        MachineOptions machineOptions;
        machineOptions.Shuffle = options.Shuffle;
        machine_ = std::make_unique<Machine>(machineOptions);
        if (scenario.RegistryText) {
            machine_->World().Registry().LoadJsonText(*scenario.RegistryText, scenario.RegistryOrigin);
        }
        start_ = Dispatcher().Now();
    }

    ~Runner()
    {
        platform::Platform::Scope scope(machine_->World());
        overlapped_.clear();
        handles_.clear();
        FinishRemovals();
    }

    int Run()
    {
        platform::Platform::Scope scope(machine_->World());
        for (const Step& step : scenario_.Steps) {
            RunStep(step);
        }
        const bool ok = failures_ == 0;
        if (options_.Json) {
            ojson document;
            document["ok"] = ok;
            document["steps"] = records_;
            out_ << document.dump(2) << "\n";
        } else {
            out_ << (ok ? "scenario passed: " : "scenario FAILED: ") << scenario_.Steps.size() << " steps, "
                 << failures_ << (failures_ == 1 ? " failure" : " failures") << "\n";
        }
        return ok ? 0 : 1;
    }

private:
    struct Overlapped {
        std::unique_ptr<platform::pnp::PendingIo> Io;
        const Step* Started;
        LONGLONG StartedAt;
    };

    platform::VirtualDispatcher& Dispatcher() { return machine_->World().Dispatcher(); }
    LONGLONG Now() { return Dispatcher().Now() - start_; }

    void Line(const std::string& text)
    {
        if (!options_.Json) {
            out_ << "                " << text << "\n";
        }
    }

    void Failure(ojson& record, const std::string& text)
    {
        ++failures_;
        record["failures"].push_back(text);
        Line("FAILED: step " + std::to_string(record["index"].get<std::size_t>()) + ": " + text);
    }

    bool RunOne() { return Dispatcher().RunOne(); }

    // Runs the machine until the request is done, nothing is left to run or the limit passes.
    bool RunUntilDone(platform::pnp::PendingIo& io)
    {
        const LONGLONG limit = Now() + kWaitLimit;
        while (!io.Done()) {
            const auto next = Dispatcher().NextDue();
            if (!next || *next - start_ > limit) {
                break;
            }
            RunOne();
        }
        return io.Done();
    }

    void AdvanceTo(LONGLONG target)
    {
        while (true) {
            const auto next = Dispatcher().NextDue();
            if (!next || *next - start_ > target) {
                break;
            }
            RunOne();
        }
        if (Now() < target) {
            Dispatcher().AdvanceBy(target - Now());
        }
    }

    void Plug()
    {
        handset::Profile profile = scenario_.Profile;
        auto device = std::make_unique<handset::Handset>(std::move(profile));
        handset_ = device.get();
        if (options_.Wire) {
            device->SetWireObserver([this](const handset::Handset::WireEvent& event) { Wire(event); });
        }
        parent_ = machine_->Plug(std::move(device));
        Settle();
    }

    void Wire(const handset::Handset::WireEvent& event)
    {
        char text[160];
        if (event.Control) {
            const auto& setup = event.Setup;
            std::snprintf(text, sizeof(text),
                          "wire %11.3f ms: control %02x %02x wValue %04x wIndex %04x wLength %u: %zu bytes, %s",
                          TicksToMs(Now()), setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex,
                          setup.wLength, event.Transferred, Hex32(static_cast<ULONG>(event.Status)).c_str());
        } else {
            std::snprintf(text, sizeof(text), "wire %11.3f ms: %s endpoint %02x, %zu of %zu bytes, %s",
                          TicksToMs(Now()), USB_ENDPOINT_DIRECTION_IN(event.Endpoint) ? "IN " : "OUT",
                          event.Endpoint, event.Transferred, event.Requested,
                          Hex32(static_cast<ULONG>(event.Status)).c_str());
        }
        if (options_.Json) {
            wire_.push_back(text);
        } else {
            Line(text);
        }
    }

    void Unplug()
    {
        if (parent_ == nullptr) {
            return;
        }
        // Handles still open keep the devices, as on a real machine; they go
        // when the last handle is closed.
        machine_->Pnp().Unplug(parent_, true);
        unplugged_.push_back(parent_);
        parent_ = nullptr;
        handset_ = nullptr;
        Settle();
        FinishRemovals();
    }

    void FinishRemovals()
    {
        if (!handles_.empty()) {
            return;
        }
        for (auto* node : unplugged_) {
            machine_->Pnp().FinishRemoval(node);
        }
        unplugged_.clear();
    }

    void Settle()
    {
        const LONGLONG limit = Now() + kSettleLimit;
        while (Now() < limit && RunOne()) {
        }
    }

    std::u16string PathFor(const std::string& path) const
    {
        const std::u16string service = path == "modem" ? u"X9TRmdm" : path == "diagnostic" ? u"X9TRmdlm" : u"";
        if (service.empty()) {
            return platform::Utf8ToUtf16(path);
        }
        if (parent_ != nullptr) {
            for (const auto& child : parent_->Children) {
                if (child->Service == service && !child->PortName.empty()) {
                    return child->PortName;
                }
            }
        }
        return {};
    }

    std::unique_ptr<platform::pnp::PendingIo> Start(const Step& step, platform::pnp::FileHandle& handle)
    {
        switch (step.What) {
        case Kind::Ioctl: return handle.StartDeviceControl(step.Code, step.In, step.OutSize);
        case Kind::InternalIoctl: return handle.StartInternalDeviceControl(step.Code, step.In, step.OutSize);
        case Kind::Read: return handle.StartRead(step.Length);
        default: return handle.StartWrite(step.Data);
        }
    }

    Completion CompletionOf(platform::pnp::PendingIo& io)
    {
        const auto result = io.Wait();
        Completion completion{result.Status, result.Information, result.Data, io.CompletedAt() - start_};
        if (completion.Data.size() > completion.Information) {
            completion.Data.resize(completion.Information);
        }
        return completion;
    }

    void Report(const Step& step, const Step& started, LONGLONG startedAt, const Completion& done, ojson& record)
    {
        record["completedMs"] = TicksToMs(done.AtTicks);
        record["status"] = StatusText(done.Status);
        record["information"] = done.Information;
        std::string line = "completed at " + MsText(done.AtTicks) + ": " + StatusText(done.Status) + ", information " +
                           std::to_string(done.Information);
        Line(line);
        const bool output = started.What == Kind::Ioctl || started.What == Kind::InternalIoctl;
        if (!done.Data.empty()) {
            if (output) {
                record["out"] = HexText(done.Data);
                if (started.KnownCode != nullptr && started.KnownCode->Output != nullptr) {
                    record["outFields"] = DecodeRecord(*started.KnownCode->Output, done.Data);
                    Line("out: " + record["outFields"].dump());
                } else {
                    Line("out: " + HexText(done.Data));
                }
            } else {
                record["data"] = HexText(done.Data);
                Line("data: " + HexText(done.Data) + "  \"" + PrintableText(done.Data) + "\"");
            }
        }
        if (!step.Expect) {
            return;
        }
        const Expectation& expect = *step.Expect;
        if (expect.Status && *expect.Status != done.Status) {
            Failure(record, "status expected " + StatusText(*expect.Status) + ", got " + StatusText(done.Status));
        }
        if (expect.Information && *expect.Information != done.Information) {
            Failure(record, "information expected " + std::to_string(*expect.Information) + ", got " +
                                std::to_string(done.Information));
        }
        if (expect.Data && *expect.Data != done.Data) {
            Failure(record, "data expected " + HexText(*expect.Data) + " \"" + PrintableText(*expect.Data) +
                                "\", got " + HexText(done.Data) + " \"" + PrintableText(done.Data) + "\"");
        }
        if (expect.OutBytes && *expect.OutBytes != done.Data) {
            Failure(record, "out expected " + HexText(*expect.OutBytes) + ", got " + HexText(done.Data));
        }
        if (expect.OutFields) {
            const ojson fields = DecodeRecord(*started.KnownCode->Output, done.Data);
            for (const auto& [key, value] : expect.OutFields->items()) {
                std::string fault;
                const auto wanted = DecodeRecord(*started.KnownCode->Output,
                                                 EncodeRecord(*started.KnownCode->Output, json{{key, value}}, &fault));
                if (!fields.contains(key) || fields[key] != wanted[key]) {
                    Failure(record, "out." + key + " expected " + wanted[key].dump() + ", got " +
                                        (fields.contains(key) ? fields[key].dump() : std::string("nothing")));
                }
            }
        }
        if (expect.AtTicks && *expect.AtTicks != done.AtTicks) {
            Failure(record, "completion expected at " + MsText(*expect.AtTicks) + ", came at " + MsText(done.AtTicks));
        }
        if (expect.WithinTicks && done.AtTicks - startedAt > *expect.WithinTicks) {
            Failure(record, "completion expected within " + MsText(*expect.WithinTicks) + ", took " +
                                MsText(done.AtTicks - startedAt));
        }
    }

    std::string Describe(const Step& step) const
    {
        switch (step.What) {
        case Kind::Plug: return "plug " + scenario_.HandsetName;
        case Kind::Unplug: return "unplug the handset";
        case Kind::Replug: return "unplug and plug again " + scenario_.HandsetName;
        case Kind::Open: return "open " + step.Path + " as " + step.Handle;
        case Kind::Close: return "close " + step.Handle;
        case Kind::Ioctl:
        case Kind::InternalIoctl: {
            std::string text = (step.What == Kind::Ioctl ? "ioctl " : "internal ioctl ") +
                               (step.KnownCode != nullptr ? std::string(step.KnownCode->Name) : Hex32(step.Code)) +
                               " on " + step.Handle;
            if (!step.In.empty()) {
                text += ", in " + HexText(step.In);
            }
            if (step.OutSize != 0) {
                text += ", out " + std::to_string(step.OutSize) + " bytes";
            }
            return text + (step.Id.empty() ? "" : ", overlapped as " + step.Id);
        }
        case Kind::Read:
            return "read " + std::to_string(step.Length) + " bytes on " + step.Handle +
                   (step.Id.empty() ? "" : ", overlapped as " + step.Id);
        case Kind::Write:
            return "write " + std::to_string(step.Data.size()) + " bytes on " + step.Handle +
                   (step.Id.empty() ? "" : ", overlapped as " + step.Id);
        case Kind::Cancel: return step.Id.empty() ? "cancel the I/O of " + step.Handle : "cancel " + step.Id;
        case Kind::Wait: return "wait for " + step.Id;
        case Kind::HandsetSend:
            return "handset sends " + std::to_string(step.Data.size()) + " bytes on " + step.Function + " " +
                   step.Pipe + (step.TransferSize != 0 ? " in transfers of " + std::to_string(step.TransferSize) : "");
        case Kind::HandsetStall: return "handset stalls " + step.Function + " " + step.Pipe;
        case Kind::HandsetFail:
            return "handset fails the next " + std::to_string(step.Count) + " transfers on " + step.Function + " " +
                   step.Pipe + " with " + Hex32(static_cast<ULONG>(step.UsbdStatus));
        case Kind::HandsetHold: return "handset holds " + step.Function + " " + step.Pipe;
        case Kind::HandsetRelease: return "handset releases " + step.Function + " " + step.Pipe;
        case Kind::Advance: return "advance " + MsText(step.Ticks);
        case Kind::Settle: return "settle";
        }
        return step.Do;
    }

    platform::pnp::FileHandle* HandleFor(const Step& step, ojson& record)
    {
        const auto found = handles_.find(step.Handle);
        if (found == handles_.end()) {
            Failure(record, "no open handle \"" + step.Handle + "\"");
            return nullptr;
        }
        return found->second.get();
    }

    handset::Handset* TheHandset(ojson& record)
    {
        if (handset_ == nullptr) {
            Failure(record, "no handset is plugged in");
        }
        return handset_;
    }

    void RunStep(const Step& step)
    {
        const LONGLONG startedAt = Now();
        ojson record;
        record["index"] = step.Number;
        record["do"] = step.Do;
        record["startedMs"] = TicksToMs(startedAt);
        record["failures"] = ojson::array();
        if (!options_.Json) {
            char stamp[32];
            std::snprintf(stamp, sizeof(stamp), "[%11.3f ms] ", TicksToMs(startedAt));
            out_ << stamp << "step " << step.Number << ": " << Describe(step) << "\n";
        }
        switch (step.What) {
        case Kind::Plug: Plug(); break;
        case Kind::Unplug: Unplug(); break;
        case Kind::Replug:
            Unplug();
            Plug();
            break;
        case Kind::Settle: Settle(); break;
        case Kind::Advance: AdvanceTo(startedAt + step.Ticks); break;
        case Kind::Open: {
            const std::u16string path = PathFor(step.Path);
            NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
            auto handle = path.empty() ? nullptr : platform::pnp::FileHandle::Open(path, &status);
            if (path != platform::Utf8ToUtf16(step.Path)) {
                Line("path " + platform::Utf16ToUtf8(path));
            }
            if (handle != nullptr) {
                handles_[step.Handle] = std::move(handle);
            }
            Report(step, step, startedAt, Completion{status, 0, {}, Now()}, record);
            break;
        }
        case Kind::Close:
            if (HandleFor(step, record) != nullptr) {
                handles_.erase(step.Handle);
                    FinishRemovals();
            }
            break;
        case Kind::Ioctl:
        case Kind::InternalIoctl:
        case Kind::Read:
        case Kind::Write: {
            platform::pnp::FileHandle* handle = HandleFor(step, record);
            if (handle == nullptr) {
                break;
            }
            if (!step.Id.empty()) {
                if (overlapped_.count(step.Id) != 0) {
                    Failure(record, "request \"" + step.Id + "\" was started before and not waited for");
                    break;
                }
                overlapped_[step.Id] = Overlapped{Start(step, *handle), &step, startedAt};
                break;
            }
            auto io = Start(step, *handle);
            if (!RunUntilDone(*io)) {
                Failure(record, "did not complete within " + MsText(kWaitLimit) + "; cancelled");
                io->Cancel();
                RunUntilDone(*io);
                break;
            }
            Report(step, step, startedAt, CompletionOf(*io), record);
            break;
        }
        case Kind::Cancel:
            if (!step.Id.empty()) {
                const auto found = overlapped_.find(step.Id);
                if (found == overlapped_.end()) {
                    Failure(record, "no overlapped request \"" + step.Id + "\"");
                    break;
                }
                found->second.Io->Cancel();
            } else if (auto* handle = HandleFor(step, record)) {
                handle->CancelIo();
            }
            Dispatcher().AdvanceBy(0);
            break;
        case Kind::Wait: {
            const auto found = overlapped_.find(step.Id);
            if (found == overlapped_.end()) {
                Failure(record, "no overlapped request \"" + step.Id + "\"");
                break;
            }
            Overlapped& request = found->second;
            if (!RunUntilDone(*request.Io)) {
                Failure(record, "\"" + step.Id + "\" did not complete within " + MsText(kWaitLimit));
                break;
            }
            Report(step, *request.Started, request.StartedAt, CompletionOf(*request.Io), record);
            overlapped_.erase(found);
            break;
        }
        case Kind::HandsetSend:
            if (auto* device = TheHandset(record)) {
                device->Feed(step.Endpoint, step.Data, step.TransferSize);
                Dispatcher().AdvanceBy(0);
                }
            break;
        case Kind::HandsetStall:
            if (auto* device = TheHandset(record)) {
                device->Stall(step.Endpoint);
                Dispatcher().AdvanceBy(0);
                }
            break;
        case Kind::HandsetFail:
            if (auto* device = TheHandset(record)) {
                device->FailNext(step.Endpoint, step.UsbdStatus, step.Count);
                Dispatcher().AdvanceBy(0);
                }
            break;
        case Kind::HandsetHold:
            if (auto* device = TheHandset(record)) {
                device->Hold(step.Endpoint);
            }
            break;
        case Kind::HandsetRelease:
            if (auto* device = TheHandset(record)) {
                device->Release(step.Endpoint);
                Dispatcher().AdvanceBy(0);
                }
            break;
        }
        if (options_.Wire && options_.Json) {
            record["wire"] = wire_;
            wire_.clear();
        }
        // The failures come last, after what they are about.
        ojson failures = std::move(record["failures"]);
        record.erase("failures");
        record["failures"] = std::move(failures);
        records_.push_back(std::move(record));
    }

    const Scenario& scenario_;
    ScenarioOptions options_;
    std::ostream& out_;
    std::unique_ptr<Machine> machine_;
    LONGLONG start_ = 0;
    handset::Handset* handset_ = nullptr;
    platform::pnp::DeviceNode* parent_ = nullptr;
    std::vector<platform::pnp::DeviceNode*> unplugged_;
    std::map<std::string, std::unique_ptr<platform::pnp::FileHandle>> handles_;
    std::map<std::string, Overlapped> overlapped_;
    ojson records_ = ojson::array();
    std::vector<std::string> wire_;
    std::size_t failures_ = 0;
};

} // namespace

int RunScenario(const std::string& fileName, const ScenarioOptions& options, std::ostream& out, std::ostream& err)
{
    Scenario scenario;
    try {
        scenario = Reader(fileName).Read();
    } catch (const ScenarioError& error) {
        err << "x9tr: " << fileName << ": " << error.what() << "\n";
        return 2;
    }
    Runner runner(scenario, options, out);
    return runner.Run();
}

} // namespace x9tr
