#include "foundation/Paths.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <vector>

#include "support/TempDir.hpp"

namespace tandril {
namespace {

TEST(PathsTest, RedirectionAndDefaults) {
    test::TempDir dir;
    Paths::setConfigDirectory(dir.file("cfg"));
    EXPECT_EQ(Paths::defaultsDirectory(), dir.file("cfg") + "/Tandril");
    EXPECT_EQ(Paths::autostartDirectory(), dir.file("cfg") + "/autostart");
    Paths::setDefaultsDirectory(dir.file("d"));
    EXPECT_EQ(Paths::defaultsDirectory(), dir.file("d"));
    Paths::setDefaultsDirectory("");
    Paths::setConfigDirectory("");
    EXPECT_FALSE(Paths::configDirectory().empty());
    EXPECT_EQ(Paths::configDirectory().front(), '/');
    EXPECT_EQ(Paths::join("a/", "/b"), "a/b");
    EXPECT_EQ(Paths::join("a", "b"), "a/b");
    EXPECT_EQ(Paths::join("", "b"), "b");
}

TEST(PathsTest, CreatesFoldersButNotOverFiles) {
    test::TempDir dir;
    EXPECT_TRUE(Paths::createDirectories(dir.file("a/b/c")));
    EXPECT_TRUE(Paths::isDirectory(dir.file("a/b/c")));
    EXPECT_TRUE(Paths::createDirectories(dir.file("a/b/c")));
    ASSERT_TRUE(Paths::writeFileAtomically(dir.file("file"), "x"));
    EXPECT_FALSE(Paths::createDirectories(dir.file("file")));
    EXPECT_FALSE(Paths::createDirectories(dir.file("file/sub")));
}

TEST(PathsTest, AtomicWriteLeavesNoTemporaryFilesAndKeepsTheMode) {
    test::TempDir dir;
    std::string path = dir.file("CachedApplications.dat");
    ASSERT_TRUE(Paths::writeFileAtomically(path, std::string("a\0b", 3)));
    EXPECT_EQ(Paths::readFile(path), std::string("a\0b", 3));
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    ASSERT_TRUE(Paths::writeFileAtomically(path, "second", false));
    EXPECT_EQ(Paths::readFile(path), "second");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    EXPECT_FALSE(Paths::writeFileAtomically(dir.file("no/such/folder/x"), "x"));
    EXPECT_FALSE(Paths::writeFileAtomically(dir.path(), "x"));  // a folder is not replaced
    EXPECT_EQ(Paths::readFile(dir.path()), std::nullopt);
    EXPECT_EQ(Paths::readFile(dir.file("missing")), std::nullopt);
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1u);
}

TEST(PathsTest, MoveAsideNeverReplacesAndKeepsTheNewest) {
    test::TempDir dir;
    const std::string path = dir.file("CachedApplications.dat");
    std::vector<std::string> moved;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(Paths::writeFileAtomically(path, "copy " + std::to_string(i), false));
        auto aside = Paths::moveAside(path, "damaged", 3);
        ASSERT_TRUE(aside);
        moved.push_back(*aside);
        EXPECT_FALSE(Paths::fileExists(path));
    }
    // All five within a second or two: the names differ, the contents are intact.
    EXPECT_EQ(moved[0].rfind(path + ".damaged-", 0), 0u) << moved[0];
    EXPECT_EQ(moved[0].size(), path.size() + std::string(".damaged-20261209T014136Z").size()) << moved[0];
    std::size_t kept = 0;
    for (int i = 0; i < 5; ++i) {
        if (auto contents = Paths::readFile(moved[static_cast<std::size_t>(i)])) {
            EXPECT_EQ(*contents, "copy " + std::to_string(i));
            EXPECT_GE(i, 2);  // the two oldest went
            ++kept;
        }
    }
    EXPECT_EQ(kept, 3u);

    int number = 0;
    EXPECT_FALSE(Paths::moveAside(dir.file("missing"), "damaged", 3, &number));
    EXPECT_EQ(number, ENOENT);
    EXPECT_EQ(Paths::errorText(ENOENT), "No such file or directory");
    EXPECT_FALSE(Paths::readFile(dir.path(), &number));
    EXPECT_EQ(number, EISDIR);
    EXPECT_FALSE(Paths::writeFileAtomically(dir.file("no/folder"), "x", false, &number));
    EXPECT_EQ(number, ENOENT);
}

}  // namespace
}  // namespace tandril
