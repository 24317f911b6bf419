// The descriptors as the class driver reads them.
#include <gtest/gtest.h>

#include "driver/descriptors.h"

namespace {

TEST(DescriptorsTest, FilterHasOneCapturePinInTheVideoAndCaptureCategories) {
    const KSFILTER_DESCRIPTOR& filter = kFilterDescriptor;
    EXPECT_EQ(filter.Version, KSFILTER_DESCRIPTOR_VERSION);
    EXPECT_EQ(filter.Flags, 0u);
    EXPECT_TRUE(IsEqualGUID(*filter.ReferenceGuid, KSNAME_Filter));
    ASSERT_EQ(filter.CategoriesCount, 2u);
    EXPECT_TRUE(IsEqualGUID(filter.Categories[0], KSCATEGORY_VIDEO));
    EXPECT_TRUE(IsEqualGUID(filter.Categories[1], KSCATEGORY_CAPTURE));
    EXPECT_EQ(filter.NodeDescriptorsCount, 0u);
    EXPECT_EQ(filter.NodeDescriptorSize, 24u);
    EXPECT_EQ(filter.ConnectionsCount, 0u);
    ASSERT_EQ(filter.PinDescriptorsCount, 1u);
    EXPECT_EQ(filter.PinDescriptorSize, 136u);

    const KSPIN_DESCRIPTOR_EX& pin = filter.PinDescriptors[0];
    EXPECT_EQ(pin.Flags, 0x00010050u);
    EXPECT_EQ(pin.InstancesPossible, 1u);
    EXPECT_EQ(pin.InstancesNecessary, 1u);
    EXPECT_EQ(pin.PinDescriptor.DataFlow, KSPIN_DATAFLOW_OUT);
    EXPECT_EQ(pin.PinDescriptor.Communication, KSPIN_COMMUNICATION_BOTH);
    EXPECT_TRUE(IsEqualGUID(*pin.PinDescriptor.Category, PINNAME_VIDEO_CAPTURE));
    EXPECT_TRUE(IsEqualGUID(*pin.PinDescriptor.Name, PINNAME_VIDEO_CAPTURE));
    ASSERT_EQ(pin.PinDescriptor.DataRangesCount, 1u);
    EXPECT_EQ(pin.PinDescriptor.DataRanges[0], &g_video_data_range.DataRange);
}

TEST(DescriptorsTest, AllocatorFramingAsksForTwoNonPagedFrames) {
    const KSALLOCATOR_FRAMING_EX& framing = *kCapturePinDescriptor.AllocatorFraming;
    ASSERT_EQ(framing.CountItems, 1u);
    const KS_FRAMING_ITEM& item = framing.FramingItem[0];
    EXPECT_TRUE(IsEqualGUID(item.MemoryType, KSMEMORY_TYPE_KERNEL_NONPAGED));
    EXPECT_TRUE(IsEqualGUID(item.BusType, GUID_NULL));
    EXPECT_EQ(item.Flags, 0x80000002u);
    EXPECT_EQ(item.Frames, 2u);
    EXPECT_EQ(item.PhysicalRange.MaxFrameSize, 0xFFFFFFFFu);
    EXPECT_EQ(item.FramingRange.Range.MinFrameSize, 8192u);
    EXPECT_EQ(item.FramingRange.Range.MaxFrameSize, 8192u);
    EXPECT_EQ(framing.OutputCompression.RatioNumerator, 1u);
    EXPECT_EQ(framing.OutputCompression.RatioDenominator, 1u);
}

TEST(DescriptorsTest, DataRangeRulesUseTheNominalRateForRatesBelowOne) {
    KS_DATARANGE_VIDEO range = g_video_data_range;
    WriteVideoDataRange(&range, 640, 480, 0);
    EXPECT_EQ(range.ConfigCaps.MinFrameInterval, 333333);
    WriteVideoDataRange(&range, 640, 480, 15);
    EXPECT_EQ(range.ConfigCaps.MaxFrameInterval, 666666);
    EXPECT_EQ(range.ConfigCaps.MaxBitsPerSecond, 640 * 480 * 15 * 32);
    // The byte rate keeps its fixed factor of 4 bytes times 30 frames.
    EXPECT_EQ(range.VideoInfoHeader.dwBitRate, 640u * 480u * 120u);
}

}  // namespace
