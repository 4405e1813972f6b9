// The verifier: every breach of a rule of the framework or the kernel that a
// driver makes is reported here. Tests install a handler that fails the test
// in which the report was made; the platform goes on in a safe way after a
// report (the offending call fails or does nothing), so one fault does not
// turn into memory corruption.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

enum class VerifierRule {
    InvalidHandle,     // a value that never was a handle of this platform
    UseAfterDelete,    // a handle whose object was deleted (or destroyed)
    WrongObjectType,   // a handle of another kind of object than the call takes
    DoubleDelete,      // an object deleted twice
    NotDeletable,      // WdfObjectDelete on an object the framework owns
    ReferenceUnderflow,// more dereferences than references
    Leak,              // objects alive when their driver unloaded
    LockNotOwned,      // a lock released by a context that does not hold it
    LockRecursion,     // a lock acquired twice by the same context
    Deadlock,          // a wait that nothing can ever satisfy
    WaitAtRaisedLevel, // a wait while a spin lock is held
    RequestOwnership,  // a request completed twice, or used by a party that does not own it
    InvalidParameter,  // a call whose arguments break its contract
};

const char* VerifierRuleName(VerifierRule rule);

struct VerifierReport {
    VerifierRule Rule;
    std::string Message;
};

class Verifier {
public:
    using Handler = std::function<void(const VerifierReport&)>;

    void Report(VerifierRule rule, std::string message);

    // The handler sees every report as it is made. Returns the previous one.
    Handler SetHandler(Handler handler);

    std::vector<VerifierReport> Reports() const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::vector<VerifierReport> reports_;
    Handler handler_;
};

// The one verifier of the process.
Verifier& GetVerifier();

// Collects the reports made during its life instead of passing them to the
// installed handler: for tests that expect the verifier to speak.
class VerifierCapture {
public:
    VerifierCapture();
    ~VerifierCapture();
    VerifierCapture(const VerifierCapture&) = delete;
    VerifierCapture& operator=(const VerifierCapture&) = delete;

    const std::vector<VerifierReport>& Reports() const { return reports_; }
    bool Saw(VerifierRule rule) const;

private:
    std::vector<VerifierReport> reports_;
    Verifier::Handler previous_;
};

} // namespace platform
