// The completions of one endpoint's transfers, run from the dispatcher one
// event each and in the order the endpoint ended the transfers. A host
// controller completes the transfers of one pipe in order; posting each
// completion on its own would let a shuffled dispatcher reorder them.
#pragma once

#include "platform/usb/peripheral.h"

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace handset {

class CompletionQueue : public std::enable_shared_from_this<CompletionQueue> {
    // Only Create makes one: the dispatcher's events share its ownership.
    struct Key {
        explicit Key() = default;
    };

public:
    // What names the events in the dispatcher's queue.
    static std::shared_ptr<CompletionQueue> Create(std::string what);
    CompletionQueue(Key, std::string what) : what_(std::move(what)) {}

    // Done runs later from the current platform's dispatcher, never inside this call.
    void Push(platform::usb::Peripheral::Done done, platform::usb::TransferAnswer answer);

private:
    void RunFirst();

    std::mutex mutex_;
    std::deque<std::pair<platform::usb::Peripheral::Done, platform::usb::TransferAnswer>> queue_;
    // One event at a time is in the dispatcher for this queue: that keeps the order.
    bool posted_ = false;
    // The events' name; every event holds the queue, so the text outlives them.
    std::string what_;
};

} // namespace handset
