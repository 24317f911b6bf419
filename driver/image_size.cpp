#include "driver/image_size.h"

#include "camera/camera_parameters.h"
#include "driver/descriptors.h"

namespace {

// Holds the geometry lock for its scope.
class GeometryChange {
  public:
    explicit GeometryChange(CameraContext* camera) : camera_(camera) {
        KeWaitForSingleObject(&camera_->geometry_lock, Executive, KernelMode, FALSE, nullptr);
    }
    ~GeometryChange() { KeReleaseMutex(&camera_->geometry_lock, FALSE); }
    GeometryChange(const GeometryChange&) = delete;
    GeometryChange& operator=(const GeometryChange&) = delete;

  private:
    CameraContext* camera_;
};

}  // namespace

VOID InitializeGeometryLock(CameraContext* camera) {
    KeInitializeMutex(&camera->geometry_lock, 0);
}

bool IsCaptureSizeSupported(LONG width, LONG height) {
    // A zero or oversized geometry would leave streaming without buffers or overrun them.
    return width >= 8 && width <= kSensorWidth && height >= 1 && height <= kSensorHeight;
}

bool SetImageSize(CameraContext* camera, LONG x, LONG y, LONG width, LONG height) {
    UNREFERENCED_PARAMETER(x);
    UNREFERENCED_PARAMETER(y);
    if (!IsCaptureSizeSupported(width, height))
        return false;
    // A pin counted after the test below would size its buffers for a geometry half changed.
    GeometryChange change(camera);
    if (AtomicRead(&camera->pin_open) != 0)
        return false;
    // The region is read by property requests at any time.
    InterlockedExchange(&camera->subsample, 0);
    InterlockedExchange(&camera->roi_x, 0);
    InterlockedExchange(&camera->roi_y, 0);
    InterlockedExchange(&camera->roi_width, kSensorWidth);
    InterlockedExchange(&camera->roi_height, kSensorHeight);
    camera->image_width = width;
    camera->image_height = height;
    camera->output_height = height;
    camera->output_width = width & ~7;
    WriteVideoDataRange(&g_video_data_range, camera->output_width, height, kNominalFrameRate);
    return true;
}

VOID CountCapturePin(CameraContext* camera) {
    GeometryChange change(camera);
    InterlockedIncrement(&camera->pin_open);
}

VOID UncountCapturePin(CameraContext* camera) {
    InterlockedDecrement(&camera->pin_open);
}
