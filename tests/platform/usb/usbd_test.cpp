// The USBD helpers on good, truncated and lying configuration descriptors. The descriptors live in
// exactly-sized heap blocks so that the address sanitizer sees any read past their end.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "fake_device.h"
#include "tests/support/urb_requests.h"

namespace {

// A heap copy of exactly the given bytes.
class Blob {
  public:
    explicit Blob(const std::vector<uint8_t>& bytes)
        : data_(new uint8_t[bytes.size()]), size_(bytes.size()) {
        std::copy(bytes.begin(), bytes.end(), data_.get());
    }
    PUSB_CONFIGURATION_DESCRIPTOR get() {
        return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(data_.get());
    }
    uint8_t* bytes() { return data_.get(); }
    size_t size() const { return size_; }

  private:
    std::unique_ptr<uint8_t[]> data_;
    size_t size_;
};

PUSB_INTERFACE_DESCRIPTOR Find(Blob& blob, LONG number, LONG alternate = 0) {
    return USBD_ParseConfigurationDescriptorEx(blob.get(), blob.get(), number, alternate, -1, -1,
                                               -1);
}

std::vector<uint8_t> WithTotalLength(std::vector<uint8_t> bytes, size_t total) {
    bytes[2] = (uint8_t)total;
    bytes[3] = (uint8_t)(total >> 8);
    return bytes;
}

TEST(UsbdParseTest, FindsInterfacesByNumberSettingAndClass) {
    std::vector<uint8_t> bytes = usbtest::TwoInterfaceConfiguration();
    // An alternate setting 1 of interface 0 after everything else.
    std::vector<uint8_t> alternate = {9, 4, 0, 1, 0, 0xFF, 0x05, 0, 0};
    bytes.insert(bytes.end(), alternate.begin(), alternate.end());
    Blob blob(WithTotalLength(bytes, bytes.size()));

    PUSB_INTERFACE_DESCRIPTOR first = Find(blob, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ((uint8_t*)first, blob.bytes() + 9);
    PUSB_INTERFACE_DESCRIPTOR second = Find(blob, 1);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->bInterfaceClass, 0x0A);
    PUSB_INTERFACE_DESCRIPTOR alt = Find(blob, 0, 1);
    ASSERT_NE(alt, nullptr);
    EXPECT_EQ(alt->bInterfaceSubClass, 0x05);
    EXPECT_EQ(Find(blob, 2), nullptr);
    // Searching from after the first interface finds the next match only.
    EXPECT_EQ(
        USBD_ParseConfigurationDescriptorEx(blob.get(), (uint8_t*)first + 9, 0, -1, -1, -1, -1),
        alt);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(blob.get(), blob.get(), -1, -1, 0x0A, -1, -1),
              second);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(blob.get(), blob.get(), 0, 0, 0x0A, -1, -1),
              nullptr);
}

TEST(UsbdParseTest, NeverReadsPastTheEndOfATruncatedOrLyingDescriptor) {
    const std::vector<uint8_t> good = usbtest::TwoInterfaceConfiguration();
    const size_t second_interface = 9 + 9 + 3 * 7;

    // Cut right inside interface 1: wTotalLength says the full size, the buffer holds less.
    {
        std::vector<uint8_t> cut(good.begin(), good.begin() + second_interface + 5);
        Blob blob(WithTotalLength(cut, cut.size()));
        EXPECT_NE(Find(blob, 0), nullptr);
        EXPECT_EQ(Find(blob, 1), nullptr);
    }
    // wTotalLength shorter than the data: what lies beyond it is not seen.
    {
        Blob blob(WithTotalLength(good, second_interface));
        EXPECT_NE(Find(blob, 0), nullptr);
        EXPECT_EQ(Find(blob, 1), nullptr);
    }
    // A zero bLength stops the walk instead of looping on the same descriptor.
    {
        std::vector<uint8_t> bytes = good;
        bytes[9 + 9] = 0;
        Blob blob(WithTotalLength(bytes, bytes.size()));
        EXPECT_NE(Find(blob, 0), nullptr);
        EXPECT_EQ(Find(blob, 1), nullptr);
    }
    // An endpoint claiming 200 bytes runs past the end: the walk stops there.
    {
        std::vector<uint8_t> bytes = good;
        bytes[9 + 9] = 200;
        Blob blob(WithTotalLength(bytes, bytes.size()));
        EXPECT_EQ(Find(blob, 1), nullptr);
    }
    // An interface descriptor that is too short for its fields is not an interface.
    {
        std::vector<uint8_t> bytes = {9, 2, 0, 0, 1, 1, 0, 0, 0, 4, 4, 0, 0};
        Blob blob(WithTotalLength(bytes, bytes.size()));
        EXPECT_EQ(Find(blob, 0), nullptr);
    }
    // The last interface descriptor ends exactly at the end of the buffer.
    {
        std::vector<uint8_t> bytes = {9, 2, 0, 0, 1, 1, 0, 0, 0, 9, 4, 0, 0, 0, 0, 0, 0, 0};
        Blob blob(WithTotalLength(bytes, bytes.size()));
        EXPECT_EQ((uint8_t*)Find(blob, 0), blob.bytes() + 9);
    }
    // A start position outside the descriptor finds nothing.
    {
        Blob blob(WithTotalLength(good, good.size()));
        EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(blob.get(), blob.bytes() + good.size(), -1,
                                                      -1, -1, -1, -1),
                  nullptr);
    }
}

