#include <gtest/gtest.h>

#include <string>

#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"
#include "platform/linux/pane/AutostartLoginItems.hpp"
#include "support/TempDir.hpp"

namespace tandril::test {
namespace {

class AutostartLoginItemsTest : public ::testing::Test {
protected:
    AutostartLoginItemsTest() {
        // A bundle like the agent's, in a folder whose name needs quoting in an Exec line.
        bundle = dir.file("My \"Apps\" $HOME 100%/Tandril.app");
        Paths::createDirectories(bundle + "/Contents/MacOS");
        PropertyList::writeFile(Value(Dictionary{{"CFBundleIdentifier", "com.Varn.Glimwick"},
                                                 {"CFBundleName", "Tandril"},
                                                 {"CFBundleExecutable", "Tandril"}}),
                                bundle + "/Contents/Info.plist");
    }
    std::string entry(const std::string& name) const { return Paths::readFile(items.folder() + "/" + name).value_or(""); }

    TempDir dir;
    std::string bundle;
    AutostartLoginItems items{dir.file("config/autostart")};
};

TEST_F(AutostartLoginItemsTest, AnItemIsADesktopEntryThatStartsTheBundlesProgram) {
    ASSERT_TRUE(items.open());
    ASSERT_TRUE(items.insertItemLast(bundle));
    EXPECT_EQ(items.snapshot(), std::vector<std::string>{"com.Varn.Glimwick.desktop"});
    EXPECT_EQ(items.resolve("com.Varn.Glimwick.desktop"), bundle + "/Contents/MacOS/Tandril");
    EXPECT_EQ(items.resolvedPathFor(bundle), bundle + "/Contents/MacOS/Tandril");
    EXPECT_NE(entry("com.Varn.Glimwick.desktop").find("[Desktop Entry]\nType=Application\nName=Tandril\n"),
              std::string::npos);

    // Again: the same file, rewritten; the folder knows no duplicates.
    ASSERT_TRUE(items.insertItemLast(bundle));
    EXPECT_EQ(items.snapshot().size(), 1u);
}

TEST_F(AutostartLoginItemsTest, ForeignEntriesAreNeverOverwrittenAndResolveByTheirOwnExecLine) {
    ASSERT_TRUE(items.open());
    Paths::writeFileAtomically(items.folder() + "/com.Varn.Glimwick.desktop",
                               "[Desktop Entry]\nType=Application\nExec=/opt/other/Tandril --flag %U\n");
    Paths::writeFileAtomically(items.folder() + "/broken.desktop", "[Desktop Entry]\nExec=\"unterminated\n");
    Paths::writeFileAtomically(items.folder() + "/grouped.desktop",
                               "[Other Group]\nExec=/nowhere\n[Desktop Entry]\nExec = /usr/bin/app\\sname\n");
    ASSERT_TRUE(items.insertItemLast(bundle));
    EXPECT_EQ(items.resolve("com.Varn.Glimwick.desktop"), std::string("/opt/other/Tandril"));
    EXPECT_EQ(items.resolve("com.Varn.Glimwick-2.desktop"), bundle + "/Contents/MacOS/Tandril");
    EXPECT_EQ(items.resolve("broken.desktop"), std::nullopt);
    EXPECT_EQ(items.resolve("grouped.desktop"), std::string("/usr/bin/app"));
    EXPECT_EQ(items.resolve("../autostart/grouped.desktop"), std::nullopt);
    EXPECT_EQ(items.resolve("missing.desktop"), std::nullopt);

    EXPECT_TRUE(items.removeItem("com.Varn.Glimwick-2.desktop"));
    EXPECT_FALSE(items.removeItem("../../escape.desktop"));
    EXPECT_EQ(items.snapshot(),
              (std::vector<std::string>{"broken.desktop", "com.Varn.Glimwick.desktop", "grouped.desktop"}));
}

TEST_F(AutostartLoginItemsTest, AProgramPathIsItsOwnItem) {
    ASSERT_TRUE(items.insertItemLast("/usr/lib/tandril/tandril-simulator"));
    EXPECT_EQ(items.resolve("tandril-simulator.desktop"), std::string("/usr/lib/tandril/tandril-simulator"));
    EXPECT_EQ(items.resolvedPathFor("/usr/lib/tandril/tandril-simulator"), "/usr/lib/tandril/tandril-simulator");
}

}  // namespace
}  // namespace tandril::test
