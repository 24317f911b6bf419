// The per-device record of the driver, shared by every subsystem, and the records that hang off it.
#pragma once

#include "platform/ddk.h"
#include "usb/usb_device.h"

struct CameraContext;
struct CaptureWorker;
struct CapturePinContext;
struct FrameProcessor;
struct TransferSlot;

// What the capture worker asks of the camera, in slot order.
struct FrameSource {
    VOID (*NotifyFrameReady)(CameraContext* camera);
    VOID (*StartCapture)(CameraContext* camera, FrameProcessor* processor, LONG width, LONG height);
    bool (*ReadRawFrame)(CameraContext* camera, PUCHAR buffer, bool* ok);
    VOID (*GetRawFrameSize)(CameraContext* camera, LONG* size);
    VOID (*GetRawDataOffset)(CameraContext* camera, LONG* offset);
    VOID (*GetRawRowPitch)(CameraContext* camera, LONG* pitch);
    NTSTATUS (*StopCapture)(CameraContext* camera);
};

inline constexpr ULONG kRegisterCount = 1024;
inline constexpr ULONG kPacketSize = 64;

struct CameraContext {
    const FrameSource* frame_source;
    PKSDEVICE ks_device;
    UsbDevice usb;
    KEVENT transfer_event;
    TransferSlot* transfer_slots;
    volatile LONG transfers_completed;
    LONG transfer_count;
    KSPIN_LOCK transfer_lock;
    PMDL frame_mdl;
    LONG external_trigger;
    LONG timeout_ms;
    LONG exposure;
    LONG global_gain;
    volatile LONG flip_h;
    volatile LONG flip_v;
    LONG color_enable;
    LONG white_balance_auto;
    LONG red_gain;
    LONG green_gain;
    LONG blue_gain;
    LONG color_correction;
    LONG brightness;
    LONG contrast;
    LONG saturation;
    LONG hue;
    LONG subsample;
    LONG roi_x;
    LONG roi_y;
    LONG roi_width;
    LONG roi_height;
    LONG bayer_phase;
    LONG clock_mode;
    LONG agc;
    LONG aec;
    // One bit per persisted setting, in the order of the settings table: its field holds neither
    // the stored value nor one a client set, so a save leaves the stored value as it is.
    volatile LONG settings_kept_stored;
    UCHAR command_buffer[kPacketSize];
    UCHAR frame_request_buffer[kPacketSize];
    UCHAR request_buffer[kPacketSize];
    volatile LONG camera_acquired;
    CaptureWorker* worker;
    FrameProcessor* processor;
    CapturePinContext* active_pin;
    KS_VIDEOINFOHEADER* active_format;
    LONG image_height;
    LONG image_width;
    LONG raw_data_offset;
    LONG raw_row_pitch;
    ULONG raw_frame_size;
    LONG output_width;
    LONG output_height;
    LONG bayer_phase_default;
    // The number of capture pins that exist: every filter instance may have one. Nonzero fixes
    // the geometry.
    volatile LONG pin_open;
    LONG register_index;
    LONG register_shadow[kRegisterCount];
    volatile ULONG frame_count;
    LONG startup_sequence_count;
    // Held by every command sequence for its whole length (camera/command_lock.h): the sequences
    // share command_buffer and the reply pipe.
    KMUTEX command_lock;
    // Reply packets the camera still owes for an exchange that ended before reading them; read
    // and dropped, under the command lock, before the next exchange.
    LONG replies_owed;
    // Colour setters reach `processor` under this reference, so that releasing the camera frees
    // the processor only once none of them uses it. Zero-filled is ready to use.
    EX_RUNDOWN_REF processor_rundown;
    // Held while the geometry changes and while a pin is counted in pin_open, so that no pin comes
    // into being during a change (driver/image_size.h).
    KMUTEX geometry_lock;
};

// The capture pin's interface table: one operation.
struct CapturePinInterface {
    VOID (*RequestProcessing)(CapturePinContext* pin_context);
};

struct CapturePinContext {
    const CapturePinInterface* interface_table;
    PKSPIN pin;
    CameraContext* camera;
    LONG stream_state;  // 0 not started, 1 paused (worker buffers kept), 2 running
    PIKSREFERENCECLOCK reference_clock;
    KS_VIDEOINFOHEADER video_info;
    UCHAR acquired;
    LONG output_stride;
};

struct FilterContext {
    PKSFILTER filter;
};

// Reads an interlocked field.
inline LONG AtomicRead(volatile LONG* field) {
    return InterlockedExchangeAdd(field, 0);
}

// The processor is published and taken with interlocked operations: colour setters read the
// pointer from other threads while a pin claims or releases the camera.
inline FrameProcessor* CurrentProcessor(CameraContext* camera) {
    return static_cast<FrameProcessor*>(
        ReadPointerAcquire((PVOID const volatile*)&camera->processor));
}
