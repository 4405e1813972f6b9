// Failures on demand.
#include "platform/kernel/faults.h"

#include <algorithm>

namespace platform {

void Faults::Arm(std::string operation, NTSTATUS status, int skip, int count)
{
    std::lock_guard lock(mutex_);
    armed_.push_back(Armed{std::move(operation), status, skip, count});
    anyArmed_.store(true, std::memory_order_release);
}

std::optional<NTSTATUS> Faults::Take(std::string_view operation)
{
    if (!anyArmed_.load(std::memory_order_acquire)) {
        return std::nullopt;
    }
    std::lock_guard lock(mutex_);
    for (auto it = armed_.begin(); it != armed_.end(); ++it) {
        if (it->Operation != operation) {
            continue;
        }
        if (it->Skip > 0) {
            --it->Skip;
            return std::nullopt;
        }
        const NTSTATUS status = it->Status;
        if (--it->Count <= 0) {
            armed_.erase(it);
            anyArmed_.store(!armed_.empty(), std::memory_order_release);
        }
        return status;
    }
    return std::nullopt;
}

void Faults::Clear()
{
    std::lock_guard lock(mutex_);
    armed_.clear();
    anyArmed_.store(false, std::memory_order_release);
}

} // namespace platform
