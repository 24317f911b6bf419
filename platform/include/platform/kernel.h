// Kernel services: pool, dispatcher objects, spin locks, critical regions, delays, interlocked
// operations, system threads and time.
#pragma once

#include "platform/ntdef.h"

// The system's services have C names, so the driver binds to the kernel's own exports.
extern "C" {

// ---- Pool -------------------------------------------------------------------------------------

// A fixed underlying type, so that modifiers may be or'ed into a pool type.
typedef enum _POOL_TYPE : int {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolNx = 512,
} POOL_TYPE;

// Pool-type modifier: the block is returned zero-filled.
#define POOL_ZERO_ALLOCATION 1024

// pool_type may carry POOL_ZERO_ALLOCATION: (POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION).
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE pool_type, SIZE_T number_of_bytes, ULONG tag);
VOID NTAPI ExFreePoolWithTag(PVOID block, ULONG tag);
// Frees a block of any tag (blocks that the platform allocated for the caller).
VOID NTAPI ExFreePool(PVOID block);

// ---- IRQL ---------------------------------------------------------------------------------------

// Services in both builds: the system's inline reads of CR8 would fault in the stand-in's process,
// and the kernel exports the routines too.
KIRQL NTAPI KeGetCurrentIrql();
KIRQL NTAPI KfRaiseIrql(KIRQL new_irql);
VOID NTAPI KeLowerIrql(KIRQL new_irql);
#define KeRaiseIrql(new_irql, old_irql) (*(old_irql) = KfRaiseIrql(new_irql))

// ---- Dispatcher objects -------------------------------------------------------------------------

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Signalling;
    UCHAR Size;
    UCHAR Reserved1;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;
static_assert(sizeof(DISPATCHER_HEADER) == 24);

// Dispatcher object types, as found in DISPATCHER_HEADER.Type.
#define EventNotificationObject 0
#define EventSynchronizationObject 1
#define MutantObject 2
#define ThreadObject 6

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;
static_assert(sizeof(KEVENT) == 24);

typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;

VOID NTAPI KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG NTAPI KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);
LONG NTAPI KeResetEvent(PRKEVENT event);
VOID NTAPI KeClearEvent(PRKEVENT event);
LONG NTAPI KeReadStateEvent(PRKEVENT event);

// A kernel mutex: owned by one thread at a time, which may acquire it again (each acquisition by
// KeWaitForSingleObject needs its own KeReleaseMutex). While owned, normal kernel APCs are off for
// the owner, as in a critical region.
typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    struct _KTHREAD* OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, *PRKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;
static_assert(sizeof(KMUTEX) == 56);

// Initialises the mutex free; `level` is not used.
VOID NTAPI KeInitializeMutex(PRKMUTEX mutex, ULONG level);
// Releases one acquisition by the owner; returns the previous signal state.
LONG NTAPI KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait);

// Waits on an event, a mutex or a thread object. timeout: null waits forever; negative is relative
// and positive absolute system time, both in 100 ns units; zero polls. Returns STATUS_SUCCESS or
// STATUS_TIMEOUT.
NTSTATUS NTAPI KeWaitForSingleObject(PVOID object, KWAIT_REASON wait_reason,
                                     KPROCESSOR_MODE wait_mode, BOOLEAN alertable,
                                     PLARGE_INTEGER timeout);

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE wait_mode, BOOLEAN alertable,
                                      PLARGE_INTEGER interval);

// ---- Spin locks and critical regions ------------------------------------------------------------

typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

#if defined(_WIN64)
// Inline on x64: a free lock is a zero word, and not every kernel version exports the routine.
inline VOID KeInitializeSpinLock(PKSPIN_LOCK lock) {
    *lock = 0;
}
#else
VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK lock);
#endif
KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock);
VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL new_irql);

VOID NTAPI KeEnterCriticalRegion();
VOID NTAPI KeLeaveCriticalRegion();

// ---- Interlocked operations (sequentially consistent, as on the platform) --------------------

