// The deterministic dispatcher on its virtual clock.
#include "platform/dispatch/dispatcher.h"

#include "platform/verifier/verifier.h"

#include <atomic>

namespace platform {

namespace {

std::atomic<std::uint64_t> nextContextId{1};

ExecutionContext& ThreadRootContext()
{
    thread_local ExecutionContext root{nextContextId.fetch_add(1), 0};
    return root;
}

thread_local ExecutionContext* currentContext = nullptr;

} // namespace

ExecutionContext& ExecutionContext::Current()
{
    return currentContext != nullptr ? *currentContext : ThreadRootContext();
}

ExecutionScope::ExecutionScope() : context_{nextContextId.fetch_add(1), 0}, previous_(currentContext)
{
    currentContext = &context_;
}

ExecutionScope::~ExecutionScope() { currentContext = previous_; }

VirtualDispatcher::VirtualDispatcher(std::uint64_t shuffle) : shuffle_(shuffle), random_(shuffle) {}

Ticks VirtualDispatcher::Now() const
{
    std::lock_guard lock(mutex_);
    return now_;
}

Dispatcher::EventId VirtualDispatcher::PostAt(Ticks due, Callback callback, const char* what)
{
    std::lock_guard lock(mutex_);
    if (due < now_) {
        due = now_;
    }
    const Order order{due, shuffle_ != 0 ? random_() : 0, ++sequence_};
    queue_.emplace(order, Event{std::move(callback), what});
    byId_.emplace(order.Sequence, order);
    return order.Sequence;
}

bool VirtualDispatcher::Cancel(EventId id)
{
    std::lock_guard lock(mutex_);
    const auto found = byId_.find(id);
    if (found == byId_.end()) {
        return false;
    }
    queue_.erase(found->second);
    byId_.erase(found);
    return true;
}

std::optional<std::pair<VirtualDispatcher::Order, VirtualDispatcher::Event>>
VirtualDispatcher::TakeNext(std::optional<Ticks> limit)
{
    std::lock_guard lock(mutex_);
    if (queue_.empty()) {
        return std::nullopt;
    }
    auto first = queue_.begin();
    if (limit && first->first.Due > *limit) {
        return std::nullopt;
    }
    std::pair<Order, Event> taken{first->first, std::move(first->second)};
    queue_.erase(first);
    byId_.erase(taken.first.Sequence);
    now_ = taken.first.Due;
    return taken;
}

void VirtualDispatcher::Run(Event& event)
{
    ExecutionScope scope;
    event.Run();
}

bool VirtualDispatcher::RunOne()
{
    auto next = TakeNext(std::nullopt);
    if (!next) {
        return false;
    }
    Run(next->second);
    return true;
}

void VirtualDispatcher::AdvanceBy(Ticks delay)
{
    const Ticks target = Now() + delay;
    while (auto next = TakeNext(target)) {
        Run(next->second);
    }
    std::lock_guard lock(mutex_);
    if (now_ < target) {
        now_ = target;
    }
}

std::size_t VirtualDispatcher::RunUntilIdle(std::size_t maxEvents)
{
    std::size_t ran = 0;
    while (ran < maxEvents && RunOne()) {
        ++ran;
    }
    return ran;
}

std::size_t VirtualDispatcher::Pending() const
{
    std::lock_guard lock(mutex_);
    return queue_.size();
}

std::optional<Ticks> VirtualDispatcher::NextDue() const
{
    std::lock_guard lock(mutex_);
    if (queue_.empty()) {
        return std::nullopt;
    }
    return queue_.begin()->first.Due;
}

bool VirtualDispatcher::WaitUntil(const std::function<bool()>& done, std::optional<Ticks> deadline)
{
    if (ExecutionContext::Current().SpinLocksHeld > 0) {
        GetVerifier().Report(VerifierRule::WaitAtRaisedLevel,
                             "a wait was made while a spin lock is held");
    }
    const bool bounded = deadline.has_value();
    const Ticks limit = bounded ? *deadline : Now() + kLongestWait;
    while (!done()) {
        auto next = TakeNext(limit);
        if (!next) {
            if (!bounded) {
                GetVerifier().Report(VerifierRule::Deadlock,
                                     Pending() == 0 ? "a wait without time-out that nothing can satisfy"
                                                    : "a wait without time-out did not end within an hour");
                return false;
            }
            std::lock_guard lock(mutex_);
            if (now_ < limit) {
                now_ = limit;
            }
            return false;
        }
        Run(next->second);
    }
    return true;
}

} // namespace platform
