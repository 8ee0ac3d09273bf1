#include "protocol/byte_coding.h"

#include <gtest/gtest.h>

#include <limits>

namespace zoranth {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ByteWriter, WritesTheMagicInBothByteOrders) {
    ByteWriter be;
    be.writeBE(std::uint32_t{0x5A525448});
    EXPECT_EQ(be.bytes(), (Bytes{'Z', 'R', 'T', 'H'}));

    ByteWriter le;
    le.writeLE(std::uint32_t{0x5A525448});
    EXPECT_EQ(le.bytes(), (Bytes{'H', 'T', 'R', 'Z'}));
}

TEST(ByteWriter, ReservesOnlyAPositiveCapacity) {
    EXPECT_EQ(ByteWriter(-5).takeBytes().capacity(), 0u);
    EXPECT_EQ(ByteWriter(0).takeBytes().capacity(), 0u);
    EXPECT_GE(ByteWriter(100).takeBytes().capacity(), 100u);
}

TEST(ByteCoding, EveryWidthAndSignRoundTripsInBothOrders) {
    ByteWriter w;
    w.writeLE(std::uint8_t{0xAB});
    w.writeLE(std::int16_t{-2});
    w.writeBE(std::uint16_t{0x1234});
    w.writeLE(std::int32_t{std::numeric_limits<std::int32_t>::min()});
    w.writeBE(std::int64_t{-123456789012345});
    w.writeLE(std::uint64_t{0x0123456789ABCDEF});
    w.writeRaw(Bytes{1, 2, 3});

    ByteReader r(w.bytes());
    EXPECT_EQ(r.readLE<std::uint8_t>(), 0xAB);
    EXPECT_EQ(r.readLE<std::int16_t>(), -2);
    EXPECT_EQ(r.readBE<std::uint16_t>(), 0x1234);
    EXPECT_EQ(r.readLE<std::int32_t>(), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(r.readBE<std::int64_t>(), -123456789012345);
    EXPECT_EQ(r.readLE<std::uint64_t>(), 0x0123456789ABCDEFu);
    auto raw = r.readRaw(3);
    ASSERT_TRUE(raw);
    EXPECT_EQ(Bytes(raw->begin(), raw->end()), (Bytes{1, 2, 3}));
    EXPECT_EQ(r.remaining(), 0);
    EXPECT_EQ(r.consumed(), static_cast<std::ptrdiff_t>(w.bytes().size()));
}

TEST(ByteCoding, LittleEndianPutsTheLowByteFirst) {
    ByteWriter w;
    w.writeLE(std::uint16_t{0x0102});
    w.writeBE(std::uint16_t{0x0102});
    EXPECT_EQ(w.bytes(), (Bytes{0x02, 0x01, 0x01, 0x02}));
}

TEST(ByteReader, AShortReadFailsWithWhatWasNeededAndLeavesTheCursor) {
    const Bytes seven(7, 0);
    ByteReader r(seven);
    EXPECT_EQ(r.readLE<std::uint64_t>().error().text(), "outOfBounds(needed: 8, remaining: 7)");
    ASSERT_TRUE(r.readLE<std::uint8_t>());

    EXPECT_EQ(r.readLE<std::uint64_t>().error(), ByteReader::Failure::outOfBounds(8, 6));
    EXPECT_EQ(r.readBE<std::uint64_t>().error(), ByteReader::Failure::outOfBounds(8, 6));
    EXPECT_EQ(r.readRaw(7).error(), ByteReader::Failure::outOfBounds(7, 6));
    EXPECT_EQ(r.readRaw(-1).error(), ByteReader::Failure::outOfBounds(-1, 6));
    EXPECT_EQ(r.offset(), 1);
    EXPECT_EQ(r.readLE<std::uint32_t>(), 0u);
}

TEST(ByteReader, ReadRawBorrowsTheBytes) {
    const Bytes bytes{9, 8, 7, 6};
    ByteReader r(bytes);
    ASSERT_TRUE(r.readRaw(1));
    auto view = r.readRaw(3);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->data(), bytes.data() + 1);
    EXPECT_EQ(view->size(), 3u);
    EXPECT_TRUE(r.readRaw(0));
}

}  // namespace
}  // namespace zoranth