inline LONG InterlockedIncrement(LONG volatile* target) {
    return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* target) {
    return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* target, LONG value) {
    return __atomic_fetch_add(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}
inline LONG InterlockedOr(LONG volatile* target, LONG value) {
    return __atomic_fetch_or(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAnd(LONG volatile* target, LONG value) {
    return __atomic_fetch_and(target, value, __ATOMIC_SEQ_CST);
}
inline CHAR InterlockedExchange8(CHAR volatile* target, CHAR value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline CHAR InterlockedOr8(CHAR volatile* target, CHAR value) {
    return __atomic_fetch_or(target, value, __ATOMIC_SEQ_CST);
}
inline UCHAR ReadUCharAcquire(UCHAR const volatile* source) {
    return __atomic_load_n(source, __ATOMIC_ACQUIRE);
}
inline PVOID ReadPointerAcquire(PVOID const volatile* source) {
    return __atomic_load_n(source, __ATOMIC_ACQUIRE);
}
inline LONG64 InterlockedExchange64(LONG64 volatile* target, LONG64 value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedCompareExchange64(LONG64 volatile* target, LONG64 exchange,
                                           LONG64 comparand) {
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange,
                                               PVOID comparand) {
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}

// ---- Rundown protection ---------------------------------------------------------------------

// Guards an object that may go away while others use it. Zero-filled memory is an initialised,
// active reference: ExInitializeRundownProtection only needs calling to make that explicit.
typedef struct _EX_RUNDOWN_REF {
    union {
        ULONG_PTR Count;
        PVOID Ptr;
    };
} EX_RUNDOWN_REF, *PEX_RUNDOWN_REF;
static_assert(sizeof(EX_RUNDOWN_REF) == 8);

VOID NTAPI ExInitializeRundownProtection(PEX_RUNDOWN_REF run_ref);
// Re-arms a reference that was run down, so that acquisitions succeed again.
VOID NTAPI ExReInitializeRundownProtection(PEX_RUNDOWN_REF run_ref);
// FALSE once a rundown has begun.
BOOLEAN NTAPI ExAcquireRundownProtection(PEX_RUNDOWN_REF run_ref);
VOID NTAPI ExReleaseRundownProtection(PEX_RUNDOWN_REF run_ref);
// Refuses new acquisitions and waits until every current holder has released.
VOID NTAPI ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF run_ref);

// ---- Objects, handles and system threads --------------------------------------------------------

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48);

#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L

inline VOID InitializeObjectAttributes(POBJECT_ATTRIBUTES attributes, PUNICODE_STRING name,
                                       ULONG flags, HANDLE root, PVOID security) {
    attributes->Length = sizeof(OBJECT_ATTRIBUTES);
    attributes->RootDirectory = root;
    attributes->Attributes = flags;
    attributes->ObjectName = name;
    attributes->SecurityDescriptor = security;
    attributes->SecurityQualityOfService = nullptr;
}

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef struct _OBJECT_TYPE* POBJECT_TYPE;
extern NTKERNELAPI POBJECT_TYPE* PsThreadType;

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

// A thread object begins with its dispatcher header, so it can be waited on.
typedef struct _KTHREAD* PKTHREAD;
typedef struct _KTHREAD* PETHREAD;

typedef VOID(NTAPI* PKSTART_ROUTINE)(PVOID start_context);

#define THREAD_ALL_ACCESS 0x001FFFFFL
#define SYNCHRONIZE 0x00100000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_ALL 0x10000000L
#define KEY_ALL_ACCESS 0x000F003FL
#define KEY_READ 0x00020019L
#define MAXIMUM_ALLOWED 0x02000000L

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE thread_handle, ULONG desired_access,
                                    POBJECT_ATTRIBUTES object_attributes, HANDLE process_handle,
                                    PCLIENT_ID client_id, PKSTART_ROUTINE start_routine,
                                    PVOID start_context);
// Ends the calling system thread; never returns.
[[noreturn]] NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS exit_status);

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desired_access,
                                         POBJECT_TYPE object_type, KPROCESSOR_MODE access_mode,
                                         PVOID* object,
                                         POBJECT_HANDLE_INFORMATION handle_information);
LONG_PTR NTAPI ObfDereferenceObject(PVOID object);
#define ObDereferenceObject(object) ObfDereferenceObject(object)
// Waits on the object a thread handle names, as KeWaitForSingleObject does on the object.
NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);
NTSTATUS NTAPI ZwClose(HANDLE handle);

// ---- Processor features and extended state ------------------------------------------------

#define PF_AVX_INSTRUCTIONS_AVAILABLE 39
#define PF_AVX2_INSTRUCTIONS_AVAILABLE 40
#define PF_AVX512F_INSTRUCTIONS_AVAILABLE 41
// True when the processor has the feature and the system saves the state it needs.
BOOLEAN NTAPI ExIsProcessorFeaturePresent(ULONG processor_feature);

// State components, by their bit in a save mask: the upper halves of the 256-bit registers; the
// 512-bit opmask registers, the upper halves of the first sixteen 512-bit registers, and the
// other sixteen.
#define XSTATE_AVX 2
#define XSTATE_AVX512_KMASK 5
#define XSTATE_AVX512_ZMM_H 6
#define XSTATE_AVX512_ZMM 7
#define XSTATE_MASK_AVX (1ULL << XSTATE_AVX)
#define XSTATE_MASK_AVX512 \
    ((1ULL << XSTATE_AVX512_KMASK) | (1ULL << XSTATE_AVX512_ZMM_H) | (1ULL << XSTATE_AVX512_ZMM))

typedef struct _XSTATE_SAVE {
    ULONG64 Reserved[7];
} XSTATE_SAVE, *PXSTATE_SAVE;

// Kernel code saves the extended (256- and 512-bit) register state before it uses those
// registers, and restores it in reverse order of saving, at DISPATCH_LEVEL or below. The mask
// names only components the system enables; a save can fail for want of memory.
NTSTATUS NTAPI KeSaveExtendedProcessorState(ULONG64 mask, PXSTATE_SAVE xstate_save);
VOID NTAPI KeRestoreExtendedProcessorState(PXSTATE_SAVE xstate_save);

// ---- Time ------------------------------------------------------------------------------------

// On x64 the system reads both clocks from a page it maps at a fixed kernel address, which a loaded
// image cannot reach in the stand-in; the driver reads neither, so only the host side has them.
#if !defined(_WIN64)
// System time: 100 ns units since 1 January 1601 (UTC).
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER current_time);
// Interrupt time: 100 ns units since the stand-in started; monotonic.
ULONGLONG NTAPI KeQueryInterruptTime();
#endif

}  // extern "C"
