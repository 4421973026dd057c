#include "foundation/Value.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "foundation/Bytes.hpp"
#include "foundation/Date.hpp"

namespace tandril {
namespace {

TEST(ValueTest, EqualityIsByContent) {
    Value a = Dictionary{{"name", "Mail"}, {"list", Array{1, 2.5, true}}};
    Value b = Dictionary{{"name", "Mail"}, {"list", Array{1, 2.5, true}}};
    Value c = Dictionary{{"name", "Mail"}, {"list", Array{1, 2.5, false}}};
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(Value(1), Value(1.0));  // numbers compare by value
    EXPECT_NE(Value(true), Value(1));  // a boolean is not a number here
    EXPECT_NE(Value("1"), Value(1));
    EXPECT_NE(Value(), Value(""));
    EXPECT_EQ(Value(), Value(nullptr));
    EXPECT_EQ(Value(Bytes{1, 2}), Value(Bytes{1, 2}));
}

TEST(ValueTest, TypedAccessNeverThrows) {
    Value dict = Dictionary{{"n", 3}};
    EXPECT_EQ(dict["n"].asInteger(), 3);
    EXPECT_TRUE(dict["missing"].isNull());
    EXPECT_TRUE(dict.at(0).isNull());
    EXPECT_TRUE(Value(Array{1}).at(1).isNull());
    EXPECT_TRUE(Value("x")["n"].isNull());
    EXPECT_EQ(Value("x").asInteger(), std::nullopt);
    EXPECT_EQ(Value(2.9).asInteger(), 2);
    EXPECT_EQ(Value(std::nan("")).asInteger(), std::nullopt);
    EXPECT_EQ(Value(1e300).asInteger(), std::nullopt);
    EXPECT_EQ(Value(true).asInteger(), 1);
    EXPECT_EQ(Value(0.0).asBoolean(), false);
    EXPECT_EQ(Value(Bytes{1}).asString(), nullptr);
}

TEST(ValueTest, DescriptionOfScalars) {
    EXPECT_EQ(Value("plain text").description(), "plain text");
    EXPECT_EQ(Value(-42).description(), "-42");
    EXPECT_EQ(Value(1.5).description(), "1.5");
    EXPECT_EQ(Value(true).description(), "1");
    EXPECT_EQ(Value(Bytes{0x00, 0x18, 0x04, 0x01, 0x2a}).description(), "<00180401 2a>");
    EXPECT_EQ(Value().description(), "(null)");
}

TEST(ValueTest, DescriptionOfCollections) {
    Value v = Dictionary{{"name", "iPhone"}, {"state", 2}, {"uuid", "A-B"}, {"title", "Hello world"}};
    EXPECT_EQ(v.description(),
              "{\n"
              "    name = iPhone;\n"
              "    state = 2;\n"
              "    title = \"Hello world\";\n"
              "    uuid = \"A-B\";\n"
              "}");
    EXPECT_EQ(Value(Array{"a", 1}).description(), "(\n    a,\n    1\n)");
    EXPECT_EQ(Value(Array{}).description(), "()");
    EXPECT_EQ(Value(Dictionary{}).description(), "{}");
}

TEST(ValueTest, DescriptionOfNestingAndQuoting) {
    Value v = Dictionary{{"inner", Dictionary{{"k", Array{"x"}}}}, {"e", ""}, {"q", "say \"hi\"\n"},
                         {"u", "caf\xC3\xA9"}};
    EXPECT_EQ(v.description(),
              "{\n"
              "    e = \"\";\n"
              "    inner =     {\n"
              "        k =         (\n"
              "            x\n"
              "        );\n"
              "    };\n"
              "    q = \"say \\\"hi\\\"\\n\";\n"
              "    u = \"caf\\U00e9\";\n"
              "}");
}

TEST(BytesTest, HexAndDescription) {
    Bytes b{0x00, 0x18, 0x04, 0x01, 0x2a, 0x00, 0x00, 0x00, 0xff};
    EXPECT_EQ(hexString(b), "001804012a000000ff");
    EXPECT_EQ(bytesDescription(b), "<00180401 2a000000 ff>");
    EXPECT_EQ(bytesDescription({}), "<>");

    Bytes parsed;
    EXPECT_TRUE(bytesFromHex("00 18 04 01\n2A000000 fF", parsed));
    EXPECT_EQ(parsed, b);
    EXPECT_FALSE(bytesFromHex("abc", parsed));
    EXPECT_TRUE(parsed.empty());
    EXPECT_FALSE(bytesFromHex("zz", parsed));
    EXPECT_EQ(stringFromBytes(bytesFromString("ab\0c")), "ab");
    EXPECT_EQ(bytesFromString(std::string_view("a\0b", 3)).size(), 3u);
}

TEST(DateTest, LocalFieldsAndDescription) {
    EXPECT_FALSE(dateFromLocalFields(2026, 2, 29, 10, 0));
    EXPECT_FALSE(dateFromLocalFields(2026, 13, 1, 10, 0));
    EXPECT_FALSE(dateFromLocalFields(2026, 1, 1, 24, 0));
    EXPECT_FALSE(dateFromLocalFields(2026, 1, 1, 10, 0, 100));
    EXPECT_TRUE(dateFromLocalFields(2024, 2, 29, 10, 0));

    auto a = dateFromLocalFields(2026, 12, 8, 14, 54, 0, 37);
    auto b = dateFromLocalFields(2026, 12, 8, 14, 54, 50, 37);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(*b - *a, std::chrono::milliseconds(500));

    Date epochPlus = Date(std::chrono::seconds(1796050477));
    EXPECT_EQ(dateDescription(epochPlus), "2026-11-30 14:54:37 +0000");
}

}  // namespace
}  // namespace tandril
