// The driver request records, byte for byte.
#include <gtest/gtest.h>

#include "bus/DriverCodes.h"
#include "bus/DriverRecords.h"

using namespace bus;

namespace {

template <typename Bytes>
std::uint32_t At(const Bytes& record, std::size_t offset) {
    return platform::LoadLE32(record.data() + offset);
}

TEST(DriverRecords, NodeAddressKeepsOnlyItsBits) {
    EXPECT_EQ(NodeAddress(0, 63), 0x003F);
    EXPECT_EQ(NodeAddress(1, 64), 0x0040);  // node bits beyond 0-5 drop out
    EXPECT_EQ(NodeAddress(1023, 0), 0xFFC0);
}

TEST(DriverRecords, RoundingAndRecordSizes) {
    EXPECT_EQ(RoundUpToQuad(0), 0u);
    EXPECT_EQ(RoundUpToQuad(4), 4u);
    EXPECT_EQ(RoundUpToQuad(5), 8u);
    EXPECT_EQ(HostMemoryRecordSize(5), 21u);
    EXPECT_EQ(AttachRecordSize(640, 2), (640u + 36) * 2 + 32);
    // A byte count near 2^32 must not wrap into a small record.
    EXPECT_GT(AsyncRecordSize(0xFFFFFFFFu), 0xFFFFFFFFu);
}

TEST(DriverRecords, AllocationRefusesWhatTheDriverWouldNotTake) {
    Record record;
    EXPECT_FALSE(AllocateRecord(record, AsyncRecordSize(0xFFFFFFFFu)));
    EXPECT_TRUE(AllocateRecord(record, 16));
    EXPECT_EQ(record, Record(16, 0));
}

// Records the transfer suites do not see on the wire: the camera's receive loop sends them.
TEST(DriverRecords, DetachAndIsochronousReadRecords) {
    const auto detach = MakeDetachRecord(0x77, 2);
    EXPECT_EQ(At(detach, 0), 0x77u);
    EXPECT_EQ(At(detach, 4), 2u);
    EXPECT_EQ(At(detach, 8), 0u);

    Record read(16 + 64, 0xEE);
    FillIsochReadRecord(read, 0x77, 64);
    EXPECT_EQ(At(read, 0), 0x77u);
    EXPECT_EQ(At(read, 4), 0u);
    EXPECT_EQ(At(read, 8), 64u);
    EXPECT_EQ(At(read, 12), 0u);
}

TEST(DriverRecords, ResourceFlagsFollowTheHostCapabilities) {
    EXPECT_EQ(ResourceFlags(false, kHostCapStripHeader, false, false), 0x09u);
    EXPECT_EQ(ResourceFlags(true, 0, true, false), 0x02u);  // packet mode needs the host's bit 0
    EXPECT_EQ(ResourceFlags(false, kHostCapPacketBased, false, false), 0x01u);
    EXPECT_EQ(ResourceFlags(false, kHostCapPacketBased | kHostCapStripHeader, true, true), 0x4Du);
}

TEST(DriverRecords, DescriptorFields) {
    EXPECT_EQ(DescriptorFor(1, 5, false).flags, kDescriptorTag);
    EXPECT_EQ(DescriptorFor(1, 5, false).tagValue, 5u);
    EXPECT_EQ(DescriptorFor(1, 5, false).syncValue, 0u);
    EXPECT_EQ(DescriptorFor(2, 1, true).flags, 0x80000009u);
    EXPECT_EQ(DescriptorFor(2, 1, true).syncValue, 1u);
    EXPECT_EQ(DescriptorFor(0, 1, false).flags, 0u);
    EXPECT_EQ(DescriptorFor(0, 1, false).syncValue | DescriptorFor(0, 1, false).tagValue, 0u);

    Record block(36 + 8, 0xEE);
    WriteDescriptor(block, {0x09, 8, 640, 1, 0});
    const std::uint32_t expected[] = {0x09, 8, 640, 1, 0, 0, 1, 0};
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(At(block, 4 * i), expected[i]) << i;
}

TEST(DriverRecords, DescriptorSharesSplitTheCallersBytes) {
    EXPECT_EQ(DescriptorShare(1000, 640, 0, 2), 640u);
    EXPECT_EQ(DescriptorShare(1000, 640, 1, 2), 360u);
    EXPECT_EQ(DescriptorShare(1280, 640, 1, 2), 640u);
    // Fewer bytes than the buffers hold: never past the end of the caller's data.
    EXPECT_EQ(DescriptorShare(100, 640, 0, 2), 100u);
    EXPECT_EQ(DescriptorShare(100, 640, 1, 2), 0u);
    EXPECT_EQ(DescriptorShare(100, 0, 0, 1), 0u);
}

}  // namespace
