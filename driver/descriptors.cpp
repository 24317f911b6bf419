// Device, filter and pin descriptors and the video data range.
#include "driver/descriptors.h"

#include "driver/device_callbacks.h"

namespace {

const KSDEVICE_DISPATCH kDeviceDispatch = {
    CameraDeviceAdd, CameraDeviceStart, nullptr, nullptr, nullptr, CameraDeviceStop, nullptr,
    nullptr,         nullptr,           nullptr, nullptr, nullptr, nullptr,          nullptr,
};

const GUID kFilterCategories[] = {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE};

const PKSDATARANGE kCaptureDataRanges[] = {&g_video_data_range.DataRange};

// The filter's and pin's own callbacks, the property set and the format intersection join these
// tables as their subsystems are built.
const KSFILTER_DISPATCH kFilterDispatch = {nullptr, nullptr, nullptr, nullptr};

}  // namespace

const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {&kDeviceDispatch, 0, nullptr, 0, 0};

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
    nullptr,  // Dispatch
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
    nullptr,  // IntersectHandler
};

const KSFILTER_DESCRIPTOR kFilterDescriptor = {
    &kFilterDispatch,
    nullptr,  // AutomationTable
    KSFILTER_DESCRIPTOR_VERSION,
    0,  // Flags
    &KSNAME_Filter,
    1,
    sizeof(KSPIN_DESCRIPTOR_EX),
    &kCapturePinDescriptor,
    sizeof(kFilterCategories) / sizeof(kFilterCategories[0]),
    kFilterCategories,
    0,
    24,  // node descriptor size
    nullptr,
    0,
    nullptr,
    nullptr,
};

KS_DATARANGE_VIDEO g_video_data_range = {
    {sizeof(KS_DATARANGE_VIDEO), 0, 0, 0, KSDATAFORMAT_TYPE_VIDEO, KSDATAFORMAT_SUBTYPE_RGB32,
     KSDATAFORMAT_SPECIFIER_VIDEOINFO},
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
