// The handset's default pipe (USB 2.0 chapter 9 requests and the class and
// vendor requests of its functions) and the routing of its transfers to
// endpoints. One lock guards the device's state; hooks run outside it, so a
// hook may feed data or read the handset's state.
#include "handset/handset.h"

#include "platform/platform.h"
#include "platform/usb/usb100.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace handset {
namespace {

using platform::usb::ControlAnswer;

constexpr UCHAR kTypeMask = 0x60;
constexpr UCHAR kRecipientMask = 0x1F;
constexpr USHORT kFeatureRemoteWakeup = 1;
constexpr UCHAR kSelfPowered = 0x40;
constexpr USHORT kEnglishUnitedStates = 0x0409;
// bLength is one byte: 2 header bytes and at most 126 UTF-16 code units.
constexpr std::size_t kLongestStringUnits = 126;

ControlAnswer Stalled() { return ControlAnswer{USBD_STATUS_STALL_PID, {}}; }

ControlAnswer Success(std::vector<std::byte> data = {}) { return ControlAnswer{USBD_STATUS_SUCCESS, std::move(data)}; }

ControlAnswer Bytes(std::initializer_list<UCHAR> bytes)
{
    std::vector<std::byte> data;
    for (UCHAR b : bytes) {
        data.push_back(std::byte{b});
    }
    return Success(std::move(data));
}

bool IsIn(const USB_DEFAULT_PIPE_SETUP_PACKET& setup) { return (setup.bmRequestType & BMREQUEST_DEVICE_TO_HOST) != 0; }

UCHAR RecipientOf(const USB_DEFAULT_PIPE_SETUP_PACKET& setup) { return setup.bmRequestType & kRecipientMask; }

bool IsControlEndpoint(UCHAR address) { return (address & 0x7F) == 0; }

} // namespace

Handset::Handset(Profile profile) : profile_(std::move(profile)), layout_(profile_.Configuration) {}

Handset::~Handset()
{
    // Completions need a dispatcher; with no platform left nobody waits for them.
    if (platform::Platform::TryCurrent() != nullptr) {
        Disconnect();
    }
}

ControlAnswer Handset::Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<const std::byte> outData)
{
    ControlAnswer answer = AnswerControl(setup, outData);
    WireObserver wire;
    {
        std::lock_guard lock(mutex_);
        wire = wire_;
    }
    if (wire) {
        WireEvent event;
        event.Control = true;
        event.Setup = setup;
        event.Requested = IsIn(setup) ? setup.wLength : outData.size();
        event.Transferred = IsIn(setup) ? answer.Data.size() : outData.size();
        event.Status = answer.Status;
        wire(event);
    }
    return answer;
}

ControlAnswer Handset::AnswerControl(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<const std::byte> outData)
{
    ControlAnswer answer;
    {
        std::unique_lock lock(mutex_);
        if (!connected_) {
            return ControlAnswer{USBD_STATUS_DEVICE_GONE, {}};
        }
        if (controlFailuresLeft_ > 0) {
            --controlFailuresLeft_;
            return ControlAnswer{controlFailure_, {}};
        }
        const UCHAR type = setup.bmRequestType & kTypeMask;
        if (type == BMREQUEST_STANDARD) {
            answer = Standard(setup);
        } else if (type == BMREQUEST_CLASS || type == BMREQUEST_VENDOR) {
            ControlRequest request{setup, {}};
            if (!IsIn(setup)) {
                request.Data.assign(outData.begin(), outData.end());
            }
            requests_.push_back(std::move(request));

            const UCHAR recipient = RecipientOf(setup);
            RequestHandler handler;
            if (recipient <= BMREQUEST_TO_OTHER) {
                const bool indexed = recipient == BMREQUEST_TO_INTERFACE || recipient == BMREQUEST_TO_ENDPOINT;
                const auto key = std::make_tuple(type == BMREQUEST_CLASS ? RequestType::Class : RequestType::Vendor,
                                                 static_cast<Recipient>(recipient),
                                                 indexed ? static_cast<UCHAR>(setup.wIndex & 0xFF) : UCHAR{0});
                if (auto found = handlers_.find(key); found != handlers_.end()) {
                    handler = found->second;
                }
            }
            lock.unlock();
            if (handler) {
                answer = handler(setup, outData);
            }
        } else {
            answer = Stalled();
        }
    }
    // What the cable carries back: no data on a stall or an OUT request, at most wLength otherwise.
    if (!USBD_SUCCESS(answer.Status) || !IsIn(setup)) {
        answer.Data.clear();
    } else if (answer.Data.size() > setup.wLength) {
        answer.Data.resize(setup.wLength);
    }
    return answer;
}

