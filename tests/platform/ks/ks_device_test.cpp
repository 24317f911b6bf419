// The class-driver stand-in at device level: driver load, Add, object bags, _KsEdit, start and
// stop, and the verifier's leak report when a device or the driver goes away.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/ks_host.h"
#include "platform/verifier.h"

namespace {

constexpr ULONG kTestTag = 'tseT';  // "Test"

std::vector<int> g_freed;
int g_starts = 0;
int g_stops = 0;
bool g_leak_in_add = false;
PVOID g_leaked = nullptr;
NTSTATUS g_add_status = STATUS_SUCCESS;

struct Item {
    int id;
};

VOID NTAPI FreeItem(PVOID item) {
    g_freed.push_back(static_cast<Item*>(item)->id);
    ExFreePoolWithTag(item, kTestTag);
}

Item* NewItem(int id) {
    auto* item = static_cast<Item*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Item), kTestTag));
    item->id = id;
    return item;
}

NTSTATUS NTAPI TestAdd(PKSDEVICE device) {
    if (g_leak_in_add)
        g_leaked = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTestTag);
    if (!NT_SUCCESS(g_add_status))
        return g_add_status;
    Item* item = NewItem(1);
    device->Context = item;
    return KsAddItemToObjectBag(device->Bag, item, FreeItem);
}

NTSTATUS NTAPI TestStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    ++g_starts;
    return device->Started ? STATUS_INVALID_DEVICE_STATE : STATUS_SUCCESS;
}

VOID NTAPI TestStop(PKSDEVICE, PIRP) {
    ++g_stops;
}

const KSDEVICE_DISPATCH kDispatch = {TestAdd,  TestStart, nullptr, nullptr, nullptr,
                                     TestStop, nullptr,   nullptr, nullptr, nullptr,
                                     nullptr,  nullptr,   nullptr, nullptr};
const KSDEVICE_DESCRIPTOR kDescriptor = {&kDispatch, 0, nullptr, 0, 0};
const KSFILTER_DESCRIPTOR kFilter = {};

NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    return KsInitializeDriver(driver, path, &kDescriptor);
}

class KsDeviceTest : public testing::Test {
  protected:
    void SetUp() override {
        g_freed.clear();
        g_starts = g_stops = 0;
        g_leak_in_add = false;
        g_add_status = STATUS_SUCCESS;
        ASSERT_EQ(platform::ks::LoadDriver(TestDriverEntry), STATUS_SUCCESS);
    }
    void TearDown() override { EXPECT_EQ(platform::ks::UnloadDriver(), 0u); }
};

