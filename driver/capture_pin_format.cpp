// The capture pin's format: the video data range it offers, the connection-format checks and the
// format intersection.
#include "driver/capture_pin.h"
#include "driver/descriptors.h"

namespace {

constexpr ULONG kVideoInfoPrefix = offsetof(KS_VIDEOINFOHEADER, bmiHeader);    // 48
constexpr ULONG kFormatHeader = sizeof(KSDATAFORMAT);                          // 64
constexpr ULONG kRangeHeader = offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader);  // 208

LONGLONG Magnitude(LONG value) {
    return value < 0 ? -(LONGLONG)value : (LONGLONG)value;
}

// The bitmap a pin of this range can take: at least as wide (a larger row pitch for the same
// image), as high either way up, and of the same encoding.
bool BitmapFitsRange(const KS_BITMAPINFOHEADER& bitmap, const KS_BITMAPINFOHEADER& advertised) {
    return bitmap.biWidth >= advertised.biWidth &&
           Magnitude(bitmap.biHeight) == Magnitude(advertised.biHeight) &&
           bitmap.biCompression == advertised.biCompression;
}

// In 64 bits, so that no width or height can wrap the product below biSizeImage.
ULONGLONG MinimumImageBytes(const KS_BITMAPINFOHEADER& bitmap) {
    return (ULONGLONG)Magnitude(bitmap.biHeight) * (ULONGLONG)bitmap.biWidth * 4;
}

}  // namespace

VOID CopyVideoInfo(KS_VIDEOINFOHEADER* target, const KS_VIDEOINFOHEADER* source) {
    ULONG bitmap_bytes = source->bmiHeader.biSize;
    if (bitmap_bytes > sizeof(KS_BITMAPINFOHEADER))
        bitmap_bytes = sizeof(KS_BITMAPINFOHEADER);
    RtlCopyMemory(target, source, kVideoInfoPrefix + bitmap_bytes);
}