ControlAnswer Handset::Standard(const USB_DEFAULT_PIPE_SETUP_PACKET& setup)
{
    const bool in = IsIn(setup);
    const UCHAR recipient = RecipientOf(setup);
    switch (setup.bRequest) {
    case USB_REQUEST_GET_STATUS:
        return in ? GetStatus(setup) : Stalled();
    case USB_REQUEST_CLEAR_FEATURE:
        return in ? Stalled() : Feature(setup, false);
    case USB_REQUEST_SET_FEATURE:
        return in ? Stalled() : Feature(setup, true);
    case USB_REQUEST_SET_ADDRESS:
        if (in || recipient != BMREQUEST_TO_DEVICE || setup.wValue > 127) {
            return Stalled();
        }
        address_ = static_cast<UCHAR>(setup.wValue);
        return Success();
    case USB_REQUEST_GET_DESCRIPTOR:
        return in && recipient == BMREQUEST_TO_DEVICE ? GetDescriptor(setup) : Stalled();
    case USB_REQUEST_GET_CONFIGURATION:
        return in && recipient == BMREQUEST_TO_DEVICE ? Bytes({configuration_}) : Stalled();
    case USB_REQUEST_SET_CONFIGURATION:
        return !in && recipient == BMREQUEST_TO_DEVICE ? SetConfiguration(setup.wValue) : Stalled();
    case USB_REQUEST_GET_INTERFACE:
        if (!in || recipient != BMREQUEST_TO_INTERFACE || setup.wIndex > 0xFF) {
            return Stalled();
        }
        if (auto found = alternates_.find(static_cast<UCHAR>(setup.wIndex)); found != alternates_.end()) {
            return Bytes({found->second});
        }
        return Stalled();
    case USB_REQUEST_SET_INTERFACE:
        return !in && recipient == BMREQUEST_TO_INTERFACE ? SetInterface(setup.wIndex, setup.wValue) : Stalled();
    default:
        // SET_DESCRIPTOR, SYNCH_FRAME and anything unknown: the handset supports none of them.
        return Stalled();
    }
}

ControlAnswer Handset::GetDescriptor(const USB_DEFAULT_PIPE_SETUP_PACKET& setup) const
{
    const auto type = static_cast<UCHAR>(setup.wValue >> 8);
    const auto index = static_cast<UCHAR>(setup.wValue & 0xFF);
    switch (type) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
        return Success(profile_.Device);
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        return index == 0 ? Success(profile_.Configuration) : Stalled();
    case USB_STRING_DESCRIPTOR_TYPE:
        return Success(StringDescriptor(index));
    default:
        // Device qualifier and other-speed configuration included: the
        // handset does not describe itself at another speed.
        return Stalled();
    }
}

std::vector<std::byte> Handset::StringDescriptor(UCHAR index) const
{
    std::u16string text;
    if (index == 0) {
        text.push_back(static_cast<char16_t>(kEnglishUnitedStates));
    } else if (auto found = profile_.Strings.find(index); found != profile_.Strings.end()) {
        text = found->second;
    } else {
        const std::string name = "String " + std::to_string(index);
        text.assign(name.begin(), name.end());
    }
    std::size_t units = std::min(text.size(), kLongestStringUnits);
    // Never leave half a surrogate pair at the cut.
    if (units < text.size() && units > 0 && text[units - 1] >= 0xD800 && text[units - 1] <= 0xDBFF) {
        --units;
    }
    std::vector<std::byte> bytes;
    bytes.push_back(static_cast<std::byte>(2 + 2 * units));
    bytes.push_back(std::byte{USB_STRING_DESCRIPTOR_TYPE});
    for (std::size_t i = 0; i < units; ++i) {
        bytes.push_back(static_cast<std::byte>(text[i] & 0xFF));
        bytes.push_back(static_cast<std::byte>(text[i] >> 8));
    }
    return bytes;
}

