#include "event/event_matching.h"

#include <gtest/gtest.h>

namespace {

struct Masks {
    uint32_t values[EVENT_MASK_COUNT] = {};
};

} // namespace

TEST(EventMatching, DeliveryValueMovesBits24To30UpAndDropsBit31) {
    EXPECT_EQ(DeliveryValue(0x01000010u), 0x02000010u);
    EXPECT_EQ(DeliveryValue(0x80000000u), 0u);
    EXPECT_EQ(DeliveryValue(0x40FFFFFFu), 0x80FFFFFFu);
    EXPECT_EQ(DeliveryValue(0x00800000u), 0x00800000u);
}

TEST(EventMatching, JobValueMovesBits24To31Down) {
    EXPECT_EQ(JobValue(0x01000010u), 0x00800010u);
    EXPECT_EQ(JobValue(0x80000000u), 0x40000000u);
    EXPECT_EQ(JobValue(0x00800000u), 0x00800000u);
}

TEST(EventMatching, ClassBitsSelectMasksAndBit10SelectsMaskEight) {
    Masks masks;
    masks.values[2] = 0x02000010u;
    masks.values[8] = 0x4u;
    EXPECT_TRUE(MatchesMasks(CLASS_STATUS, masks.values, 0x02000010u));
    EXPECT_FALSE(MatchesMasks(0x1u, masks.values, 0x02000010u));
    EXPECT_TRUE(MatchesMasks(0x1u | CLASS_STATUS, masks.values, 0x10u));
    EXPECT_TRUE(MatchesMasks(CLASS_MASK8, masks.values, 0x4u));
    EXPECT_FALSE(MatchesMasks(CLASS_MASK8, masks.values, 0x6u));
}

TEST(EventMatching, ClassSelectingNoMaskMatchesNothingAndZeroValueMatchesAnySelected) {
    Masks masks;
    EXPECT_FALSE(MatchesMasks(CLASS_CONFIG | CLASS_RELEASE, masks.values, 0u));
    EXPECT_TRUE(MatchesMasks(0x80u, masks.values, DeliveryValue(0x80000000u)));
}

TEST(EventMatching, Bit24WithBit23ClearSelectsBit23ForJobsAndBit25ForDelivery) {
    Masks bit23;
    bit23.values[0] = 0x00800000u;
    Masks bit25;
    bit25.values[0] = 0x02000000u;
    EXPECT_TRUE(MatchesMasks(0x1u, bit23.values, JobValue(0x01000000u)));
    EXPECT_FALSE(MatchesMasks(0x1u, bit25.values, JobValue(0x01000000u)));
    EXPECT_TRUE(MatchesMasks(0x1u, bit25.values, DeliveryValue(0x01000000u)));
    EXPECT_FALSE(MatchesMasks(0x1u, bit23.values, DeliveryValue(0x01000000u)));
}
