// Compiled by the cross compiler against the platform's public headers, never linked or run: every
// number of the shared-record list becomes an absolute symbol of the object, cam_layout_<index>,
// which the build reads back with the cross nm.
#include <ntddk.h>

// ksmedia.h uses a few user-mode types that the kernel headers do not declare.
typedef float FLOAT;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef unsigned long DWORD;
typedef DWORD COLORREF;
typedef WCHAR TCHAR;
typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT;
typedef struct tagSIZE {
    LONG cx;
    LONG cy;
} SIZE;
#define MAX_PATH 260

#include <ks.h>
#include <ksmedia.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#define CAM_EMIT_AT(index, value) \
    __asm__(".globl cam_layout_" #index "\n\t.set cam_layout_" #index ", %c0" : : "i"(value));
#define CAM_EMIT_INDEXED(index, value) CAM_EMIT_AT(index, value)
#define CAM_EMIT(value) CAM_EMIT_INDEXED(__COUNTER__, value)

#define RECORD(T) CAM_EMIT(sizeof(T)) CAM_EMIT(__alignof__(T))
#define PREFIX(T)
#define MEMBER(T, m) CAM_EMIT(__builtin_offsetof(T, m)) CAM_EMIT(sizeof(((T*)0)->m))
#define CONSTANT(name) CAM_EMIT((unsigned int)(name))
// The headers give each GUID's parts as STATIC_<name>.
#define CAM_EMIT_GUID(d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7)                              \
    CAM_EMIT(d1)                                                                               \
    CAM_EMIT(d2) CAM_EMIT(d3) CAM_EMIT(b0) CAM_EMIT(b1) CAM_EMIT(b2) CAM_EMIT(b3) CAM_EMIT(b4) \
        CAM_EMIT(b5) CAM_EMIT(b6) CAM_EMIT(b7)
#define CAM_EMIT_GUID_PARTS(parts) CAM_EMIT_GUID(parts)
#define GUID_VALUE(name) CAM_EMIT_GUID_PARTS(STATIC_##name)

void cam_layouts(void) {
#include "shared_records.def"
}
