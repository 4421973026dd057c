#include <gtest/gtest.h>

#include <set>
#include <string>

#include "foundation/Paths.hpp"
#include "shared/CataloguePaths.hpp"
#include "support/LoopFixture.hpp"

namespace tandril {
namespace {

using namespace std::string_literals;

class CataloguePathsTest : public test::LoopFixture {};

TEST_F(CataloguePathsTest, FoldersLieUnderTheUsersDataFolder) {
    const std::string base = Paths::applicationSupportDirectory();
    EXPECT_EQ(CataloguePaths::catalogueFolder(), base + "/Tandril");
    EXPECT_EQ(CataloguePaths::applicationsPath(), base + "/Tandril/CachedApplications.dat");
    EXPECT_EQ(CataloguePaths::iconsFolder(), base + "/Tandril/CachedIcons");
    EXPECT_EQ(CataloguePaths::iconPath("com.apple.MobileSMS"), base + "/Tandril/CachedIcons/com.apple.MobileSMS.png");
    EXPECT_EQ(CataloguePaths::iconPath(""), std::nullopt);
}

TEST(CataloguePathsNames, OrdinaryIdentifiersKeepTheirNames) {
    for (const std::string id : {"com.apple.MobileSMS", "net.whatsapp.WhatsApp", "com.example.app-beta_2",
                                 "jp.naver.line", "com.例え.アプリ", "a", "com.burbn.instagram~ipad"}) {
        EXPECT_EQ(CataloguePaths::iconFileName(id), id + ".png") << id;
    }
}

TEST(CataloguePathsNames, HostileIdentifiersAreEscapedIntoOneName) {
    EXPECT_EQ(CataloguePaths::iconFileName("../../.config/autostart/x"), "%2E.%2F..%2F.config%2Fautostart%2Fx.png");
    EXPECT_EQ(CataloguePaths::iconFileName("a/b"), "a%2Fb.png");
    EXPECT_EQ(CataloguePaths::iconFileName("a\0b"s), "a%00b.png");
    EXPECT_EQ(CataloguePaths::iconFileName("100%"), "100%25.png");
    EXPECT_EQ(CataloguePaths::iconFileName(".hidden"), "%2Ehidden.png");
    EXPECT_EQ(CataloguePaths::iconFileName("."), "%2E.png");
    EXPECT_EQ(CataloguePaths::iconFileName("tab\there\x7f"), "tab%09here%7F.png");
    EXPECT_EQ(CataloguePaths::iconFileName("nel\u0085"), "nel%C2%85.png");
    EXPECT_EQ(CataloguePaths::iconFileName("bad\xff\xc3"), "bad%FF%C3.png");
    EXPECT_EQ(CataloguePaths::iconFileName(""), std::nullopt);
    // The escape character is escaped too, so distinct identifiers keep distinct names.
    EXPECT_NE(CataloguePaths::iconFileName("a/b"), CataloguePaths::iconFileName("a%2Fb"));
}

TEST(CataloguePathsNames, LongIdentifiersAreCutAndHashed) {
    const std::string kept(CataloguePaths::kMaxKeptNameBytes, 'a');
    EXPECT_EQ(CataloguePaths::iconFileName(kept), kept + ".png");

    const std::string huge(64 * 1024, 'a');
    const std::string name = *CataloguePaths::iconFileName(huge);
    EXPECT_EQ(name.size(), 200u + 1 + 16 + 4);
    EXPECT_EQ(name.substr(0, 201), kept + "~");
    EXPECT_EQ(name.substr(name.size() - 4), ".png");

    // Texts that differ only past the cut still get different names.
    EXPECT_NE(CataloguePaths::iconFileName(huge + "b"), CataloguePaths::iconFileName(huge + "c"));
    EXPECT_NE(CataloguePaths::iconFileName(kept + "b"), CataloguePaths::iconFileName(kept + "c"));

    // A cut never splits a character or an escape.
    EXPECT_EQ(CataloguePaths::iconFileName(std::string(199, 'a') + "é" + std::string(100, 'b'))->substr(0, 200),
              std::string(199, 'a') + "~");
    EXPECT_EQ(CataloguePaths::iconFileName(std::string(198, 'a') + "é/" + std::string(100, 'b'))->substr(0, 201),
              std::string(198, 'a') + "é~");
    EXPECT_EQ(CataloguePaths::iconFileName(std::string(199, 'a') + "/" + std::string(100, 'b'))->substr(0, 200),
              std::string(199, 'a') + "~");
}

TEST(CataloguePathsNames, EveryNameStaysInsideTheIconFolder) {
    const std::vector<std::string> hostile{
        "../../.config/autostart/x", "a/b", "/", "..", "...", "/etc/passwd", "a\0/../b"s, "\0"s,
        std::string(64 * 1024, '/'), std::string(64 * 1024, '.'), std::string(64 * 1024, '\0'),
        std::string(300, 'x') + "/../../y", "\xc0\xaf", "%2F..%2F"};
    std::set<std::string> names;
    for (const auto& id : hostile) {
        const std::string name = *CataloguePaths::iconFileName(id);
        EXPECT_LE(name.size(), 255u);
        EXPECT_EQ(name.find('/'), std::string::npos);
        EXPECT_EQ(name.find('\0'), std::string::npos);
        EXPECT_NE(name.front(), '.');
        names.insert(name);
    }
    EXPECT_EQ(names.size(), hostile.size());
}

}  // namespace
}  // namespace tandril
