// The scenario tool: files that cannot be used are refused before anything
// runs, naming the step and the fault; expectations that do not hold fail
// the run and say what was expected and what came; the handset's steps act
// on the pipes they name.
#include "tests/handset/temp_file.h"
#include "tools/scenario.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>
#include <string>

namespace x9tr::test {
namespace {

struct Outcome {
    int Exit;
    std::string Out;
    std::string Err;
};

Outcome RunText(const std::string& text, ScenarioOptions options = {})
{
    TempFile file(".json");
    file.Write(text);
    std::ostringstream out;
    std::ostringstream err;
    const int exit = RunScenario(file.Path(), options, out, err);
    return {exit, out.str(), err.str()};
}

// A scenario of the default handset with the port open as "p" and these steps after.
std::string WithPort(const std::string& steps)
{
    return R"({"handset": "default", "steps": [{"do": "plug"}, {"do": "open", "handle": "p", "path": "modem"},)" + steps +
           "]}";
}

TEST(ScenarioFile, UnusableFilesAreRefusedNamingTheStepBeforeAnythingRuns)
{
    struct Case {
        const char* Name;
        std::string Text;
        std::string Message;
    };
    const Case cases[] = {
        {"not json", "{", "not JSON"},
        {"no steps", R"({"handset": "default"})", "\"steps\" must be a list"},
        {"unknown top field", R"({"steps": [], "seconds": 3})", "unknown field \"seconds\""},
        {"unknown step", WithPort(R"({"do": "jump"})"), "step 3 (jump): unknown step \"jump\""},
        {"missing do", WithPort(R"({"handle": "p"})"), "step 3: missing field \"do\""},
        {"missing field", WithPort(R"({"do": "read", "handle": "p"})"), "step 3 (read): missing field \"length\""},
        {"bad hex", WithPort(R"({"do": "write", "handle": "p", "data": "0g"})"), "step 3 (write): \"data\": bad hex"},
        {"too much data", WithPort(R"({"do": "write", "handle": "p", "data": {"repeat": 0, "count": 1000000000000}})"),
         "step 3 (write): \"data\": at most"},
        {"unknown code", WithPort(R"({"do": "ioctl", "handle": "p", "code": "IOCTL_SERIAL_FLY"})"),
         "step 3 (ioctl): unknown control code \"IOCTL_SERIAL_FLY\""},
        {"field the record lacks",
         WithPort(R"({"do": "ioctl", "handle": "p", "code": "IOCTL_SERIAL_SET_TIMEOUTS", "in": {"Speed": 1}})"),
         "SERIAL_TIMEOUTS has no field \"Speed\""},
        {"value too big",
         WithPort(R"({"do": "ioctl", "handle": "p", "code": "IOCTL_SERIAL_SET_LINE_CONTROL", "in": {"Parity": 256}})"),
         "SERIAL_LINE_CONTROL.Parity does not hold 256"},
        {"handle never opened", WithPort(R"({"do": "read", "handle": "q", "length": 1})"),
         "step 3 (read): handle \"q\" is never opened before this step"},
        {"request never started", WithPort(R"({"do": "wait", "id": "r"})"),
         "step 3 (wait): request \"r\" is never started before this step"},
        {"unknown status", WithPort(R"({"do": "read", "handle": "p", "length": 1, "expect": {"status": "STATUS_FINE"}})"),
         "unknown status \"STATUS_FINE\""},
        {"expect on an overlapped start",
         WithPort(R"({"do": "read", "handle": "p", "length": 1, "id": "r", "expect": {"status": 0}})"),
         "checked on its \"wait\" step"},
        {"unknown function", WithPort(R"({"do": "handset.send", "function": "gps", "data": "00"})"),
         "\"function\" is \"acm\""},
        {"pipe the function lacks", WithPort(R"({"do": "handset.stall", "function": "mdlm", "pipe": "interrupt"})"),
         "the handset's mdlm function has no interrupt pipe"},
        {"stray field", WithPort(R"({"do": "advance", "ms": 5, "handle": "p"})"), "no field \"handle\" in this step"},
        {"handset file missing", R"({"handset": "/nonexistent/handset.json", "steps": []})", "/nonexistent/handset.json"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const Outcome run = RunText(c.Text);
        EXPECT_EQ(run.Exit, 2);
        EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err;
        EXPECT_EQ(run.Err.find('\n'), run.Err.size() - 1) << "one line";
        EXPECT_TRUE(run.Out.empty()) << "nothing ran: " << run.Out;
    }
}

TEST(ScenarioRun, AnExpectationThatFailsNamesTheStepExpectedAndActual)
{
    const Outcome run = RunText(WithPort(R"(
        {"do": "ioctl", "handle": "p", "code": "IOCTL_SERIAL_SET_TIMEOUTS", "in": {"ReadIntervalTimeout": 20}},
        {"do": "read", "handle": "p", "length": 4,
         "expect": {"status": "STATUS_SUCCESS", "information": 4, "data": {"text": "abcd"}, "atMs": 10}},
        {"do": "close", "handle": "p"})"));
    EXPECT_EQ(run.Exit, 1);
    EXPECT_NE(run.Out.find("FAILED: step 4: status expected STATUS_SUCCESS (0x00000000), got STATUS_TIMEOUT "
                           "(0x00000102)"),
              std::string::npos)
        << run.Out;
    EXPECT_NE(run.Out.find("FAILED: step 4: information expected 4, got 0"), std::string::npos);
    EXPECT_NE(run.Out.find("FAILED: step 4: completion expected at 10.000 ms, came at 20.000 ms"), std::string::npos);
    EXPECT_NE(run.Out.find("scenario FAILED: 5 steps, 4 failures"), std::string::npos);
}

TEST(ScenarioRun, JsonTranscriptHasEveryStepWithItsCompletion)
{
    ScenarioOptions options;
    options.Json = true;
    const Outcome run = RunText(WithPort(R"(
        {"do": "ioctl", "handle": "p", "code": "IOCTL_SERIAL_SET_TIMEOUTS", "in": {"ReadIntervalTimeout": "MAXULONG"}},
        {"do": "handset.send", "function": "acm", "data": {"text": "hi"}},
        {"do": "read", "handle": "p", "length": 8, "expect": {"data": "68 69"}},
        {"do": "ioctl", "handle": "p", "code": "IOCTL_SERIAL_GET_TIMEOUTS",
         "expect": {"out": {"ReadIntervalTimeout": 4294967295, "ReadTotalTimeoutConstant": 0}}})"),
                            options);
    ASSERT_EQ(run.Exit, 0) << run.Out;
    const auto document = nlohmann::json::parse(run.Out);
    EXPECT_TRUE(document["ok"].get<bool>());
    ASSERT_EQ(document["steps"].size(), 6u);
    const auto& read = document["steps"][4];
    EXPECT_EQ(read["index"], 5);
    EXPECT_EQ(read["do"], "read");
    EXPECT_EQ(read["status"], "STATUS_SUCCESS (0x00000000)");
    EXPECT_EQ(read["information"], 2);
    EXPECT_EQ(read["data"], "68 69");
    EXPECT_TRUE(read["failures"].empty());
    EXPECT_EQ(document["steps"][5]["outFields"]["ReadIntervalTimeout"], 4294967295u);
}

TEST(ScenarioRun, HeldPipeAnswersNothingUntilReleased)
{
    const Outcome run = RunText(WithPort(R"(
        {"do": "ioctl", "handle": "p", "code": "IOCTL_SERIAL_SET_TIMEOUTS", "in": {}},
        {"do": "handset.hold", "function": "acm", "pipe": "bulk-in"},
        {"do": "handset.send", "function": "acm", "data": {"text": "late"}},
        {"do": "read", "handle": "p", "length": 4, "id": "r"},
        {"do": "advance", "ms": 1000},
        {"do": "ioctl", "handle": "p", "code": "IOCTL_SERIAL_GET_COMMSTATUS", "expect": {"out": {"AmountInInQueue": 0}}},
        {"do": "handset.release", "function": "acm", "pipe": "bulk-in"},
        {"do": "wait", "id": "r", "expect": {"data": {"text": "late"}, "atMs": 1000}})"));
    EXPECT_EQ(run.Exit, 0) << run.Out;
}

TEST(ScenarioRun, WireShowsTheHandsetsTraffic)
{
    ScenarioOptions options;
    options.Wire = true;
    const Outcome run = RunText(WithPort(R"(
        {"do": "handset.send", "function": "acm", "data": {"repeat": 0, "count": 3}})"),
                            options);
    EXPECT_EQ(run.Exit, 0) << run.Out;
    // Enumeration's standard requests, and the bulk-in transfer with its length.
    EXPECT_NE(run.Out.find("wire"), std::string::npos);
    EXPECT_NE(run.Out.find("control 80 06"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("IN  endpoint"), std::string::npos);
    EXPECT_NE(run.Out.find(", 3 of "), std::string::npos);
}

TEST(ScenarioRun, UnplugWithTheHandleOpenEndsItsRequestsAndReplugGivesThePortAgain)
{
    const Outcome run = RunText(WithPort(R"(
        {"do": "ioctl", "handle": "p", "code": "IOCTL_SERIAL_SET_TIMEOUTS", "in": {}},
        {"do": "read", "handle": "p", "length": 4, "id": "r"},
        {"do": "unplug"},
        {"do": "wait", "id": "r", "expect": {"status": "STATUS_CANCELLED"}},
        {"do": "close", "handle": "p"},
        {"do": "replug"},
        {"do": "open", "handle": "again", "path": "COM3", "expect": {"status": "STATUS_SUCCESS"}},
        {"do": "close", "handle": "again"})"));
    EXPECT_EQ(run.Exit, 0) << run.Out;
}

TEST(ScenarioRun, RegistryAndHandsetProfileFromTheFile)
{
    // The port driver's next instance number is 3, and the handset runs at
    // full speed: the port is \Device\X9TRmdm3 and buffers 1216-byte transfers.
    const Outcome run = RunText(R"({
        "registry": {"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\X9TRmdm\\Parameters":
                     {"NextInstanceNumber": 3}},
        "handset": {"vendor": "0x0abc", "product": "0x1d2e", "speed": "full",
                    "deviceClass": ["0xEF", "0x02", "0x01"],
                    "strings": {"serialNumber": "X9TR0001"},
                    "functions": [{"type": "acm", "iad": true}]},
        "steps": [
            {"do": "plug"},
            {"do": "open", "handle": "p", "path": "\\Device\\X9TRmdm3", "expect": {"status": "STATUS_SUCCESS"}},
            {"do": "ioctl", "handle": "p", "code": "IOCTL_SERIAL_GET_PROPERTIES",
             "expect": {"out": {"CurrentRxQueue": 1245184}}}
        ]})");
    EXPECT_EQ(run.Exit, 0) << run.Out << run.Err;
}

} // namespace
} // namespace x9tr::test
