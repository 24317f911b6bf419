// I/O manager: device and driver objects, IRPs with their stack locations, MDLs.
#pragma once

#include "platform/kernel.h"

// The system's services have C names, so the driver binds to the kernel's own exports.
extern "C" {

typedef struct _IRP IRP, *PIRP;
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _FILE_OBJECT* PFILE_OBJECT;
typedef struct _IO_TIMER* PIO_TIMER;
typedef struct _VPB* PVPB;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;
static_assert(sizeof(IO_STATUS_BLOCK) == 16);

typedef NTSTATUS(NTAPI* PDRIVER_DISPATCH)(PDEVICE_OBJECT device_object, PIRP irp);
typedef VOID(NTAPI* PDRIVER_CANCEL)(PDEVICE_OBJECT device_object, PIRP irp);
typedef VOID(NTAPI* PDRIVER_UNLOAD)(PDRIVER_OBJECT driver_object);
typedef NTSTATUS(NTAPI* PIO_COMPLETION_ROUTINE)(PDEVICE_OBJECT device_object, PIRP irp,
                                                PVOID context);
typedef NTSTATUS(NTAPI* PDRIVER_INITIALIZE)(PDRIVER_OBJECT driver_object,
                                            PUNICODE_STRING registry_path);

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
#define FILE_DEVICE_KS 0x0000002f
#define METHOD_BUFFERED 0
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define CTL_CODE(device_type, function, method, access) \
    (((device_type) << 16) | ((access) << 14) | ((function) << 2) | (method))

struct _DRIVER_OBJECT {
    SHORT Type;
    SHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PVOID DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

#define DO_BUFFERED_IO 0x00000004
#define DO_DIRECT_IO 0x00000010
#define DO_POWER_PAGABLE 0x00002000
#define DO_DEVICE_INITIALIZING 0x00000080

struct _DEVICE_OBJECT {
    SHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;
    PDEVICE_OBJECT AttachedDevice;
    PIRP CurrentIrp;
    PIO_TIMER Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVPB Vpb;
    PVOID DeviceExtension;
    ULONG DeviceType;
    CHAR StackSize;
};

// ---- MDL ----------------------------------------------------------------------------------------

#define PAGE_SIZE 4096
#define PAGE_SHIFT 12

typedef struct _MDL {
    struct _MDL* Next;
    SHORT Size;
    SHORT MdlFlags;
    USHORT AllocationProcessorNumber;
    USHORT Reserved;
    PVOID Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;
static_assert(sizeof(MDL) == 48);

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_PARTIAL 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020

#define MmGetMdlVirtualAddress(mdl) ((PVOID)((PUCHAR)((mdl)->StartVa) + (mdl)->ByteOffset))
#define MmGetMdlByteCount(mdl) ((mdl)->ByteCount)
#define MmGetMdlByteOffset(mdl) ((mdl)->ByteOffset)
#define MmGetSystemAddressForMdlSafe(mdl, priority)                              \
    (((mdl)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) \
         ? (mdl)->MappedSystemVa                                                 \
         : (PVOID) nullptr)
#define NormalPagePriority 16

PMDL NTAPI IoAllocateMdl(PVOID virtual_address, ULONG length, BOOLEAN secondary_buffer,
                         BOOLEAN charge_quota, PIRP irp);
VOID NTAPI IoBuildPartialMdl(PMDL source_mdl, PMDL target_mdl, PVOID virtual_address, ULONG length);
VOID NTAPI MmBuildMdlForNonPagedPool(PMDL mdl);
VOID NTAPI IoFreeMdl(PMDL mdl);

// ---- IRP ----------------------------------------------------------------------------------------

#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT_1;
            ULONG InputBufferLength;
            ULONG POINTER_ALIGNMENT_2;
            ULONG IoControlCode;
            ULONG POINTER_ALIGNMENT_3;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;
static_assert(sizeof(IO_STACK_LOCATION) == 72);

// The system's layout up to the end of Tail.Overlay; the other forms of Tail are left out.
struct _IRP {
    SHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;
    union {
        PIRP MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    struct {
        struct {
            PVOID DriverContext[4];
            PETHREAD Thread;
            PCHAR AuxiliaryBuffer;
            LIST_ENTRY ListEntry;
            PIO_STACK_LOCATION CurrentStackLocation;
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
    } Tail;
    // The IRP's stack locations follow it in the same allocation.
};

#define IO_NO_INCREMENT 0

// StackSize stack locations; the IRP comes zeroed but for its header and stack bookkeeping.
PIRP NTAPI IoAllocateIrp(CHAR stack_size, BOOLEAN charge_quota);
VOID NTAPI IoFreeIrp(PIRP irp);
NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT device_object, PIRP irp);
#define IoCallDriver(device, irp) IofCallDriver(device, irp)
VOID NTAPI IofCompleteRequest(PIRP irp, CHAR priority_boost);
#define IoCompleteRequest(irp, boost) IofCompleteRequest(irp, boost)
BOOLEAN NTAPI IoCancelIrp(PIRP irp);
// Like IoSetCompletionRoutine, but the driver owning device_object stays loaded until the routine
// has returned. STATUS_INSUFFICIENT_RESOURCES when its bookkeeping cannot be allocated.
NTSTATUS NTAPI IoSetCompletionRoutineEx(PDEVICE_OBJECT device_object, PIRP irp,
                                        PIO_COMPLETION_ROUTINE routine, PVOID context,
                                        BOOLEAN invoke_on_success, BOOLEAN invoke_on_error,
                                        BOOLEAN invoke_on_cancel);
VOID NTAPI IoAcquireCancelSpinLock(PKIRQL irql);
VOID NTAPI IoReleaseCancelSpinLock(KIRQL irql);

// Builds a (internal) device-control request for device_object. The request is released by the
// I/O manager when it completes: the status block is filled in and the event set.
PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG io_control_code, PDEVICE_OBJECT device_object,
                                         PVOID input_buffer, ULONG input_buffer_length,
                                         PVOID output_buffer, ULONG output_buffer_length,
                                         BOOLEAN internal_device_io_control, PKEVENT event,
                                         PIO_STATUS_BLOCK io_status_block);

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) {
    return irp->Tail.Overlay.CurrentStackLocation;
}
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) {
    return irp->Tail.Overlay.CurrentStackLocation - 1;
}
inline VOID IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                                   BOOLEAN invoke_on_success, BOOLEAN invoke_on_error,
                                   BOOLEAN invoke_on_cancel) {
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->CompletionRoutine = routine;
    stack->Context = context;
    stack->Control = 0;
    if (invoke_on_success)
        stack->Control |= SL_INVOKE_ON_SUCCESS;
    if (invoke_on_error)
        stack->Control |= SL_INVOKE_ON_ERROR;
    if (invoke_on_cancel)
        stack->Control |= SL_INVOKE_ON_CANCEL;
}
inline VOID IoMarkIrpPending(PIRP irp) {
    IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
}
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine) {
    return (PDRIVER_CANCEL)InterlockedExchangePointer((PVOID volatile*)&irp->CancelRoutine,
                                                      (PVOID)routine);
}
inline VOID IoSkipCurrentIrpStackLocation(PIRP irp) {
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
}

}  // extern "C"
