// The class-driver stand-in at filter and pin level, driven through the client calls against a
// small test driver: filters and their bags, pins and their formats, state steps, the stream queue,
// processing, the clock, property routing, intersection, and the verifier's streaming checks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ks_client.h"
#include "platform/ks_host.h"
#include "platform/verifier.h"

namespace {

namespace client = platform::ks::client;
using Clock = std::chrono::steady_clock;

constexpr ULONG kTestTag = 'tseT';  // "Test"
constexpr GUID kTestSet = {0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
constexpr GUID kOtherSet = {0x9, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
constexpr int kNoState = -1;
constexpr GUID kTestSubFormat = {0x77, 0x1, 0x1, {1, 1, 1, 1, 1, 1, 1, 1}};

// What the test driver does and saw. Reset for every test.
struct Driver {
    std::mutex mutex;
    std::vector<std::pair<KSSTATE, KSSTATE>> state_calls;  // (to, from)
    std::vector<bool> format_calls;                        // old format given
    int pin_creates = 0;
    int filter_closes = 0;
    int fail_state = kNoState;  // SetDeviceState to this state fails
    bool fail_format_change = false;
    bool fail_filter_create = false;
    bool hold_clock = false;  // the pin keeps a clock reference when it stops
    PIKSREFERENCECLOCK clock = nullptr;
    PKSFILTER filter_of_create = nullptr;
    PKSFILTER filter = nullptr;  // the open filter, as property handlers should see it
    // Process behaviour.
    enum class Process { kEject, kLeaveLocked, kUnlockTwice, kSlow } process = Process::kEject;
    std::atomic<int> process_calls{0};
    std::atomic<int> process_inside{0};
    std::atomic<int> process_overlaps{0};
    std::atomic<int> empty_passes{0};
    std::atomic<std::thread::id> process_thread{};
    std::atomic<int> process_irql{-1};
    std::atomic<bool> release_slow{false};
};
Driver* g_driver = nullptr;

VOID NTAPI FreeTestItem(PVOID item) {
    ExFreePoolWithTag(item, kTestTag);
}

NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp) {
    g_driver->filter_of_create = KsGetFilterFromIrp(irp);
    if (g_driver->fail_filter_create)
        return STATUS_INSUFFICIENT_RESOURCES;
    return KsAddItemToObjectBag(filter->Bag, ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTestTag),
                                FreeTestItem);
}

NTSTATUS NTAPI FilterClose(PKSFILTER, PIRP) {
    ++g_driver->filter_closes;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinCreate(PKSPIN pin, PIRP) {
    ++g_driver->pin_creates;
    // A private copy of the descriptor and its framing, as a pin that sizes its frames does.
    NTSTATUS status = _KsEdit(pin->Bag, (PVOID*)&pin->Descriptor, sizeof(KSPIN_DESCRIPTOR_EX),
                              sizeof(KSPIN_DESCRIPTOR_EX), kTestTag);
    if (!NT_SUCCESS(status))
        return status;
    auto* descriptor = const_cast<KSPIN_DESCRIPTOR_EX*>(pin->Descriptor);
    status = _KsEdit(pin->Bag, (PVOID*)&descriptor->AllocatorFraming,
                     sizeof(KSALLOCATOR_FRAMING_EX), sizeof(KSALLOCATOR_FRAMING_EX), kTestTag);
    if (NT_SUCCESS(status))
        const_cast<KSALLOCATOR_FRAMING_EX*>(descriptor->AllocatorFraming)->FramingItem[0].Frames =
            7;
    return status;
}

NTSTATUS NTAPI PinSetDataFormat(PKSPIN, PKSDATAFORMAT old_format, PKSMULTIPLE_ITEM,
                                const KSDATARANGE*, const KSATTRIBUTE_LIST*) {
    g_driver->format_calls.push_back(old_format != nullptr);
    return old_format != nullptr && g_driver->fail_format_change ? STATUS_NO_MATCH : STATUS_SUCCESS;
}

NTSTATUS NTAPI PinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from) {
    {
        std::lock_guard<std::mutex> guard(g_driver->mutex);
        g_driver->state_calls.emplace_back(to, from);
    }
    if ((int)to == g_driver->fail_state)
        return STATUS_UNSUCCESSFUL;
    if (to == KSSTATE_ACQUIRE && from == KSSTATE_STOP)
        KsPinGetReferenceClockInterface(pin, &g_driver->clock);
    if (to == KSSTATE_STOP && g_driver->clock != nullptr && !g_driver->hold_clock) {
        g_driver->clock->Release();
        g_driver->clock = nullptr;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinProcess(PKSPIN pin) {
    Driver& d = *g_driver;
    if (d.process_inside.fetch_add(1) != 0)
        ++d.process_overlaps;
    std::this_thread::yield();  // room for a second call, if the stand-in allowed one
    d.process_thread = std::this_thread::get_id();
    d.process_irql = KeGetCurrentIrql();
    PKSSTREAM_POINTER leading =
        KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (leading == nullptr)
        ++d.empty_passes;
    switch (d.process) {
        case Driver::Process::kEject:
            if (leading != nullptr) {
                leading->StreamHeader->DataUsed = ++d.process_calls;
                KsStreamPointerUnlock(leading, TRUE);
            } else {
                ++d.process_calls;
            }
            break;
        case Driver::Process::kLeaveLocked:
            ++d.process_calls;
            break;
        case Driver::Process::kUnlockTwice:
            ++d.process_calls;
            if (leading != nullptr) {
                KsStreamPointerUnlock(leading, FALSE);
                KsStreamPointerUnlock(leading, FALSE);
            }
            break;
        case Driver::Process::kSlow:
            ++d.process_calls;
            while (!d.release_slow)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (leading != nullptr)
                KsStreamPointerUnlock(leading, FALSE);
            break;
    }
    d.process_inside.fetch_sub(1);
    return STATUS_PENDING;
}

NTSTATUS NTAPI PinIntersect(PVOID context, PIRP irp, PKSP_PIN request, PKSDATARANGE caller,
                            PKSDATARANGE matched, ULONG buffer_size, PVOID data, PULONG data_size) {
    EXPECT_EQ(KsGetFilterFromIrp(irp), context);
    EXPECT_EQ(request->PinId, 0u);
    // The second of the pin's ranges answers: the first refuses everything.
    if (matched->SampleSize == 1)
        return STATUS_NO_MATCH;
    *data_size = sizeof(KSDATAFORMAT);
    if (buffer_size == 0)
        return STATUS_BUFFER_OVERFLOW;
    if (buffer_size < sizeof(KSDATAFORMAT))
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(data, caller, sizeof(KSDATAFORMAT));
    static_cast<PKSDATAFORMAT>(data)->SampleSize = 1234;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI GetValue(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(stack->Parameters.DeviceIoControl.IoControlCode, (ULONG)IOCTL_KS_PROPERTY);
    EXPECT_EQ(stack->Parameters.DeviceIoControl.Type3InputBuffer, request);
    EXPECT_EQ(irp->UserBuffer, data);
    EXPECT_EQ(KsGetFilterFromIrp(irp), g_driver->filter);
    *static_cast<ULONG*>(data) = 0xC0FFEE;
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SetValue(PIRP, PKSIDENTIFIER, PVOID data) {
    return *static_cast<ULONG*>(data) == 1 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

const KSPROPERTY_ITEM kItems[] = {
    {1,
     {GetValue},
     sizeof(KSPROPERTY) + 4,
     sizeof(ULONG),
     {SetValue},
     nullptr,
     0,
     nullptr,
     nullptr,
     0},
    {2, {GetValue}, sizeof(KSPROPERTY), sizeof(ULONG), {nullptr}, nullptr, 0, nullptr, nullptr, 0},
};
const KSPROPERTY_SET kSets[] = {{&kTestSet, 2, kItems, 0, nullptr}};
const KSAUTOMATION_TABLE kAutomation = {1,      sizeof(KSPROPERTY_ITEM), kSets, 0, 0, nullptr, 0, 0,
                                        nullptr};

KSDATARANGE MakeRange(ULONG sample_size) {
    KSDATARANGE range{};
    range.FormatSize = sizeof(KSDATARANGE);
    range.SampleSize = sample_size;
    range.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    range.SubFormat = kTestSubFormat;
    range.Specifier = GUID_NULL;
    return range;
}
KSDATARANGE g_range_refusing = MakeRange(1);
KSDATARANGE g_range = MakeRange(2);
const PKSDATARANGE kRanges[] = {&g_range_refusing, &g_range};
const KSALLOCATOR_FRAMING_EX kFraming = {1, 0, {1, 1, 0}, 0, {}};
const KSPIN_DISPATCH kPinDispatch = {
    PinCreate,         nullptr, PinProcess, nullptr, PinSetDataFormat,
    PinSetDeviceState, nullptr, nullptr,    nullptr, nullptr};
const KSPIN_DESCRIPTOR_EX kPin = {
    &kPinDispatch,
    nullptr,
    {0, nullptr, 0, nullptr, 2, kRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, nullptr,
     nullptr, 0, nullptr},
    KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING | KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING |
        KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,
    1,
    1,
    &kFraming,
    PinIntersect,
};
const KSFILTER_DISPATCH kFilterDispatch = {FilterCreate, FilterClose, nullptr, nullptr};
const KSFILTER_DESCRIPTOR kFilter = {&kFilterDispatch,
                                     &kAutomation,
                                     KSFILTER_DESCRIPTOR_VERSION,
                                     0,
                                     nullptr,
                                     1,
                                     sizeof(kPin),
                                     &kPin,
                                     0,
                                     nullptr,
                                     0,
                                     24,
                                     nullptr,
                                     0,
                                     nullptr,
                                     nullptr};

WCHAR kReference[] = u"GLOBAL";

NTSTATUS NTAPI DeviceStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    return KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilter, kReference, nullptr,
                                 KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
}
const KSDEVICE_DISPATCH kDeviceDispatch = {nullptr, DeviceStart, nullptr, nullptr, nullptr,
                                           nullptr, nullptr,     nullptr, nullptr, nullptr,
                                           nullptr, nullptr,     nullptr, nullptr};
const KSDEVICE_DESCRIPTOR kDevice = {&kDeviceDispatch, 0, nullptr, 0, 0};

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    return KsInitializeDriver(driver, path, &kDevice);
}

class KsStreamingTest : public testing::Test {
  protected:
    void SetUp() override {
        g_driver = &driver_;
        ASSERT_EQ(platform::ks::LoadDriver(DriverEntry), STATUS_SUCCESS);
        device_ = platform::ks::CreateDevice(nullptr, nullptr);
        ASSERT_NE(device_, nullptr);
        ASSERT_EQ(platform::ks::StartDevice(device_), STATUS_SUCCESS);
        ASSERT_EQ(client::OpenFilter(device_, nullptr, &filter_), STATUS_SUCCESS);
        driver_.filter = client::FilterObject(filter_);
    }
    void TearDown() override {
        if (filter_ != nullptr)
            client::CloseFilter(filter_);
        for (client::StreamBuffer* buffer : buffers_)
            client::FreeStreamBuffer(buffer);
        platform::ks::StopDevice(device_);
        platform::ks::RemoveDevice(device_);
        EXPECT_EQ(platform::ks::UnloadDriver(), 0u);
        platform::verifier::SetMode(platform::verifier::Mode::kAbort);
        g_driver = nullptr;
    }

    client::Pin* NewPin(bool clock = true) {
        KSDATAFORMAT format = g_range;
        client::Pin* pin = nullptr;
        EXPECT_EQ(client::CreatePin(filter_, 0, &format, {clock}, &pin), STATUS_SUCCESS);
        return pin;
    }
    client::StreamBuffer* NewBuffer(ULONG header_size = 56, ULONG extent = 64) {
        client::StreamBuffer* buffer = client::CreateStreamBuffer(header_size, extent);
        if (buffer != nullptr)
            buffers_.push_back(buffer);
        return buffer;
    }
    std::vector<std::pair<KSSTATE, KSSTATE>> StateCalls() {
        std::lock_guard<std::mutex> guard(driver_.mutex);
        return driver_.state_calls;
    }
    // Waits until Process has been called `count` times in all.
    bool WaitForProcessCalls(int count) {
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (driver_.process_calls < count && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return driver_.process_calls >= count;
    }

    Driver driver_;
    PKSDEVICE device_ = nullptr;
    client::Filter* filter_ = nullptr;
    std::vector<client::StreamBuffer*> buffers_;
};

TEST_F(KsStreamingTest, AFilterHasItsOwnBagAndItsRequestsNameIt) {
    EXPECT_EQ(driver_.filter_of_create, client::FilterObject(filter_));
    EXPECT_EQ(KsGetDevice(client::FilterObject(filter_)), device_);
    EXPECT_EQ(platform::verifier::OutstandingBlocks(kTestTag), 1u);
    EXPECT_EQ(client::CloseFilter(filter_), STATUS_SUCCESS);
    filter_ = nullptr;
    EXPECT_EQ(driver_.filter_closes, 1);
    EXPECT_EQ(platform::verifier::OutstandingBlocks(kTestTag), 0u);

    client::Filter* filter = nullptr;
    driver_.fail_filter_create = true;
    EXPECT_EQ(client::OpenFilter(device_, nullptr, &filter), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(filter, nullptr);
    EXPECT_EQ(client::OpenFilter(device_, u"OTHER", &filter), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(KsStreamingTest, APinIsCheckedThenCreatedAndItsFormatChangesGoThroughTheDriver) {
    KSDATAFORMAT wrong = g_range;
    wrong.SubFormat = GUID_NULL;
    client::Pin* pin = nullptr;
    EXPECT_EQ(client::CreatePin(filter_, 0, &wrong, {}, &pin), STATUS_NO_MATCH);
    EXPECT_EQ(client::CreatePin(filter_, 1, &wrong, {}, &pin), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(driver_.format_calls.empty());

    pin = NewPin();
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(driver_.format_calls, (std::vector<bool>{false}));
    EXPECT_EQ(driver_.pin_creates, 1);
    EXPECT_EQ(client::PinState(pin), KSSTATE_STOP);
    EXPECT_EQ(client::PinInstanceCount(filter_, 0), 1u);
    // The client sees the pin's own framing; the filter's descriptor is untouched.
    EXPECT_EQ(client::PinAllocatorFraming(pin)->FramingItem[0].Frames, 7u);
    EXPECT_EQ(client::PinDescriptor(filter_, 0)->AllocatorFraming, &kFraming);

    // A second instance is beyond InstancesPossible: the driver is not asked.
    KSDATAFORMAT format = g_range;
    client::Pin* second = nullptr;
    EXPECT_EQ(client::CreatePin(filter_, 0, &format, {}, &second), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(driver_.pin_creates, 1);

    format.SampleSize = 99;
    EXPECT_EQ(client::SetPinFormat(pin, &format), STATUS_SUCCESS);
    EXPECT_EQ(client::PinObject(pin)->ConnectionFormat->SampleSize, 99u);
    driver_.fail_format_change = true;
    format.SampleSize = 100;
    EXPECT_EQ(client::SetPinFormat(pin, &format), STATUS_NO_MATCH);
    EXPECT_EQ(client::PinObject(pin)->ConnectionFormat->SampleSize, 99u);
    EXPECT_EQ(driver_.format_calls, (std::vector<bool>{false, true, true}));
}

TEST_F(KsStreamingTest, StatesChangeOneStepAtATimeAndStopCompletesWhatIsQueued) {
    client::Pin* pin = NewPin();
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    client::StreamBuffer* first = NewBuffer();
    client::StreamBuffer* second = NewBuffer(128);
    first->header->DataUsed = 5;
    ASSERT_EQ(client::SubmitBuffer(pin, first), STATUS_SUCCESS);
    ASSERT_EQ(client::SubmitBuffer(pin, second), STATUS_SUCCESS);
    EXPECT_EQ(client::SubmitBuffer(pin, first), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(first->header->DataUsed, 0u);
    EXPECT_EQ(second->header->Size, 128u);
    EXPECT_EQ(second->header->FrameExtent, 64u);

    driver_.fail_state = KSSTATE_PAUSE;
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(client::SetPinState(pin, KSSTATE_STOP), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(client::PinState(pin), KSSTATE_RUN);
    driver_.fail_state = KSSTATE_ACQUIRE;
    EXPECT_EQ(client::SetPinState(pin, KSSTATE_STOP), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(client::PinState(pin), KSSTATE_PAUSE);
    EXPECT_EQ(client::QueuedBufferCount(pin), 2u);
    driver_.fail_state = kNoState;
    EXPECT_EQ(client::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);

    using S = std::pair<KSSTATE, KSSTATE>;
    EXPECT_EQ(StateCalls(), (std::vector<S>{{KSSTATE_ACQUIRE, KSSTATE_STOP},
                                            {KSSTATE_PAUSE, KSSTATE_ACQUIRE},
                                            {KSSTATE_RUN, KSSTATE_PAUSE},
                                            {KSSTATE_PAUSE, KSSTATE_RUN},
                                            {KSSTATE_PAUSE, KSSTATE_RUN},
                                            {KSSTATE_ACQUIRE, KSSTATE_PAUSE},
                                            {KSSTATE_ACQUIRE, KSSTATE_PAUSE},
                                            {KSSTATE_STOP, KSSTATE_ACQUIRE}}));
    EXPECT_EQ(client::WaitForBuffer(pin, 0), first);
    EXPECT_EQ(client::WaitForBuffer(pin, 0), second);
    EXPECT_EQ(client::WaitForBuffer(pin, 50), nullptr);
    EXPECT_EQ(client::SubmitBuffer(pin, first), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(client::CreateStreamBuffer(100, 64), nullptr);
}

TEST_F(KsStreamingTest, ProcessRunsOnlyInRunOnItsOwnThreadAndRequestsCoalesce) {
    client::Pin* pin = NewPin();
    PKSPIN ks_pin = client::PinObject(pin);
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    client::StreamBuffer* buffer = NewBuffer();
    ASSERT_EQ(client::SubmitBuffer(pin, buffer), STATUS_SUCCESS);
    KsPinAttemptProcessing(ks_pin, TRUE);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(driver_.process_calls, 0);  // not in RUN; arrival started nothing either

    ASSERT_EQ(client::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    KsPinAttemptProcessing(ks_pin, TRUE);
    ASSERT_TRUE(WaitForProcessCalls(1));
    EXPECT_EQ(client::WaitForBuffer(pin, 5000), buffer);
    EXPECT_EQ(buffer->header->DataUsed, 1u);
    EXPECT_NE(driver_.process_thread.load(), std::this_thread::get_id());
    EXPECT_EQ(driver_.process_irql, PASSIVE_LEVEL);

    // While a pass runs, any number of requests make one more pass, here with nothing queued.
    driver_.process = Driver::Process::kSlow;
    KsPinAttemptProcessing(ks_pin, TRUE);
    ASSERT_TRUE(WaitForProcessCalls(2));
    for (int i = 0; i < 20; ++i)
        KsPinAttemptProcessing(ks_pin, i % 2 == 0);
    driver_.release_slow = true;
    ASSERT_TRUE(WaitForProcessCalls(3));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(driver_.process_calls, 3);
    EXPECT_EQ(driver_.empty_passes, 2);
}

// Many threads asking at once, some for processing in their own thread: still one call at a time.
TEST_F(KsStreamingTest, ProcessCallsNeverOverlap) {
    client::Pin* pin = NewPin();
    PKSPIN ks_pin = client::PinObject(pin);
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([ks_pin, t] {
            for (int i = 0; i < 500; ++i)
                KsPinAttemptProcessing(ks_pin, (i + t) % 3 == 0);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_GT(driver_.process_calls, 0);
    EXPECT_EQ(driver_.process_overlaps, 0);
}

TEST_F(KsStreamingTest, TheMasterClockCountsOnlyWhileThePinRuns) {
    client::Pin* pin = NewPin();
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_NE(driver_.clock, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(client::PinClockTime(pin), 0);
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    LONGLONG ran = client::PinClockTime(pin);
    EXPECT_GE(ran, 300000);  // at least the 30 ms it ran, in 100 ns units
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    LONGLONG system = 0;
    EXPECT_EQ(driver_.clock->GetCorrelatedTime(&system), ran);
    EXPECT_GT(system, 0);
    ASSERT_EQ(client::ClosePin(pin), STATUS_SUCCESS);
    EXPECT_EQ(driver_.clock, nullptr);

    client::Pin* unclocked = NewPin(false);
    ASSERT_EQ(client::SetPinState(unclocked, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(driver_.clock, nullptr);
    EXPECT_EQ(client::PinClockTime(unclocked), 0);
}

TEST_F(KsStreamingTest, PropertyRequestsAreRoutedAndCheckedBeforeAnyHandler) {
    struct Request {
        KSPROPERTY property;
        ULONG instance;
    };
    struct Case {
        GUID set;
        ULONG id;
        ULONG flags;
        ULONG property_size;
        ULONG data_size;
        NTSTATUS status;
        ULONG returned;
    };
    const ULONG kFull = sizeof(Request);
    const Case cases[] = {
        {kTestSet, 1, KSPROPERTY_TYPE_GET, kFull, 4, STATUS_SUCCESS, 4},
        {kTestSet, 1, KSPROPERTY_TYPE_SET, kFull, 4, STATUS_SUCCESS, 0},
        {kTestSet, 1, KSPROPERTY_TYPE_GET, sizeof(KSPROPERTY) - 1, 4, STATUS_INVALID_BUFFER_SIZE,
         0},
        {kOtherSet, 1, KSPROPERTY_TYPE_GET, kFull, 4, STATUS_PROPSET_NOT_FOUND, 0},
        {kTestSet, 3, KSPROPERTY_TYPE_GET, kFull, 4, STATUS_NOT_FOUND, 0},
        {kTestSet, 2, KSPROPERTY_TYPE_SET, kFull, 4, STATUS_NOT_FOUND, 0},
        {kTestSet, 1, 0, kFull, 4, STATUS_NOT_SUPPORTED, 0},
        {kTestSet, 1, KSPROPERTY_TYPE_GET, sizeof(KSPROPERTY), 4, STATUS_INVALID_BUFFER_SIZE, 0},
        {kTestSet, 1, KSPROPERTY_TYPE_GET, kFull, 0, STATUS_BUFFER_OVERFLOW, 4},
        {kTestSet, 1, KSPROPERTY_TYPE_SET, kFull, 3, STATUS_BUFFER_TOO_SMALL, 0},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        Request request{{c.set, c.id, c.flags}, 0};
        ULONG value = 1;
        ULONG returned = 99;
        EXPECT_EQ(client::PropertyRequest(filter_, &request, c.property_size, &value, c.data_size,
                                          &returned),
                  c.status)
            << "case " << i;
        EXPECT_EQ(returned, c.returned) << "case " << i;
        // Only the successful get reached a handler that writes.
        EXPECT_EQ(value,
                  c.status == STATUS_SUCCESS && c.flags == KSPROPERTY_TYPE_GET ? 0xC0FFEEu : 1u)
            << "case " << i;
    }
}

TEST_F(KsStreamingTest, IntersectionAsksForTheSizeThenTriesEachMatchingRange) {
    KSDATARANGE caller = g_range;
    std::vector<uint8_t> format;
    ASSERT_EQ(client::IntersectFormat(filter_, 0, &caller, &format), STATUS_SUCCESS);
    ASSERT_EQ(format.size(), sizeof(KSDATAFORMAT));
    EXPECT_EQ(reinterpret_cast<const KSDATAFORMAT*>(format.data())->SampleSize, 1234u);
    ULONG size = 0;
    UCHAR small[8];
    EXPECT_EQ(client::Intersect(filter_, 0, &caller, sizeof(small), small, &size),
              STATUS_BUFFER_TOO_SMALL);
    caller.SubFormat = GUID_NULL;
    EXPECT_EQ(client::IntersectFormat(filter_, 0, &caller, &format), STATUS_NO_MATCH);
}

// Each mistake of a driver fails the run like a leaked block; recorded here to be seen.
TEST_F(KsStreamingTest, TheVerifierCatchesStreamingMistakes) {
    platform::verifier::SetMode(platform::verifier::Mode::kRecord);
    struct Case {
        const char* expected;
        Driver::Process process;
        bool clock;
        bool hold_clock;
        int fail_state;
    };
    const Case cases[] = {
        {"still locked", Driver::Process::kLeaveLocked, true, false, kNoState},
        {"not locked", Driver::Process::kUnlockTwice, true, false, kNoState},
        {"clock", Driver::Process::kEject, true, true, kNoState},
        // A pin whose stop fails keeps its buffers to the end.
        {"still queued", Driver::Process::kEject, false, false, KSSTATE_ACQUIRE},
    };
    for (const Case& c : cases) {
        driver_.process = c.process;
        driver_.hold_clock = c.hold_clock;
        driver_.process_calls = 0;
        client::Pin* pin = NewPin(c.clock);
        ASSERT_EQ(client::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
        client::StreamBuffer* buffer = NewBuffer();
        ASSERT_EQ(client::SubmitBuffer(pin, buffer), STATUS_SUCCESS);
        if (c.fail_state == kNoState) {
            ASSERT_EQ(client::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
            KsPinAttemptProcessing(client::PinObject(pin), TRUE);
            ASSERT_TRUE(WaitForProcessCalls(1));
        }
        driver_.fail_state = c.fail_state;
        client::ClosePin(pin);
        driver_.fail_state = kNoState;
        std::vector<std::string> violations = platform::verifier::TakeViolations();
        ASSERT_EQ(violations.size(), 1u) << c.expected;
        EXPECT_NE(violations[0].find(c.expected), std::string::npos) << violations[0];
        driver_.clock = nullptr;  // gone with its pin
    }
    EXPECT_EQ(KsGetFilterFromIrp(nullptr), nullptr);
    EXPECT_EQ(platform::verifier::TakeViolations().size(), 1u);
}

}  // namespace