TEST_F(KsDeviceTest, AddSeesTheDeviceStackAndTheBagFreesNewestFirst) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PKSDEVICE device = platform::ks::CreateDevice(nullptr, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_NE(device, nullptr);
    EXPECT_NE(device->PhysicalDeviceObject, nullptr);
    EXPECT_NE(device->NextDeviceObject, nullptr);
    EXPECT_EQ(device->FunctionalDeviceObject->StackSize, device->NextDeviceObject->StackSize + 1);
    EXPECT_EQ(KsGetDevice(device), device);
    EXPECT_EQ(static_cast<Item*>(device->Context)->id, 1);
    ASSERT_EQ(KsAddItemToObjectBag(device->Bag, NewItem(2), FreeItem), STATUS_SUCCESS);
    ASSERT_EQ(KsAddItemToObjectBag(device->Bag, NewItem(3), FreeItem), STATUS_SUCCESS);
    // An item without a free routine is released with ExFreePool.
    ASSERT_EQ(KsAddItemToObjectBag(device->Bag, ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTestTag),
                                   nullptr),
              STATUS_SUCCESS);
    EXPECT_TRUE(g_freed.empty());
    EXPECT_EQ(platform::ks::RemoveDevice(device), 0u);
    EXPECT_EQ(g_freed, (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(platform::verifier::OutstandingBlocks(kTestTag), 0u);
}

TEST_F(KsDeviceTest, AFailedAddLeavesNoDevice) {
    g_add_status = STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(platform::ks::CreateDevice(nullptr, &status), nullptr);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(KsDeviceTest, KsEditCopiesIntoABagOwnedItemAndFreesOnlyBagOwnedOldItems) {
    PKSDEVICE device = platform::ks::CreateDevice(nullptr, nullptr);
    ASSERT_NE(device, nullptr);
    static const UCHAR kStatic[4] = {1, 2, 3, 4};
    PVOID item = const_cast<UCHAR*>(kStatic);
    ASSERT_EQ(_KsEdit(device->Bag, &item, 8, sizeof(kStatic), kTestTag), STATUS_SUCCESS);
    ASSERT_NE(item, static_cast<const void*>(kStatic));
    const UCHAR expected[8] = {1, 2, 3, 4, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(item, expected, 8), 0);
    EXPECT_EQ(platform::verifier::OutstandingBlocks(kTestTag), 2u);  // context and the copy

    // Editing the copy again replaces it: the bag frees the old copy at once.
    PVOID first_copy = item;
    ASSERT_EQ(_KsEdit(device->Bag, &item, 2, 8, kTestTag), STATUS_SUCCESS);
    EXPECT_NE(item, first_copy);
    EXPECT_EQ(static_cast<UCHAR*>(item)[1], 2);
    EXPECT_EQ(platform::verifier::OutstandingBlocks(kTestTag), 2u);

    platform::verifier::FailAllocationsWithTag(kTestTag);
    PVOID unchanged = item;
    EXPECT_EQ(_KsEdit(device->Bag, &item, 16, 2, kTestTag), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(item, unchanged);
    platform::verifier::ClearFaults();
    platform::ks::RemoveDevice(device);
    EXPECT_EQ(platform::verifier::OutstandingBlocks(kTestTag), 0u);
}

TEST_F(KsDeviceTest, StartMarksTheDeviceStartedAndStopRemovesFreeOnStopFactories) {
    PKSDEVICE device = platform::ks::CreateDevice(nullptr, nullptr);
    ASSERT_NE(device, nullptr);
    EXPECT_FALSE(device->Started);
    EXPECT_EQ(platform::ks::StartDevice(device), STATUS_SUCCESS);
    EXPECT_TRUE(device->Started);
    PKSFILTERFACTORY factory = nullptr;
    WCHAR name[] = u"GLOBAL";
    ASSERT_EQ(KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilter, name, nullptr,
                                    KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, &factory),
              STATUS_SUCCESS);
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->FilterDescriptor, &kFilter);
    EXPECT_EQ(KsCreateFilterFactory(device->PhysicalDeviceObject, &kFilter, name, nullptr, 0,
                                    nullptr, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    ASSERT_EQ(platform::ks::FilterFactories(device).size(), 1u);
    platform::ks::StopDevice(device);
    EXPECT_FALSE(device->Started);
    EXPECT_TRUE(platform::ks::FilterFactories(device).empty());
    EXPECT_EQ(g_starts, 1);
    EXPECT_EQ(g_stops, 1);
    platform::ks::RemoveDevice(device);
}

TEST_F(KsDeviceTest, KsAcquireDeviceNests) {
    PKSDEVICE device = platform::ks::CreateDevice(nullptr, nullptr);
    ASSERT_NE(device, nullptr);
    KsAcquireDevice(device);
    KsAcquireDevice(device);
    KsReleaseDevice(device);
    KsReleaseDevice(device);
    platform::ks::RemoveDevice(device);
}

TEST_F(KsDeviceTest, ThePlaceholderLowerDeviceFailsRequests) {
    PKSDEVICE device = platform::ks::CreateDevice(nullptr, nullptr);
    ASSERT_NE(device, nullptr);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io_status{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, device->NextDeviceObject, nullptr, 0,
                                             nullptr, 0, TRUE, &event, &io_status);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(device->NextDeviceObject, irp), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(io_status.Status, STATUS_DEVICE_NOT_CONNECTED);
    platform::ks::RemoveDevice(device);
}

using KsLeakDeathTest = KsDeviceTest;

TEST_F(KsLeakDeathTest, RemovingTheLastDeviceReportsALeakedBlockByTag) {
    platform::verifier::SetMode(platform::verifier::Mode::kRecord);
    g_leak_in_add = true;
    PKSDEVICE device = platform::ks::CreateDevice(nullptr, nullptr);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(platform::ks::RemoveDevice(device), 1u);
    std::vector<std::string> violations = platform::verifier::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_NE(violations[0].find("Test"), std::string::npos) << violations[0];
    // Release the block the driver leaked, so that unloading finds nothing more.
    ExFreePoolWithTag(g_leaked, kTestTag);
    platform::verifier::SetMode(platform::verifier::Mode::kAbort);
}

TEST(KsVerifierDeathTest, ALeakingDriverFailsTheRun) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_DEATH(
        {
            platform::ks::LoadDriver(TestDriverEntry);
            g_leak_in_add = true;
            PKSDEVICE device = platform::ks::CreateDevice(nullptr, nullptr);
            platform::ks::RemoveDevice(device);
        },
        "verifier: .*Test");
}

}  // namespace