ControlAnswer Handset::GetStatus(const USB_DEFAULT_PIPE_SETUP_PACKET& setup) const
{
    if (setup.wIndex > 0xFF) {
        return Stalled();
    }
    const auto index = static_cast<UCHAR>(setup.wIndex);
    switch (RecipientOf(setup)) {
    case BMREQUEST_TO_DEVICE: {
        const UCHAR selfPowered = (layout_.Attributes() & kSelfPowered) != 0 ? 0x01 : 0x00;
        return Bytes({static_cast<UCHAR>(selfPowered | (remoteWakeup_ ? 0x02 : 0x00)), 0x00});
    }
    case BMREQUEST_TO_INTERFACE:
        return alternates_.contains(index) ? Bytes({0x00, 0x00}) : Stalled();
    case BMREQUEST_TO_ENDPOINT:
        if (IsControlEndpoint(index)) {
            return Bytes({0x00, 0x00});
        }
        if (!Enabled(index)) {
            return Stalled();
        }
        if (auto found = endpoints_.find(index); found != endpoints_.end() && found->second.Halted()) {
            return Bytes({0x01, 0x00});
        }
        return Bytes({0x00, 0x00});
    default:
        return Stalled();
    }
}

ControlAnswer Handset::Feature(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, bool set)
{
    switch (RecipientOf(setup)) {
    case BMREQUEST_TO_DEVICE:
        // TEST_MODE is not for a handset on a simulated bus.
        if (setup.wValue != kFeatureRemoteWakeup) {
            return Stalled();
        }
        remoteWakeup_ = set;
        return Success();
    case BMREQUEST_TO_ENDPOINT: {
        if (setup.wValue != USB_FEATURE_ENDPOINT_STALL || setup.wIndex > 0xFF) {
            return Stalled();
        }
        const auto address = static_cast<UCHAR>(setup.wIndex);
        if (IsControlEndpoint(address)) {
            return Success();
        }
        if (!Enabled(address)) {
            return Stalled();
        }
        Endpoint& endpoint = EndpointAt(address);
        if (set) {
            endpoint.Halt();
        } else {
            endpoint.ClearHalt();
        }
        return Success();
    }
    default:
        // USB 2.0 defines no interface features.
        return Stalled();
    }
}

ControlAnswer Handset::SetConfiguration(USHORT value)
{
    if (value == 0) {
        configuration_ = 0;
        alternates_.clear();
    } else if (value <= 0xFF && layout_.ConfigurationValue() == value) {
        configuration_ = static_cast<UCHAR>(value);
        alternates_.clear();
        for (UCHAR number : layout_.Interfaces()) {
            alternates_[number] = 0;
        }
        // Configuring resets every endpoint's state, halts included (USB 2.0 9.1.1.5).
        for (auto& [address, endpoint] : endpoints_) {
            endpoint.ClearHalt();
        }
    } else {
        return Stalled();
    }
    // Every configuration is a fresh start for the functions: they greet again.
    greeted_.clear();
    SettleEndpoints();
    return Success();
}

ControlAnswer Handset::SetInterface(USHORT interface, USHORT alternate)
{
    if (configuration_ == 0 || interface > 0xFF || alternate > 0xFF ||
        layout_.FindSetting(static_cast<UCHAR>(interface), static_cast<UCHAR>(alternate)) == nullptr) {
        return Stalled();
    }
    const auto number = static_cast<UCHAR>(interface);
    alternates_[number] = static_cast<UCHAR>(alternate);
    // Choosing a setting resets the state of the interface's endpoints.
    for (const InterfaceSetting& setting : layout_.Settings()) {
        if (setting.Number != number) {
            continue;
        }
        for (const EndpointInfo& info : setting.Endpoints) {
            if (auto found = endpoints_.find(info.Address); found != endpoints_.end()) {
                found->second.ClearHalt();
            }
        }
    }
    SettleEndpoints();
    return Success();
}

std::optional<USHORT> Handset::Enabled(UCHAR endpointAddress) const
{
    if (configuration_ == 0) {
        return std::nullopt;
    }
    for (const InterfaceSetting& setting : layout_.Settings()) {
        const auto current = alternates_.find(setting.Number);
        if (current == alternates_.end() || current->second != setting.Alternate) {
            continue;
        }
        for (const EndpointInfo& info : setting.Endpoints) {
            if (info.Address == endpointAddress) {
                return info.MaxPacketSize;
            }
        }
    }
    return std::nullopt;
}

