// An endpoint's transfers: packets, short packets, halts and failures.
#include "handset/endpoint.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace handset {
namespace {

std::string EventName(UCHAR address)
{
    char name[48];
    std::snprintf(name, sizeof(name), "handset: transfer on endpoint 0x%02x ends", address);
    return name;
}

} // namespace

Endpoint::Endpoint(UCHAR address) : address_(address), completions_(CompletionQueue::Create(EventName(address))) {}

void Endpoint::Complete(Done done, platform::usb::TransferAnswer answer)
{
    completions_->Push(std::move(done), std::move(answer));
}

void Endpoint::Refuse(Done done, USBD_STATUS status) { Complete(std::move(done), {status, {}, 0}); }

void Endpoint::Submit(std::vector<std::byte> outData, std::size_t inLength, Done done, USHORT maxPacketSize)
{
    if (halted_) {
        Refuse(std::move(done), USBD_STATUS_STALL_PID);
        return;
    }
    if (!IsIn()) {
        if (held_) {
            heldOut_.push_back(HeldOut{std::move(outData), std::move(done)});
            return;
        }
        if (failuresLeft_ > 0) {
            --failuresLeft_;
            Refuse(std::move(done), failure_);
            return;
        }
        const std::size_t taken = outData.size();
        outTransfers_.push_back(std::move(outData));
        Complete(std::move(done), {USBD_STATUS_SUCCESS, {}, taken});
        return;
    }
    pending_.push_back(Transfer{inLength, std::move(done), {}});
    Pump(maxPacketSize);
}

void Endpoint::Feed(std::span<const std::byte> bytes, std::size_t transferSize)
{
    if (bytes.empty()) {
        chunks_.emplace_back();
        return;
    }
    const std::size_t size = transferSize == 0 ? bytes.size() : transferSize;
    for (std::size_t at = 0; at < bytes.size(); at += size) {
        const auto chunk = bytes.subspan(at, std::min(size, bytes.size() - at));
        chunks_.emplace_back(chunk.begin(), chunk.end());
    }
}

std::size_t Endpoint::Waiting() const
{
    std::size_t bytes = 0;
    for (const auto& chunk : chunks_) {
        bytes += chunk.size();
    }
    return bytes - sent_;
}

void Endpoint::Pump(USHORT maxPacketSize)
{
    // A zero max packet size (a malformed descriptor) still moves data, a byte at a time.
    const std::size_t packetSize = std::max<std::size_t>(maxPacketSize, 1);
    while (!halted_ && !held_ && !pending_.empty()) {
        if (failuresLeft_ > 0) {
            --failuresLeft_;
            EndFirst(failure_);
            continue;
        }
        if (chunks_.empty()) {
            return;
        }
        Transfer& transfer = pending_.front();
        std::vector<std::byte>& chunk = chunks_.front();
        if (sent_ == 0 && transfer.Data.empty() && !chunk.empty() && chunk.size() <= transfer.InLength) {
            // The whole device transfer fits the host's, so every one of its
            // packets goes in and only the last can end the transfer: its
            // bytes are handed over as they are instead of copied packet by packet.
            const std::size_t lastPacket = (chunk.size() - 1) % packetSize + 1;
            transfer.Data = std::move(chunk);
            chunks_.pop_front();
            if (lastPacket < packetSize || transfer.Data.size() == transfer.InLength) {
                EndFirst(USBD_STATUS_SUCCESS);
            }
            continue;
        }
        const std::size_t packet = std::min(packetSize, chunk.size() - sent_);
        const std::size_t room = transfer.InLength - transfer.Data.size();
        const bool fits = packet <= room;
        if (fits) {
            if (transfer.Data.empty()) {
                // Room for as much of the front chunk as the transfer takes,
                // so that filling it packet by packet does not reallocate.
                transfer.Data.reserve(std::min(transfer.InLength, chunk.size() - sent_));
            }
            const auto from = chunk.begin() + static_cast<std::ptrdiff_t>(sent_);
            transfer.Data.insert(transfer.Data.end(), from, from + static_cast<std::ptrdiff_t>(packet));
        }
        sent_ += packet;
        if (sent_ == chunk.size()) {
            chunks_.pop_front();
            sent_ = 0;
        }
        if (!fits) {
            // More than the buffer had room for: the host controller reports
            // babble and the packet is lost.
            EndFirst(USBD_STATUS_BABBLE_DETECTED);
        } else if (packet < packetSize || transfer.Data.size() == transfer.InLength) {
            EndFirst(USBD_STATUS_SUCCESS);
        }
    }
}

void Endpoint::EndFirst(USBD_STATUS status)
{
    Transfer transfer = std::move(pending_.front());
    pending_.pop_front();
    const std::size_t received = transfer.Data.size();
    Complete(std::move(transfer.Callback), {status, std::move(transfer.Data), received});
}

void Endpoint::Release(USHORT maxPacketSize)
{
    held_ = false;
    // What waited is taken in order, as if it had just come.
    auto waiting = std::move(heldOut_);
    heldOut_.clear();
    for (auto& out : waiting) {
        Submit(std::move(out.Data), 0, std::move(out.Callback), maxPacketSize);
    }
    Pump(maxPacketSize);
}

void Endpoint::Halt()
{
    halted_ = true;
    EndPending(USBD_STATUS_STALL_PID);
}

void Endpoint::FailNext(USBD_STATUS status, std::size_t count)
{
    failure_ = status;
    failuresLeft_ = count;
    while (failuresLeft_ > 0 && !pending_.empty()) {
        --failuresLeft_;
        EndFirst(failure_);
    }
}

void Endpoint::EndPending(USBD_STATUS status)
{
    while (!pending_.empty()) {
        EndFirst(status);
    }
    while (!heldOut_.empty()) {
        Refuse(std::move(heldOut_.front().Callback), status);
        heldOut_.pop_front();
    }
}

} // namespace handset
