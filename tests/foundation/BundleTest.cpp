#include "foundation/Bundle.hpp"

#include <gtest/gtest.h>

#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"
#include "support/TempDir.hpp"

namespace tandril {
namespace {

class BundleTest : public ::testing::Test {
protected:
    BundleTest() {
        path = dir.file("TandrilPane.prefPane");
        Paths::createDirectories(path + "/Contents/Resources/Tandril.app/Contents");
        PropertyList::writeFile(Value(Dictionary{{"CFBundleIdentifier", "com.Varn.TandrilPane"},
                                                 {"CFBundleVersion", "42"},
                                                 {"CFBundleExecutable", "TandrilPane"}}),
                                path + "/Contents/Info.plist");
        Paths::writeFileAtomically(path + "/Contents/Resources/icon.png", "png");
        Paths::writeFileAtomically(dir.file("secret.txt"), "outside");
    }
    test::TempDir dir;
    std::string path;
};

TEST_F(BundleTest, ReadsInfoAndFindsResources) {
    auto bundle = Bundle::bundleWithPath(path + "/");
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->bundlePath(), path);
    EXPECT_EQ(bundle->bundleIdentifier(), "com.Varn.TandrilPane");
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleVersion"), Value("42"));
    EXPECT_TRUE(bundle->objectForInfoDictionaryKey("Missing").isNull());
    EXPECT_EQ(bundle->executablePath(), path + "/Contents/MacOS/TandrilPane");
    EXPECT_EQ(bundle->pathForResource("icon", "png"), path + "/Contents/Resources/icon.png");
    EXPECT_EQ(bundle->pathForResource("Tandril", "app"), path + "/Contents/Resources/Tandril.app");
    EXPECT_EQ(bundle->pathForResource("icon.png", ""), path + "/Contents/Resources/icon.png");
    EXPECT_EQ(bundle->pathForResource("icon", "jpg"), std::nullopt);
}

TEST_F(BundleTest, RefusesNamesThatLeaveTheResourceFolder) {
    auto bundle = Bundle::bundleWithPath(path);
    ASSERT_TRUE(bundle);
    for (const std::string& name : {std::string(""), std::string("."), std::string(".."), std::string("../../../secret"),
                                    std::string("sub/icon"), std::string("/etc/passwd"), std::string("icon\0x", 6)}) {
        EXPECT_EQ(bundle->pathForResource(name, "png"), std::nullopt) << name;
        EXPECT_EQ(bundle->pathForResource(name, ""), std::nullopt) << name;
    }
    EXPECT_EQ(bundle->pathForResource("..", "/secret.txt"), std::nullopt);
    EXPECT_EQ(bundle->pathForResource("icon", "png/../../../../secret.txt"), std::nullopt);
    EXPECT_EQ(bundle->pathForResource("icon", std::string("png\0", 4)), std::nullopt);
}

TEST_F(BundleTest, MissingOrBrokenBundles) {
    EXPECT_EQ(Bundle::bundleWithPath(dir.file("nothing")), nullptr);
    EXPECT_EQ(Bundle::bundleWithPath(dir.file("secret.txt")), nullptr);
    auto bare = Bundle::bundleWithPath(dir.path());  // no Info.plist at all
    ASSERT_TRUE(bare);
    EXPECT_TRUE(bare->infoDictionary().empty());
    EXPECT_EQ(bare->bundleIdentifier(), std::nullopt);

    Bundle::setMainBundle(bare);
    EXPECT_EQ(Bundle::mainBundle(), bare);
    Bundle::setMainBundle(nullptr);
    EXPECT_EQ(Bundle::mainBundle(), nullptr);
}

}  // namespace
}  // namespace tandril
