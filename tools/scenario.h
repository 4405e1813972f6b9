// "x9tr scenario": a handset and an application driven step by step on the
// virtual clock from a JSON file, with expectations checked and a transcript
// of what happened (docs/scenario.md).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

namespace x9tr {

struct ScenarioOptions {
    bool Json = false;  // the transcript as one JSON document
    bool Wire = false;  // the handset's traffic in the transcript
    std::uint64_t Shuffle = 0; // nonzero: events due together run in an order drawn from it
};

// Runs the scenario file. Returns 0 when every expectation held, 1 when one
// failed (the transcript says which step and why), 2 when the file cannot be
// used (one line on Err naming the step and the fault; nothing was run).
int RunScenario(const std::string& fileName, const ScenarioOptions& options, std::ostream& out, std::ostream& err);

} // namespace x9tr
