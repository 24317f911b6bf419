// The capture pin's process callback: the latest converted frame into the client's buffer at the
// leading edge, with its time stamps and picture number.
#include "driver/capture_worker.h"

namespace {

constexpr ULONG kFrameInfoHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);

VOID StampHeader(CapturePinContext* pin_context, PKSSTREAM_HEADER header) {
    const KS_VIDEOINFOHEADER& info = pin_context->video_info;
    header->DataUsed = info.bmiHeader.biSizeImage;
    header->Duration = info.AvgTimePerFrame;
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
        frame_info->PictureNumber =
            (LONGLONG)(ULONG)AtomicRead((volatile LONG*)&pin_context->camera->frame_count);
        frame_info->DropCount = 0;
    }
}

// The image, last stored row first unless flip_v is set, each row mirrored when flip_h is set,
// rows the larger of output_stride and a packed row apart.
VOID CopyImage(const CameraContext* camera, const ULONG* image, LONG output_stride, bool flip_h,
               bool flip_v, PUCHAR destination) {
    const LONG width = camera->output_width;
    const LONG height = camera->output_height;
    const SIZE_T source_pitch = (SIZE_T)camera->image_width;
    const SIZE_T row_bytes = (SIZE_T)width * 4;
    const SIZE_T spacing =
        (SIZE_T)(ULONG)output_stride > row_bytes ? (SIZE_T)(ULONG)output_stride : row_bytes;
    for (LONG row = 0; row < height; ++row) {
        const ULONG* source = image + (SIZE_T)(flip_v ? row : height - 1 - row) * source_pitch;
        auto* target = reinterpret_cast<ULONG*>(destination + (SIZE_T)row * spacing);
        if (!flip_h) {
            RtlCopyMemory(target, source, row_bytes);
            continue;
        }
        for (LONG column = 0; column < width; ++column)
            target[width - 1 - column] = source[column];
    }
}

// The bytes the copy reaches, and the sample size the header will claim: a buffer must hold both.
bool FitsBuffer(const CameraContext* camera, const CapturePinContext* pin_context,
                PKSSTREAM_HEADER header) {
    const ULONGLONG row_bytes = (ULONGLONG)camera->output_width * 4;
    const ULONGLONG stride = (ULONGLONG)(ULONG)pin_context->output_stride;
    const ULONGLONG spacing = stride > row_bytes ? stride : row_bytes;
    const ULONGLONG reach = camera->output_height > 0
                                ? (ULONGLONG)(camera->output_height - 1) * spacing + row_bytes
                                : 0;
    const ULONGLONG claimed = pin_context->video_info.bmiHeader.biSizeImage;
    return header->Data != nullptr && reach <= header->FrameExtent &&
           claimed <= header->FrameExtent;
}

}  // namespace

NTSTATUS CapturePinProcess(PKSPIN pin) {
    auto* pin_context = static_cast<CapturePinContext*>(pin->Context);
    CameraContext* camera = pin_context->camera;
    CaptureWorker* worker = camera->worker;
    if (AtomicRead(&worker->frames_captured) <= 0)
        return STATUS_PENDING;
    PKSSTREAM_POINTER leading =
        KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    bool converted = ConvertLatestFrame(worker);
    if (leading != nullptr && converted) {
        PKSSTREAM_HEADER header = leading->StreamHeader;
        // A buffer too small for the frame goes back empty rather than overrun.
        if (FitsBuffer(camera, pin_context, header)) {
            StampHeader(pin_context, header);
            bool flip_h = AtomicRead(&camera->flip_h) != 0;
            bool flip_v = AtomicRead(&camera->flip_v) != 0;
            CopyImage(camera, worker->rgb_image, pin_context->output_stride, flip_h, flip_v,
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
