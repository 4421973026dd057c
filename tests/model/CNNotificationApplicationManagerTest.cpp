#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>

#include "foundation/Bundle.hpp"
#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"
#include "model/CNNotificationApplicationManager.hpp"
#include "shared/CataloguePaths.hpp"
#include "support/LoopFixture.hpp"

namespace tandril {
namespace {

using namespace std::string_literals;
using Applications = std::vector<std::shared_ptr<CNNotificationApplication>>;

// The catalogue as the platform's property-list writer lays it out.
const std::string kAppleXML = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<array>
	<dict>
		<key>bundle_identifier</key>
		<string>com.att.myWireless</string>
		<key>display_name</key>
		<string>AT&amp;T &lt;Mobile&gt;</string>
		<key>enabled</key>
		<string>1</string>
	</dict>
	<dict>
		<key>bundle_identifier</key>
		<string>com.example.cafe</string>
		<key>display_name</key>
		<string>Café</string>
		<key>enabled</key>
		<string>0</string>
	</dict>
	<dict>
		<key>bundle_identifier</key>
		<string>com.example.nameless</string>
		<key>enabled</key>
		<string>1</string>
	</dict>
</array>
</plist>
)";

std::shared_ptr<CNNotificationApplication> makeApplication(std::optional<std::string> id, std::optional<std::string> name,
                                                           bool enabled = true) {
    auto application = std::make_shared<CNNotificationApplication>();
    application->setBundleIdentifier(std::move(id));
    application->setDisplayName(std::move(name));
    application->setEnabled(enabled);
    return application;
}

std::shared_ptr<Image> solidIcon(std::uint8_t red, int size = 4) {
    Bytes pixels;
    for (int i = 0; i < size * size; ++i) {
        pixels.insert(pixels.end(), {red, 20, 30, 255});
    }
    return Image::create(size, size, pixels);
}

std::vector<std::optional<std::string>> names(const Applications& applications) {
    std::vector<std::optional<std::string>> out;
    for (const auto& application : applications) {
        out.push_back(application->displayName());
    }
    return out;
}

class CNNotificationApplicationManagerTest : public test::LoopFixture {
protected:
    ~CNNotificationApplicationManagerTest() override {
        Bundle::setMainBundle(nullptr);
        CNNotificationApplicationManager::setDefaultManager(nullptr);
    }

    void writeCatalogue(const std::string& text) {
        Paths::createDirectories(CataloguePaths::catalogueFolder());
        ASSERT_TRUE(Paths::writeFileAtomically(CataloguePaths::applicationsPath(), text));
    }
    void writeCatalogue(const Value& root, PropertyList::Format format) {
        Paths::createDirectories(CataloguePaths::catalogueFolder());
        ASSERT_TRUE(PropertyList::writeFile(root, CataloguePaths::applicationsPath(), format));
    }
    static std::string catalogueText() { return Paths::readFile(CataloguePaths::applicationsPath()).value_or(""); }
};

TEST_F(CNNotificationApplicationManagerTest, FirstRunGivesAnEmptyCatalogueAndItsFolder) {
    CNNotificationApplicationManager catalogue;
    EXPECT_TRUE(catalogue.cachedApplications().empty());
    EXPECT_TRUE(Paths::isDirectory(CataloguePaths::catalogueFolder()));
    EXPECT_FALSE(Paths::fileExists(CataloguePaths::applicationsPath()));
    EXPECT_EQ(catalogue.applicationsPath(), CataloguePaths::applicationsPath());
    EXPECT_EQ(catalogue.iconsPath(), CataloguePaths::iconsFolder());
    EXPECT_TRUE(Paths::isDirectory(CataloguePaths::iconsFolder()));
}

TEST_F(CNNotificationApplicationManagerTest, FileRoundTripsByteForByte) {
    writeCatalogue(kAppleXML);
    CNNotificationApplicationManager catalogue;
    const Applications& loaded = catalogue.cachedApplications();
    ASSERT_EQ(loaded.size(), 3u);
    EXPECT_EQ(loaded[0]->bundleIdentifier(), "com.att.myWireless");
    EXPECT_EQ(loaded[0]->displayName(), "AT&T <Mobile>");
    EXPECT_TRUE(loaded[0]->isEnabled());
    EXPECT_EQ(loaded[1]->displayName(), "Café");
    EXPECT_FALSE(loaded[1]->isEnabled());
    EXPECT_EQ(loaded[2]->bundleIdentifier(), "com.example.nameless");
    EXPECT_FALSE(loaded[2]->displayName());
    EXPECT_TRUE(loaded[2]->isEnabled());

    catalogue.saveData();
    EXPECT_EQ(catalogueText(), kAppleXML);

    // Built up from nothing, in another order, the file comes out the same.
    ASSERT_TRUE(std::filesystem::remove(CataloguePaths::applicationsPath()));
    CNNotificationApplicationManager fresh;
    fresh.cacheApplication(makeApplication("com.example.nameless", std::nullopt));
    fresh.cacheApplication(makeApplication("com.example.cafe", "Café", false));
    fresh.cacheApplication(makeApplication("com.att.myWireless", "AT&T <Mobile>"));
    EXPECT_EQ(catalogueText(), kAppleXML);
    // Written aside and renamed into place: nothing else is left in the folder.
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(CataloguePaths::catalogueFolder())) {
        ++files;
    }
    EXPECT_EQ(files, 2u);  // the catalogue file and the icon folder
}

