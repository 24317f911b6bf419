// The capture worker: a system thread that reads raw frames from the camera into two slots, and the
// pin's process callback that converts the latest one and delivers it into the client's buffer.
#pragma once

#include "driver/camera_context.h"
#include "imaging/conversion.h"

// What a delivery writes, fixed when streaming starts from the geometry the buffers were sized for
// and the pin's format: nothing that changes either later can make a delivery overrun a buffer.
struct DeliveryGeometry {
    LONG width;         // pixels written per row (output_width)
    LONG height;        // rows written (output_height)
    ULONG row_spacing;  // bytes from one destination row to the next
    ULONG sample_size;  // DataUsed of each frame (biSizeImage)
    LONGLONG duration;  // AvgTimePerFrame
    bool top_down;      // the format's biHeight is negative: its first row in memory is the top
};

// One per device, owned by the device's object bag; camera->worker.
struct CaptureWorker {
    FrameProcessor* processor;
    ULONG* rgb_image;  // image_width x image_height pixels, rows as the raw frame's
    LONG run_state;    // 0 stopped (no buffers), 1 paused (buffers kept, no thread), 2 running
    KEVENT process_done_event;
    PVOID thread;              // referenced thread object, or null
    volatile LONG converting;  // 1 from the start of a process pass that may convert to its end
    LONG slot_state[2];        // 0 free, 1 filling, 2 filled, 3 converting; changed in sections
    PUCHAR raw_slot[2];        // raw_frame_size bytes each
    volatile CHAR keep_running;
    volatile LONG frames_captured;
    CameraContext* camera;
    // The sections of the worker loop and of the process pass that read both slot states and
    // change one: a spin lock, so that they exclude each other with kernel APCs off.
    KSPIN_LOCK slot_lock;
    // The picture number each slot's frame was given when it was filled: every frame read gets the
    // next number, so no two deliveries share one.
    ULONG slot_picture[2];
    DeliveryGeometry delivery;
};

inline constexpr LONG kSlotFree = 0;
inline constexpr LONG kSlotFilling = 1;
inline constexpr LONG kSlotFilled = 2;
inline constexpr LONG kSlotConverting = 3;

// Zero-filled, with its event and lock initialised; null when pool is short.
CaptureWorker* CreateCaptureWorker(CameraContext* camera);
// The object-bag free routine.
VOID NTAPI FreeCaptureWorker(PVOID worker);

// RUN from a pin that is not paused: the capture set-up, the buffers and the thread. Fails with
// STATUS_INSUFFICIENT_RESOURCES when the device has no worker or a buffer cannot be allocated, and
// with the thread's status when it cannot be started; nothing is left allocated then.
NTSTATUS StartStreaming(CameraContext* camera);
// pause true: RUN to PAUSE (the thread stops, the buffers stay). pause false: PAUSE to RUN (the
// thread starts again; its failure is reported and the pin stays paused).
NTSTATUS PauseStreaming(CameraContext* camera, bool pause);
// Back to STOP or ACQUIRE: the thread stops and the buffers are freed.
VOID StopStreaming(CameraContext* camera);

// Converts the filled slot, the older one when both are (A when they are alike), into
// `destination`, or into rgb_image when there is none, and gives its picture number; false when
// none is filled or the worker is stopping. Leaves `converting` set for the rest of the process
// pass.
bool ConvertLatestFrame(CaptureWorker* worker, ULONG* picture_number,
                        const ImageDestination* destination = nullptr);

// The capture pin's process callback.
NTSTATUS NTAPI CapturePinProcess(PKSPIN pin);