Endpoint& Handset::EndpointAt(UCHAR endpointAddress)
{
    return endpoints_.try_emplace(endpointAddress, endpointAddress).first->second;
}

void Handset::SettleEndpoints()
{
    // A transfer left waiting on an endpoint that went away would never end.
    for (auto& [address, endpoint] : endpoints_) {
        if (const auto packet = Enabled(address)) {
            endpoint.Pump(*packet);
        } else {
            endpoint.EndPending(USBD_STATUS_CANCELED);
        }
    }
}

void Handset::SubmitTransfer(UCHAR endpointAddress, std::vector<std::byte> outData, std::size_t inLength, Done done)
{
    WireObserver wire;
    {
        std::lock_guard lock(mutex_);
        wire = wire_;
    }
    if (wire) {
        // Told when the transfer ends, from the dispatcher as the host sees it.
        const std::size_t requested = USB_ENDPOINT_DIRECTION_IN(endpointAddress) ? inLength : outData.size();
        done = [wire, endpointAddress, requested, done = std::move(done)](platform::usb::TransferAnswer answer) {
            WireEvent event;
            event.Endpoint = endpointAddress;
            event.Requested = requested;
            event.Transferred = answer.Transferred;
            event.Status = answer.Status;
            wire(event);
            done(std::move(answer));
        };
    }
    Submit(endpointAddress, std::move(outData), inLength, std::move(done));
}

void Handset::Submit(UCHAR endpointAddress, std::vector<std::byte> outData, std::size_t inLength, Done done)
{
    OutHandler handler;
    std::vector<std::byte> taken;
    {
        std::lock_guard lock(mutex_);
        Endpoint& endpoint = EndpointAt(endpointAddress);
        if (!connected_) {
            endpoint.Refuse(std::move(done), USBD_STATUS_DEVICE_GONE);
            return;
        }
        // A device answers STALL on an endpoint it has not enabled.
        const auto packet = Enabled(endpointAddress);
        if (!packet) {
            endpoint.Refuse(std::move(done), USBD_STATUS_STALL_PID);
            return;
        }
        // The first read of a greeting endpoint since configuration finds the greeting waiting.
        if (const auto greeting = profile_.Greetings.find(endpointAddress);
            greeting != profile_.Greetings.end() && greeted_.insert(endpointAddress).second) {
            endpoint.Feed(greeting->second, 0);
        }
        const std::size_t before = endpoint.OutTransfers().size();
        endpoint.Submit(std::move(outData), inLength, std::move(done), *packet);
        if (endpoint.OutTransfers().size() > before) {
            if (auto found = outHandlers_.find(endpointAddress); found != outHandlers_.end()) {
                handler = found->second;
                taken = endpoint.OutTransfers().back();
            }
        }
    }
    if (handler) {
        handler(taken);
    }
}

void Handset::AbortTransfers(UCHAR endpointAddress)
{
    std::lock_guard lock(mutex_);
    if (auto found = endpoints_.find(endpointAddress); found != endpoints_.end()) {
        found->second.EndPending(USBD_STATUS_CANCELED);
    }
}

void Handset::Disconnect()
{
    std::lock_guard lock(mutex_);
    connected_ = false;
    for (auto& [address, endpoint] : endpoints_) {
        endpoint.EndPending(USBD_STATUS_DEVICE_GONE);
    }
}

UCHAR Handset::Configuration() const
{
    std::lock_guard lock(mutex_);
    return configuration_;
}

std::optional<UCHAR> Handset::AlternateSetting(UCHAR interface) const
{
    std::lock_guard lock(mutex_);
    if (auto found = alternates_.find(interface); found != alternates_.end()) {
        return found->second;
    }
    return std::nullopt;
}

UCHAR Handset::Address() const
{
    std::lock_guard lock(mutex_);
    return address_;
}

bool Handset::IsHalted(UCHAR endpointAddress) const
{
    std::lock_guard lock(mutex_);
    const auto found = endpoints_.find(endpointAddress);
    return found != endpoints_.end() && found->second.Halted();
}

