// Internal records of the class-driver stand-in, shared by its files: the driver, the object table,
// devices, filter factories, filters and pins with their stream queue, processing and clock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "../kernel/kernel_thread.h"
#include "platform/ks.h"
#include "platform/ks_client.h"

namespace platform::ks::internal {

// An item of a bag and its free routine; each entry is a pool block, so adding to a bag can fail
// as it can in the class driver.
struct BagEntry {
    PVOID item;
    PFNKSFREE free;
};

struct ObjectBag {
    std::mutex mutex;
    std::vector<BagEntry*> items;
};

// Adds an item to a bag; a null free routine frees the item with ExFreePool. Fails with
// STATUS_INSUFFICIENT_RESOURCES, leaving the item to the caller, when no entry can be allocated.
NTSTATUS AddToBag(ObjectBag* bag, PVOID item, PFNKSFREE free);
// Frees every item of the bag through its free routine, the newest first.
void FreeBag(ObjectBag* bag);
// Removes an item from the bag and frees it; false when the bag does not hold it.
bool FreeBagItem(ObjectBag* bag, PVOID item);

struct FilterFactory {
    KSFILTERFACTORY factory{};
    ObjectBag bag;
    std::u16string reference_string;
    ULONG create_item_flags = 0;
};

struct Device {
    KSDEVICE device{};
    ObjectBag bag;
    std::recursive_mutex lock;  // KsAcquireDevice
    PDEVICE_OBJECT physical = nullptr;
    PDEVICE_OBJECT functional = nullptr;
    PDEVICE_OBJECT placeholder_next = nullptr;  // owned when no real lower device was given
    std::vector<std::unique_ptr<FilterFactory>> factories;
    std::vector<client::Filter*> filters;  // open instances, guarded by lock
};

// ---- Driver -------------------------------------------------------------------------------------

// The descriptor the loaded driver handed to KsInitializeDriver, or null.
const KSDEVICE_DESCRIPTOR* LoadedDescriptor();
PDRIVER_OBJECT LoadedDriverObject();

// ---- Object table -------------------------------------------------------------------------------

enum class ObjectKind { kDevice, kFilter, kPin };

// Every live class-driver object with its device, so that KsGetDevice and the services that take
// a KSPIN or KSFILTER can tell a live object from a stale or foreign pointer.
void RegisterObject(const void* object, Device* device, ObjectKind kind, void* owner);
void UnregisterObject(const void* object);
Device* DeviceOfObject(const void* object);
// The stand-in's record behind a live KSFILTER or KSPIN, or null.
client::Filter* FilterOfObject(const void* object);
client::Pin* PinOfObject(const void* object);

void AddDevice(Device* device);
// Removes the device from the list of live ones; true when it was the last.
bool RemoveDeviceEntry(Device* device, uint64_t* first_device_mark);
bool AnyDevice();
Device* DeviceOfFunctionalObject(PDEVICE_OBJECT functional);

// The requests the stand-in hands to the driver, each naming the filter it is addressed to (a pin's
// requests name the pin's filter), for KsGetFilterFromIrp.
void RegisterIrp(PIRP irp, client::Filter* filter);
void UnregisterIrp(PIRP irp);
client::Filter* FilterOfIrp(PIRP irp);

// A request for a driver callback: IoAllocateIrp with one stack location whose current location
// carries the major function, registered for the filter. Null when pool is short.
PIRP NewRequest(client::Filter* filter, UCHAR major_function);
void FreeRequest(PIRP irp);

// ---- Filter factories ---------------------------------------------------------------------------

// The factory with this reference string (the first one when null), or null.
FilterFactory* FindFactory(Device* device, const WCHAR* reference);

// ---- Pins ---------------------------------------------------------------------------------------

// Whether a format belongs to a data range: major format, sub-format and specifier.
bool FormatMatchesRange(const KSDATAFORMAT& format, const KSDATARANGE& range);
// The first of the descriptor's data ranges from `first` on that the format matches, with its
// index in *index; null when none does.
const KSDATARANGE* MatchingRange(const KSPIN_DESCRIPTOR_EX* descriptor, const KSDATAFORMAT& format,
                                 ULONG first, ULONG* index);

// ---- Processing ---------------------------------------------------------------------------------

// The processing side of a pin: requests coalesce into at most one pending call; calls run one at a
// time, on the pin's processing thread or in the caller of a synchronous request.
struct Processing {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;       // the pin runs, or is being asked to
    bool requested = false;  // a call is due
    bool running = false;    // a call is in progress
    bool quit = false;
    std::atomic<int> inside{0};  // Process calls in progress, for the verifier
    platform::kernel::KernelThread thread;
};

void StartProcessing(client::Pin* pin);
void StopProcessing(client::Pin* pin);
// Open: requests are taken from now on. Closed: pending and later requests are dropped (a call in
// progress runs to its end).
void SetProcessingOpen(client::Pin* pin, bool open);
// Waits until no Process call is in progress.
void WaitProcessingIdle(client::Pin* pin);

// ---- Stream queue -------------------------------------------------------------------------------

struct StreamQueue {
    std::mutex mutex;
    std::condition_variable completed_changed;
    std::deque<client::StreamBuffer*> queued;     // oldest first
    std::deque<client::StreamBuffer*> completed;  // oldest first
    KSSTREAM_POINTER leading{};                   // the leading edge, at queued.front()
    bool leading_locked = false;
};

// Completes every queued buffer with DataUsed 0, oldest first.
void FlushQueue(client::Pin* pin);
// Raises a violation for a leading edge left locked, and unlocks it.
void CheckUnlockedAfterProcess(client::Pin* pin);
size_t QueuedCount(client::Pin* pin);

// ---- Clock --------------------------------------------------------------------------------------

class PinClock;
PinClock* NewPinClock();
void DeletePinClock(PinClock* clock);
// Stream time starts and stops with the pin's run state.
void SetClockRunning(PinClock* clock, bool running);
LONGLONG ClockStreamTime(PinClock* clock);
// References beyond the stand-in's own.
ULONG ClockExtraReferences(PinClock* clock);
IKsReferenceClock* ClockInterface(PinClock* clock);

struct PinClockDeleter {
    void operator()(PinClock* clock) const { DeletePinClock(clock); }
};

}  // namespace platform::ks::internal

namespace platform::ks::client {

struct Filter {
    KSFILTER filter{};
    internal::ObjectBag bag;
    internal::Device* device = nullptr;
    std::mutex pins_mutex;
    std::vector<Pin*> pins;
};

struct Pin {
    KSPIN pin{};
    internal::ObjectBag bag;
    Filter* filter = nullptr;
    std::vector<uint8_t> format;  // the connection format, FormatSize bytes
    internal::StreamQueue queue;
    internal::Processing processing;
    std::unique_ptr<internal::PinClock, internal::PinClockDeleter> clock;
};

}  // namespace platform::ks::client