NTSTATUS NTAPI CapturePinSetDataFormat(PKSPIN pin, PKSDATAFORMAT old_format,
                                       PKSMULTIPLE_ITEM old_attribute_list,
                                       const KSDATARANGE* data_range,
                                       const KSATTRIBUTE_LIST* attribute_range) {
    UNREFERENCED_PARAMETER(old_attribute_list);
    UNREFERENCED_PARAMETER(attribute_range);
    const KSDATAFORMAT* format = pin->ConnectionFormat;
    if (!IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO) ||
        format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
        return STATUS_NO_MATCH;
    }
    const KS_BITMAPINFOHEADER& bitmap =
        reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format)->VideoInfoHeader.bmiHeader;
    if ((ULONGLONG)bitmap.biSize + kVideoInfoPrefix + kFormatHeader > format->FormatSize)
        return STATUS_INVALID_PARAMETER;
    const KS_BITMAPINFOHEADER& advertised =
        reinterpret_cast<const KS_DATARANGE_VIDEO*>(data_range)->VideoInfoHeader.bmiHeader;
    if (!BitmapFitsRange(bitmap, advertised))
        return STATUS_NO_MATCH;
    if ((ULONGLONG)bitmap.biSizeImage < MinimumImageBytes(bitmap))
        return STATUS_INVALID_PARAMETER;
    if (old_format == nullptr)
        return STATUS_SUCCESS;
    if (pin->DeviceState != KSSTATE_STOP)
        return STATUS_INVALID_DEVICE_STATE;
    auto* pin_context = static_cast<CapturePinContext*>(pin->Context);
    // The row pitch fits 32 bits: biSizeImage, a 32-bit count, is at least this large.
    pin_context->output_stride = (LONG)((ULONG)bitmap.biWidth * 4);
    CopyVideoInfo(&pin_context->video_info,
                  &reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format)->VideoInfoHeader);
    // A wider bitmap makes each image larger: buffers sized by the framing must still hold it.
    SetFramingFrameSize(pin, pin_context->video_info.bmiHeader.biSizeImage);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CapturePinIntersect(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE data_range,
                                   PKSDATARANGE matching_data_range, ULONG data_buffer_size,
                                   PVOID data, PULONG data_size) {
    UNREFERENCED_PARAMETER(context);
    UNREFERENCED_PARAMETER(irp);
    UNREFERENCED_PARAMETER(pin);
    const auto* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(data_range);
    const auto* ours = reinterpret_cast<const KS_DATARANGE_VIDEO*>(matching_data_range);
    if (!IsEqualGUID(data_range->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO) ||
        data_range->FormatSize < sizeof(KS_DATARANGE_VIDEO) ||
        caller->bFixedSizeSamples != ours->bFixedSizeSamples ||
        caller->bTemporalCompression != ours->bTemporalCompression ||
        caller->StreamDescriptionFlags != ours->StreamDescriptionFlags ||
        caller->MemoryAllocationFlags != ours->MemoryAllocationFlags ||
        !RtlEqualMemory(&caller->ConfigCaps, &ours->ConfigCaps, sizeof(ours->ConfigCaps))) {
        return STATUS_NO_MATCH;
    }
    const KS_BITMAPINFOHEADER& bitmap = caller->VideoInfoHeader.bmiHeader;
    ULONG b = bitmap.biSize;
    // A bitmap header shorter than its record would put the computed biSizeImage past the result.
    if (b < sizeof(KS_BITMAPINFOHEADER) ||
        (ULONGLONG)b + kVideoInfoPrefix + kRangeHeader > data_range->FormatSize) {
        return STATUS_INVALID_PARAMETER;
    }
    // Only a bitmap a pin would take is offered: its pixels as ours, its image size a 32-bit count.
    const KS_BITMAPINFOHEADER& advertised = ours->VideoInfoHeader.bmiHeader;
    if (!BitmapFitsRange(bitmap, advertised) || bitmap.biBitCount != advertised.biBitCount ||
        MinimumImageBytes(bitmap) > 0xFFFFFFFFull) {
        return STATUS_NO_MATCH;
    }
    ULONG needed = b + kVideoInfoPrefix + kFormatHeader;
    if (data_buffer_size == 0) {
        *data_size = needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (data_buffer_size < needed)
        return STATUS_BUFFER_TOO_SMALL;
    *data_size = needed;
    auto* result = static_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(data);
    RtlCopyMemory(&result->DataFormat, &ours->DataRange, sizeof(KSDATAFORMAT));
    result->DataFormat.FormatSize = needed;
    RtlCopyMemory(&result->VideoInfoHeader, &caller->VideoInfoHeader, kVideoInfoPrefix + b);
    KS_BITMAPINFOHEADER& out = result->VideoInfoHeader.bmiHeader;
    // Fits 32 bits: 32 bits per pixel makes this the minimum checked above.
    ULONG image_size = (ULONG)(((ULONGLONG)out.biBitCount * (ULONG)out.biWidth + 31) / 32 * 4 *
                               (ULONGLONG)Magnitude(out.biHeight));
    result->DataFormat.SampleSize = image_size;
    out.biSizeImage = image_size;
    return STATUS_SUCCESS;
}

KS_DATARANGE_VIDEO g_video_data_range = {
    {{sizeof(KS_DATARANGE_VIDEO), 0, 0, 0, KSDATAFORMAT_TYPE_VIDEO, KSDATAFORMAT_SUBTYPE_RGB32,
      KSDATAFORMAT_SPECIFIER_VIDEOINFO}},
    TRUE,  // bFixedSizeSamples
    TRUE,  // bTemporalCompression
    0,     // StreamDescriptionFlags
    0,     // MemoryAllocationFlags
    {
        KSDATAFORMAT_SPECIFIER_VIDEOINFO,
        0,  // VideoStandard
        {0, 0},
        {0, 0},
        {0, 0},  // InputSize, MinCroppingSize, MaxCroppingSize
        8,
        1,  // CropGranularityX, CropGranularityY
        8,
        1,  // CropAlignX, CropAlignY
        {0, 0},
        {0, 0},  // MinOutputSize, MaxOutputSize
        8,
        1,  // OutputGranularityX, OutputGranularityY
        0,
        0,
        0,
        0,  // StretchTapsX, StretchTapsY, ShrinkTapsX, ShrinkTapsY
        0,
        0,  // MinFrameInterval, MaxFrameInterval
        0,
        0,  // MinBitsPerSecond, MaxBitsPerSecond
    },
    {
        {0, 0, 0, 0},  // rcSource
        {0, 0, 0, 0},  // rcTarget
        0,             // dwBitRate
        0,             // dwBitErrorRate
        0,             // AvgTimePerFrame
        {sizeof(KS_BITMAPINFOHEADER), 0, 0, 1, 32, BI_RGB, 0, 0, 0, 0, 0},
    },
};

VOID WriteVideoDataRange(KS_DATARANGE_VIDEO* range, LONG w, LONG h, LONG f) {
    if (f < 1)
        f = kNominalFrameRate;
    const LONGLONG interval = 10000000 / f;
    const ULONG image_bytes = (ULONG)w * (ULONG)h * 4;
    range->DataRange.SampleSize = image_bytes;
    KS_VIDEO_STREAM_CONFIG_CAPS& caps = range->ConfigCaps;
    caps.InputSize = {w, h};
    caps.MinCroppingSize = {w, h};
    caps.MaxCroppingSize = {w, h};
    caps.MinOutputSize = {w, h};
    caps.MaxOutputSize = {w, h};
    caps.MinFrameInterval = interval;
    caps.MaxFrameInterval = interval;
    caps.MinBitsPerSecond = (LONG)((ULONG)w * (ULONG)h * (ULONG)f * 32);
    caps.MaxBitsPerSecond = caps.MinBitsPerSecond;
    KS_VIDEOINFOHEADER& info = range->VideoInfoHeader;
    info.rcSource.right = w;
    info.rcSource.bottom = h;
    // Bytes per second at the nominal rate (4 bytes per pixel, 30 frames), not bits.
    info.dwBitRate = (ULONG)w * (ULONG)h * 120;
    info.AvgTimePerFrame = interval;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h;
    info.bmiHeader.biSizeImage = image_bytes;
}
