// Basic platform types and status codes, with the widths of the x64 kernel.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The system's calling convention. Every service the system offers a driver and every routine a
// driver hands the system uses it, so the Linux build crosses the same line as the driver image
// does, and a routine of the wrong convention is a type error rather than a wrong call.
#if defined(_WIN64)
#define NTAPI
#elif defined(__x86_64__)
#define NTAPI __attribute__((ms_abi))
#else
#error "the stand-in speaks the x64 system's calling convention; build it for x86-64"
#endif
// Methods of the system's interfaces (the reference clock's).
#define STDMETHODCALLTYPE NTAPI

// The system's services have C names, so the driver binds to the kernel's own exports.
extern "C" {

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef CHAR* PCHAR;
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef USHORT* PUSHORT;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t ULONG64;
typedef int64_t LONG64;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef ULONG_PTR* PULONG_PTR;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef LONG NTSTATUS;
typedef PVOID HANDLE;
typedef HANDLE* PHANDLE;
typedef ULONG ACCESS_MASK;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef CHAR KPROCESSOR_MODE;
typedef LONG KPRIORITY;
// 16 bits, as on the system (a Linux wchar_t has 32); literals are u"...".
typedef char16_t WCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;

static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "LONG and ULONG are 32-bit");
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16-bit");
static_assert(sizeof(PVOID) == 8, "x64 layout: 64-bit pointers");

#define TRUE 1
#define FALSE 0

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
static_assert(sizeof(LARGE_INTEGER) == 8);

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;
static_assert(sizeof(GUID) == 16);

inline bool IsEqualGUID(const GUID& a, const GUID& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           a.Data4[0] == b.Data4[0] && a.Data4[1] == b.Data4[1] && a.Data4[2] == b.Data4[2] &&
           a.Data4[3] == b.Data4[3] && a.Data4[4] == b.Data4[4] && a.Data4[5] == b.Data4[5] &&
           a.Data4[6] == b.Data4[6] && a.Data4[7] == b.Data4[7];
}

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;
static_assert(sizeof(UNICODE_STRING) == 16);

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *PRECT;
static_assert(sizeof(RECT) == 16);

typedef struct _SIZE {
    LONG cx;
    LONG cy;
} SIZE, *PSIZE;

#define NT_SUCCESS(status) (((NTSTATUS)(status)) >= 0)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_REGISTRY_CORRUPT ((NTSTATUS)0xC000014CL)
#define STATUS_REGISTRY_IO_FAILED ((NTSTATUS)0xC000014DL)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_DEVICE_DATA_ERROR ((NTSTATUS)0xC000009CL)
#define STATUS_NO_MATCH ((NTSTATUS)0xC0000272L)
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#define STATUS_PROPSET_NOT_FOUND ((NTSTATUS)0xC0000230L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_PROCEDURE_NOT_FOUND ((NTSTATUS)0xC000007AL)
#define STATUS_INVALID_IMAGE_FORMAT ((NTSTATUS)0xC000007BL)
#define STATUS_INVALID_IMAGE_NOT_MZ ((NTSTATUS)0xC000012FL)
#define STATUS_DLL_NOT_FOUND ((NTSTATUS)0xC0000135L)
#define STATUS_ORDINAL_NOT_FOUND ((NTSTATUS)0xC0000138L)

#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

#define KernelMode 0
#define UserMode 1

#define UNREFERENCED_PARAMETER(p) ((void)(p))

// Data the kernel exports is reached through the image's import table.
#if defined(_WIN64)
#define NTKERNELAPI __declspec(dllimport)
#else
#define NTKERNELAPI
#endif

// Memory helpers of the run-time library.
#define RtlZeroMemory(destination, length) __builtin_memset((destination), 0, (length))
#define RtlFillMemory(destination, length, fill) __builtin_memset((destination), (fill), (length))
#define RtlCopyMemory(destination, source, length) \
    __builtin_memcpy((destination), (source), (length))
#define RtlMoveMemory(destination, source, length) \
    __builtin_memmove((destination), (source), (length))
#define RtlEqualMemory(a, b, length) (__builtin_memcmp((a), (b), (length)) == 0)

}  // extern "C"

// A pool tag from its four characters, packed so that they read in order in a memory dump and in
// leak reports.
constexpr ULONG MakePoolTag(const char (&text)[5]) {
    return (ULONG)(UCHAR)text[0] | (ULONG)(UCHAR)text[1] << 8 | (ULONG)(UCHAR)text[2] << 16 |
           (ULONG)(UCHAR)text[3] << 24;
}
