// Failures on demand: a test arms an operation by name ("WdfCollectionAdd")
// to fail with a status, after letting a number of calls pass. The platform
// asks at each such operation whether it is to fail now.
#pragma once

#include "platform/kernel/ntstatus.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Faults {
public:
    // The operation fails Count times with Status, after Skip calls succeed.
    void Arm(std::string operation, NTSTATUS status, int skip = 0, int count = 1);
    // The status to fail with now, or nothing.
    std::optional<NTSTATUS> Take(std::string_view operation);
    void Clear();

private:
    struct Armed {
        std::string Operation;
        NTSTATUS Status;
        int Skip;
        int Count;
    };
    std::mutex mutex_;
    std::vector<Armed> armed_;
    // Whether anything is armed: most runs arm nothing, and the operations
    // that ask are on every data path, so they need not take the lock to learn it.
    std::atomic<bool> anyArmed_{false};
};

} // namespace platform
