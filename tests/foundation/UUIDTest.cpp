#include "foundation/UUID.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

namespace tandril {
namespace {

TEST(UUIDTest, KeepsTheFormItWasGiven) {
    auto short16 = UUID::fromString("180a");
    ASSERT_TRUE(short16);
    EXPECT_EQ(short16->data().size(), 2u);
    EXPECT_EQ(short16->UUIDString(), "180A");

    auto short32 = UUID::fromString("0000180A");
    ASSERT_TRUE(short32);
    EXPECT_EQ(short32->data().size(), 4u);
    EXPECT_EQ(short32->UUIDString(), "0000180A");

    auto full = UUID::fromString("7905f431-b5ce-4e99-a40f-4b1e122d00d0");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->data().size(), 16u);
    EXPECT_EQ(full->UUIDString(), "7905F431-B5CE-4E99-A40F-4B1E122D00D0");
    EXPECT_EQ(full->lowercaseString(), "7905f431-b5ce-4e99-a40f-4b1e122d00d0");
}

TEST(UUIDTest, HoldsABaseUUIDInItsShortForm) {
    auto base = UUID::fromString("0000180A-0000-1000-8000-00805f9b34fb");
    ASSERT_TRUE(base);
    EXPECT_EQ(base->data(), (Bytes{0x18, 0x0A}));
    EXPECT_EQ(base->UUIDString(), "180A");
    // On the base but beyond 16 bits: stays 128-bit.
    auto wide = UUID::fromString("1234180A-0000-1000-8000-00805F9B34FB");
    ASSERT_TRUE(wide);
    EXPECT_EQ(wide->data().size(), 16u);
    // Off the base by one bit: stays 128-bit.
    auto off = UUID::fromString("0000180A-0000-1000-8000-00805F9B34FA");
    ASSERT_TRUE(off);
    EXPECT_EQ(off->data().size(), 16u);
    // Raw 16-byte input on the base shrinks the same way.
    auto full = base->bytes128();
    EXPECT_EQ(UUID::fromBytes(Bytes(full.begin(), full.end()))->data(), (Bytes{0x18, 0x0A}));
}

TEST(UUIDTest, ComparesByValueAcrossForms) {
    UUID a = UUID::from16(0x180A);
    UUID b = UUID::from32(0x0000180A);
    auto full = a.bytes128();
    UUID c = *UUID::fromBytes(Bytes(full.begin(), full.end()));
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, c);
    EXPECT_EQ(UUIDHash()(a), UUIDHash()(b));
    EXPECT_NE(a, UUID::from16(0x180B));
    EXPECT_FALSE(a < b);
    EXPECT_FALSE(b < a);

    std::unordered_set<UUID, UUIDHash> set{a, b, c};
    EXPECT_EQ(set.size(), 1u);

    EXPECT_EQ(*UUID::fromString("37788b13-93eb-4c29-a15f-79de5da30a57"),
              *UUID::fromString("37788B13-93EB-4C29-A15F-79DE5DA30A57"));
}

TEST(UUIDTest, RefusesBadText) {
    for (const char* bad : {"", "18A", "180G", "180A0", "0000180A-0000-1000-8000-00805F9B34F",
                            "0000180A-0000-1000-8000-00805F9B34FBB", "0000180A00000-1000-8000-00805F9B34FB",
                            "0000180A-0000-1000-8000_00805F9B34FB", "{0000180A-0000-1000-8000-00805F9B34F}",
                            "g000180A-0000-1000-8000-00805F9B34FB", " 180A"}) {
        EXPECT_FALSE(UUID::fromString(bad)) << '"' << bad << '"';
    }
    EXPECT_TRUE(UUID::fromStringOrNil("nonsense").isNil());
    EXPECT_FALSE(UUID::fromBytes(Bytes(3, 0)));
    EXPECT_FALSE(UUID::fromBytes(Bytes{}));
}

TEST(UUIDTest, NilAndRandom) {
    EXPECT_TRUE(UUID().isNil());
    EXPECT_EQ(UUID().UUIDString(), "00000000-0000-0000-0000-000000000000");
    EXPECT_FALSE(UUID::from16(0).isNil());  // 0000 on the base is not the nil UUID

    UUID r1 = UUID::random();
    UUID r2 = UUID::random();
    EXPECT_NE(r1, r2);
    EXPECT_EQ(r1.data().size(), 16u);
    EXPECT_EQ(r1.UUIDString()[14], '4');  // version 4
    EXPECT_EQ(*UUID::fromString(r1.UUIDString()), r1);
}

}  // namespace
}  // namespace tandril
