#include "ipc/split_strings.h"

#include <gtest/gtest.h>

namespace {

using Pieces = std::vector<std::string>;

Pieces Split(const std::string &range, char separator = '\0') {
    return SplitStrings(range.data(), static_cast<uint32_t>(range.size()), separator);
}

} // namespace

// ---- Identity payloads ----

TEST(SplitStrings, NameNulVersionGivesTwoPieces) {
    EXPECT_EQ(Split(std::string("korvod\0"
                                "2.1",
                                10)),
              (Pieces{"korvod", "2.1"}));
}

TEST(SplitStrings, WithoutSeparatorGivesTheWholeRange) { EXPECT_EQ(Split("korvod"), Pieces{"korvod"}); }

TEST(SplitStrings, TrailingSeparatorGivesAFinalEmptyPiece) {
    EXPECT_EQ(Split(std::string("korvod\0"
                                "2.1\0",
                                11)),
              (Pieces{"korvod", "2.1", ""}));
}

// ---- Range edges ----

TEST(SplitStrings, EmptyRangeGivesOneEmptyPieceAndNullStartNone) {
    EXPECT_EQ(Split(""), Pieces{""});
    EXPECT_EQ(SplitStrings(nullptr, 5, '\0'), Pieces{});
}

TEST(SplitStrings, AdjacentAndLeadingSeparatorsGiveEmptyPieces) {
    EXPECT_EQ(Split(",a,,b", ','), (Pieces{"", "a", "", "b"}));
    EXPECT_EQ(Split(",", ','), (Pieces{"", ""}));
}

TEST(SplitStrings, StopsAtTheEndOfTheRangeNotAtTheNextSeparator) {
    const char text[] = "name,version,more";
    EXPECT_EQ(SplitStrings(text, 7, ','), (Pieces{"name", "ve"}));
}

TEST(SplitStrings, LengthAllOnesEndsTheRangeAtTheFirstNul) {
    const char text[] = "a,b\0c,d";
    EXPECT_EQ(SplitStrings(text, SPLIT_TO_NUL, ','), (Pieces{"a", "b"}));
}
