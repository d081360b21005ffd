// Which level-0 lines are copied to the system log: a few of each kind per
// window, within an overall bucket, and a count of what was left out.
#include <string>

#include <gtest/gtest.h>

#include "log/diagnostic_rate_limit.h"

namespace {

constexpr int64_t SECOND = 1000000000;
// Two of a kind per ten seconds; four at once, then one a second.
constexpr DiagnosticRateLimit::Limits SMALL{10 * SECOND, 2, 4, SECOND};

int Copied(DiagnosticRateLimit &limit, const std::string &text, int times, int64_t at) {
    int copied = 0;
    for (int i = 0; i < times; ++i) {
        copied += limit.Admit(text.c_str(), at).copy;
    }
    return copied;
}

} // namespace

// ---- Kinds ----

TEST(DiagnosticKinds, LinesThatDifferOnlyInTheirNumbersAreOneKind) {
    EXPECT_EQ(DiagnosticRateLimit::KindOf("address 0x7f0012 leaked by plugin 00C40000"),
              DiagnosticRateLimit::KindOf("address 0x55aa leaked by plugin 00C50001"));
    EXPECT_EQ(DiagnosticRateLimit::KindOf("stop has waited 2 s for plugin a.so: close"),
              DiagnosticRateLimit::KindOf("stop has waited 14 s for plugin a.so: close"));
}

TEST(DiagnosticKinds, WordsAndPunctuationTellKindsApart) {
    EXPECT_NE(DiagnosticRateLimit::KindOf("stop has waited 2 s for plugin a.so: close"),
              DiagnosticRateLimit::KindOf("stop has waited 2 s for plugin b.so: close"));
    EXPECT_NE(DiagnosticRateLimit::KindOf("plugin a.so close returned 1 error 0"),
              DiagnosticRateLimit::KindOf("plugin a.so unload returned 1 error 0"));
    EXPECT_NE(DiagnosticRateLimit::KindOf("a b"), DiagnosticRateLimit::KindOf("ab"));
    EXPECT_NE(DiagnosticRateLimit::KindOf(""), DiagnosticRateLimit::KindOf("x"));
}

// ---- Limits ----

TEST(DiagnosticRateLimit, AKindIsCopiedAFewTimesPerWindowAndTheRestCounted) {
    DiagnosticRateLimit limit(SMALL);
    EXPECT_EQ(Copied(limit, "plugin a.so write returned 1 error 0", 5, 0), 2);
    // Another kind is not held back by the first, and says what was left out.
    const auto other = limit.Admit("plugin a.so close returned 1 error 0", SECOND);
    EXPECT_TRUE(other.copy);
    EXPECT_EQ(other.leftOut, 3u);
    EXPECT_EQ(limit.TakeLeftOut(), 0u);
    // The window has passed: the kind is copied again.
    EXPECT_EQ(Copied(limit, "plugin a.so write returned 2 error 0", 3, 10 * SECOND), 2);
    EXPECT_EQ(limit.TakeLeftOut(), 1u);
}

TEST(DiagnosticRateLimit, TheBucketBoundsAllKindsTogetherAndRefillsOverTime) {
    DiagnosticRateLimit limit(SMALL);
    int copied = 0;
    for (int i = 0; i < 10; ++i) {
        copied += limit.Admit(("kind " + std::string(1, static_cast<char>('a' + i))).c_str(), 0).copy;
    }
    EXPECT_EQ(copied, 4);
    EXPECT_FALSE(limit.Admit("kind x", SECOND / 2).copy);
    const auto refilled = limit.Admit("kind y", SECOND);
    EXPECT_TRUE(refilled.copy);
    EXPECT_EQ(refilled.leftOut, 7u);
    EXPECT_FALSE(limit.Admit("kind z", SECOND).copy);
    // A long pause fills the bucket to its burst, no further.
    EXPECT_EQ(Copied(limit, "kind p", 1, 100 * SECOND) + Copied(limit, "kind q", 1, 100 * SECOND) +
                  Copied(limit, "kind r", 1, 100 * SECOND) + Copied(limit, "kind s", 1, 100 * SECOND) +
                  Copied(limit, "kind t", 1, 100 * SECOND),
              4);
    EXPECT_EQ(limit.TakeLeftOut(), 1u);
}

// More kinds than it tracks: the one seen longest ago gives up its slot, and
// comes back with a fresh window.
TEST(DiagnosticRateLimit, AKindBeyondItsTableTakesTheOldestSlot) {
    DiagnosticRateLimit limit({10 * SECOND, 1, 1000, 1});
    for (std::size_t i = 0; i <= DiagnosticRateLimit::KINDS; ++i) {
        EXPECT_TRUE(limit.Admit(("kind " + std::string(i + 1, 'k')).c_str(), static_cast<int64_t>(i)).copy) << i;
    }
    EXPECT_TRUE(limit.Admit("kind k", 1000).copy);
    EXPECT_FALSE(limit.Admit(("kind " + std::string(DiagnosticRateLimit::KINDS + 1, 'k')).c_str(), 1001).copy);
}

// A clock that steps back (a coarse clock read on two threads) never adds
// to the bucket.
TEST(DiagnosticRateLimit, TimeGoingBackwardsAddsNothing) {
    DiagnosticRateLimit limit(SMALL);
    EXPECT_EQ(Copied(limit, "a", 1, 10 * SECOND) + Copied(limit, "b", 1, 10 * SECOND) +
                  Copied(limit, "c", 1, 10 * SECOND) + Copied(limit, "d", 1, 10 * SECOND),
              4);
    EXPECT_FALSE(limit.Admit("e", 0).copy);
    EXPECT_FALSE(limit.Admit("f", 10 * SECOND).copy);
}