TEST(UsbdCreateRequestTest, SizesRecordsByEndpointCountAndPointsTheListIntoTheUrb) {
    std::vector<uint8_t> bytes = usbtest::TwoInterfaceConfiguration();
    // A third interface without endpoints.
    std::vector<uint8_t> empty = {9, 4, 2, 0, 0, 0, 0, 0, 0};
    bytes.insert(bytes.end(), empty.begin(), empty.end());
    bytes[4] = 3;
    Blob blob(WithTotalLength(bytes, bytes.size()));
    USBD_INTERFACE_LIST_ENTRY list[4] = {};
    for (int i = 0; i < 3; i++)
        list[i].InterfaceDescriptor = Find(blob, i);
    PURB urb = USBD_CreateConfigurationRequestEx(blob.get(), list);
    ASSERT_NE(urb, nullptr);
    auto* base = reinterpret_cast<uint8_t*>(urb);
    const size_t fixed = sizeof(_URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    const size_t record_header = sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, fixed + 3 * record_header + 4 * sizeof(USBD_PIPE_INFORMATION));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, blob.get());

    EXPECT_EQ((uint8_t*)list[0].Interface, base + fixed);
    EXPECT_EQ(list[0].Interface->Length, record_header + 3 * sizeof(USBD_PIPE_INFORMATION));
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 3u);
    EXPECT_EQ((uint8_t*)list[1].Interface, base + fixed + list[0].Interface->Length);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[2].Interface->Length, record_header);
    EXPECT_EQ(list[2].Interface->NumberOfPipes, 0u);
    EXPECT_EQ((uint8_t*)list[2].Interface + list[2].Interface->Length,
              base + urb->UrbHeader.Length);
    for (ULONG i = 0; i < 3; i++) {
        EXPECT_EQ(list[0].Interface->Pipes[i].MaximumTransferSize,
                  USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    }
    ExFreePool(urb);
}

TEST(UsbdCreateRequestTest, BusRejectsAConfigurationWhoseEndpointsAreMissing) {
    usbtest::FakeDevice device;
    PDEVICE_OBJECT port = platform::UsbBusPlugIn(&device);
    // Interface 0 promises three endpoints but the descriptor ends after one.
    std::vector<uint8_t> bytes = usbtest::TwoInterfaceConfiguration();
    bytes.resize(9 + 9 + 7);
    bytes[4] = 1;
    Blob blob(WithTotalLength(bytes, bytes.size()));
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = Find(blob, 0);
    ASSERT_NE(list[0].InterfaceDescriptor, nullptr);
    PURB urb = USBD_CreateConfigurationRequestEx(blob.get(), list);
    EXPECT_EQ(camtest::SendAndWait(port, IOCTL_INTERNAL_USB_SUBMIT_URB, urb),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(device.configurations_set.empty());
    ExFreePool(urb);
    platform::UsbBusUnplug(port);
}

}  // namespace
