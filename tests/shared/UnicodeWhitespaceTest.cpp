#include <gtest/gtest.h>

#include "shared/UnicodeWhitespace.hpp"

namespace tandril {
namespace {

TEST(UnicodeWhitespace, TrimsTheWholeWhiteSpaceAndLineBreakClass) {
    EXPECT_EQ(UnicodeWhitespace::trim(" \t\r\n hi \n"), "hi");
    EXPECT_EQ(UnicodeWhitespace::trim("\u00a0hi\u00a0"), "hi");
    EXPECT_EQ(UnicodeWhitespace::trim("\u2028\u2029hi\u3000"), "hi");
    EXPECT_EQ(UnicodeWhitespace::trim("\u0085\u1680\u2003hi\u202f\u205f\v\f"), "hi");
    EXPECT_EQ(UnicodeWhitespace::trim("\u3000 \u00a0"), "");
    EXPECT_EQ(UnicodeWhitespace::trim(""), "");
    // Inner white space stays.
    EXPECT_EQ(UnicodeWhitespace::trim(" a \u00a0 b "), "a \u00a0 b");
}

TEST(UnicodeWhitespace, KeepsFormatCharactersAndBrokenBytes) {
    // Zero-width space and the byte-order mark are format characters, not white space.
    EXPECT_EQ(UnicodeWhitespace::trim("\u200bhi\ufeff"), "\u200bhi\ufeff");
    EXPECT_EQ(UnicodeWhitespace::trim(" \xff hi \xc3 "), "\xff hi \xc3");
    EXPECT_EQ(UnicodeWhitespace::trimLeading("  hi  "), "hi  ");
}

}  // namespace
}  // namespace tandril
