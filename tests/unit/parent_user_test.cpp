#include "core/parent_user.h"

#include <gtest/gtest.h>

TEST(ParentUser, FirstNumberOfTheFirstUidLineIsTheRealUserId) {
    EXPECT_EQ(UserIdFromStatus("Name:\tkorvod\nUmask:\t0022\nUid:\t1000\t0\t0\t0\nGid:\t5\t5\t5\t5\n"), 1000u);
    EXPECT_EQ(UserIdFromStatus("Uid: 42\nUid: 43\n"), 42u);
}

TEST(ParentUser, WithoutAReadableUidLineTheUserIsRoot) {
    EXPECT_EQ(UserIdFromStatus(""), 0u);
    EXPECT_EQ(UserIdFromStatus("Name:\tx\nGid:\t7\t7\t7\t7\n"), 0u);
    EXPECT_EQ(UserIdFromStatus("Uid:\n"), 0u);
    // A line that does not start with the label is no match.
    EXPECT_EQ(UserIdFromStatus("PPid: Uid: 9\n"), 0u);
}

TEST(ParentUser, LaterLineMatchesWhenAnEarlierUidLineHasNoNumber) {
    EXPECT_EQ(UserIdFromStatus("Uid:\tx\nUid:\t7\n"), 7u);
}
