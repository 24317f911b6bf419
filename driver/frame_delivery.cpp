// The capture pin's process callback: the latest converted frame into the client's buffer at the
// leading edge, with its time stamps and picture number.
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

// The image, last stored row first unless flip_v is set, each row mirrored when flip_h is set.
VOID CopyImage(const DeliveryGeometry& delivery, const ULONG* image, bool flip_h, bool flip_v,
               PUCHAR destination) {
    const LONG width = delivery.width;
    const LONG height = delivery.height;
    const SIZE_T row_bytes = (SIZE_T)width * 4;
    for (LONG row = 0; row < height; ++row) {
        const ULONG* source =
            image + (SIZE_T)(flip_v ? row : height - 1 - row) * delivery.source_pitch;
        auto* target = reinterpret_cast<ULONG*>(destination + (SIZE_T)row * delivery.row_spacing);
        if (!flip_h) {
            RtlCopyMemory(target, source, row_bytes);
            continue;
        }
        for (LONG column = 0; column < width; ++column)
            target[width - 1 - column] = source[column];
    }
}

// The bytes the copy reaches, and the sample size the header will claim: a buffer must hold both.
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
    ULONG picture_number = 0;
    bool converted = ConvertLatestFrame(worker, &picture_number);
    if (leading != nullptr && converted) {
        PKSSTREAM_HEADER header = leading->StreamHeader;
        const DeliveryGeometry& delivery = worker->delivery;
        // A buffer too small for the frame goes back empty rather than overrun.
        if (FitsBuffer(delivery, header)) {
            StampHeader(pin_context, delivery, picture_number, header);
            bool flip_h = AtomicRead(&camera->flip_h) != 0;
            bool flip_v = AtomicRead(&camera->flip_v) != 0;
            CopyImage(delivery, worker->rgb_image, flip_h, flip_v,
                      static_cast<PUCHAR>(header->Data));
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