TEST_F(CNNotificationApplicationManagerTest, ReadsBinaryAndJSONPropertyLists) {
    writeCatalogue(Array{Value(Dictionary{{"bundle_identifier", Value("com.a")},
                                          {"display_name", Value("A")},
                                          {"enabled", Value("1")}})},
                   PropertyList::Format::Binary);
    ASSERT_EQ(catalogueText().substr(0, 6), "bplist");
    CNNotificationApplicationManager catalogue;
    ASSERT_EQ(catalogue.cachedApplications().size(), 1u);
    EXPECT_EQ(catalogue.cachedApplications()[0]->displayName(), "A");
    EXPECT_TRUE(catalogue.cachedApplications()[0]->isEnabled());

    writeCatalogue(R"([{"bundle_identifier": "com.b", "display_name": "B", "enabled": "0"},
                       {"bundle_identifier": "com.c", "enabled": "1"}])");
    catalogue.loadData();
    ASSERT_EQ(catalogue.cachedApplications().size(), 2u);
    EXPECT_EQ(catalogue.cachedApplications()[0]->bundleIdentifier(), "com.b");
    EXPECT_FALSE(catalogue.cachedApplications()[0]->isEnabled());
    EXPECT_EQ(catalogue.cachedApplications()[1]->bundleIdentifier(), "com.c");
    EXPECT_TRUE(catalogue.cachedApplications()[1]->isEnabled());
}

TEST_F(CNNotificationApplicationManagerTest, EnabledIsReadByTheTextRule) {
    const std::vector<std::pair<Value, bool>> cases{
        {Value("0"), false},    {Value("1"), true},  {Value("yes"), true}, {Value("true"), true},
        {Value(" +007"), true}, {Value(""), false},  {Value(), false},      {Value(true), true},
        {Value(0), false},      {Value("no"), false},
    };
    Array entries;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        Dictionary entry{{"bundle_identifier", Value("com.case" + std::to_string(i))}};
        if (!cases[i].first.isNull()) {
            entry.emplace("enabled", cases[i].first);
        }
        entries.emplace_back(entry);
    }
    writeCatalogue(entries, PropertyList::Format::XML);
    CNNotificationApplicationManager catalogue;
    ASSERT_EQ(catalogue.cachedApplications().size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(catalogue.cachedApplications()[i]->isEnabled(), cases[i].second) << cases[i].first.description();
    }
}

TEST_F(CNNotificationApplicationManagerTest, MalformedFilesGiveWhatCanBeRead) {
    writeCatalogue("this is not a property list");
    CNNotificationApplicationManager catalogue;
    EXPECT_TRUE(catalogue.cachedApplications().empty());

    writeCatalogue(Value(Dictionary{{"bundle_identifier", Value("com.a")}}), PropertyList::Format::XML);
    catalogue.loadData();
    EXPECT_TRUE(catalogue.cachedApplications().empty());

    writeCatalogue(Array{Value("stray"), Value(7),
                         Value(Dictionary{{"bundle_identifier", Value(12)}, {"display_name", Value("Twelve")}}),
                         Value(Dictionary{{"bundle_identifier", Value("com.a")}})},
                   PropertyList::Format::XML);
    catalogue.loadData();
    ASSERT_EQ(catalogue.cachedApplications().size(), 2u);
    EXPECT_FALSE(catalogue.cachedApplications()[0]->bundleIdentifier());
    EXPECT_EQ(catalogue.cachedApplications()[0]->displayName(), "Twelve");
    EXPECT_EQ(catalogue.cachedApplications()[1]->bundleIdentifier(), "com.a");
}

