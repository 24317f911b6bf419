// The USB transport of the camera: configuration of the device, synchronous bulk transfers of
// command and reply packets, and the multi-transfer read of one raw frame.
#pragma once

#include "driver/camera_context.h"
#include "platform/ddk.h"

// Pipes of the first interface, by index.
inline constexpr ULONG kCommandPipe = 0;
inline constexpr ULONG kReplyPipe = 1;
inline constexpr ULONG kFramePipe = 2;

// Frame read time-out in milliseconds, shared by every camera; read and replaced atomically. It
// bounds every wait on the camera, not only the frame read's.
extern volatile LONG frame_timeout_ms;

// frame_timeout_ms as it stands now, as a relative wait for KeWaitForSingleObject.
inline LARGE_INTEGER FrameTimeoutWait() {
    constexpr LONGLONG kUnitsPerMillisecond = 10000;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)AtomicRead(&frame_timeout_ms) * kUnitsPerMillisecond;
    return timeout;
}

// ---- Configuration ------------------------------------------------------------------------------

// Reads the descriptors and selects the configuration with every interface at alternate setting 0.
// A malformed configuration descriptor, or one whose first interface lacks the camera's pipes (0
// bulk OUT, 1 and 2 bulk IN), is refused with STATUS_DEVICE_DATA_ERROR.
NTSTATUS StartUsbDevice(UsbDevice* usb);
// Frees the configuration state and returns the device to the unconfigured state.
NTSTATUS StopUsbDevice(UsbDevice* usb);
NTSTATUS ReadConfiguration(UsbDevice* usb);
NTSTATUS SelectConfiguration(UsbDevice* usb, PUSB_CONFIGURATION_DESCRIPTOR descriptor);
VOID FreeUsbState(UsbDevice* usb);
NTSTATUS DeconfigureDevice(UsbDevice* usb);

// Recovery after a failed transfer submission.
NTSTATUS ResetPipe(UsbDevice* usb, PUSBD_PIPE_INFORMATION pipe);
VOID RecoverPort(UsbDevice* usb);
NTSTATUS GetPortStatus(UsbDevice* usb, PULONG port_status);
NTSTATUS ResetPort(UsbDevice* usb);

// Aborts the pipes marked in pipe_active; a marked pipe is cleared when its abort succeeds.
NTSTATUS AbortActivePipes(UsbDevice* usb);
// FrameSource slot 6: aborts the pipes a frame read marked, and ends the wait of a read that is
// waiting out its time-out after a failure. Returns the status of the aborts.
NTSTATUS StopCapture(CameraContext* camera);

// pipe_active bytes are written by the frame read and by the thread that stops streaming.
inline VOID SetPipeActive(UsbDevice* usb, ULONG pipe, UCHAR value) {
    InterlockedExchange8((CHAR volatile*)&usb->pipe_active[pipe], (CHAR)value);
}
inline UCHAR IsPipeActive(UsbDevice* usb, ULONG pipe) {
    return ReadUCharAcquire(&usb->pipe_active[pipe]);
}

// ---- Synchronous bulk transfers -----------------------------------------------------------------

// Sends one URB to the lower device and waits for it at most frame_timeout_ms; a request still
// pending then is cancelled and STATUS_IO_TIMEOUT returned.
NTSTATUS SubmitUrb(UsbDevice* usb, PURB urb);
// Moves up to length bytes on a pipe of the first interface; *transferred gets the bytes moved.
NTSTATUS BulkTransfer(CameraContext* camera, ULONG pipe, ULONG length, PVOID buffer,
                      PULONG transferred);
// A bulk transfer that succeeds only when exactly length bytes moved.
bool TransferPacket(CameraContext* camera, ULONG pipe, ULONG length, PVOID buffer);

// The command packets that frame a frame read. The camera's protocol builds them; this layer only
// moves them, each in its own buffer of the camera context.
struct FramePackets {
    // Into frame_request_buffer: asks for the frame, before anything else of the read.
    VOID (*BuildFrameRequest)(PUCHAR packet);
    // Into request_buffer: the arm (go false) before the frame's transfers are queued, the go
    // after.
    VOID (*BuildStreamControl)(PUCHAR packet, bool go);
};

// Sends a stream-control packet on the command pipe; reports nothing.
VOID SendStreamControl(CameraContext* camera, const FramePackets* packets, bool go);
// The same, with the status: STATUS_SUCCESS when the packet went out whole,
// STATUS_INSUFFICIENT_RESOURCES when it never left (no URB for it).
NTSTATUS SendStreamPacket(CameraContext* camera, const FramePackets* packets, bool go);

// Validates a pipe of the first interface for a bulk transfer; null with *status on refusal.
PUSBD_PIPE_INFORMATION FindBulkPipe(UsbDevice* usb, ULONG pipe, NTSTATUS* status);

// ---- Frame read ---------------------------------------------------------------------------------

// The usb record always lives inside a camera context.
inline CameraContext* CameraFromUsb(UsbDevice* usb) {
    return (CameraContext*)((PUCHAR)usb - offsetof(CameraContext, usb));
}

inline constexpr ULONG kFramePieceSize = 0x10000;

// One bulk-in transfer of a frame read.
struct TransferSlot {
    UsbDevice* usb;
    PURB urb;
    PIRP irp;
    PMDL mdl;
    volatile LONG completed;
    NTSTATUS status;  // the transfer's final status, valid once completed
};

// Requests one frame and reads raw_frame_size bytes into buffer; STATUS_SUCCESS when it arrived.
// The frame pipe is marked for the whole read, so that a stop aborts its pending transfers; the
// command pipe is not, as other threads' commands share it. A read that fails before its time-out
// (the request lost, nothing allocated, no transfer moving any data) waits the time-out out before
// it reports, unless a stop ends it: a camera that fails every read costs one read per time-out.
// *out_of_step is true when the read failed and its request or arm did not go out, so that the
// camera may take the next request for an arm, while the device is configured.
NTSTATUS ReadRequestedFrame(CameraContext* camera, const FramePackets* packets, PUCHAR buffer,
                            bool* out_of_step);
// Reads length bytes from a pipe in 64 KiB transfers queued at once, between the arm and the go
// packet; STATUS_SUCCESS when every transfer completed within frame_timeout_ms and at least one of
// them moved data. The caller has marked the pipe active (ReadRequestedFrame does): a mark cleared
// by a stop ends the read with STATUS_CANCELLED. *armed tells whether the arm packet went out.
NTSTATUS ReadFrame(CameraContext* camera, const FramePackets* packets, ULONG pipe, ULONG length,
                   PUCHAR buffer, bool* armed);
NTSTATUS NTAPI TransferCompleted(PDEVICE_OBJECT device, PIRP irp, PVOID context);
VOID CancelFrameTransfers(CameraContext* camera);
VOID ReleaseFrameTransfers(CameraContext* camera);
PURB BuildBulkUrb(PIRP irp, PUSBD_PIPE_INFORMATION pipe, bool device_to_host);