bool Handset::IsConnected() const
{
    std::lock_guard lock(mutex_);
    return connected_;
}

std::vector<ControlRequest> Handset::ClassAndVendorRequests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

void Handset::ClearRequestLog()
{
    std::lock_guard lock(mutex_);
    requests_.clear();
}

void Handset::SetRequestHandler(RequestType type, Recipient recipient, UCHAR index, RequestHandler handler)
{
    std::lock_guard lock(mutex_);
    const auto key = std::make_tuple(type, recipient, index);
    if (handler) {
        handlers_[key] = std::move(handler);
    } else {
        handlers_.erase(key);
    }
}

void Handset::SetClassRequestHandler(UCHAR interfaceNumber, RequestHandler handler)
{
    SetRequestHandler(RequestType::Class, Recipient::Interface, interfaceNumber, std::move(handler));
}

void Handset::SetVendorRequestHandler(RequestHandler handler)
{
    SetRequestHandler(RequestType::Vendor, Recipient::Device, 0, std::move(handler));
}

void Handset::Feed(UCHAR endpointAddress, std::span<const std::byte> bytes, std::size_t transferSize)
{
    if (!USB_ENDPOINT_DIRECTION_IN(endpointAddress)) {
        throw std::invalid_argument("Handset::Feed: the device feeds IN endpoints only");
    }
    std::lock_guard lock(mutex_);
    if (!connected_) {
        return;
    }
    Endpoint& endpoint = EndpointAt(endpointAddress);
    endpoint.Feed(bytes, transferSize);
    if (const auto packet = Enabled(endpointAddress)) {
        endpoint.Pump(*packet);
    }
}

std::vector<std::vector<std::byte>> Handset::OutTransfers(UCHAR endpointAddress) const
{
    std::lock_guard lock(mutex_);
    if (auto found = endpoints_.find(endpointAddress); found != endpoints_.end()) {
        return found->second.OutTransfers();
    }
    return {};
}

std::vector<std::byte> Handset::OutBytes(UCHAR endpointAddress) const
{
    std::vector<std::byte> bytes;
    for (const auto& transfer : OutTransfers(endpointAddress)) {
        bytes.insert(bytes.end(), transfer.begin(), transfer.end());
    }
    return bytes;
}

void Handset::SetOutHandler(UCHAR endpointAddress, OutHandler handler)
{
    std::lock_guard lock(mutex_);
    if (handler) {
        outHandlers_[endpointAddress] = std::move(handler);
    } else {
        outHandlers_.erase(endpointAddress);
    }
}

std::size_t Handset::PendingTransfers(UCHAR endpointAddress) const
{
    std::lock_guard lock(mutex_);
    const auto found = endpoints_.find(endpointAddress);
    return found != endpoints_.end() ? found->second.Pending() : 0;
}

void Handset::Stall(UCHAR endpointAddress)
{
    std::lock_guard lock(mutex_);
    if (IsControlEndpoint(endpointAddress)) {
        // A control pipe's stall lasts until the next setup packet.
        controlFailure_ = USBD_STATUS_STALL_PID;
        controlFailuresLeft_ = 1;
        return;
    }
    EndpointAt(endpointAddress).Halt();
}

void Handset::FailNext(UCHAR endpointAddress, USBD_STATUS status, std::size_t count)
{
    std::lock_guard lock(mutex_);
    if (IsControlEndpoint(endpointAddress)) {
        controlFailure_ = status;
        controlFailuresLeft_ = count;
        return;
    }
    EndpointAt(endpointAddress).FailNext(status, count);
}

void Handset::Hold(UCHAR endpointAddress)
{
    std::lock_guard lock(mutex_);
    if (!IsControlEndpoint(endpointAddress)) {
        EndpointAt(endpointAddress).Hold();
    }
}

void Handset::Release(UCHAR endpointAddress)
{
    std::lock_guard lock(mutex_);
    if (IsControlEndpoint(endpointAddress)) {
        return;
    }
    Endpoint& endpoint = EndpointAt(endpointAddress);
    const auto packet = Enabled(endpointAddress);
    endpoint.Release(packet.value_or(0));
}

void Handset::SetWireObserver(WireObserver observer)
{
    std::lock_guard lock(mutex_);
    wire_ = std::move(observer);
}

} // namespace handset
