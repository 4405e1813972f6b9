// Running an endpoint's completions in order through the dispatcher.
#include "handset/completion_queue.h"

#include "platform/platform.h"

namespace handset {

std::shared_ptr<CompletionQueue> CompletionQueue::Create(std::string what)
{
    return std::make_shared<CompletionQueue>(Key{}, std::move(what));
}

void CompletionQueue::Push(platform::usb::Peripheral::Done done, platform::usb::TransferAnswer answer)
{
    std::lock_guard lock(mutex_);
    queue_.emplace_back(std::move(done), std::move(answer));
    if (!posted_) {
        posted_ = true;
        // The event holds the queue: completions already decided still arrive
        // when the handset is gone by the time they run.
        platform::Platform::Current().Dispatcher().Post([self = shared_from_this()] { self->RunFirst(); },
                                                        what_.c_str());
    }
}

void CompletionQueue::RunFirst()
{
    std::unique_lock lock(mutex_);
    auto [done, answer] = std::move(queue_.front());
    queue_.pop_front();
    if (queue_.empty()) {
        posted_ = false;
    } else {
        platform::Platform::Current().Dispatcher().Post([self = shared_from_this()] { self->RunFirst(); },
                                                        what_.c_str());
    }
    // Done may submit the next transfer, which may end at once and come back here.
    lock.unlock();
    if (done) {
        done(std::move(answer));
    }
}

} // namespace handset