TEST_F(CNNotificationApplicationManagerTest, SortsByNameCanonicallyWithNamelessRecordsLast) {
    CNNotificationApplicationManager catalogue;
    const std::vector<std::pair<std::string, std::optional<std::string>>> entries{
        {"com.a", "apple"},        {"com.none1", std::nullopt}, {"com.z", "Zebra"},
        {"com.nfd", "Cafe\u0301"}, {"com.nfc", "Caf\u00e9"},     {"com.none2", std::nullopt},
        {"com.ae", "\u00c4rger"},  {"com.empty", ""},           {"com.b", "b"},
    };
    for (const auto& [id, name] : entries) {
        catalogue.cacheApplication(makeApplication(id, name));
    }
    // Upper-case Z before lower-case a; "Café" composed and decomposed compare equal and
    // keep the order they came in; names compare in decomposed form, so "Ä" sorts as "A"
    // followed by its diaeresis; records without a name come last.
    const std::vector<std::optional<std::string>> expected{
        "", "\u00c4rger", "Cafe\u0301", "Caf\u00e9", "Zebra", "apple", "b", std::nullopt, std::nullopt};
    EXPECT_EQ(names(catalogue.cachedApplications()), expected);

    CNNotificationApplicationManager reloaded;
    EXPECT_EQ(names(reloaded.cachedApplications()), expected);
    reloaded.sortData();
    EXPECT_EQ(names(reloaded.cachedApplications()), expected);
}

TEST_F(CNNotificationApplicationManagerTest, HandsOutOneRecordPerIdentifierOnceCached) {
    CNNotificationApplicationManager catalogue;
    const auto first = catalogue.applicationForBundleIdentifier("com.example.app");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->bundleIdentifier(), "com.example.app");
    EXPECT_TRUE(first->isEnabled());
    EXPECT_FALSE(first->icon());
    EXPECT_TRUE(catalogue.cachedApplications().empty());
    const auto second = catalogue.applicationForBundleIdentifier("com.example.app");
    EXPECT_NE(first, second);
    EXPECT_EQ(logs.count("[CACHE] No existing application found, creating new one."), 2u);

    first->setDisplayName("Example");
    catalogue.cacheApplication(first);
    EXPECT_EQ(catalogue.applicationForBundleIdentifier("com.example.app"), first);
    EXPECT_EQ(logs.lines().back(), "[CACHE] Existing application found.");

    // Caching a record again, or another record of the same application, leaves one entry.
    catalogue.cacheApplication(first);
    second->setDisplayName("Renamed");
    catalogue.cacheApplication(second);
    ASSERT_EQ(catalogue.cachedApplications().size(), 1u);
    EXPECT_EQ(catalogue.cachedApplications()[0], second);
    EXPECT_EQ(names(CNNotificationApplicationManager().cachedApplications()),
              std::vector<std::optional<std::string>>{"Renamed"});
}

TEST_F(CNNotificationApplicationManagerTest, DuplicateFileEntriesCollapseWhenCached) {
    writeCatalogue(Array{Value(Dictionary{{"bundle_identifier", Value("com.a")}, {"display_name", Value("One")}}),
                         Value(Dictionary{{"bundle_identifier", Value("com.a")}, {"display_name", Value("Two")}})},
                   PropertyList::Format::XML);
    CNNotificationApplicationManager catalogue;
    ASSERT_EQ(catalogue.cachedApplications().size(), 2u);
    catalogue.cacheApplication(makeApplication("com.a", "Three"));
    EXPECT_EQ(names(catalogue.cachedApplications()), std::vector<std::optional<std::string>>{"Three"});
}

