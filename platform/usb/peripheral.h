// The cable: what the host controller asks of a USB device and what the
// device answers. The simulated handset implements it. Answers to bulk and
// interrupt transfers may come later than the request (a device answers an
// IN transfer when it has data); the device then calls Done from the
// dispatcher, never inside SubmitTransfer.
#pragma once

#include "platform/kernel/ntdef.h"
#include "platform/usb/usb100.h"

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

// USBD status codes that a transfer ends with.
using USBD_STATUS = LONG;
inline constexpr USBD_STATUS USBD_STATUS_SUCCESS = 0x00000000;
inline constexpr USBD_STATUS USBD_STATUS_CRC = static_cast<USBD_STATUS>(0xC0000001);
inline constexpr USBD_STATUS USBD_STATUS_STALL_PID = static_cast<USBD_STATUS>(0xC0000004);
inline constexpr USBD_STATUS USBD_STATUS_DEV_NOT_RESPONDING = static_cast<USBD_STATUS>(0xC0000005);
inline constexpr USBD_STATUS USBD_STATUS_ENDPOINT_HALTED = static_cast<USBD_STATUS>(0xC0000030);
inline constexpr USBD_STATUS USBD_STATUS_INVALID_PARAMETER = static_cast<USBD_STATUS>(0x80000300);
inline constexpr USBD_STATUS USBD_STATUS_BABBLE_DETECTED = static_cast<USBD_STATUS>(0xC0000012);
inline constexpr USBD_STATUS USBD_STATUS_DEVICE_GONE = static_cast<USBD_STATUS>(0xC0007000);
inline constexpr USBD_STATUS USBD_STATUS_CANCELED = static_cast<USBD_STATUS>(0xC0010000);
constexpr bool USBD_SUCCESS(USBD_STATUS status) { return status >= 0; }

namespace platform::usb {

enum class Speed { Full, High };

// What a device answers on its default pipe. For an IN request Data holds at
// most wLength bytes; a stall is Status USBD_STATUS_STALL_PID.
struct ControlAnswer {
    USBD_STATUS Status = USBD_STATUS_SUCCESS;
    std::vector<std::byte> Data;
};

// The end of a bulk or interrupt transfer: IN data received (a short packet
// ends a transfer early), or the count of OUT bytes taken.
struct TransferAnswer {
    USBD_STATUS Status = USBD_STATUS_SUCCESS;
    std::vector<std::byte> Data;
    std::size_t Transferred = 0;
};

class Peripheral {
public:
    using Done = std::function<void(TransferAnswer)>;

    virtual ~Peripheral() = default;

    virtual Speed DeviceSpeed() const = 0;
    // Whether the hub port reports a unique ID for the device (a serial number it can be told apart by).
    virtual bool ReportsUniqueId() const = 0;

    // One control transfer on the default pipe, answered at once. OutData
    // holds the data stage of a host-to-device request.
    virtual ControlAnswer Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<const std::byte> outData) = 0;

    // A bulk or interrupt transfer on an endpoint (address with its
    // direction bit). IN transfers ask for up to InLength bytes; OUT transfers
    // carry OutData. Done is called exactly once.
    virtual void SubmitTransfer(UCHAR endpointAddress, std::vector<std::byte> outData, std::size_t inLength,
                                Done done) = 0;
    // Ends every transfer pending on the endpoint with USBD_STATUS_CANCELED.
    virtual void AbortTransfers(UCHAR endpointAddress) = 0;
    // The device leaves the bus: pending transfers end with USBD_STATUS_DEVICE_GONE.
    virtual void Disconnect() = 0;
};

} // namespace platform::usb
