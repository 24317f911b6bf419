// Compiled by the cross compiler as the driver image is, never linked or run: every number of the
// driver-record list becomes an absolute symbol of the object, cam_layout_<index>, which the build
// reads back with the cross nm.
#include "driver/camera_context.h"
#include "driver/capture_worker.h"
#include "imaging/frame_processor.h"

#define CAM_EMIT_AT(index, value) \
    __asm__(".globl cam_layout_" #index "\n\t.set cam_layout_" #index ", %c0" : : "i"(value));
#define CAM_EMIT_INDEXED(index, value) CAM_EMIT_AT(index, value)
#define CAM_EMIT(value) CAM_EMIT_INDEXED(__COUNTER__, value)

#define RECORD(T) CAM_EMIT(sizeof(T)) CAM_EMIT(alignof(T))
#define MEMBER(T, m) CAM_EMIT(__builtin_offsetof(T, m)) CAM_EMIT(sizeof(((T*)0)->m))

void cam_layouts() {
#include "driver_records.def"
}
