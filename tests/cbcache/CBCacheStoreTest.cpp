// Clearing BlueZ's cached attributes in a temporary copy of its storage: what goes, what
// stays, and what is never followed.

#include "platform/linux/cbcache/CBCacheStore.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cbcache/BlueZTree.hpp"

namespace tandril::test {
namespace {

using Lines = std::vector<std::string>;

std::string phoneLine() {
    return std::string("Cleared the cached attributes of ") + BlueZTree::kPhone + " (adapter " + BlueZTree::kAdapter + ").";
}
std::string watchLine() {
    return std::string("Cleared the cached attributes of ") + BlueZTree::kWatch + " (adapter " + BlueZTree::kAdapter + ").";
}

TEST(CBCacheStoreTest, RemovesOnlyTheAttributesGroupsAndKeepsBondsNamesAndModes) {
    BlueZTree tree;
    const auto result = CBCacheStore(tree.root()).clearAttributes();

    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.cleared, 2u);
    EXPECT_EQ(result.lines, (Lines{phoneLine(), watchLine(), "Cleared the cached attributes of 2 devices."}));
    EXPECT_EQ(BlueZTree::read(tree.adapterPath(std::string("cache/") + BlueZTree::kPhone)), BlueZTree::kPhoneCacheCleared);
    // A file that held nothing but attributes goes; BlueZ writes a new one when it needs it.
    EXPECT_EQ(BlueZTree::read(tree.adapterPath(std::string("cache/") + BlueZTree::kWatch)), "<absent>");
    EXPECT_TRUE(tree.keysAndNamesIntact());
    struct stat info {};
    ASSERT_EQ(::stat(tree.adapterPath(std::string("cache/") + BlueZTree::kPhone).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    // No temporary file is left beside it.
    EXPECT_EQ(BlueZTree::read(tree.adapterPath(std::string("cache/.") + BlueZTree::kPhone + ".tandril-new")), "<absent>");

    // A second run finds nothing more to do.
    EXPECT_EQ(CBCacheStore(tree.root()).clearAttributes().lines, Lines{"No cached attributes to clear."});
}

TEST(CBCacheStoreTest, NeverFollowsLinksOutOfTheStorage) {
    BlueZTree tree;
    // Targets outside the storage that would be cleared if the links were followed.
    const std::string victim = tree.outside("victim");
    BlueZTree::write(victim, BlueZTree::kPhoneCache);
    ::mkdir(tree.outside("elsewhere").c_str(), 0700);
    ::mkdir(tree.outside("elsewhere/cache").c_str(), 0700);
    BlueZTree::write(tree.outside("elsewhere/cache/11:22:33:44:55:66"), BlueZTree::kPhoneCache);

    // A cache file that is a link, a cache folder that is a link, an adapter that is a link.
    ASSERT_EQ(::symlink(victim.c_str(), tree.adapterPath("cache/AA:BB:CC:DD:EE:01").c_str()), 0);
    const std::string second = tree.path("00:1A:7D:DA:71:14");
    ::mkdir(second.c_str(), 0700);
    ASSERT_EQ(::symlink(tree.outside("elsewhere/cache").c_str(), (second + "/cache").c_str()), 0);
    ASSERT_EQ(::symlink(tree.outside("elsewhere").c_str(), tree.path("00:1A:7D:DA:71:15").c_str()), 0);

    const auto result = CBCacheStore(tree.root()).clearAttributes();

    EXPECT_EQ(result.lines, (Lines{phoneLine(), "Skipped 00:1A:7D:DA:71:13/cache/AA:BB:CC:DD:EE:01: a symbolic link.",
                                   watchLine(), "Skipped 00:1A:7D:DA:71:14/cache: not a folder.",
                                   "Skipped 00:1A:7D:DA:71:15: not a folder.",
                                   "Cleared the cached attributes of 2 devices."}));
    EXPECT_EQ(BlueZTree::read(victim), BlueZTree::kPhoneCache);
    EXPECT_EQ(BlueZTree::read(tree.outside("elsewhere/cache/11:22:33:44:55:66")), BlueZTree::kPhoneCache);
    // The links themselves stay: they are not the helper's to remove.
    struct stat info {};
    EXPECT_EQ(::lstat(tree.adapterPath("cache/AA:BB:CC:DD:EE:01").c_str(), &info), 0);
}

TEST(CBCacheStoreTest, LeavesWhatIsNotACacheFileAlone) {
    BlueZTree tree;
    // A name that is not an address, a FIFO (which must not hang the walk), and a file far
    // larger than any cache.
    BlueZTree::write(tree.adapterPath("cache/notes"), BlueZTree::kPhoneCache);
    ASSERT_EQ(::mkfifo(tree.adapterPath("cache/AA:BB:CC:DD:EE:02").c_str(), 0600), 0);
    BlueZTree::write(tree.adapterPath("cache/AA:BB:CC:DD:EE:03"),
                     "[Attributes]\n" + std::string(CBCacheStore::kMaximumFileSize, '#'));
    BlueZTree::write(tree.path("not-an-adapter"), BlueZTree::kPhoneCache);

    const auto result = CBCacheStore(tree.root()).clearAttributes();

    EXPECT_EQ(result.cleared, 2u);
    EXPECT_EQ(result.lines, (Lines{phoneLine(), "Skipped 00:1A:7D:DA:71:13/cache/AA:BB:CC:DD:EE:02: not a plain file.",
                                   "Skipped 00:1A:7D:DA:71:13/cache/AA:BB:CC:DD:EE:03: too large for a cache file.",
                                   watchLine(), "Cleared the cached attributes of 2 devices."}));
    EXPECT_EQ(BlueZTree::read(tree.adapterPath("cache/notes")), BlueZTree::kPhoneCache);
    EXPECT_EQ(BlueZTree::read(tree.path("not-an-adapter")), BlueZTree::kPhoneCache);
}

TEST(CBCacheStoreTest, MissingStorageAndFailedRewritesAreReported) {
    TempDir empty;
    const auto missing = CBCacheStore(empty.file("none")).clearAttributes();
    EXPECT_TRUE(missing.ok);
    EXPECT_EQ(missing.lines, Lines{"No Bluetooth storage at " + empty.file("none") + ": nothing to clear."});

    // The new file cannot be made (a folder stands in its way): the old one stays whole.
    BlueZTree tree;
    ::mkdir(tree.adapterPath(std::string("cache/.") + BlueZTree::kPhone + ".tandril-new").c_str(), 0700);
    const auto result = CBCacheStore(tree.root()).clearAttributes();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.lines.front(), std::string("Could not rewrite ") + BlueZTree::kAdapter + "/cache/" +
                                        BlueZTree::kPhone + ": File exists");
    EXPECT_EQ(BlueZTree::read(tree.adapterPath(std::string("cache/") + BlueZTree::kPhone)), BlueZTree::kPhoneCache);
    EXPECT_EQ(result.cleared, 1u);  // the watch's file went all the same
}

TEST(CBCacheStoreTest, GroupRemovalKeepsEverythingElseByteForByte) {
    // In the middle, at the end, twice, with CR LF and trailing blanks on the header.
    EXPECT_EQ(CBCacheStore::withoutGroup("[A]\nx=1\n[Attributes]\ny=2\n[B]\nz=3\n", "Attributes"), "[A]\nx=1\n[B]\nz=3\n");
    EXPECT_EQ(CBCacheStore::withoutGroup("# comment\n[A]\nx=1\n\n[Attributes]\ny=2", "Attributes"), "# comment\n[A]\nx=1\n\n");
    EXPECT_EQ(CBCacheStore::withoutGroup("[Attributes]\na=1\n[A]\n[Attributes] \r\nb=2\n", "Attributes"), "[A]\n");
    // Absent, or only a look-alike: nothing to rewrite.
    EXPECT_EQ(CBCacheStore::withoutGroup("[A]\nAttributes=1\n[AttributesX]\n", "Attributes"), std::nullopt);
    EXPECT_EQ(CBCacheStore::withoutGroup("", "Attributes"), std::nullopt);

    EXPECT_TRUE(CBCacheStore::isAddress("00:1a:7D:DA:71:13"));
    for (const char* name : {"00:1A:7D:DA:71", "00:1A:7D:DA:71:1G", "00-1A-7D-DA-71-13", "..", "00:1A:7D:DA:71:13x"}) {
        EXPECT_FALSE(CBCacheStore::isAddress(name)) << name;
    }
}

}  // namespace
}  // namespace tandril::test
