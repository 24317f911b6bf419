// The camera's property set through property requests on an open filter of a started device: what
// every item reports and takes, the buffers the framework refuses before any handler, the register
// writes on the wire, the service items under hostile values, requests that cannot reach the
// camera, filter close saving the settings, faults at every allocation and registry call, and the
// settings across device lifetimes in a registry file.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/capture_pin.h"
#include "imaging/color_settings.h"
#include "imaging/color_table.h"
#include "platform/verifier.h"
#include "sim/device_memory.h"
#include "tests/support/property_requests.h"
#include "tests/support/register_writes.h"
#include "tests/support/rig_test.h"
#include "tests/support/settings_file.h"
#include "usb/usb_transport.h"

namespace {

using camdrv::CameraCommandRequest;
using camdrv::CameraItem;
using camdrv::ImageSizeRequest;
using camtest::GetItem;
using camtest::ItemValue;
using camtest::PropertyRecord;
using camtest::SendRecord;
using camtest::SetItem;
namespace client = platform::ks::client;

WCHAR kReference[] = u"GLOBAL";

using camtest::Write;

class PropertySetTest : public camtest::UsbRigTest {
  protected:
    // Starts the device and opens the rig's filter.
    void Open() {
        ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
        ASSERT_EQ(rig_.OpenFilter(), STATUS_SUCCESS);
    }
    // One life of a device on the registry file: created, started, its filter opened, the
    // requests, the filter closed, stopped and removed.
    void Lifetime(const std::function<void()>& requests) {
        if (rig_.device() != nullptr)
            rig_.Unplug();
        ASSERT_EQ(rig_.Plug(), STATUS_SUCCESS);
        Open();
        if (HasFatalFailure())
            return;
        requests();
        EXPECT_EQ(rig_.CloseFilter(), STATUS_SUCCESS);
        rig_.Stop();
        rig_.Unplug();
    }
    // A request whose record is exactly the item's minimum size, from the heap, so that a handler
    // reading or writing past it is caught.
    template <typename Record>
    NTSTATUS SendExact(Record* record) {
        auto copy = std::make_unique<Record>(*record);
        NTSTATUS status = SendRecord(filter(), copy.get());
        *record = *copy;
        return status;
    }
    NTSTATUS SetImageSizeTo(LONG width, LONG height) {
        auto record = PropertyRecord<ImageSizeRequest>(CameraItem::ImageSize, KSPROPERTY_TYPE_SET);
        record.width = width;
        record.height = height;
        return SendExact(&record);
    }
};

// Sentinels for the two directions of a case.
constexpr LONG kRefused = INT_MIN;        // the item does not serve it: the framework says so
constexpr LONG kFails = INT_MIN + 1;      // served, and fails
constexpr LONG kElsewhere = INT_MIN + 2;  // tested on its own below

// Every item in order: a set (when it has one) and then a get, through the one record a client
// passes as property and data. Values set out of range come back clamped; the ranges, the
// reserved items and the sensor size are the numbers a client reads.
TEST_F(PropertySetTest, EveryItemServesItsDirectionsWithItsValues) {
    Open();
    struct Case {
        CameraItem item;
        LONG set;
        LONG get;
    };
    // The simulated camera's clock setting is 2; GlobalGain 100 leaves 36 in register 6.
    const Case cases[] = {
        {CameraItem::ExTrigger, 256, 1},
        {CameraItem::Timeout, 700, 700},
        {CameraItem::Exposure, 300, 300},
        {CameraItem::ExposureMin, kRefused, 2},
        {CameraItem::ExposureMax, kRefused, 1252},
        {CameraItem::ExposureDefault, kRefused, 2},
        {CameraItem::GlobalGain, 100, 100},
        {CameraItem::GlobalGainMin, kRefused, 0},
        {CameraItem::GlobalGainMax, kRefused, 1023},
        {CameraItem::GlobalGainDefault, kRefused, 512},
        {CameraItem::FlipH, 1, 1},
        {CameraItem::FlipV, 7, 7},
        {CameraItem::ColorEnable, 0, 0},
        {CameraItem::WhiteBalance, 1, 1},
        {CameraItem::RedGain, 100, 100},
        {CameraItem::GreenGain, 0, 1},
        {CameraItem::BlueGain, 600, 512},
        {CameraItem::GainMin, kRefused, 1},
        {CameraItem::GainMax, kRefused, 512},
        {CameraItem::GainDefault, kRefused, 128},
        {CameraItem::Brightness, 600, 510},
        {CameraItem::BrightnessMin, kRefused, 0},
        {CameraItem::BrightnessMax, kRefused, 510},
        {CameraItem::BrightnessDefault, kRefused, 255},
        {CameraItem::Contrast, -3, 0},
        {CameraItem::ContrastMin, kRefused, 0},
        {CameraItem::ContrastMax, kRefused, 20},
        {CameraItem::ContrastDefault, kRefused, 10},
        {CameraItem::Saturation, 15, 15},
        {CameraItem::SaturationMin, kRefused, 0},
        {CameraItem::SaturationMax, kRefused, 20},
        {CameraItem::SaturationDefault, kRefused, 10},
        {CameraItem::Hue, 360, 359},
        {CameraItem::HueMin, kRefused, 0},
        {CameraItem::HueMax, kRefused, 359},
        {CameraItem::HueDefault, kRefused, 0},
        {CameraItem::Reserved36, kRefused, 0},
        {CameraItem::SubSample, kRefused, 0},
        {CameraItem::SensorWidth, kRefused, 1600},
        {CameraItem::SensorHeight, kRefused, 1200},
        {CameraItem::RoiX, kRefused, 0},
        {CameraItem::RoiY, kRefused, 0},
        {CameraItem::RoiW, kRefused, 1600},
        {CameraItem::RoiH, kRefused, 1200},
        {CameraItem::ImageSize, kElsewhere, kRefused},
        {CameraItem::PinOpen, kRefused, 0},
        {CameraItem::Reserved46, kRefused, 1},
        {CameraItem::Reserved47, 5, kRefused},
        {CameraItem::ColorCorrection, 0, 0},
        {CameraItem::Clock, 1, 2},
        {CameraItem::Reserved50, kRefused, 0},
        {CameraItem::Reserved51, kRefused, 1},
        {CameraItem::Reserved52, kRefused, 1},
        {CameraItem::Reserved53, kRefused, 0},
        {CameraItem::Reserved54, kRefused, 0},
        {CameraItem::AGC, 1, 0},
        {CameraItem::AEC, 1, 0},
        {CameraItem::WriteRegister, kElsewhere, kFails},
        {CameraItem::RegisterValue, 6, 36},
        {CameraItem::RawCommand, kElsewhere, kFails},
        {CameraItem::CameraMemory, kElsewhere, kElsewhere},
        {CameraItem::Reserved61, kRefused, 0},
        {CameraItem::Reserved62, kRefused, 0},
        {CameraItem::Reserved63, 7, 0},
        {CameraItem::Reserved64, 7, 0},
        {CameraItem::Reserved65, 7, 0},
        {CameraItem::Reserved66, 7, 0},
        {CameraItem::Reinitialize, kElsewhere, kRefused},
        {CameraItem::Reserved68, kRefused, 0},
    };
    ASSERT_EQ(std::size(cases), camdrv::kCameraItemCount);
    for (ULONG id = 0; id < camdrv::kCameraItemCount; ++id) {
        const Case& c = cases[id];
        ASSERT_EQ((ULONG)c.item, id);
        SCOPED_TRACE(camdrv::ItemName(c.item));
        // Large enough for every item; the value sits at offset 24 in each record.
        auto record = PropertyRecord<CameraCommandRequest>(c.item, KSPROPERTY_TYPE_SET);
        if (c.set != kElsewhere) {
            record.value = c.set;
            EXPECT_EQ(SendRecord(filter(), &record),
                      c.set == kRefused ? STATUS_NOT_FOUND : STATUS_SUCCESS);
        }
        if (c.get == kElsewhere)
            continue;
        record.header.Flags = KSPROPERTY_TYPE_GET;
        record.value = -99;
        const NTSTATUS status = SendRecord(filter(), &record);
        if (c.get == kRefused || c.get == kFails) {
            EXPECT_EQ(status, c.get == kRefused ? STATUS_NOT_FOUND : STATUS_UNSUCCESSFUL);
            EXPECT_EQ(record.value, -99);
        } else {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(record.value, c.get);
        }
    }
    const KSAUTOMATION_TABLE& table = *client::FilterObject(filter())->Descriptor->AutomationTable;
    EXPECT_EQ(table.PropertySetsCount, 1u);
    EXPECT_EQ(table.PropertyItemSize, 72u);
    EXPECT_EQ(table.MethodSetsCount, 0u);
    EXPECT_EQ(table.EventSetsCount, 0u);
    for (ULONG id = 0; id < table.PropertySets[0].PropertiesCount; ++id) {
        const KSPROPERTY_ITEM& item = table.PropertySets[0].PropertyItem[id];
        EXPECT_EQ(item.PropertyId, id);
        EXPECT_TRUE(item.Values == nullptr && item.RelationsCount == 0 &&
                    item.SupportHandler == nullptr && item.SerializedSize == 0)
            << id;
    }
}

// The framework refuses a short property or data buffer, or asks for the size with an empty one,
// before any handler runs: nothing reaches the camera and nothing changes.
TEST_F(PropertySetTest, BuffersBelowAnItemsMinimumAreRefusedBeforeItsHandler) {
    Open();
    const LONG exposure = ItemValue(filter(), CameraItem::Exposure);
    sim().records().Clear();
    for (const camdrv::CameraItemInfo& info : camdrv::kCameraItems) {
        SCOPED_TRACE(info.name);
        const ULONG minimum =
            info.id == CameraItem::ImageSize                                           ? 48
            : info.id == CameraItem::RawCommand || info.id == CameraItem::CameraMemory ? 96
                                                                                       : 32;
        for (ULONG flags : {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET}) {
            if ((info.access & flags) == 0)
                continue;
            auto record = PropertyRecord<CameraCommandRequest>(info.id, flags);
            record.value = 1000;
            record.length = 63;
            ULONG returned = 7;
            EXPECT_EQ(client::PropertyRequest(filter(), &record, minimum - 1, &record, minimum),
                      STATUS_INVALID_BUFFER_SIZE);
            EXPECT_EQ(client::PropertyRequest(filter(), &record, minimum, &record, minimum - 1),
                      STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(client::PropertyRequest(filter(), &record, minimum, &record, 0, &returned),
                      STATUS_BUFFER_OVERFLOW);
            EXPECT_EQ(returned, minimum);
        }
    }
    EXPECT_TRUE(sim().records().Commands().empty());
    EXPECT_EQ(ItemValue(filter(), CameraItem::Exposure), exposure);
}

TEST_F(PropertySetTest, SensorSettingsReachTheCameraAsTheirRegisterValues) {
    Open();
    sim().records().Clear();
    struct Case {
        CameraItem item;
        LONG value;
        LONG reads;
        std::vector<Write> writes;
    };
    // The trigger from the values the start-up left: on, off, on writes 28, 17, 44 to register 33
    // (only its low four bits are cleared before the addition); 256 counts as on.
    const Case cases[] = {
        {CameraItem::Exposure, 1, 2, {{158, 2}, {159, 0}, {161, 2}, {162, 0}}},
        {CameraItem::Exposure, 5000, 1252, {{158, 36}, {159, 19}, {161, 36}, {162, 19}}},
        {CameraItem::Exposure, -1, 1252, {{158, 36}, {159, 19}, {161, 36}, {162, 19}}},
        {CameraItem::GlobalGain, 1023, 1023, {{6, 63}, {7, 15}}},
        {CameraItem::GlobalGain, 2000, 1023, {{6, 63}, {7, 15}}},
        {CameraItem::ExTrigger, 1, 1, {{32, 11}, {33, 28}}},
        {CameraItem::ExTrigger, 0, 0, {{32, 27}, {33, 17}}},
        {CameraItem::ExTrigger, 256, 1, {{32, 11}, {33, 44}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(camdrv::ItemName(c.item)) + "=" + std::to_string(c.value));
        EXPECT_EQ(SetItem(filter(), c.item, c.value), STATUS_SUCCESS);
        EXPECT_EQ(camtest::TakeWrites(sim()), c.writes);
        EXPECT_EQ(ItemValue(filter(), c.item), c.reads);
    }
    // A camera that refuses the write leaves the setting as it was; the request still succeeds.
    sim().SetFaults({.command = {.next = {1, sim::TransferFault::kError}}});
    EXPECT_EQ(SetItem(filter(), CameraItem::GlobalGain, 5), STATUS_SUCCESS);
    EXPECT_EQ(ItemValue(filter(), CameraItem::GlobalGain), 1023);
}

TEST_F(PropertySetTest, TimeOutsOf500AndBelowOrNegativeAreNotTaken) {
    Open();
    for (const auto& [value, stored] : std::vector<std::pair<LONG, LONG>>{
             {500, 3000}, {501, 501}, {0, 501}, {-1, 501}, {INT_MIN, 501}, {INT_MAX, INT_MAX}}) {
        EXPECT_EQ(SetItem(filter(), CameraItem::Timeout, value), STATUS_SUCCESS) << value;
        EXPECT_EQ(ItemValue(filter(), CameraItem::Timeout), stored) << value;
        EXPECT_EQ(frame_timeout_ms, stored) << value;
    }
}

// A processor given its colour settings outside a camera (camctl convert does) keeps each value as
// the property set keeps it, at and beyond the bounds of every range.
TEST_F(PropertySetTest, AProcessorKeepsColourSettingsAsThePropertySetDoes) {
    Open();
    for (const ColorSetting& setting : kColorSettings) {
        std::vector<LONG> values = {INT_MIN, -1, 0, 1, 7, 600, INT_MAX};
        if (const camdrv::RangeItems* range = camdrv::RangeItemsOf(setting.item)) {
            for (CameraItem bound : {range->min, range->max}) {
                const LONG at = camdrv::ItemInfo(bound).fixed_value;
                values.insert(values.end(), {at - 1, at, at + 1});
            }
        }
        for (LONG value : values) {
            SCOPED_TRACE(std::string(camdrv::ItemName(setting.item)) + "=" + std::to_string(value));
            ASSERT_EQ(SetItem(filter(), setting.item, value), STATUS_SUCCESS);
            FrameProcessor* processor = CreateFrameProcessor();
            ASSERT_NE(processor, nullptr);
            EXPECT_TRUE(SetProcessorColor(processor, setting.item, value));
            EXPECT_EQ(processor->*setting.field, ItemValue(filter(), setting.item));
            FreeFrameProcessor(processor);
        }
    }
    FrameProcessor* processor = CreateFrameProcessor();
    ASSERT_NE(processor, nullptr);
    EXPECT_FALSE(SetProcessorColor(processor, CameraItem::Exposure, 300));
    FreeFrameProcessor(processor);
}

TEST_F(PropertySetTest, RegisterItemsTakeAnyIndex) {
    Open();
    sim().records().Clear();
    // The write keeps the whole value for the register read and sends the register's six bits.
    EXPECT_EQ(SetItem(filter(), CameraItem::WriteRegister, 5, 0x7F), STATUS_SUCCESS);
    EXPECT_EQ(camtest::TakeWrites(sim()), (std::vector<Write>{{5, 0x3F}}));
    for (const auto& [index, value] : std::vector<std::pair<LONG, LONG>>{
             {5, 0x7F}, {2000, 0}, {1024, 0}, {-1, 0}, {INT_MIN, 0}}) {
        EXPECT_EQ(SetItem(filter(), CameraItem::RegisterValue, index), STATUS_SUCCESS);
        EXPECT_EQ(ItemValue(filter(), CameraItem::RegisterValue), value) << index;
    }
    // Numbers beyond the registers go out with their low ten bits and are not remembered.
    EXPECT_EQ(SetItem(filter(), CameraItem::WriteRegister, -1, 9), STATUS_SUCCESS);
    EXPECT_EQ(camtest::TakeWrites(sim()), (std::vector<Write>{{1023, 9}}));
    sim().SetFaults({.command = {.next = {1, sim::TransferFault::kError}}});
    EXPECT_EQ(SetItem(filter(), CameraItem::WriteRegister, 6, 1), STATUS_UNSUCCESSFUL);
}

// The length and the address come from the client: whatever they hold, nothing outside the
// request's record is read or written (the records are exactly their minimum size, from the heap).
TEST_F(PropertySetTest, RawCommandsAndMemoryReadsStayInsideTheRequest) {
    Open();
    sim().records().Clear();
    auto raw = PropertyRecord<CameraCommandRequest>(CameraItem::RawCommand, KSPROPERTY_TYPE_SET);
    for (int i = 0; i < 64; ++i)
        raw.bytes[i] = (UCHAR)(i + 1);
    const std::vector<std::pair<LONG, size_t>> lengths = {{0, 0},   {-5, 0},  {INT_MIN, 0}, {3, 3},
                                                          {63, 63}, {64, 63}, {INT_MAX, 63}};
    for (const auto& [length, sent] : lengths) {
        raw.length = length;
        EXPECT_EQ(SendExact(&raw), STATUS_SUCCESS) << length;
        ASSERT_FALSE(sim().records().RawCommands().empty());
        const sim::Packet packet = sim().records().RawCommands().back();
        for (size_t i = 1; i < kPacketSize; ++i)
            ASSERT_EQ(packet[i], i <= sent ? i : 0) << "length " << length << ", byte " << i;
    }
    sim().SetFaults({.command = {.next = {1, sim::TransferFault::kError}}});
    EXPECT_EQ(SendExact(&raw), STATUS_SUCCESS);

    auto memory =
        PropertyRecord<CameraCommandRequest>(CameraItem::CameraMemory, KSPROPERTY_TYPE_SET);
    auto read = [&](LONG index, UCHAR* byte) {
        memory.header.Flags = KSPROPERTY_TYPE_SET;
        memory.value = index;
        EXPECT_EQ(SendExact(&memory), STATUS_SUCCESS);
        memory.header.Flags = KSPROPERTY_TYPE_GET;
        std::memset(memory.bytes, 0x77, sizeof(memory.bytes));
        const NTSTATUS status = SendExact(&memory);
        *byte = memory.bytes[0];
        for (size_t i = 1; i < sizeof(memory.bytes); ++i)
            EXPECT_EQ(memory.bytes[i], 0x77) << i;
        return status;
    };
    UCHAR byte = 0;
    for (LONG index : {0x0ABC, 0x0000, 0xFFFF}) {
        EXPECT_EQ(read(index, &byte), STATUS_SUCCESS) << index;
        EXPECT_EQ(byte, sim::DeviceMemoryByte((uint32_t)index)) << index;
    }
    // An address the camera cannot take is refused, not wrapped to one it can.
    sim().records().Clear();
    for (LONG index : {0x10000, 0x10ABC, -1, INT_MIN}) {
        EXPECT_EQ(read(index, &byte), STATUS_INVALID_PARAMETER) << index;
        EXPECT_EQ(byte, 0x77) << index;
    }
    EXPECT_TRUE(sim().records().Commands().empty());
    // A camera that does not answer leaves the buffer as it was.
    sim().SetFaults({.reply = {.next = {2, sim::TransferFault::kError}}});
    EXPECT_EQ(read(0x0ABC, &byte), STATUS_SUCCESS);
    EXPECT_EQ(byte, 0x77);
}

TEST_F(PropertySetTest, ImageSizeTakesOnlySizesTheSensorDelivers) {
    Open();
    auto advertised = [&] {
        const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(
            client::PinDescriptor(filter(), 0)->PinDescriptor.DataRanges[0]);
        return std::pair<LONG, LONG>(range->VideoInfoHeader.bmiHeader.biWidth,
                                     range->VideoInfoHeader.bmiHeader.biHeight);
    };
    EXPECT_EQ(SetImageSizeTo(1001, 600), STATUS_SUCCESS);
    EXPECT_EQ(advertised(), (std::pair<LONG, LONG>(1000, 600)));
    EXPECT_EQ(ItemValue(filter(), CameraItem::RoiW), 1600);
    for (const auto& [width, height] : std::vector<std::pair<LONG, LONG>>{
             {0, 0}, {7, 600}, {1601, 600}, {800, 1201}, {-8, 600}, {800, -1}}) {
        EXPECT_EQ(SetImageSizeTo(width, height), STATUS_INVALID_PARAMETER)
            << width << "x" << height;
        EXPECT_EQ(advertised(), (std::pair<LONG, LONG>(1000, 600)));
    }
    EXPECT_EQ(SetImageSizeTo(1600, 1200), STATUS_SUCCESS);
}

// A set is a set whatever other flag bits ride with it, and the header of the data buffer is the
// client's own: a request with its property apart from its data never reads or writes it.
TEST_F(PropertySetTest, RequestsAreDecodedFromThePropertyAloneAndASetIsASetWhateverItsFlags) {
    Open();
    LONG value = 300;
    for (ULONG extra :
         {0u, 0x100u, (ULONG)KSPROPERTY_TYPE_TOPOLOGY, (ULONG)KSPROPERTY_TYPE_BASICSUPPORT}) {
        SCOPED_TRACE(extra);
        value += 10;
        auto property = PropertyRecord<camdrv::CameraPropertyValue>(CameraItem::Brightness,
                                                                    KSPROPERTY_TYPE_SET | extra);
        property.value = value;
        camdrv::CameraPropertyValue data;
        std::memset(&data, 0xAB, sizeof(data));
        data.value = value;
        const camdrv::CameraPropertyValue sent = data;
        EXPECT_EQ(
            client::PropertyRequest(filter(), &property, sizeof(property), &data, sizeof(data)),
            STATUS_SUCCESS);
        EXPECT_EQ(std::memcmp(&data, &sent, sizeof(data)), 0);
        EXPECT_EQ(ItemValue(filter(), CameraItem::Brightness), value);
    }
    auto size = PropertyRecord<ImageSizeRequest>(CameraItem::ImageSize,
                                                 KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY);
    size.width = 800;
    size.height = 600;
    EXPECT_EQ(SendRecord(filter(), &size), STATUS_SUCCESS);
    const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(
        client::PinDescriptor(filter(), 0)->PinDescriptor.DataRanges[0]);
    EXPECT_EQ(range->VideoInfoHeader.bmiHeader.biWidth, 800);
}

// Constant items need no camera; every other item fails when the request leads to none, and then
// changes nothing.
TEST_F(PropertySetTest, RequestsThatCannotReachTheCameraFail) {
    Open();
    const KSPROPERTY_ITEM* items =
        client::FilterObject(filter())->Descriptor->AutomationTable->PropertySets[0].PropertyItem;
    auto record =
        PropertyRecord<camdrv::CameraPropertyValue>(CameraItem::Exposure, KSPROPERTY_TYPE_SET);
    record.value = 700;
    sim().records().Clear();
    EXPECT_EQ(client::PropertyRequest(filter(), &record, sizeof(record), nullptr, sizeof(record)),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(
        items[(ULONG)CameraItem::Exposure].SetPropertyHandler(nullptr, &record.header, &record),
        STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(sim().records().Commands().empty());

    auto gain_max =
        PropertyRecord<camdrv::CameraPropertyValue>(CameraItem::GainMax, KSPROPERTY_TYPE_GET);
    EXPECT_EQ(
        items[(ULONG)CameraItem::GainMax].GetPropertyHandler(nullptr, &gain_max.header, &gain_max),
        STATUS_SUCCESS);
    EXPECT_EQ(gain_max.value, 512);
    EXPECT_EQ(
        client::PropertyRequest(filter(), &gain_max, sizeof(gain_max), nullptr, sizeof(gain_max)),
        STATUS_UNSUCCESSFUL);

    // A device without a camera context: the exposure range is the camera's, the gain range the
    // colour model's. A close saves nothing.
    const std::string file = camtest::ReadText(rig_.registry_file());
    PVOID context = rig_.device()->Context;
    rig_.device()->Context = nullptr;
    LONG value = -99;
    EXPECT_EQ(GetItem(filter(), CameraItem::ExposureMax, &value), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SetItem(filter(), CameraItem::Brightness, 300), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(GetItem(filter(), CameraItem::GainMax, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 512);
    EXPECT_EQ(rig_.CloseFilter(), STATUS_SUCCESS);
    EXPECT_EQ(camtest::ReadText(rig_.registry_file()), file);
    rig_.device()->Context = context;
}

// The settings a client changed reach the registry when it closes the filter, though the device
// keeps running; a re-initialisation runs the bring-up again and reloads them.
TEST_F(PropertySetTest, ClosingTheFilterSavesAndReinitialisingReloads) {
    camtest::WriteSettings(rig_.registry_file(), {});
    ASSERT_EQ(rig_.Replug(), STATUS_SUCCESS);
    Open();
    ASSERT_EQ(SetItem(filter(), CameraItem::Brightness, 300), STATUS_SUCCESS);
    client::Filter* other = nullptr;
    ASSERT_EQ(client::OpenFilter(rig_.device(), kReference, &other), STATUS_SUCCESS);
    EXPECT_EQ(client::CloseFilter(other), STATUS_SUCCESS);
    EXPECT_EQ(camtest::StoredSettings(rig_.registry_file()).size(), 19u);
    EXPECT_NE(camtest::ReadText(rig_.registry_file()).find("\"Brightness\"=dword:0000012c"),
              std::string::npos);

    ASSERT_EQ(SetItem(filter(), CameraItem::Brightness, 400), STATUS_SUCCESS);
    ASSERT_EQ(SetItem(filter(), CameraItem::Exposure, 900), STATUS_SUCCESS);
    sim().records().Clear();
    EXPECT_EQ(SetItem(filter(), CameraItem::Reinitialize, 0), STATUS_SUCCESS);
    ASSERT_FALSE(sim().records().Commands().empty());
    EXPECT_EQ(sim().records().Commands()[0][0], 0x06);
    EXPECT_EQ(ItemValue(filter(), CameraItem::Brightness), 300);
    EXPECT_EQ(ItemValue(filter(), CameraItem::Exposure), 2);
    EXPECT_EQ(sim().state().registers[158], 2u);
}

// Three lives of a device on one registry file, and a hand-written file.
TEST_F(PropertySetTest, SettingsOutliveTheDeviceInTheRegistryFile) {
    camtest::WriteSettings(rig_.registry_file(), {});
    const std::string line = "\"Brightness\"=dword:000001fe";
    Lifetime([&] {
        EXPECT_EQ(SetItem(filter(), CameraItem::Brightness, 600), STATUS_SUCCESS);
        EXPECT_EQ(SetItem(filter(), CameraItem::Exposure, 5000), STATUS_SUCCESS);
    });
    EXPECT_NE(camtest::ReadText(rig_.registry_file()).find(line), std::string::npos);
    for (int life = 2; life <= 3; ++life) {
        Lifetime([&] {
            EXPECT_EQ(ItemValue(filter(), CameraItem::Brightness), 510) << life;
            EXPECT_EQ(ItemValue(filter(), CameraItem::Exposure), 1252) << life;
        });
        EXPECT_NE(camtest::ReadText(rig_.registry_file()).find(line), std::string::npos) << life;
    }

    for (const auto& [stored, applied] :
         std::vector<std::pair<std::string, LONG>>{{"000001f4", 3000}, {"000001f5", 501}}) {
        camtest::WriteSettings(rig_.registry_file(), {"\"Timeout\"=dword:" + stored});
        Lifetime([&, applied = applied] {
            EXPECT_EQ(ItemValue(filter(), CameraItem::Timeout), applied);
        });
    }
}

// A time-out the property set takes is one the next start applies again: what a client set and
// read back survives the save and the reload.
TEST_F(PropertySetTest, ATimeOutTheSetTookSurvivesTheNextStart) {
    for (LONG timeout : {501, 9999, 10000, 60000}) {
        SCOPED_TRACE(timeout);
        camtest::WriteSettings(rig_.registry_file(), {});
        Lifetime([&] {
            ASSERT_EQ(SetItem(filter(), CameraItem::Timeout, timeout), STATUS_SUCCESS);
            EXPECT_EQ(ItemValue(filter(), CameraItem::Timeout), timeout);
        });
        Lifetime([&] { EXPECT_EQ(ItemValue(filter(), CameraItem::Timeout), timeout); });
    }
}

// After a start that could not read the stored settings, what a client sets is saved and what it
// did not set keeps its stored value.
TEST_F(PropertySetTest, AfterAFailedLoadWhatAClientSetsIsSavedAndTheRestKept) {
    camtest::WriteSettings(rig_.registry_file(),
                           {"\"Brightness\"=dword:0000012c", "\"Contrast\"=dword:0000000f",
                            "\"Exposure\"=dword:00000258", "\"FlipH\"=dword:00000001"});
    platform::registry::FailDriverKeyOpen(STATUS_INSUFFICIENT_RESOURCES);
    Lifetime([&] {
        platform::registry::ClearFaults();
        EXPECT_EQ(SetItem(filter(), CameraItem::Contrast, 12), STATUS_SUCCESS);
        EXPECT_EQ(SetItem(filter(), CameraItem::Exposure, 900), STATUS_SUCCESS);
        EXPECT_EQ(SetItem(filter(), CameraItem::FlipH, 0), STATUS_SUCCESS);
    });
    Lifetime([&] {
        EXPECT_EQ(ItemValue(filter(), CameraItem::Brightness), 300);
        EXPECT_EQ(ItemValue(filter(), CameraItem::Contrast), 12);
        EXPECT_EQ(ItemValue(filter(), CameraItem::Exposure), 900);
        EXPECT_EQ(ItemValue(filter(), CameraItem::FlipH), 0);
        // A reload the camera refuses leaves the exposure the client set, and so does the save.
        ASSERT_EQ(SetItem(filter(), CameraItem::Exposure, 700), STATUS_SUCCESS);
        sim::Faults faults;
        faults.command.next = {.count = 1u << 20, .kind = sim::TransferFault::kError};
        sim().SetFaults(faults);
        EXPECT_EQ(SetItem(filter(), CameraItem::Reinitialize, 0), STATUS_SUCCESS);
        sim().SetFaults({});
        EXPECT_EQ(ItemValue(filter(), CameraItem::Exposure), 700);
    });
    Lifetime([&] { EXPECT_EQ(ItemValue(filter(), CameraItem::Exposure), 700); });
}

// Faults at every allocation and every registry call of a request, one at a time: each request
// answers, leaks nothing and leaves no key open (the device's removal would report it).
TEST_F(PropertySetTest, AnAllocationOrRegistryCallFailingInARequestLeavesNothingBehind) {
    Open();
    // The register program has run its two times: a re-initialisation is the wake-up and the load.
    ASSERT_EQ(SetItem(filter(), CameraItem::Reinitialize, 0), STATUS_SUCCESS);
    auto memory =
        PropertyRecord<CameraCommandRequest>(CameraItem::CameraMemory, KSPROPERTY_TYPE_GET);
    auto raw = PropertyRecord<CameraCommandRequest>(CameraItem::RawCommand, KSPROPERTY_TYPE_SET);
    raw.length = 10;
    client::Filter* other = nullptr;
    auto open_other = [&] {
        ASSERT_EQ(client::OpenFilter(rig_.device(), kReference, &other), STATUS_SUCCESS);
    };
    struct Case {
        const char* name;
        std::function<NTSTATUS()> request;
        std::function<void()> prepare = [] {};  // not under the fault
    };
    LONG value = 0;
    const Case cases[] = {
        {"Exposure set", [&] { return SetItem(filter(), CameraItem::Exposure, 700); }},
        {"ExTrigger set", [&] { return SetItem(filter(), CameraItem::ExTrigger, 1); }},
        {"Clock get", [&] { return GetItem(filter(), CameraItem::Clock, &value); }},
        {"CameraMemory get", [&] { return SendRecord(filter(), &memory); }},
        {"RawCommand set", [&] { return SendRecord(filter(), &raw); }},
        {"WriteRegister set", [&] { return SetItem(filter(), CameraItem::WriteRegister, 7, 1); }},
        {"Reinitialize set", [&] { return SetItem(filter(), CameraItem::Reinitialize, 0); }},
        {"filter close", [&] { return client::CloseFilter(other); }, open_other},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare();
        const uint64_t allocation_mark = platform::verifier::AllocationMark();
        const uint64_t call_mark = platform::registry::CallCount();
        ASSERT_EQ(c.request(), STATUS_SUCCESS);
        const uint64_t allocations = platform::verifier::AllocationMark() - allocation_mark;
        const uint64_t calls = platform::registry::CallCount() - call_mark;
        ASSERT_GT(allocations, 0u);
        for (uint64_t n = 1; n <= allocations + calls; ++n) {
            const bool allocation = n <= allocations;
            c.prepare();
            const uint64_t mark = platform::verifier::AllocationMark();
            if (allocation)
                platform::verifier::FailNthAllocation(n);
            else
                platform::registry::FailNthCall(n - allocations, STATUS_INSUFFICIENT_RESOURCES);
            const NTSTATUS status = c.request();
            platform::verifier::ClearFaults();
            platform::registry::ClearFaults();
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES ||
                        status == STATUS_UNSUCCESSFUL)
                << (allocation ? "allocation " : "registry call ") << n << ": " << std::hex
                << status;
            const std::vector<std::string> leaks = platform::verifier::FindLeaks(mark);
            EXPECT_TRUE(leaks.empty()) << n << ": " << leaks[0];
        }
    }
}

}  // namespace

namespace {

// A pin claiming the camera while a client reads a colour setting: the new processor gets the
// camera's setting, and the read does not put the processor's start value in its place.
TEST(ColourSettingsWhileAPinClaimsTheCamera, AReadDuringTheClaimDoesNotReplaceTheSetting) {
    camtest::Rig rig({.level = camtest::RigLevel::kUsb});
    ASSERT_TRUE(rig.ok());
    CameraContext* camera = rig.context();
    KS_VIDEOINFOHEADER video_info{};
    video_info.bmiHeader.biBitCount = 32;
    video_info.bmiHeader.biCompression = BI_RGB;
    CapturePinContext pin_context{};
    SetBrightness(camera, 300);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load())
            GetBrightness(camera);
    });
    int lost_at = -1;
    for (int i = 0; i < 20000 && lost_at < 0; ++i) {
        ASSERT_EQ(AcquireCamera(camera, &pin_context, &video_info), STATUS_SUCCESS);
        if (AtomicRead(&camera->processor->brightness) != 300 || GetBrightness(camera) != 300)
            lost_at = i;
        ReleaseCamera(camera);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(lost_at, -1) << "brightness became " << GetBrightness(camera);
}

}  // namespace
