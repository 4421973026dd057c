#include "foundation/UserDefaults.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

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
    // The set kept the broken file beside the new one rather than destroying it.
    std::vector<std::string> aside;
    for (const std::string& name : Paths::contentsOfDirectory(Paths::defaultsDirectory())) {
        if (name.rfind("broken.plist.damaged-", 0) == 0) aside.push_back(Paths::join(Paths::defaultsDirectory(), name));
    }
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(Paths::readFile(aside[0]), "<plist><dict><key>a</key");
    ErrorPtr error;
    PropertyList::readFile(aside[0], &error);
    EXPECT_EQ(logs.lines(), std::vector<std::string>{"[DEFAULTS] Unreadable defaults moved aside to " + aside[0] + " (" +
                                                     error->localizedDescription() + ")"});
}

TEST_F(UserDefaultsTest, AFailedWriteIsLoggedWithItsCauseAndRetried) {
    UserDefaults defaults("blocked");
    ASSERT_TRUE(Paths::createDirectories(defaults.path() + "/in-the-way"));
    defaults.setObject(1, "n");
    EXPECT_EQ(logs.lines(), std::vector<std::string>{"[DEFAULTS] Defaults not saved: The file \u201c" + defaults.path() +
                                                     "\u201d couldn\u2019t be saved: Is a directory."});
    ASSERT_TRUE(Paths::isDirectory(defaults.path()));
    std::filesystem::remove_all(defaults.path());
    EXPECT_TRUE(defaults.synchronize());  // still pending, written now
    EXPECT_EQ(UserDefaults("blocked").objectForKey("n"), Value(1));
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

// The agent and the settings application share the agent's domain, each with values it
// read some time ago: a write changes only the writer's own keys, on top of the file as
// it is now.
TEST_F(UserDefaultsTest, AWriteKeepsTheKeysAnotherWriterChangedSinceItRead) {
    UserDefaults agent("com.Varn.Glimwick");
    agent.setObject(Array{"1.0"}, "prevStartupVersions");
    agent.setObject("stale", "TDRLookupBaseURL");
    UserDefaults pane("com.Varn.Glimwick");

    pane.setObject(false, "TDRAllowIPhonesToConnect");
    pane.removeObjectForKey("TDRLookupBaseURL");
    agent.setObject("8E3A52B4-6C1F-4F7A-9B0E-2D1C3B4A5F60", "CNConsumerManagerPreferredUUID");
    // The agent's view now holds what the file holds.
    EXPECT_EQ(agent.objectForKey("TDRAllowIPhonesToConnect"), Value(false));
    EXPECT_TRUE(agent.objectForKey("TDRLookupBaseURL").isNull());
    pane.setObject(true, "TDRAllowIPhonesToConnect");
    agent.removeObjectForKey("prevStartupVersions");

    EXPECT_EQ(UserDefaults("com.Varn.Glimwick").objectForKey("TDRAllowIPhonesToConnect"), Value(true));
    auto file = PropertyList::readFile(agent.path());
    ASSERT_TRUE(file && file->asDictionary());
    EXPECT_EQ(*file->asDictionary(), (Dictionary{{"CNConsumerManagerPreferredUUID", "8E3A52B4-6C1F-4F7A-9B0E-2D1C3B4A5F60"},
                                                 {"TDRAllowIPhonesToConnect", true}}));
}

TEST_F(UserDefaultsTest, AChangeThatCouldNotBeWrittenIsAppliedToTheFileAsItIsWhenRetried) {
    UserDefaults agent("shared");
    ASSERT_TRUE(Paths::createDirectories(agent.path() + "/in-the-way"));
    agent.setObject(1, "mine");  // not written: the folder is in the way
    std::filesystem::remove_all(agent.path());
    UserDefaults("shared").setObject(2, "theirs");
    EXPECT_TRUE(agent.synchronize());
    UserDefaults reread("shared");
    EXPECT_EQ(reread.objectForKey("mine"), Value(1));
    EXPECT_EQ(reread.objectForKey("theirs"), Value(2));
}

// Two processes writing at the same time: each write re-reads and replaces the file while
// holding the domain's lock, so no key is lost between one's read and the other's rename.
TEST_F(UserDefaultsTest, TwoProcessesWritingAtOnceLoseNoKey) {
    constexpr int kKeys = 40;
    ASSERT_TRUE(Paths::createDirectories(Paths::defaultsDirectory()));
    std::vector<pid_t> children;
    for (const char* writer : {"agent", "pane"}) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            UserDefaults defaults("com.Varn.Glimwick");
            bool ok = true;
            for (int i = 0; i < kKeys; ++i) {
                defaults.setObject(i, std::string(writer) + std::to_string(i));
                ok = defaults.synchronize() && ok;
            }
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    UserDefaults reread("com.Varn.Glimwick");
    for (int i = 0; i < kKeys; ++i) {
        EXPECT_EQ(reread.objectForKey("agent" + std::to_string(i)), Value(i)) << i;
        EXPECT_EQ(reread.objectForKey("pane" + std::to_string(i)), Value(i)) << i;
    }
}

}  // namespace
}  // namespace tandril