TEST_F(CNNotificationApplicationManagerTest, IconsAreStoredAsPNGAndLoadedBack) {
    CNNotificationApplicationManager catalogue;
    auto application = makeApplication("com.example.app", "Example");
    application->setIcon(solidIcon(10, 6));
    catalogue.cacheApplication(application);
    const std::string path = *CataloguePaths::iconPath("com.example.app");
    const auto stored = Image::imageWithContentsOfFile(path);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->pixels(), application->icon()->pixels());

    // A new icon replaces the file.
    application->setIcon(solidIcon(99, 3));
    catalogue.cacheApplication(application);
    CNNotificationApplicationManager reloaded;
    ASSERT_EQ(reloaded.cachedApplications().size(), 1u);
    ASSERT_TRUE(reloaded.cachedApplications()[0]->icon());
    EXPECT_EQ(reloaded.cachedApplications()[0]->icon()->width(), 3);
    EXPECT_EQ(reloaded.cachedApplications()[0]->icon()->pixels()[0], 99);
}

TEST_F(CNNotificationApplicationManagerTest, IconFilesAreDecodedWhenFirstNeeded) {
    {
        CNNotificationApplicationManager catalogue;
        for (const char* id : {"com.example.a", "com.example.b", "com.example.c"}) {
            auto application = makeApplication(id, id);
            application->setIcon(solidIcon(10));
            catalogue.cacheApplication(application);
        }
    }
    CNNotificationApplicationManager reloaded;
    ASSERT_EQ(reloaded.cachedApplications().size(), 3u);
    // Loading only noted the files: what is there when the icon is first asked for counts.
    ASSERT_TRUE(Paths::writeFileAtomically(*CataloguePaths::iconPath("com.example.a"),
                                           stringFromBytes(*solidIcon(77, 2)->PNGRepresentation())));
    ASSERT_TRUE(Paths::writeFileAtomically(*CataloguePaths::iconPath("com.example.b"), "not an image"));
    const auto& a = reloaded.cachedApplications()[0];
    ASSERT_TRUE(a->icon());
    EXPECT_EQ(a->icon()->pixels()[0], 77);
    EXPECT_EQ(a->icon(), a->icon());  // decoded once
    // An undecodable file gives no icon, so the engine fetches one, as it always did; and
    // caching the record without one leaves the file alone.
    const auto& b = reloaded.cachedApplications()[1];
    EXPECT_FALSE(b->icon());
    reloaded.cacheApplication(b);
    EXPECT_EQ(Paths::readFile(*CataloguePaths::iconPath("com.example.b")), "not an image");
    // An icon set in memory wins over the file.
    const auto& c = reloaded.cachedApplications()[2];
    c->setIcon(solidIcon(5, 1));
    EXPECT_EQ(c->icon()->width(), 1);
}

TEST_F(CNNotificationApplicationManagerTest, NewRecordsStartWithTheBundledIcon) {
    const std::string bundle = home.file("Tandril.app");
    const std::string resources = bundle + "/Contents/Resources";
    Paths::createDirectories(resources);
    const Bytes png = *solidIcon(200, 5)->PNGRepresentation();
    ASSERT_TRUE(Paths::writeFileAtomically(resources + "/com.example.bundled.png", stringFromBytes(png)));
    ASSERT_TRUE(Paths::writeFileAtomically(resources + "/com.example.kept.png", stringFromBytes(png)));
    ASSERT_TRUE(Paths::writeFileAtomically(bundle + "/Contents/outside.png", stringFromBytes(png)));
    Bundle::setMainBundle(std::make_shared<Bundle>(bundle));

    CNNotificationApplicationManager catalogue;
    const auto bundled = catalogue.applicationForBundleIdentifier("com.example.bundled");
    ASSERT_TRUE(bundled->icon());
    EXPECT_EQ(bundled->icon()->width(), 5);
    EXPECT_EQ(Paths::readFile(*CataloguePaths::iconPath("com.example.bundled")), stringFromBytes(png));

    // An icon file already in the folder is left as it is.
    const std::string existing = *CataloguePaths::iconPath("com.example.kept");
    ASSERT_TRUE(Paths::writeFileAtomically(existing, "mine"));
    EXPECT_TRUE(catalogue.applicationForBundleIdentifier("com.example.kept")->icon());
    EXPECT_EQ(Paths::readFile(existing), "mine");

    // Resources are looked up by plain file names only.
    EXPECT_FALSE(catalogue.applicationForBundleIdentifier("../outside")->icon());
    EXPECT_FALSE(catalogue.applicationForBundleIdentifier("com.example.unknown")->icon());
}

