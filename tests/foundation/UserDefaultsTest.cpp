#include "foundation/UserDefaults.hpp"

#include <gtest/gtest.h>

#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"
#include "support/LoopFixture.hpp"

namespace tandril {
namespace {

class UserDefaultsTest : public test::LoopFixture {};

TEST_F(UserDefaultsTest, ValuesSurviveARestart) {
    UserDefaults::setStandardDomain("com.Varn.Glimwick");
    auto& defaults = UserDefaults::standardUserDefaults();
    EXPECT_EQ(defaults.path(), Paths::join(home.file("config/Tandril"), "com.Varn.Glimwick.plist"));
    defaults.setObject("8E3A52B4-6C1F-4F7A-9B0E-2D1C3B4A5F60", "CNConsumerManagerPreferredUUID");
    defaults.setObject(Array{"1.0", "1.1"}, "prevStartupVersions");
    defaults.setObject(true, "flag");

    UserDefaults::resetStandardUserDefaults();
    auto& again = UserDefaults::standardUserDefaults();
    EXPECT_EQ(again.stringForKey("CNConsumerManagerPreferredUUID"), "8E3A52B4-6C1F-4F7A-9B0E-2D1C3B4A5F60");
    EXPECT_EQ(again.arrayForKey("prevStartupVersions"), (Array{"1.0", "1.1"}));
    EXPECT_TRUE(again.boolForKey("flag"));
    EXPECT_FALSE(again.boolForKey("missing"));
    EXPECT_EQ(again.stringForKey("prevStartupVersions"), std::nullopt);

    again.removeObjectForKey("flag");
    again.setObject(Value(), "prevStartupVersions");
    UserDefaults reread("com.Varn.Glimwick");
    EXPECT_TRUE(reread.objectForKey("flag").isNull());
    EXPECT_TRUE(reread.objectForKey("prevStartupVersions").isNull());
    EXPECT_FALSE(reread.objectForKey("CNConsumerManagerPreferredUUID").isNull());
    UserDefaults::setStandardDomain("");
}

TEST_F(UserDefaultsTest, TheFileIsAnXMLPropertyList) {
    UserDefaults defaults("com.Varn.Tandril");
    defaults.setObject("x", "k");
    auto text = Paths::readFile(defaults.path());
    ASSERT_TRUE(text);
    EXPECT_EQ(text->rfind("<?xml", 0), 0u);
    EXPECT_NE(text->find("\t<key>k</key>\n\t<string>x</string>\n"), std::string::npos);
}

TEST_F(UserDefaultsTest, ABrokenFileReadsAsEmptyAndIsKeptUntilASet) {
    ASSERT_TRUE(Paths::createDirectories(Paths::defaultsDirectory()));
    std::string path = Paths::join(Paths::defaultsDirectory(), "broken.plist");
    ASSERT_TRUE(Paths::writeFileAtomically(path, "<plist><dict><key>a</key"));
    {
        UserDefaults defaults("broken");
        EXPECT_TRUE(defaults.objectForKey("a").isNull());
        EXPECT_TRUE(defaults.synchronize());  // nothing pending: reads, writes nothing
        EXPECT_EQ(Paths::readFile(path), "<plist><dict><key>a</key");
        defaults.setObject(5, "b");
    }
    UserDefaults reread("broken");
    EXPECT_EQ(reread.objectForKey("b"), Value(5));
}

TEST_F(UserDefaultsTest, ARootThatIsNotADictionaryReadsAsEmpty) {
    ASSERT_TRUE(Paths::createDirectories(Paths::defaultsDirectory()));
    ASSERT_TRUE(PropertyList::writeFile(Value(Array{1}), Paths::join(Paths::defaultsDirectory(), "array.plist")));
    UserDefaults defaults("array");
    EXPECT_TRUE(defaults.objectForKey("0").isNull());
}

TEST_F(UserDefaultsTest, SynchronizePicksUpChangesFromAnotherProcess) {
    UserDefaults mine("shared");
    mine.setObject(1, "n");
    UserDefaults theirs("shared");
    theirs.setObject(2, "n");
    EXPECT_EQ(mine.objectForKey("n"), Value(1));
    EXPECT_TRUE(mine.synchronize());
    EXPECT_EQ(mine.objectForKey("n"), Value(2));
}

}  // namespace
}  // namespace tandril
