// Verifier reports and the handlers that receive them.
#include "platform/verifier/verifier.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace platform {

const char* VerifierRuleName(VerifierRule rule)
{
    switch (rule) {
    case VerifierRule::InvalidHandle: return "invalid handle";
    case VerifierRule::UseAfterDelete: return "use after delete";
    case VerifierRule::WrongObjectType: return "wrong object type";
    case VerifierRule::DoubleDelete: return "double delete";
    case VerifierRule::NotDeletable: return "object not deletable";
    case VerifierRule::ReferenceUnderflow: return "reference underflow";
    case VerifierRule::Leak: return "leak";
    case VerifierRule::LockNotOwned: return "lock not owned";
    case VerifierRule::LockRecursion: return "lock recursion";
    case VerifierRule::Deadlock: return "deadlock";
    case VerifierRule::WaitAtRaisedLevel: return "wait at raised level";
    case VerifierRule::RequestOwnership: return "request ownership";
    case VerifierRule::InvalidParameter: return "invalid parameter";
    }
    return "unknown rule";
}

void Verifier::Report(VerifierRule rule, std::string message)
{
    VerifierReport report{rule, std::move(message)};
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        reports_.push_back(report);
        handler = handler_;
    }
    if (handler) {
        handler(report);
    } else {
        std::fprintf(stderr, "verifier: %s: %s\n", VerifierRuleName(report.Rule), report.Message.c_str());
    }
}

Verifier::Handler Verifier::SetHandler(Handler handler)
{
    std::lock_guard lock(mutex_);
    return std::exchange(handler_, std::move(handler));
}

std::vector<VerifierReport> Verifier::Reports() const
{
    std::lock_guard lock(mutex_);
    return reports_;
}

void Verifier::Clear()
{
    std::lock_guard lock(mutex_);
    reports_.clear();
}

Verifier& GetVerifier()
{
    static Verifier verifier;
    return verifier;
}

VerifierCapture::VerifierCapture()
{
    previous_ = GetVerifier().SetHandler([this](const VerifierReport& report) { reports_.push_back(report); });
}

VerifierCapture::~VerifierCapture() { GetVerifier().SetHandler(std::move(previous_)); }

bool VerifierCapture::Saw(VerifierRule rule) const
{
    return std::any_of(reports_.begin(), reports_.end(),
                       [rule](const VerifierReport& report) { return report.Rule == rule; });
}

} // namespace platform