TEST_F(CNNotificationApplicationManagerTest, HostileIdentifiersStayInsideTheIconFolder) {
    // Something planted where an unescaped name would lead.
    const std::string planted = Paths::applicationSupportDirectory() + "/.config/autostart";
    Paths::createDirectories(planted);
    ASSERT_TRUE(Paths::writeFileAtomically(planted + "/x.png", stringFromBytes(*solidIcon(1)->PNGRepresentation())));

    const std::vector<std::string> hostile{"../../.config/autostart/x", "a/b", "", "nul\0byte"s,
                                           std::string(64 * 1024, 'x'), "..", "/etc/passwd"};
    {
        CNNotificationApplicationManager catalogue;
        for (const auto& id : hostile) {
            const auto application = catalogue.applicationForBundleIdentifier(id);
            EXPECT_FALSE(application->icon());
            application->setDisplayName("Name of " + id.substr(0, 20));
            application->setIcon(solidIcon(50));
            catalogue.cacheApplication(application);
        }
        EXPECT_EQ(catalogue.cachedApplications().size(), hostile.size());
    }
    std::set<std::string> iconFiles;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home.path())) {
        if (!entry.is_regular_file()) {
            continue;
        }
        const std::string path = entry.path().string();
        if (path == CataloguePaths::applicationsPath() || path == planted + "/x.png") {
            continue;
        }
        EXPECT_EQ(entry.path().parent_path().string(), CataloguePaths::iconsFolder()) << path;
        iconFiles.insert(entry.path().filename().string());
    }
    // One icon per identifier that names a file (the empty one does not).
    EXPECT_EQ(iconFiles.size(), hostile.size() - 1);
    EXPECT_EQ(Paths::readFile(planted + "/x.png"), stringFromBytes(*solidIcon(1)->PNGRepresentation()));

    // The file keeps every record it can hold (not the one with a NUL) and finds their icons.
    CNNotificationApplicationManager reloaded;
    ASSERT_EQ(reloaded.cachedApplications().size(), hostile.size() - 1);
    for (const auto& application : reloaded.cachedApplications()) {
        EXPECT_EQ(application->icon() != nullptr, !application->bundleIdentifier()->empty())
            << application->bundleIdentifier()->substr(0, 30);
        EXPECT_EQ(application->bundleIdentifier()->find('\0'), std::string::npos);
    }

    // Without its own icon file, the traversing identifier does not pick up the planted one.
    ASSERT_TRUE(std::filesystem::remove(*CataloguePaths::iconPath(hostile[0])));
    reloaded.loadData();
    for (const auto& application : reloaded.cachedApplications()) {
        if (application->bundleIdentifier() == hostile[0]) {
            EXPECT_FALSE(application->icon());
        }
    }
}

TEST_F(CNNotificationApplicationManagerTest, ReloadPicksUpAnEditOfTheSettingsApplication) {
    CNNotificationApplicationManager catalogue;
    const auto before = makeApplication("com.example.app", "Example", true);
    catalogue.cacheApplication(before);

    // The settings application rewrites the file with the switch off.
    Array edited{Value(Dictionary{{"bundle_identifier", Value("com.example.app")},
                                  {"display_name", Value("Example")},
                                  {"enabled", Value("0")}})};
    writeCatalogue(edited, PropertyList::Format::XML);
    catalogue.loadData();
    const auto after = catalogue.applicationForBundleIdentifier("com.example.app");
    EXPECT_NE(after, before);
    EXPECT_FALSE(after->isEnabled());
    EXPECT_TRUE(before->isEnabled());
}

TEST_F(CNNotificationApplicationManagerTest, SharedInstanceIsCreatedOnce) {
    CNNotificationApplicationManager::setDefaultManager(nullptr);
    std::vector<std::shared_ptr<CNNotificationApplicationManager>> seen(8);
    std::vector<std::thread> threads;
    for (auto& slot : seen) {
        threads.emplace_back([&slot] { slot = CNNotificationApplicationManager::defaultManager(); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const auto& manager : seen) {
        EXPECT_EQ(manager, seen.front());
    }
    EXPECT_EQ(CNNotificationApplicationManager::defaultManager(), seen.front());

    auto replacement = std::make_shared<CNNotificationApplicationManager>();
    CNNotificationApplicationManager::setDefaultManager(replacement);
    EXPECT_EQ(CNNotificationApplicationManager::defaultManager(), replacement);
}

}  // namespace
}  // namespace tandril
