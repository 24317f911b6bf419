// The events one URB leaves in the trace: a submission and a completion that agree on the URB, with
// the setup stage on the submission and the data on the side of the bus it travels.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/src/usb/pcap_trace.h"

namespace {

using platform::usb::SetupPacket;
using platform::usb::TraceEvent;
using platform::usb::TraceEventBuilder;
using platform::usb::TraceTransferType;

struct Case {
    const char* name;
    TraceEventBuilder builder;
    TraceTransferType transfer_type;
    uint8_t endpoint;
    int32_t interval;
    const uint8_t* setup;  // null for a transfer without a setup stage
    USBD_STATUS status;
    int32_t usbmon_status;
};

TEST(TraceEventBuilderTest, SubmissionAndCompletionPairUpAndCarryDataOnTheirSide) {
    uint8_t urb[8];
    const uint8_t get_descriptor[8] = {0x80, 0x06, 0x02, 0x01, 0x09, 0x04, 0x00, 0x01};
    const uint8_t clear_halt[8] = {0x02, 0x01, 0x00, 0x00, 0x81, 0x00, 0x00, 0x00};
    const Case cases[] = {
        {"descriptor read",
         TraceEventBuilder::Control(urb, 0x80, {0x80, 0x06, 0x0102, 0x0409, 256}),
         TraceTransferType::kControl, 0x80, 0, get_descriptor, USBD_STATUS_STALL_PID, -32},
        {"clear halt", TraceEventBuilder::Control(urb, 0x00, {0x02, 0x01, 0, 0x81, 0}),
         TraceTransferType::kControl, 0x00, 0, clear_halt, USBD_STATUS_SUCCESS, 0},
        {"bulk out", TraceEventBuilder::Transfer(urb, UsbdPipeTypeBulk, 0x01, 0),
         TraceTransferType::kBulk, 0x01, 0, nullptr, USBD_STATUS_DEVICE_GONE, -108},
        {"bulk in", TraceEventBuilder::Transfer(urb, UsbdPipeTypeBulk, 0x82, 0),
         TraceTransferType::kBulk, 0x82, 0, nullptr, USBD_STATUS_ERROR_SHORT_TRANSFER, -121},
        {"interrupt in", TraceEventBuilder::Transfer(urb, UsbdPipeTypeInterrupt, 0x83, 8),
         TraceTransferType::kInterrupt, 0x83, 8, nullptr, USBD_STATUS_CANCELED, -2},
    };
    const uint8_t buffer[64] = {};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool in = (c.endpoint & 0x80) != 0;
        const TraceEvent submission = c.builder.Submission(64, buffer);
        const TraceEvent completion = c.builder.Completion(c.status, 20, buffer);
        for (const TraceEvent& event : {submission, completion}) {
            EXPECT_EQ(event.id, (uint64_t)(uintptr_t)urb);
            EXPECT_EQ(event.transfer_type, c.transfer_type);
            EXPECT_EQ(event.endpoint, c.endpoint);
            EXPECT_EQ(event.interval, c.interval);
        }
        EXPECT_EQ(submission.type, 'S');
        EXPECT_EQ(submission.status, -115);
        EXPECT_EQ(submission.length, 64u);
        EXPECT_EQ(submission.has_setup, c.setup != nullptr);
        if (c.setup != nullptr)
            EXPECT_EQ(0, std::memcmp(submission.setup, c.setup, 8));
        EXPECT_EQ(submission.data, in ? nullptr : buffer);
        EXPECT_EQ(submission.data_length, in ? 0u : 64u);

        EXPECT_EQ(completion.type, 'C');
        EXPECT_EQ(completion.status, c.usbmon_status);
        EXPECT_EQ(completion.length, 20u);
        EXPECT_FALSE(completion.has_setup);
        EXPECT_EQ(completion.data, in ? buffer : nullptr);
        EXPECT_EQ(completion.data_length, in ? 20u : 0u);
    }
}

}  // namespace
