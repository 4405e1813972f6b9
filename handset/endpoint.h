// One bulk or interrupt endpoint of the handset. IN data waits as the
// device's own transfers and goes out in packets of the endpoint's max packet
// size; a host IN transfer ends on a short packet or when its buffer is full,
// as on the wire. OUT transfers are taken at once and kept for tests to read.
// A halt or an armed failure ends transfers without touching the data.
#pragma once

#include "handset/completion_queue.h"
#include "platform/usb/peripheral.h"

#include <cstddef>
#include <deque>
#include <memory>
#include <span>
#include <vector>

namespace handset {

class Endpoint {
public:
    using Done = platform::usb::Peripheral::Done;

    explicit Endpoint(UCHAR address);

    UCHAR Address() const { return address_; }
    bool IsIn() const { return USB_ENDPOINT_DIRECTION_IN(address_); }

    // A host transfer on the endpoint while it is enabled with this max packet size.
    void Submit(std::vector<std::byte> outData, std::size_t inLength, Done done, USHORT maxPacketSize);
    // Ends a transfer at once with Status, in order with the endpoint's others.
    void Refuse(Done done, USBD_STATUS status);

    // Device data for IN transfers, cut into device transfers of TransferSize
    // bytes (0: one transfer of all of it; no bytes: a zero-length packet).
    // It goes out on the next Pump.
    void Feed(std::span<const std::byte> bytes, std::size_t transferSize);
    // Sends waiting data into waiting transfers as far as both go.
    void Pump(USHORT maxPacketSize);
    std::size_t Pending() const { return pending_.size(); }
    // Bytes fed and not yet sent.
    std::size_t Waiting() const;

    // A halted endpoint ends its transfers with USBD_STATUS_STALL_PID until cleared.
    void Halt();
    void ClearHalt() { halted_ = false; }
    bool Halted() const { return halted_; }
    // The next Count transfers, pending ones first, end with Status; replaces
    // a failure still armed.
    void FailNext(USBD_STATUS status, std::size_t count);
    // Ends every pending transfer with Status, keeping the bytes each had received.
    void EndPending(USBD_STATUS status);
    // A held endpoint answers nothing: IN transfers wait without data and
    // OUT transfers without being taken, until Release.
    void Hold() { held_ = true; }
    void Release(USHORT maxPacketSize);
    bool Held() const { return held_; }

    // The OUT transfers taken, in order.
    const std::vector<std::vector<std::byte>>& OutTransfers() const { return outTransfers_; }

private:
    struct Transfer {
        std::size_t InLength;
        Done Callback;
        std::vector<std::byte> Data;
    };

    void EndFirst(USBD_STATUS status);
    void Complete(Done done, platform::usb::TransferAnswer answer);

    UCHAR address_;
    std::shared_ptr<CompletionQueue> completions_;
    std::deque<Transfer> pending_;
    std::deque<std::vector<std::byte>> chunks_; // the device's transfers, front one partly sent
    std::size_t sent_ = 0;                      // of the front chunk
    std::vector<std::vector<std::byte>> outTransfers_;
    bool halted_ = false;
    bool held_ = false;
    // OUT transfers that came while held, not yet taken.
    struct HeldOut {
        std::vector<std::byte> Data;
        Done Callback;
    };
    std::deque<HeldOut> heldOut_;
    USBD_STATUS failure_ = USBD_STATUS_SUCCESS;
    std::size_t failuresLeft_ = 0;
};

} // namespace handset
