#include <gtest/gtest.h>

#include "shared/CatalogueFlag.hpp"

namespace tandril {
namespace {

TEST(CatalogueFlag, ReadsTextsAsThePlatformReadsBooleans) {
    const std::vector<std::pair<std::string, bool>> cases{
        {"1", true},       {"0", false},   {"yes", true},   {"YES", true},   {"true", true},  {"True", true},
        {" +007", true},   {"", false},    {"no", false},   {"false", false}, {"000", false}, {"-1", true},
        {"\t\n 9", true},  {"+-1", false}, {"0x1", false},  {"  ", false},   {"y", true},     {"t", true},
        {"\u00a0\u3000yes", true},         {"enabled", false},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(CatalogueFlag::read(std::string_view(text)), expected) << '"' << text << '"';
    }
}

TEST(CatalogueFlag, ReadsValuesOfOtherTypes) {
    EXPECT_TRUE(CatalogueFlag::read(Value("1")));
    EXPECT_FALSE(CatalogueFlag::read(Value("0")));
    EXPECT_TRUE(CatalogueFlag::read(Value(true)));
    EXPECT_FALSE(CatalogueFlag::read(Value(false)));
    EXPECT_TRUE(CatalogueFlag::read(Value(1)));
    EXPECT_FALSE(CatalogueFlag::read(Value(0)));
    EXPECT_FALSE(CatalogueFlag::read(Value()));
    EXPECT_FALSE(CatalogueFlag::read(Value(Array{Value("1")})));
    EXPECT_STREQ(CatalogueFlag::text(true), "1");
    EXPECT_STREQ(CatalogueFlag::text(false), "0");
}

}  // namespace
}  // namespace tandril
