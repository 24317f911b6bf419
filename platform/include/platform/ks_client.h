// Application side of the class-driver stand-in: what a capture application does through the
// class driver. Open a filter on a started device, ask for its properties, intersect formats,
// create pins, change their state, queue stream buffers and take them back when filled.
// Not for the driver; tools and end-to-end tests include this header, not ks_host.h.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/ks.h"
#include "platform/ksmedia.h"

namespace platform::ks::client {

struct Filter;  // an open filter instance
struct Pin;     // a pin instance on an open filter

// ---- Filters ------------------------------------------------------------------------------------

// Opens an instance of the device's filter factory whose reference string is `reference` (the
// first factory when null): allocates the KSFILTER with its own object bag and calls the
// descriptor's Create. STATUS_OBJECT_NAME_NOT_FOUND when the device has no such factory (it is
// not started, say). On failure nothing remains and *filter is null.
NTSTATUS OpenFilter(PKSDEVICE device, const WCHAR* reference, Filter** filter);
// Closes every pin still open on it, calls the filter's Close, then frees the filter's bag.
// Returns the status of Close.
NTSTATUS CloseFilter(Filter* filter);
PKSFILTER FilterObject(Filter* filter);

// The pin descriptors of the filter, as the client sees them (null for an unknown pin id).
ULONG PinDescriptorCount(Filter* filter);
const KSPIN_DESCRIPTOR_EX* PinDescriptor(Filter* filter, ULONG pin_id);
// Instances of a pin type that currently exist on the filter.
ULONG PinInstanceCount(Filter* filter, ULONG pin_id);

// A property request on the filter, as the class driver routes it: `property` starts with the
// KSPROPERTY header (set, id, flags with KSPROPERTY_TYPE_GET or KSPROPERTY_TYPE_SET). The set and
// item are looked up in the filter descriptor's automation table, and the request is refused, in
// this order and before any handler runs, with the platform's statuses:
//   property buffer shorter than a KSPROPERTY          STATUS_INVALID_BUFFER_SIZE
//   set not in the table                               STATUS_PROPSET_NOT_FOUND
//   item not in the set                                STATUS_NOT_FOUND
//   neither GET nor SET asked, or both                 STATUS_NOT_SUPPORTED
//   no handler for the direction asked                 STATUS_NOT_FOUND
//   property buffer below the item's MinProperty       STATUS_INVALID_BUFFER_SIZE
//   zero-length data buffer, MinData above zero        STATUS_BUFFER_OVERFLOW, *returned MinData
//   data buffer below MinData                          STATUS_BUFFER_TOO_SMALL
// Otherwise the handler runs in the calling thread with an IRP_MJ_DEVICE_CONTROL request
// (IOCTL_KS_PROPERTY, both lengths, the property as Type3InputBuffer, the data as UserBuffer)
// for which KsGetFilterFromIrp returns this filter, and its status is returned. *returned (when
// given) gets the IRP's Information.
NTSTATUS PropertyRequest(Filter* filter, PVOID property, ULONG property_size, PVOID data,
                         ULONG data_size, ULONG* returned = nullptr);

// ---- Format intersection
// --------------------------------------------------------------------------

// The pin's intersect handler called with the caller's data range and each of the pin's data
// ranges whose major format, sub-format and specifier match it, in order, until one answers other
// than STATUS_NO_MATCH (STATUS_NO_MATCH when none does; STATUS_NOT_SUPPORTED for a pin without an
// intersect handler). buffer_size 0 asks for the size only.
NTSTATUS Intersect(Filter* filter, ULONG pin_id, const KSDATARANGE* caller_range, ULONG buffer_size,
                   PVOID buffer, ULONG* data_size);
// The class driver's two-step intersection: a size query with a zero-length buffer, which must
// answer STATUS_BUFFER_OVERFLOW (a failure is returned as it is, a success as STATUS_UNSUCCESSFUL),
// then the real call into a buffer of that size. *format gets the resulting data format on success.
NTSTATUS IntersectFormat(Filter* filter, ULONG pin_id, const KSDATARANGE* caller_range,
                         std::vector<uint8_t>* format);

// ---- Pins
// -----------------------------------------------------------------------------------------

struct PinOptions {
    // Whether the client gives the pin a master clock. Without one the pin has no reference
    // clock and KsPinGetReferenceClockInterface fails.
    bool master_clock = true;
};

// Creates a pin instance with a connection format (`format` is format->FormatSize bytes, copied;
// at least a KSDATAFORMAT, else STATUS_INVALID_BUFFER_SIZE). The format must match one of the
// pin's data ranges (major format, sub-format, specifier; STATUS_NO_MATCH otherwise); beyond the
// descriptor's InstancesPossible the request is refused with STATUS_UNSUCCESSFUL without calling
// the driver. The pin's SetDataFormat is called with no old format and the matched range; on
// success the pin's Create. The pin starts in KSSTATE_STOP. On failure *pin is null.
NTSTATUS CreatePin(Filter* filter, ULONG pin_id, const KSDATAFORMAT* format,
                   const PinOptions& options, Pin** pin);
// A format change: the new format becomes the connection format and SetDataFormat is called with
// the old one; when it refuses, the old format is the connection format again.
NTSTATUS SetPinFormat(Pin* pin, const KSDATAFORMAT* format);
// Takes the pin to STOP (one step at a time), calls Close, then frees the pin's bag. Returns the
// status of Close. Buffers it completed and the client did not take are forgotten.
NTSTATUS ClosePin(Pin* pin);
PKSPIN PinObject(Pin* pin);
// The pin's allocator framing as the client sees it: the pin's private copy once it edited it.
const KSALLOCATOR_FRAMING_EX* PinAllocatorFraming(Pin* pin);

// Moves the pin to `state` one step at a time (STOP, ACQUIRE, PAUSE, RUN), calling SetDeviceState
// (to, from) for each step. A failing step ends the request with its status; the pin stays in the
// last state reached. Entering STOP completes every buffer still queued with DataUsed 0.
// Processing requests are taken from the moment the pin is asked to go from PAUSE to RUN until it
// is asked to leave RUN; the master clock runs over the same span.
NTSTATUS SetPinState(Pin* pin, KSSTATE state);
KSSTATE PinState(Pin* pin);

// ---- Stream buffers
// -------------------------------------------------------------------------------

// A client buffer: a stream header of header_size bytes (56, or 128 with a KS_FRAME_INFO after the
// KSSTREAM_HEADER) and frame_extent data bytes, both from guarded pool so that a write past either
// is reported by the verifier.
struct StreamBuffer {
    PKSSTREAM_HEADER header;
    PKS_FRAME_INFO frame_info;  // null when the header is 56 bytes
    uint8_t* data;
    ULONG frame_extent;
};
// Null for a header size other than 56 or 128, or when pool is short. The header and frame info
// come zeroed, the data bytes as pool leaves them.
StreamBuffer* CreateStreamBuffer(ULONG header_size, ULONG frame_extent);
// The buffer must not be queued.
void FreeStreamBuffer(StreamBuffer* buffer);

// Queues a buffer on the pin: sets the header's Size, FrameExtent and Data and clears DataUsed;
// the other header fields and the frame info are left as the client set them. Buffer arrival
// does not start processing (the pin's flags say so). A pin in STOP takes no buffers
// (STATUS_INVALID_DEVICE_STATE); a buffer already queued is refused (STATUS_INVALID_PARAMETER).
NTSTATUS SubmitBuffer(Pin* pin, StreamBuffer* buffer);
// The oldest completed buffer, in submission order, waiting up to timeout_ms for it; null on
// time-out.
StreamBuffer* WaitForBuffer(Pin* pin, uint32_t timeout_ms);
// Buffers queued and not yet completed.
size_t QueuedBufferCount(Pin* pin);

// ---- Clock
// ----------------------------------------------------------------------------------------

// The stream time of the pin's master clock in 100 ns units: it advances only while the pin runs.
// 0 for a pin without a clock.
LONGLONG PinClockTime(Pin* pin);

}  // namespace platform::ks::client
