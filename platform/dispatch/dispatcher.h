// The dispatcher runs every asynchronous callback of the platform: request
// completions, timers, work items, continuous readers, NDIS work items. Driver
// code never sees it; the framework operations post to it.
//
// VirtualDispatcher is the deterministic form used by tests and scenarios: a
// virtual clock in 100 ns units (the kernel's time unit) that moves only when
// the queue is run, so a 2-second time-out costs no real time. Events due at
// the same moment run in the order they were posted, or, with a shuffle
// value, in an order drawn from it; the same value replays the same run.
// Posting never runs the event inside the call that posted it.
#pragma once

#include "platform/kernel/ntdef.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>

namespace platform {

using Ticks = LONGLONG; // 100 ns units
inline constexpr Ticks kTicksPerMicrosecond = 10;
inline constexpr Ticks kTicksPerMillisecond = 10'000;
inline constexpr Ticks kTicksPerSecond = 10'000'000;

// The code running now: the test's own thread or one dispatched event. Locks
// record their owner by context, and a wait checks that its context holds no
// spin lock.
struct ExecutionContext {
    std::uint64_t Id = 0;
    int SpinLocksHeld = 0;

    static ExecutionContext& Current();
};

// Makes a fresh context current for its life (one per dispatched event).
class ExecutionScope {
public:
    ExecutionScope();
    ~ExecutionScope();
    ExecutionScope(const ExecutionScope&) = delete;
    ExecutionScope& operator=(const ExecutionScope&) = delete;

private:
    ExecutionContext context_;
    ExecutionContext* previous_;
};

class Dispatcher {
public:
    using Callback = std::function<void()>;
    using EventId = std::uint64_t;

    virtual ~Dispatcher() = default;

    virtual Ticks Now() const = 0;
    // Runs Callback once, at Due or as soon after as the dispatcher gets to it.
    // What names the event for a reader of the queue; it is kept as given, not
    // copied (a post is on every data path), so it is a literal or text that
    // outlives the event.
    virtual EventId PostAt(Ticks due, Callback callback, const char* what) = 0;
    EventId Post(Callback callback, const char* what) { return PostAt(Now(), std::move(callback), what); }
    EventId PostAfter(Ticks delay, Callback callback, const char* what)
    {
        return PostAt(Now() + delay, std::move(callback), what);
    }
    // True when the event had not yet started; it will then never run.
    virtual bool Cancel(EventId id) = 0;
    // A synchronous wait: returns when Done() holds (true) or when the
    // deadline passes (false). Events due meanwhile run; in the virtual form
    // the clock advances as far as they need.
    virtual bool WaitUntil(const std::function<bool()>& done, std::optional<Ticks> deadline) = 0;
};

class VirtualDispatcher final : public Dispatcher {
public:
    // Shuffle 0 keeps same-time events in posting order.
    explicit VirtualDispatcher(std::uint64_t shuffle = 0);

    Ticks Now() const override;
    EventId PostAt(Ticks due, Callback callback, const char* what) override;
    bool Cancel(EventId id) override;
    bool WaitUntil(const std::function<bool()>& done, std::optional<Ticks> deadline) override;

    // Runs the next event, moving the clock to its time; false when none is queued.
    bool RunOne();
    // Runs every event due up to Now() + Delay, then leaves the clock there.
    void AdvanceBy(Ticks delay);
    // Runs events until none is queued, at most MaxEvents of them; returns how many ran.
    std::size_t RunUntilIdle(std::size_t maxEvents = 1'000'000);
    std::size_t Pending() const;
    std::optional<Ticks> NextDue() const;
    std::uint64_t Shuffle() const { return shuffle_; }

    // A wait with no deadline gives up, with a verifier report, after this much virtual time.
    static constexpr Ticks kLongestWait = 3600 * kTicksPerSecond;

private:
    struct Order {
        Ticks Due;
        std::uint64_t Key; // 0 in posting order, random under a shuffle
        std::uint64_t Sequence;
        friend auto operator<=>(const Order&, const Order&) = default;
    };
    struct Event {
        Callback Run;
        const char* What;
    };

    // Takes the first event if it is due by Limit.
    std::optional<std::pair<Order, Event>> TakeNext(std::optional<Ticks> limit);
    void Run(Event& event);

    mutable std::mutex mutex_;
    Ticks now_ = 0;
    std::uint64_t sequence_ = 0;
    std::uint64_t shuffle_;
    std::mt19937_64 random_;
    std::map<Order, Event> queue_;
    std::unordered_map<EventId, Order> byId_;
};

} // namespace platform
