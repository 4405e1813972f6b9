// The simulated handset: the device end of the cable. It serves its
// profile's descriptors and the USB 2.0 chapter 9 requests on the default
// pipe, keeps the state those requests change (configuration, alternate
// settings, halts), logs class and vendor requests for tests and hooks, and
// runs bulk and interrupt transfers through per-endpoint queues, with the
// greetings its profile gives queued on the first read after configuration.
// Every transfer ends from the dispatcher, never inside the call that started it.
#pragma once

#include "handset/configuration_layout.h"
#include "handset/endpoint.h"
#include "handset/profile.h"
#include "platform/usb/peripheral.h"

#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <tuple>
#include <vector>

namespace handset {

enum class RequestType { Class, Vendor };
// The recipient codes of bmRequestType bits 0-4.
enum class Recipient { Device = 0, Interface = 1, Endpoint = 2, Other = 3 };

// A class or vendor request as the handset received it.
struct ControlRequest {
    USB_DEFAULT_PIPE_SETUP_PACKET Setup{};
    std::vector<std::byte> Data; // the data stage of a host-to-device request
};

class Handset final : public platform::usb::Peripheral {
public:
    // Answers a class or vendor request; IN data past wLength is cut off.
    using RequestHandler = std::function<platform::usb::ControlAnswer(const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                                                      std::span<const std::byte> data)>;
    // Sees each OUT transfer's bytes as the handset takes them.
    using OutHandler = std::function<void(std::span<const std::byte> data)>;

    explicit Handset(Profile profile);
    // Transfers still pending end with USBD_STATUS_DEVICE_GONE, as when unplugged.
    ~Handset() override;
    Handset(const Handset&) = delete;
    Handset& operator=(const Handset&) = delete;

    // platform::usb::Peripheral
    platform::usb::Speed DeviceSpeed() const override { return profile_.Speed; }
    bool ReportsUniqueId() const override { return profile_.UniqueId; }
    platform::usb::ControlAnswer Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                         std::span<const std::byte> outData) override;
    void SubmitTransfer(UCHAR endpointAddress, std::vector<std::byte> outData, std::size_t inLength,
                        Done done) override;
    void AbortTransfers(UCHAR endpointAddress) override;
    void Disconnect() override;

    const Profile& GetProfile() const { return profile_; }

    // The state the host's requests set.
    UCHAR Configuration() const; // 0 when unconfigured
    // None when unconfigured or the configuration has no such interface.
    std::optional<UCHAR> AlternateSetting(UCHAR interface) const;
    UCHAR Address() const;
    bool IsHalted(UCHAR endpointAddress) const;
    bool IsConnected() const;

    // Class and vendor requests received, oldest first (those failed on
    // demand never reached the device and are not in it).
    std::vector<ControlRequest> ClassAndVendorRequests() const;
    void ClearRequestLog();
    // Hooks for the functions' requests. For an interface or an endpoint the
    // hook answers the requests whose wIndex low byte is Index; for the
    // device or other, Index is 0. An empty handler removes the hook; without
    // one the request succeeds with no data.
    void SetRequestHandler(RequestType type, Recipient recipient, UCHAR index, RequestHandler handler);
    void SetClassRequestHandler(UCHAR interfaceNumber, RequestHandler handler);
    void SetVendorRequestHandler(RequestHandler handler); // vendor requests to the device

    // The device has data for the host on an IN endpoint, sent as device
    // transfers of TransferSize bytes each (0: all at once); a transfer that
    // is not a whole number of packets ends in a short packet. No bytes is a
    // zero-length packet.
    void Feed(UCHAR endpointAddress, std::span<const std::byte> bytes, std::size_t transferSize = 0);
    // OUT transfers taken on the endpoint, each as its bytes; and all of them run together.
    std::vector<std::vector<std::byte>> OutTransfers(UCHAR endpointAddress) const;
    std::vector<std::byte> OutBytes(UCHAR endpointAddress) const;
    void SetOutHandler(UCHAR endpointAddress, OutHandler handler);
    std::size_t PendingTransfers(UCHAR endpointAddress) const;

    // The function halts the endpoint (until the host clears the halt); on
    // endpoint 0 the next control request stalls.
    void Stall(UCHAR endpointAddress);
    // The next Count transfers on the endpoint, pending ones first, end with
    // Status; on endpoint 0, the next Count control requests.
    void FailNext(UCHAR endpointAddress, USBD_STATUS status, std::size_t count = 1);
    // The function stops answering the endpoint (transfers wait, neither
    // failing nor moving data) until Release.
    void Hold(UCHAR endpointAddress);
    void Release(UCHAR endpointAddress);

    // What went over the wire, for transcripts: each control request with its
    // answer, and each bulk or interrupt transfer when it ends.
    struct WireEvent {
        bool Control = false;
        USB_DEFAULT_PIPE_SETUP_PACKET Setup{}; // a control request's
        UCHAR Endpoint = 0;                    // a transfer's
        std::size_t Requested = 0;             // IN: the host's buffer; OUT: the bytes sent
        std::size_t Transferred = 0;
        USBD_STATUS Status = USBD_STATUS_SUCCESS;
    };
    using WireObserver = std::function<void(const WireEvent&)>;
    void SetWireObserver(WireObserver observer);

private:
    using Answer = platform::usb::ControlAnswer;

    Answer AnswerControl(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<const std::byte> outData);
    void Submit(UCHAR endpointAddress, std::vector<std::byte> outData, std::size_t inLength, Done done);
    Answer Standard(const USB_DEFAULT_PIPE_SETUP_PACKET& setup);
    Answer GetDescriptor(const USB_DEFAULT_PIPE_SETUP_PACKET& setup) const;
    Answer GetStatus(const USB_DEFAULT_PIPE_SETUP_PACKET& setup) const;
    Answer Feature(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, bool set);
    Answer SetConfiguration(USHORT value);
    Answer SetInterface(USHORT interface, USHORT alternate);
    std::vector<std::byte> StringDescriptor(UCHAR index) const;

    // The max packet size of the endpoint in the current configuration and
    // alternate settings; none when the device has no such endpoint enabled.
    std::optional<USHORT> Enabled(UCHAR endpointAddress) const;
    Endpoint& EndpointAt(UCHAR endpointAddress);
    // After a configuration or alternate setting changes.
    void SettleEndpoints();

    Profile profile_;
    ConfigurationLayout layout_;

    mutable std::mutex mutex_;
    bool connected_ = true;
    UCHAR address_ = 0;
    UCHAR configuration_ = 0;
    std::map<UCHAR, UCHAR> alternates_; // by interface number, while configured
    bool remoteWakeup_ = false;
    USBD_STATUS controlFailure_ = USBD_STATUS_SUCCESS;
    std::size_t controlFailuresLeft_ = 0;
    std::map<UCHAR, Endpoint> endpoints_;
    // The greeting endpoints read since the last SET_CONFIGURATION.
    std::set<UCHAR> greeted_;
    std::vector<ControlRequest> requests_;
    std::map<std::tuple<RequestType, Recipient, UCHAR>, RequestHandler> handlers_;
    std::map<UCHAR, OutHandler> outHandlers_;
    WireObserver wire_;
};

} // namespace handset
