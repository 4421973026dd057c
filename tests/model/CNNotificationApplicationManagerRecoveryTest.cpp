// What the catalogue does with a file it cannot read, and with writes that fail: nothing
// the user set is ever overwritten, and every failure is logged with its cause.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"
#include "model/CNNotificationApplicationManager.hpp"
#include "shared/CataloguePaths.hpp"
#include "support/LoopFixture.hpp"

namespace tandril {
namespace {

std::shared_ptr<CNNotificationApplication> makeApplication(const std::string& id, const std::string& name,
                                                           bool enabled) {
    auto application = std::make_shared<CNNotificationApplication>();
    application->setBundleIdentifier(id);
    application->setDisplayName(name);
    application->setEnabled(enabled);
    return application;
}

std::shared_ptr<Image> solidIcon(std::uint8_t red) {
    Bytes pixels;
    for (int i = 0; i < 4; ++i) pixels.insert(pixels.end(), {red, 20, 30, 255});
    return Image::create(2, 2, pixels);
}

// While alive, file permissions apply to this thread even when it runs as root (as CI
// does): the capabilities that override them are dropped from the effective set.
class FilePermissionsApply {
public:
    FilePermissionsApply() {
        if (::syscall(SYS_capget, &header_, saved_) != 0) return;
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) reduced[cap / 32].effective &= ~(1u << (cap % 32));
        dropped_ = ::syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~FilePermissionsApply() {
        if (dropped_) ::syscall(SYS_capset, &header_, saved_);
    }
    FilePermissionsApply(const FilePermissionsApply&) = delete;
    FilePermissionsApply& operator=(const FilePermissionsApply&) = delete;

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool dropped_ = false;
};

class CNNotificationApplicationManagerRecoveryTest : public test::LoopFixture {
protected:
    static std::string path() { return CataloguePaths::applicationsPath(); }
    static void write(const std::string& text) {
        Paths::createDirectories(CataloguePaths::catalogueFolder());
        ASSERT_TRUE(Paths::writeFileAtomically(path(), text));
    }
    // The copies moved aside, oldest first.
    static std::vector<std::string> setAside() {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(CataloguePaths::catalogueFolder())) {
            if (entry.path().filename().string().rfind("CachedApplications.dat.damaged-", 0) == 0) {
                found.push_back(entry.path().string());
            }
        }
        std::sort(found.begin(), found.end());
        return found;
    }
    static std::string readError(const std::string& file) {
        ErrorPtr error;
        PropertyList::readFile(file, &error);
        return error ? error->localizedDescription() : "(read)";
    }
};

TEST_F(CNNotificationApplicationManagerRecoveryTest, AnUnreadableFileIsMovedAsideBeforeAnythingIsSaved) {
    const std::string damaged = "<?xml version=\"1.0\"?><plist><array><dict><key>enabled</key><string>0";
    const std::vector<std::string> contents{damaged, "{\"root\": \"is not a list\"}", std::string("\0\0\0", 3)};
    for (const std::string& text : contents) {
        write(text);
        CNNotificationApplicationManager catalogue;
        EXPECT_TRUE(catalogue.cachedApplications().empty());
        catalogue.cacheApplication(makeApplication("com.example.new", "New", true));
        ASSERT_FALSE(setAside().empty());
        const std::string aside = setAside().back();
        EXPECT_EQ(Paths::readFile(aside), text);
        const std::string reason = text[0] == '{' ? "its root is not a list" : readError(aside);
        EXPECT_EQ(logs.count("[CACHE] Unreadable catalogue moved aside to " + aside + " (" + reason + ")"), 1u)
            << ::testing::PrintToString(logs.lines());
        EXPECT_EQ(CNNotificationApplicationManager().cachedApplications().size(), 1u);
    }
    EXPECT_EQ(setAside().size(), 3u);
    // A fourth goes in and the oldest goes.
    write("garbage");
    CNNotificationApplicationManager catalogue;
    const auto kept = setAside();
    ASSERT_EQ(kept.size(), CNNotificationApplicationManager::kKeptDamagedCatalogues);
    EXPECT_EQ(Paths::readFile(kept.back()), "garbage");
    EXPECT_NE(Paths::readFile(kept.front()), damaged);
}

TEST_F(CNNotificationApplicationManagerRecoveryTest, AFileThatCanBeNeitherReadNorMovedIsNeverOverwritten) {
    {
        CNNotificationApplicationManager catalogue;
        catalogue.cacheApplication(makeApplication("com.example.muted", "Muted", false));
    }
    const std::string original = *Paths::readFile(path());
    const std::string folder = CataloguePaths::catalogueFolder();
    ASSERT_EQ(::chmod(path().c_str(), 0), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    {
        FilePermissionsApply permissions;
        CNNotificationApplicationManager catalogue;
        EXPECT_TRUE(catalogue.cachedApplications().empty());
        const std::string reason = "The file \u201c" + path() + "\u201d couldn\u2019t be opened: Permission denied.";
        EXPECT_TRUE(logs.contains("[CACHE] Unreadable catalogue could not be moved aside (Permission denied) and is "
                                  "left in place, unsaved: " + reason))
            << ::testing::PrintToString(logs.lines());
        logs.clear();
        catalogue.cacheApplication(catalogue.applicationForBundleIdentifier("com.example.new"));
        const std::vector<std::string> expected{
            "[CACHE] No existing application found, creating new one.",
            "[CACHE] Catalogue not saved: " + path() + " could not be read and is kept as it is"};
        EXPECT_EQ(logs.lines(), expected);

        // Once the folder may be written again, the next save moves the file aside first.
        ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
        catalogue.cacheApplication(makeApplication("com.example.other", "Other", true));
        EXPECT_EQ(catalogue.cachedApplications().size(), 2u);
    }
    const auto kept = setAside();
    ASSERT_EQ(kept.size(), 1u);
    ASSERT_EQ(::chmod(kept[0].c_str(), 0644), 0);
    EXPECT_EQ(Paths::readFile(kept[0]), original);
    EXPECT_EQ(CNNotificationApplicationManager().cachedApplications().size(), 2u);
}

TEST_F(CNNotificationApplicationManagerRecoveryTest, FailedWritesAreLoggedWithTheSystemsReason) {
    CNNotificationApplicationManager catalogue;
    // Folders where the catalogue file and the icon file should go: neither can be replaced.
    std::filesystem::create_directories(path() + "/in-the-way");
    std::filesystem::create_directories(*CataloguePaths::iconPath("com.example.app") + "/in-the-way");
    auto application = makeApplication("com.example.app", "App", true);
    application->setIcon(solidIcon(1));
    catalogue.cacheApplication(application);
    EXPECT_EQ(logs.lines(), (std::vector<std::string>{
                                "[CACHE] Icon not saved to " + *CataloguePaths::iconPath("com.example.app") +
                                    ": Is a directory",
                                "[CACHE] Catalogue not saved: The file \u201c" + path() +
                                    "\u201d couldn\u2019t be saved: Is a directory.",
                            }));
    EXPECT_EQ(catalogue.cachedApplications().size(), 1u);  // the catalogue goes on from memory
}

TEST_F(CNNotificationApplicationManagerRecoveryTest, OtherTextFormsKeepTheUsersSwitches) {
    // Written with a byte-order mark in front, and in the old text form: each loads, and the
    // next save keeps the switch that was off.
    const std::vector<std::string> forms{
        "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<array>\n\t<dict>\n"
        "\t\t<key>bundle_identifier</key>\n\t\t<string>com.example.muted</string>\n"
        "\t\t<key>enabled</key>\n\t\t<string>0</string>\n\t</dict>\n</array>\n</plist>\n",
        "\xEF\xBB\xBF[{\"bundle_identifier\": \"com.example.muted\", \"enabled\": \"0\"}]",
        "(\n    {\n        \"bundle_identifier\" = \"com.example.muted\";\n        enabled = 0;\n    }\n)\n",
    };
    for (const std::string& text : forms) {
        write(text);
        CNNotificationApplicationManager catalogue;
        ASSERT_EQ(catalogue.cachedApplications().size(), 1u) << text;
        EXPECT_FALSE(catalogue.cachedApplications()[0]->isEnabled());
        catalogue.cacheApplication(makeApplication("com.example.new", "New", true));
        CNNotificationApplicationManager reloaded;
        ASSERT_EQ(reloaded.cachedApplications().size(), 2u);
        EXPECT_EQ(reloaded.applicationForBundleIdentifier("com.example.muted")->isEnabled(), false);
    }
    EXPECT_TRUE(setAside().empty());
}

// A write killed between its temporary file and the rename leaves ".<name>.XXXXXX" behind
// for good: the next load removes such files once they are stale, and nothing else.
TEST_F(CNNotificationApplicationManagerRecoveryTest, LoadingRemovesWhatKilledWritesLeftAndNothingElse) {
    {
        CNNotificationApplicationManager catalogue;
        auto chat = makeApplication("com.example.chat", "Chat", true);
        chat->setIcon(solidIcon(10));
        catalogue.cacheApplication(chat);
    }
    const std::string folder = CataloguePaths::catalogueFolder();
    const std::string icons = CataloguePaths::iconsFolder();
    const auto hourAgo = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
    auto put = [&](const std::string& file, bool stale) {
        ASSERT_TRUE(Paths::writeFileAtomically(file, "half a write", false));
        if (stale) std::filesystem::last_write_time(file, hourAgo);
    };
    const std::vector<std::string> leftovers{Paths::join(folder, ".CachedApplications.dat.Ab3xYz"),
                                             Paths::join(icons, ".com.example.chat.png.K9sd0P"),
                                             Paths::join(icons, ".com.example.gone.png.000000")};
    for (const auto& file : leftovers) put(file, true);
    const std::vector<std::string> kept{
        Paths::join(folder, ".CachedApplications.dat.Qw12Er"),  // young: a save in progress
        Paths::join(icons, ".com.example.chat.png.Zz9Yy8"),     // young
        Paths::join(folder, ".notifications.state.Ab3xYz"),     // another file's temporary file
        Paths::join(folder, ".CachedApplications.dat.Ab3x-z"),  // not mkstemp's characters
        Paths::join(folder, ".CachedApplications.dat.Ab3xYzq"), // seven of them
        Paths::join(folder, "CachedApplications.dat.damaged-20260101T000000Z"),
        Paths::join(icons, ".notes.txt.Ab3xYz"),
        Paths::join(icons, "..png.Ab3xYz"),
    };
    for (std::size_t i = 0; i < kept.size(); ++i) put(kept[i], i >= 2);
    // A folder and a link of the right name are no files of ours either.
    ASSERT_TRUE(Paths::createDirectories(Paths::join(folder, ".CachedApplications.dat.Dir123")));
    const std::string outside = home.file("outside");
    put(outside, true);
    std::filesystem::create_symlink(outside, Paths::join(icons, ".com.example.link.png.Ln1234"));
    logs.clear();

    CNNotificationApplicationManager catalogue;
    ASSERT_EQ(catalogue.cachedApplications().size(), 1u);
    EXPECT_TRUE(catalogue.cachedApplications()[0]->icon());
    for (const auto& file : leftovers) EXPECT_FALSE(std::filesystem::exists(file)) << file;
    for (const auto& file : kept) EXPECT_TRUE(std::filesystem::exists(file)) << file;
    EXPECT_TRUE(Paths::isDirectory(Paths::join(folder, ".CachedApplications.dat.Dir123")));
    EXPECT_TRUE(std::filesystem::is_symlink(Paths::join(icons, ".com.example.link.png.Ln1234")));
    EXPECT_EQ(Paths::readFile(outside), "half a write");
    std::vector<std::string> lines = logs.lines();
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> expected;
    for (const auto& file : leftovers) expected.push_back("[CACHE] Removed the leftover of an unfinished write: " + file);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace tandril
