// Host side of the USB bus stand-in: plugging a device model in, and the interface between the
// bus and the device behind a port. Not for the driver, which sees only the lower device object.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/usb.h"

namespace platform {

class UsbDeviceLink;

// How an OUT transfer ends, as the device decides.
struct UsbOutResult {
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    uint32_t accepted = 0;         // bytes the device took
    bool never_completes = false;  // the device NAKs for ever: the transfer pends until aborted
};

// A device behind a bus port. Every call comes from the bus's own thread, one at a time.
class UsbDeviceModel {
  public:
    virtual ~UsbDeviceModel() = default;
    // Called once when plugged in (link valid until Detach), and with null when unplugged.
    virtual void Attach(UsbDeviceLink* link) = 0;
    // GET_DESCRIPTOR from the device. Fills *out with what the device returns (the bus truncates
    // it to the request's length). false stalls the request.
    virtual bool GetDescriptor(uint8_t type, uint8_t index, uint16_t language,
                               std::vector<uint8_t>* out) = 0;
    // SET_CONFIGURATION; 0 deconfigures. false stalls the request.
    virtual bool SetConfiguration(uint8_t value) = 0;
    // Data the host sent on a bulk or interrupt OUT endpoint.
    virtual UsbOutResult Out(uint8_t endpoint_address, const uint8_t* data, uint32_t length) = 0;
    // The host queued an IN transfer of `length` bytes on an endpoint (a hint for devices that
    // answer on demand; data may also be sent ahead through the link).
    virtual void InTransferQueued(uint8_t endpoint_address, uint32_t length) = 0;
    // SYNC_RESET_PIPE_AND_CLEAR_STALL on an endpoint.
    virtual USBD_STATUS ResetPipe(uint8_t endpoint_address) = 0;
    // Port state: USBD_PORT_CONNECTED and USBD_PORT_ENABLED bits.
    virtual uint32_t PortStatus() = 0;
    virtual void ResetPort() = 0;
};

// The bus's side of a plugged-in device: how the device moves IN data to the host. Thread-safe;
// the device may call it from any thread of its own.
class UsbDeviceLink {
  public:
    virtual ~UsbDeviceLink() = default;
    // Queue data on an IN endpoint. The bus fills pending IN transfers in submission order; a
    // transfer completes when it is full, or at the end of a chunk whose length is not a multiple
    // of the endpoint's maximum packet size (a short packet), or at a zero-length chunk.
    virtual void SendIn(uint8_t endpoint_address, const uint8_t* data, uint32_t length) = 0;
    // The next IN transfer on the endpoint (pending now or submitted later) completes with this
    // error status and the bytes it has received so far.
    virtual void FailIn(uint8_t endpoint_address, USBD_STATUS status) = 0;
    // Discards IN data queued by SendIn that no transfer has taken yet.
    virtual void FlushIn(uint8_t endpoint_address) = 0;
    // Number of IN transfers pending on an endpoint: those the bus thread has taken up and not
    // completed (a request still on its way to the bus thread does not count yet).
    virtual size_t PendingInTransfers(uint8_t endpoint_address) = 0;
};

// Plugs a device into a new bus port and returns the port's device object: the lower device of the
// driver's device stack. The model must outlive the port.
PDEVICE_OBJECT UsbBusPlugIn(UsbDeviceModel* device);
// Unplugs: every pending request completes with STATUS_DEVICE_NOT_CONNECTED (URB status
// USBD_STATUS_DEVICE_GONE), and so do requests that arrive while it runs (from completion
// routines, say). The model is detached, then the device object is freed: nothing may be sent to
// it once this returns. Not to be called from a model call (the bus thread).
void UsbBusUnplug(PDEVICE_OBJECT port);
// Writes every URB submission and completion on the port to a pcap file (link type 220, usbmon
// with 64-byte headers). Returns false when the file cannot be opened. An empty path ends the
// trace, and returns false when any write to the file failed (the trace then lacks transfers); a
// trace still open at unplugging is ended without that check.
bool UsbBusSetTrace(PDEVICE_OBJECT port, const std::string& pcap_path);

}  // namespace platform
