// The capture pin: descriptor and framing, creation and close, the device-state machine, and the
// claim of the camera.
#include "driver/capture_pin.h"

#include "driver/camera_context_ops.h"
#include "driver/capture_worker.h"
#include "driver/image_size.h"
#include "driver/pool_tags.h"
#include "imaging/color_settings.h"
#include "imaging/frame_processor.h"

namespace {

VOID RequestProcessing(CapturePinContext* pin_context) {
    KsPinAttemptProcessing(pin_context->pin, TRUE);
}

const CapturePinInterface kCapturePinInterface = {RequestProcessing};

VOID NTAPI FreePinContext(PVOID context) {
    if (context != nullptr)
        ExFreePoolWithTag(context, kPinContextTag);
}

const PKSDATARANGE kCaptureDataRanges[] = {&g_video_data_range.DataRange};

const KSPIN_DISPATCH kCapturePinDispatch = {
    CapturePinCreate,
    CapturePinClose,
    CapturePinProcess,
    nullptr,  // Reset
    CapturePinSetDataFormat,
    CapturePinSetDeviceState,
    nullptr,  // Connect
    nullptr,  // Disconnect
    nullptr,  // Clock
    nullptr,  // Allocator
};

CapturePinContext* PinContextOf(PKSPIN pin) {
    return static_cast<CapturePinContext*>(pin->Context);
}

// Takes the pin's allocator framing to its image size: each frame exactly biSizeImage bytes.
NTSTATUS EditAllocatorFraming(PKSPIN pin, ULONG frame_size) {
    NTSTATUS status = _KsEdit(pin->Bag, (PVOID*)&pin->Descriptor, sizeof(KSPIN_DESCRIPTOR_EX),
                              sizeof(KSPIN_DESCRIPTOR_EX), kPinDescriptorTag);
    if (!NT_SUCCESS(status))
        return status;
    auto* descriptor = const_cast<KSPIN_DESCRIPTOR_EX*>(pin->Descriptor);
    status =
        _KsEdit(pin->Bag, (PVOID*)&descriptor->AllocatorFraming, sizeof(KSALLOCATOR_FRAMING_EX),
                sizeof(KSALLOCATOR_FRAMING_EX), kPinDescriptorTag);
    if (!NT_SUCCESS(status))
        return status;
    SetFramingFrameSize(pin, frame_size);
    return STATUS_SUCCESS;
}

// Frees the processor once no colour setter is using it: setters run at any time and reach the
// processor only under the rundown reference.
VOID FreeProcessor(CameraContext* camera) {
    auto* processor = static_cast<FrameProcessor*>(
        InterlockedExchangePointer((PVOID volatile*)&camera->processor, nullptr));
    if (processor == nullptr)
        return;
    ExWaitForRundownProtectionRelease(&camera->processor_rundown);
    FreeFrameProcessor(processor);
    ExReInitializeRundownProtection(&camera->processor_rundown);
}

VOID StopIfStreaming(CameraContext* camera, CapturePinContext* pin_context) {
    if (pin_context->stream_state != 0) {
        StopStreaming(camera);
        pin_context->stream_state = 0;
    }
}

}  // namespace

VOID SetFramingFrameSize(PKSPIN pin, ULONG frame_size) {
    auto* framing = const_cast<KSALLOCATOR_FRAMING_EX*>(pin->Descriptor->AllocatorFraming);
    KS_FRAMING_ITEM& item = framing->FramingItem[0];
    item.Frames = 2;
    item.PhysicalRange.MinFrameSize = frame_size;
    item.PhysicalRange.MaxFrameSize = frame_size;
    item.PhysicalRange.Stepping = 0;
    item.FramingRange.Range.MinFrameSize = frame_size;
    item.FramingRange.Range.MaxFrameSize = frame_size;
    item.FramingRange.Range.Stepping = 0;
}

const KSALLOCATOR_FRAMING_EX kCaptureAllocatorFraming = {
    1,          // CountItems
    0,          // PinFlags
    {1, 1, 0},  // OutputCompression
    0,          // PinWeight
    {{
        KSMEMORY_TYPE_KERNEL_NONPAGED,  // MemoryType
        GUID_NULL,                      // BusType
        0,                              // MemoryFlags
        0,                              // BusFlags
        KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY,
        2,                        // Frames
        0,                        // FileAlignment
        0,                        // MemoryTypeWeight
        {0, 0xFFFFFFFF, 1},       // PhysicalRange
        {{8192, 8192, 1}, 0, 0},  // FramingRange
    }},
};

const KSPIN_DESCRIPTOR_EX kCapturePinDescriptor = {
    &kCapturePinDispatch,
    nullptr,  // AutomationTable
    {
        0, nullptr,  // Interfaces
        0, nullptr,  // Mediums
        sizeof(kCaptureDataRanges) / sizeof(kCaptureDataRanges[0]), kCaptureDataRanges,
        KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, &PINNAME_VIDEO_CAPTURE,
        &PINNAME_VIDEO_CAPTURE, 0, nullptr,  // ConstrainedDataRanges
    },
    KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING | KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING |
        KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,
    1,  // InstancesPossible
    1,  // InstancesNecessary
    &kCaptureAllocatorFraming,
    CapturePinIntersect,
};

