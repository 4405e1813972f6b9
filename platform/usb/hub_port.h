// A USB hub port with a device plugged into it: the device's physical
// device object, at the bottom of its stack. It answers the Plug and Play
// queries a hub answers for its devices (capabilities, the USB bus
// interface) and carries every URB sent down the stack to the device on the
// cable, handing out configuration, interface and pipe handles. URBs
// complete from the dispatcher, never inside the call that sent them.
#pragma once

#include "platform/kernel/irp.h"
#include "platform/usb/peripheral.h"
#include "platform/usb/usbdi.h"

#include <list>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace platform::usb {

// NTSTATUS of an IRP whose URB ended with Status.
NTSTATUS UsbdStatusToNtStatus(USBD_STATUS status);

class HubPort final : public IrpHandler {
public:
    HubPort(Peripheral& device, ULONG portNumber);
    ~HubPort() override;
    HubPort(const HubPort&) = delete;
    HubPort& operator=(const HubPort&) = delete;

    PDEVICE_OBJECT Pdo() { return &pdo_; }
    bool ReportsUniqueId() const { return uniqueId_; }
    Peripheral& Device() { return device_; }
    ULONG PortNumber() const { return portNumber_; }
    bool Connected() const { return connected_; }

    // What the hub reads of a device when it arrives, to name it.
    struct Identity {
        USB_DEVICE_DESCRIPTOR Descriptor{};
        std::u16string SerialNumber; // empty when the device has none
    };
    std::optional<Identity> ReadIdentity();

    // The device left the bus: it is told, and every later URB fails.
    void Disconnect();

    NTSTATUS DispatchIrp(PDEVICE_OBJECT device, PIRP irp) override;

    // The bus interface's functions reach the port through its context.
    BOOLEAN IsHighSpeed() const;
    ULONG CurrentFrame() const;

private:
    struct Pipe {
        UCHAR EndpointAddress;
        USBD_PIPE_TYPE Type;
        USHORT MaximumPacketSize;
        UCHAR InterfaceNumber;
    };
    struct InterfaceHandle {
        UCHAR InterfaceNumber;
        UCHAR AlternateSetting;
    };

    NTSTATUS HandlePnp(PIRP irp, PIO_STACK_LOCATION stack);
    NTSTATUS HandleInternalControl(PIRP irp, PIO_STACK_LOCATION stack);
    NTSTATUS HandleUrb(PIRP irp, PURB urb);
    // Completes the IRP from the dispatcher with the URB's status.
    NTSTATUS CompleteLater(PIRP irp, PURB urb, USBD_STATUS status);

    USBD_STATUS Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, void* buffer, ULONG* length);
    USBD_STATUS SelectConfiguration(_URB_SELECT_CONFIGURATION& urb);
    USBD_STATUS SelectInterface(_URB_SELECT_INTERFACE& urb);
    // Fills an interface entry from the device's configuration; false when
    // the interface or setting does not exist or the entry is too short.
    USBD_STATUS FillInterface(USBD_INTERFACE_INFORMATION& entry, std::size_t room);
    bool LoadConfiguration();
    const Pipe* FindPipe(USBD_PIPE_HANDLE handle) const;
    NTSTATUS SubmitTransfer(PIRP irp, PURB urb);

    Peripheral& device_;
    ULONG portNumber_;
    DEVICE_OBJECT pdo_{};
    bool connected_ = true;
    std::vector<UCHAR> configuration_;
    std::list<std::unique_ptr<Pipe>> pipes_;
    std::list<std::unique_ptr<InterfaceHandle>> interfaces_;
    std::unique_ptr<int> configurationHandle_;
    std::set<const void*> liveHandles_;
    int busInterfaceReferences_ = 0;
    // The device is told apart by its serial number only when it has one an
    // instance ID can hold.
    bool uniqueId_ = false;
};

} // namespace platform::usb
