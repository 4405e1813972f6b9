// Keeps a benchmark honest: collects the verifier's reports made while a
// benchmark runs (including the leak report of its Platform going away) and
// marks the benchmark as failed when there was any, so a figure is never
// printed for work that broke a framework rule or leaked objects.
//
// Declare it before the Platform so that it outlives it:
//     VerifierWatch watch(state);
//     platform::Platform world;
#pragma once

#include "platform/verifier/verifier.h"

#include <benchmark/benchmark.h>

#include <string>

namespace x9tr::bench {

class VerifierWatch {
public:
    explicit VerifierWatch(benchmark::State& state) : state_(state) {}
    ~VerifierWatch()
    {
        const auto& reports = capture_.Reports();
        if (reports.empty()) {
            return;
        }
        const std::string message = std::to_string(reports.size()) + " verifier report(s), first: " +
                                    platform::VerifierRuleName(reports.front().Rule) + ": " +
                                    reports.front().Message;
        state_.SkipWithError(message.c_str());
    }
    VerifierWatch(const VerifierWatch&) = delete;
    VerifierWatch& operator=(const VerifierWatch&) = delete;

private:
    benchmark::State& state_;
    platform::VerifierCapture capture_;
};

} // namespace x9tr::bench
