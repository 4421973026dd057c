#include "foundation/OpenStepPropertyList.hpp"

#include <gtest/gtest.h>

#include "foundation/PropertyList.hpp"

namespace tandril {
namespace {

std::optional<Value> read(const std::string& text, ErrorPtr* error = nullptr) {
    return PropertyList::parse(bytesFromString(text), error);
}

TEST(OpenStepPropertyListTest, ReadsEveryElementOfTheOldForm) {
    // An application catalogue as an old-style file, with comments, both quote kinds,
    // escapes, data and a trailing comma.
    const std::string text =
        "// written by hand\n"
        "(\n"
        "    { bundle_identifier = com.apple.MobileSMS; display_name = \"Messages \\\"&\\\" more\"; enabled = 1; },\n"
        "    /* disabled */ { bundle_identifier = 'com.apple.mobilemail'; enabled = \"0\"; icon = <0fbe 00\n ff>; },\n"
        "    { \"tab\\there\" = \"caf\\U00e9 \\U0041\\ud83d\\ude00 \\101\\351\"; list = (a, (), {}); },\n"
        ")\n";
    ErrorPtr error;
    auto value = read(text, &error);
    ASSERT_TRUE(value) << (error ? error->description() : "");
    EXPECT_EQ(*value, Value(Array{
                          Dictionary{{"bundle_identifier", "com.apple.MobileSMS"},
                                     {"display_name", "Messages \"&\" more"},
                                     {"enabled", "1"}},
                          Dictionary{{"bundle_identifier", "com.apple.mobilemail"},
                                     {"enabled", "0"},
                                     {"icon", Bytes{0x0F, 0xBE, 0x00, 0xFF}}},
                          Dictionary{{"tab\there", "caf\xC3\xA9 A\xF0\x9F\x98\x80 A\xC3\xA9"},
                                     {"list", Array{"a", Array{}, Dictionary{}}}},
                      }));
    // Numbers and words stay text: the old form has no other scalar.
    EXPECT_EQ(read("{ n = 12; yes = YES; }"), Value(Dictionary{{"n", "12"}, {"yes", "YES"}}));
    // A UTF-8 byte-order mark in front is skipped here too.
    EXPECT_EQ(read("\xEF\xBB\xBF( a )"), Value(Array{"a"}));
}

TEST(OpenStepPropertyListTest, MalformedOrTooDeepTextIsRefusedWithTheFormatError) {
    std::string deep = std::string(PropertyList::kMaxDepth + 2, '(') + std::string(PropertyList::kMaxDepth + 2, ')');
    std::string deepest = std::string(PropertyList::kMaxDepth + 1, '(') + std::string(PropertyList::kMaxDepth + 1, ')');
    EXPECT_TRUE(read(deepest));
    for (const std::string& bad :
         {std::string("{ a = b }"), std::string("{ a b; }"), std::string("( a b )"), std::string("( a, "),
          std::string("{ a = <0fb>; }"), std::string("{ a = <0fzz>; }"), std::string("( \"open )"),
          std::string("( /* open"), std::string("( \"\\ud83d\" )"), std::string("( \"\\udc00\" )"),
          std::string("( \"\\777\" )"), std::string("( a ) b"), std::string("( # )"), deep,
          std::string(100000, '(')}) {
        ErrorPtr error;
        EXPECT_FALSE(read(bad, &error)) << bad.substr(0, 40);
        ASSERT_TRUE(error) << bad.substr(0, 40);
        EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
        EXPECT_EQ(error->code(), 3840);
    }
    // The line of the fault is named.
    ErrorPtr error;
    EXPECT_FALSE(read("{\n a = b;\n c = ;\n}", &error));
    EXPECT_NE(error->localizedDescription().find("on line 3"), std::string::npos) << error->localizedDescription();
}

}  // namespace
}  // namespace tandril