NTSTATUS NTAPI CapturePinCreate(PKSPIN pin, PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    CameraContext* camera = CameraOfDevice(KsGetDevice(pin));
    auto* pin_context = static_cast<CapturePinContext*>(
        ExAllocatePoolWithTag((POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION),
                              sizeof(CapturePinContext), kPinContextTag));
    if (pin_context == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    pin_context->interface_table = &kCapturePinInterface;
    pin_context->pin = pin;
    pin_context->camera = camera;
    CountCapturePin(camera);
    NTSTATUS status = KsAddItemToObjectBag(pin->Bag, pin_context, FreePinContext);
    if (!NT_SUCCESS(status)) {
        FreePinContext(pin_context);
        // A pin that failed to come into being is never closed: the geometry must not stay locked.
        UncountCapturePin(camera);
        return status;
    }
    pin->Context = pin_context;
    const auto* format =
        reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(pin->ConnectionFormat);
    CopyVideoInfo(&pin_context->video_info, &format->VideoInfoHeader);
    status = EditAllocatorFraming(pin, pin_context->video_info.bmiHeader.biSizeImage);
    if (!NT_SUCCESS(status)) {
        UncountCapturePin(camera);
        return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CapturePinClose(PKSPIN pin, PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    CapturePinContext* pin_context = PinContextOf(pin);
    pin_context->output_stride = 0;
    UncountCapturePin(pin_context->camera);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CapturePinSetDeviceState(PKSPIN pin, KSSTATE to_state, KSSTATE from_state) {
    CapturePinContext* pin_context = PinContextOf(pin);
    CameraContext* camera = pin_context->camera;
    NTSTATUS status = STATUS_SUCCESS;
    switch (to_state) {
        case KSSTATE_STOP:
            StopIfStreaming(camera, pin_context);
            if (pin_context->acquired) {
                if (pin_context->reference_clock != nullptr) {
                    pin_context->reference_clock->Release();
                    pin_context->reference_clock = nullptr;
                }
                ReleaseCamera(camera);
                pin_context->acquired = 0;
            }
            break;
        case KSSTATE_ACQUIRE:
            if (from_state == KSSTATE_STOP) {
                status = AcquireCamera(camera, pin_context, &pin_context->video_info);
                if (NT_SUCCESS(status)) {
                    pin_context->acquired = 1;
                    // Without a clock the pin runs without time stamps.
                    if (!NT_SUCCESS(
                            KsPinGetReferenceClockInterface(pin, &pin_context->reference_clock))) {
                        pin_context->reference_clock = nullptr;
                    }
                } else {
                    pin_context->acquired = 0;
                }
            } else {
                StopIfStreaming(camera, pin_context);
            }
            break;
        case KSSTATE_PAUSE:
            if (from_state == KSSTATE_RUN) {
                status = PauseStreaming(camera, true);
                if (NT_SUCCESS(status))
                    pin_context->stream_state = 1;
            }
            break;
        case KSSTATE_RUN:
            status = pin_context->stream_state == 1 ? PauseStreaming(camera, false)
                                                    : StartStreaming(camera);
            if (NT_SUCCESS(status))
                pin_context->stream_state = 2;
            break;
    }
    return status;
}

NTSTATUS AcquireCamera(CameraContext* camera, CapturePinContext* pin_context,
                       KS_VIDEOINFOHEADER* video_info) {
    if (InterlockedCompareExchange(&camera->camera_acquired, 1, 0) != 0)
        return STATUS_SHARING_VIOLATION;
    camera->active_format = video_info;
    FreeProcessor(camera);
    if (video_info->bmiHeader.biBitCount != 32 || video_info->bmiHeader.biCompression != BI_RGB) {
        ReleaseCamera(camera);
        return STATUS_INVALID_PARAMETER;
    }
    FrameProcessor* processor = CreateFrameProcessor();
    if (processor == nullptr) {
        ReleaseCamera(camera);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Filled before it is published: a colour read refreshes the camera's setting from the
    // published processor, and would otherwise take its start value for the setting. Filled again
    // once published, for a setter that ran in between and reached only the camera.
    PushColorSettings(camera, processor);
    InterlockedExchangePointer((PVOID volatile*)&camera->processor, processor);
    PushColorSettings(camera, processor);
    camera->active_pin = pin_context;
    return STATUS_SUCCESS;
}

VOID ReleaseCamera(CameraContext* camera) {
    FreeProcessor(camera);
    camera->active_pin = nullptr;
    camera->active_format = nullptr;
    InterlockedExchange(&camera->camera_acquired, 0);
}
