#include "driver/image_size.h"

#include "driver/descriptors.h"

bool SetImageSize(CameraContext* camera, LONG x, LONG y, LONG width, LONG height) {
    UNREFERENCED_PARAMETER(x);
    UNREFERENCED_PARAMETER(y);
    if (AtomicRead(&camera->pin_open) != 0)
        return false;
    // A zero or oversized geometry would leave streaming without buffers or overrun them.
    if (width < 8 || width > kSensorWidth || height < 1 || height > kSensorHeight)
        return false;
    camera->subsample = 0;
    camera->roi_x = 0;
    camera->roi_y = 0;
    camera->roi_width = kSensorWidth;
    camera->roi_height = kSensorHeight;
    camera->image_width = width;
    camera->image_height = height;
    camera->output_height = height;
    camera->output_width = width & ~7;
    WriteVideoDataRange(&g_video_data_range, camera->output_width, height, kNominalFrameRate);
    return true;
}
