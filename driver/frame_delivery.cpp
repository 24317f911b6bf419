// The capture pin's process callback: the latest frame converted straight into the client's buffer
// at the leading edge, with its time stamps and picture number.
#include "driver/capture_worker.h"

namespace {

constexpr ULONG kFrameInfoHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);

VOID StampHeader(const CapturePinContext* pin_context, const DeliveryGeometry& delivery,
                 ULONG picture_number, PKSSTREAM_HEADER header) {
    header->DataUsed = delivery.sample_size;
    header->Duration = delivery.duration;
    header->PresentationTime.Numerator = 1;
    header->PresentationTime.Denominator = 1;
    PIKSREFERENCECLOCK clock = pin_context->reference_clock;
    if (clock == nullptr) {
        header->PresentationTime.Time = 0;
        return;
    }
    LONGLONG system_time = 0;
    header->PresentationTime.Time = clock->GetCorrelatedTime(&system_time);
    header->OptionsFlags =
        KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
    if (header->Size >= kFrameInfoHeaderSize) {
        auto* frame_info = reinterpret_cast<PKS_FRAME_INFO>(header + 1);
        frame_info->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
        frame_info->PictureNumber = (LONGLONG)picture_number;
        frame_info->DropCount = 0;
    }
}

// The client's buffer as the conversion's destination: the picture upright in the format's row
// order (a bottom-up bitmap takes the last converted row first, a top-down one the first) and
// upside down when flip_v is set, each row mirrored when flip_h is set. The driver never reads the
// buffer again, so its lines are written past the caches rather than read in first.
ImageDestination ClientImage(const DeliveryGeometry& delivery, PUCHAR data, bool flip_h,
                             bool flip_v) {
    const LONG_PTR spacing = (LONG_PTR)delivery.row_spacing;
    const bool first_row_first = flip_v != delivery.top_down;
    PUCHAR first_row = first_row_first ? data : data + (LONG_PTR)(delivery.height - 1) * spacing;
    return {reinterpret_cast<ULONG*>(first_row),
            first_row_first ? spacing : -spacing,
            delivery.width,
            delivery.height,
            flip_h,
            true};
}

// The bytes the image reaches, and the sample size the header will claim: a buffer must hold both.
bool FitsBuffer(const DeliveryGeometry& delivery, PKSSTREAM_HEADER header) {
    const ULONGLONG row_bytes = (ULONGLONG)delivery.width * 4;
    const ULONGLONG reach =
        delivery.height > 0 ? (ULONGLONG)(delivery.height - 1) * delivery.row_spacing + row_bytes
                            : 0;
    return header->Data != nullptr && reach <= header->FrameExtent &&
           delivery.sample_size <= header->FrameExtent;
}

}  // namespace

NTSTATUS NTAPI CapturePinProcess(PKSPIN pin) {
    auto* pin_context = static_cast<CapturePinContext*>(pin->Context);
    CameraContext* camera = pin_context->camera;
    CaptureWorker* worker = camera->worker;
    // A device without a worker cannot have started a stream: nothing to deliver.
    if (worker == nullptr || AtomicRead(&worker->frames_captured) <= 0)
        return STATUS_PENDING;
    PKSSTREAM_POINTER leading =
        KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    PKSSTREAM_HEADER header = leading != nullptr ? leading->StreamHeader : nullptr;
    const DeliveryGeometry& delivery = worker->delivery;
    // The frame is converted straight into a buffer that holds it. A buffer too small for it goes
    // back empty rather than overrun; the frame then goes into the worker's own image and is
    // dropped, as one that finds no buffer is.
    const bool fits = header != nullptr && FitsBuffer(delivery, header);
    ImageDestination client = {};
    if (fits) {
        client = ClientImage(delivery, static_cast<PUCHAR>(header->Data),
                             AtomicRead(&camera->flip_h) != 0, AtomicRead(&camera->flip_v) != 0);
    }
    ULONG picture_number = 0;
    const bool converted = ConvertLatestFrame(worker, &picture_number, fits ? &client : nullptr);
    if (header != nullptr && converted) {
        if (fits) {
            StampHeader(pin_context, delivery, picture_number, header);
        } else {
            header->DataUsed = 0;
        }
    }
    if (leading != nullptr)
        KsStreamPointerUnlock(leading, TRUE);
    // Cleared before the event is set: a stop that resets the event and then still finds the pass
    // converting is sure to be woken by this pass.
    InterlockedExchange(&worker->converting, 0);
    KeSetEvent(&worker->process_done_event, 1, FALSE);
    return STATUS_PENDING;
}
