// The capture pin: its descriptor with the allocator framing and the video data range it offers,
// its dispatch (creation, format checks and intersection, the device-state machine), and the claim
// of the camera by the pin that holds it. Frame delivery is the capture worker's
// (capture_worker.h).
#pragma once

#include "driver/camera_context.h"

extern const KSPIN_DESCRIPTOR_EX kCapturePinDescriptor;
extern const KSALLOCATOR_FRAMING_EX kCaptureAllocatorFraming;

// Shared by every device the driver serves; SetImageSize rewrites its geometry.
extern KS_DATARANGE_VIDEO g_video_data_range;

// Rewrites every geometry-dependent field of the data range for output width w, height h and
// frame rate f (a rate below 1 counts as 30).
VOID WriteVideoDataRange(KS_DATARANGE_VIDEO* range, LONG w, LONG h, LONG f);

// Copies a connection format's video info header: the 48 bytes up to the bitmap header, then
// biSize bytes of it, at most the 40 the record holds.
VOID CopyVideoInfo(KS_VIDEOINFOHEADER* target, const KS_VIDEOINFOHEADER* source);

// Writes the frame size into the pin's own copy of the allocator framing, which Create makes:
// each frame exactly frame_size bytes, two frames.
VOID SetFramingFrameSize(PKSPIN pin, ULONG frame_size);

NTSTATUS NTAPI CapturePinCreate(PKSPIN pin, PIRP irp);
NTSTATUS NTAPI CapturePinClose(PKSPIN pin, PIRP irp);
// Checks the pin's connection format against the matched range: the initial format (no old
// format) or a format change, which only a stopped pin takes. A refused change leaves the pin as
// it was.
NTSTATUS NTAPI CapturePinSetDataFormat(PKSPIN pin, PKSDATAFORMAT old_format,
                                       PKSMULTIPLE_ITEM old_attribute_list,
                                       const KSDATARANGE* data_range,
                                       const KSATTRIBUTE_LIST* attribute_range);
NTSTATUS NTAPI CapturePinSetDeviceState(PKSPIN pin, KSSTATE to_state, KSSTATE from_state);
NTSTATUS NTAPI CapturePinIntersect(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE data_range,
                                   PKSDATARANGE matching_data_range, ULONG data_buffer_size,
                                   PVOID data, PULONG data_size);

// Claims the camera for a pin and creates its FrameProcessor with the camera's colour settings;
// STATUS_SHARING_VIOLATION while another pin holds it, STATUS_INVALID_PARAMETER for a format that
// is not 32-bit uncompressed RGB.
NTSTATUS AcquireCamera(CameraContext* camera, CapturePinContext* pin_context,
                       KS_VIDEOINFOHEADER* video_info);
// Frees the processor (once no colour setter uses it) and gives the camera up.
VOID ReleaseCamera(CameraContext* camera);
