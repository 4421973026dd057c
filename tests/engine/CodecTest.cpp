// The notification-service codec: the simulated phone behind the real BLE layer for the
// protocol as it runs, and bytes fed straight to the handlers for the malformed cases.

#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <set>
#include <stdexcept>

#include "engine/CodecBytes.hpp"
#include "engine/CodecFuzzInput.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"
#include "engine/PhoneLink.hpp"
#include "foundation/Date.hpp"
#include "model/CNNotificationApplication.hpp"
#include "support/LoopFixture.hpp"

namespace tandril::test {
namespace {

class CodecTest : public LoopFixture {
protected:
    CodecTest() : link(loop()) {}

    CNConsumerManager& engine() { return *link.engine; }
    const std::vector<std::shared_ptr<CNNotification>>& added() { return link.delegate->added; }

    PhoneLink link;
};

// ---- through the simulated phone

TEST_F(CodecTest, AddedEventWritesTheExactAttributeCommandAndDeliversTheRecord) {
    PhoneLink::catalogueKnows("com.example.chat", "Chat");
    SimNotificationProvider::Notification n;
    n.uid = 0x2A;
    n.appIdentifier = "com.example.chat";
    n.title = "Anna";
    n.message = "See you at 8";
    auto phone = link.scenario().app("com.example.chat", "Chat").build();
    link.link(phone);
    logs.clear();
    // Stored without an announcement, then announced with the bytes of the profile's example.
    phone->provider().setEventSender(nullptr);
    phone->provider().addNotification(n);
    phone->notify(phone->notificationSourceCharacteristic(), codec::bytes("00 18 04 01 2A 00 00 00"));
    runUntilIdle();

    ASSERT_FALSE(phone->controlPointCommands().empty());
    EXPECT_EQ(phone->controlPointCommands().front(), codec::bytes("00 2A 00 00 00 00 01 FF FF 02 FF FF 03 FF FF 05"));
    EXPECT_TRUE(logs.contains("[ANCS] Notification added!"));
    EXPECT_TRUE(logs.contains("[ANCS] Requested notification attributes (Error: (null))"));
    ASSERT_EQ(added().size(), 1u);
    EXPECT_EQ(added()[0]->uniqueIdentifier(), codec::bytes("2A 00 00 00"));
    EXPECT_EQ(added()[0]->title(), "Anna");
    EXPECT_EQ(added()[0]->message(), "See you at 8");
    EXPECT_EQ(added()[0]->application()->displayName(), "Chat");
    EXPECT_TRUE(logs.contains("[ANCS] Received notification: " + added()[0]->description()));
}

TEST_F(CodecTest, LongTitleSpansFragmentsAndLaterTuplesKeepTheirOffsets) {
    PhoneLink::catalogueKnows("com.example.mail", "Mail");
    const std::string title(300, 'T');
    auto phone = link.scenario()
                     .mtu(23)
                     .app("com.example.mail", "Mail")
                     .notification("com.example.mail", title, "Weekly report", "Numbers inside", "20260314T093015")
                     .build();
    link.link(phone);

    ASSERT_EQ(added().size(), 1u);
    EXPECT_EQ(added()[0]->title(), title);
    EXPECT_EQ(added()[0]->subtitle(), "Weekly report");
    EXPECT_EQ(added()[0]->message(), "Numbers inside");
    EXPECT_EQ(added()[0]->date(), dateFromLocalFields(2026, 3, 14, 9, 30, 15));
    EXPECT_GT(phone->sentFragments().size(), 15u);  // 20-byte fragments
    EXPECT_FALSE(engine().dataSourceDataCache().has_value());
}

TEST_F(CodecTest, FragmentGapsUpToThreeSecondsJoinLongerOnesStartOver) {
    PhoneLink::catalogueKnows("com.example.mail", "Mail");
    auto phone = link.scenario()
                     .mtu(23)
                     .fragmentInterval(seconds(3.0))
                     .app("com.example.mail", "Mail")
                     .notification("com.example.mail", "Quarterly", "", "Figures")
                     .build();
    link.link(phone);
    advance(60);
    ASSERT_EQ(added().size(), 1u) << "a gap of exactly 3.0 s is not stale";

    phone->setFragmentInterval(seconds(3.5));
    phone->provider().addNotification("com.example.mail", "Quarterly", "", "Figures");
    advance(60);
    EXPECT_EQ(added().size(), 1u) << "with 3.5 s between fragments every fragment starts a fresh buffer";
}

TEST_F(CodecTest, DateTextInTheDesktopTimeZoneWithHundredths) {
    const auto date = CNConsumerManager::dateFromNotificationDate("20260314T093015");
    ASSERT_TRUE(date.has_value());
    const std::time_t t = std::chrono::system_clock::to_time_t(*date);
    std::tm local{};
    localtime_r(&t, &local);
    EXPECT_EQ(local.tm_year + 1900, 2026);
    EXPECT_EQ(local.tm_mon + 1, 3);
    EXPECT_EQ(local.tm_mday, 14);
    EXPECT_EQ(local.tm_hour, 9);
    EXPECT_EQ(local.tm_min, 30);
    EXPECT_EQ(local.tm_sec, 0);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(date->time_since_epoch()).count() % 1000;
    EXPECT_EQ(ms, 150);

    for (const char* bad : {"", "20260314T0930", "20260314T093015Z", "20260314 093015", "20261314T093015",
                            "20260230T093015", "20260314T243015", "2026O314T093015", "+0260314T093015"}) {
        EXPECT_FALSE(CNConsumerManager::dateFromNotificationDate(std::string(bad)).has_value()) << bad;
    }
    EXPECT_FALSE(CNConsumerManager::dateFromNotificationDate(std::nullopt).has_value());
}

TEST_F(CodecTest, BurstOfPreExistingNotificationsFromUnknownAppsAllGetTheirNames) {
    // Twenty applications the catalogue has never seen: short and long identifiers, names
    // in one fragment and in several.
    std::vector<std::pair<std::string, std::string>> apps;
    for (int i = 0; i < 20; ++i) {
        std::string identifier = i % 2 == 0 ? "a.b" + std::to_string(i) : "com.example." + std::string(60, 'x') + std::to_string(i);
        std::string name = i % 3 == 0 ? "TV" + std::to_string(i) : "Application " + std::string(50, 'n') + std::to_string(i);
        apps.emplace_back(identifier, name);
    }
    std::vector<std::string> identifiers;
    for (const auto& [identifier, name] : apps) identifiers.push_back(identifier);
    PhoneLink::installDefaultIcons(home.file("bundle"), identifiers);

    auto scenario = link.scenario().mtu(23);
    for (const auto& [identifier, name] : apps) scenario.app(identifier, name);
    for (int i = 0; i < 100; ++i) {
        const auto& app = apps[static_cast<std::size_t>(i % 20)];
        scenario.notification(app.first, "Title " + std::to_string(i), "", "Message " + std::to_string(i));
    }
    link.link(scenario.build());
    advance(5);

    ASSERT_EQ(added().size(), 100u);
    std::map<std::string, std::string> nameOf(apps.begin(), apps.end());
    std::set<Bytes> uids;
    for (const auto& n : added()) {
        ASSERT_TRUE(n->application());
        const auto identifier = n->application()->bundleIdentifier().value_or("");
        EXPECT_EQ(n->application()->displayName(), nameOf[identifier]) << identifier;
        uids.insert(n->uniqueIdentifier().value_or(Bytes{}));
    }
    EXPECT_EQ(uids.size(), 100u);
    EXPECT_TRUE(engine().pendingNotifications().empty());
    EXPECT_EQ(CNNotificationApplicationManager::defaultManager()->cachedApplications().size(), 20u);
}

TEST_F(CodecTest, RemovedEventWithdrawsTheEarlierOfTwoRecordsWithOneIdentifier) {
    PhoneLink::catalogueKnows("com.example.chat", "Chat");
    auto phone = link.scenario().app("com.example.chat", "Chat").notification("com.example.chat", "Anna", "", "Hi").build();
    link.link(phone);
    link.subscribeNotificationSource();  // the phone announces it again
    ASSERT_EQ(added().size(), 2u);
    ASSERT_EQ(added()[0]->uniqueIdentifier(), added()[1]->uniqueIdentifier());

    phone->provider().removeNotification(phone->provider().notifications().front().uid);
    runUntilIdle();
    ASSERT_EQ(link.delegate->removed.size(), 1u);
    EXPECT_EQ(link.delegate->removed[0], added()[0]);
    EXPECT_EQ(link.delegate->activeCountAtRemoval[0], 2u) << "still listed while the delegate runs";
    ASSERT_EQ(engine().activeNotifications().size(), 1u);
    EXPECT_EQ(engine().activeNotifications()[0], added()[1]);
    EXPECT_TRUE(logs.contains("[ANCS] Notification removed!"));
    EXPECT_TRUE(logs.contains("[ANCS] Removed notification: " + added()[0]->description()));
}

TEST_F(CodecTest, ModifiedEventOnlyLogsAndUnknownEventsDoNothing) {
    link.link(link.scenario().build());
    logs.clear();
    engine().handleNotificationSourceData(codec::bytes("01 00 00 01 07 00 00 00"));
    engine().handleNotificationSourceData(codec::bytes("03 00 00 01 07 00 00 00"));
    engine().handleNotificationSourceData(codec::bytes("FF 00 00 01 07 00 00 00"));
    engine().handleNotificationSourceData(codec::bytes("02 00 00 01 07 00 00 00"));  // nothing to remove
    runUntilIdle();
    EXPECT_EQ(logs.lines(), (std::vector<std::string>{"[ANCS] Notification modified!", "[ANCS] Notification removed!"}));
    EXPECT_TRUE(link.phone->controlPointCommands().empty());
}

TEST_F(CodecTest, ShortNotificationSourceValuesAreIgnored) {
    link.link(link.scenario().build());
    logs.clear();
    engine().handleNotificationSourceData({});
    engine().handleNotificationSourceData(codec::bytes("00"));
    engine().handleNotificationSourceData(codec::bytes("00 18 04 01 2A 00 00"));
    runUntilIdle();
    EXPECT_TRUE(logs.lines().empty());
    EXPECT_TRUE(link.phone->controlPointCommands().empty());
}

TEST_F(CodecTest, UnknownApplicationIsAskedForByIdentifier) {
    PhoneLink::installDefaultIcons(home.file("bundle"), {"com.example.tv"});
    auto phone = link.scenario()
                     .app("com.example.tv", "TV")
                     .notification("com.example.tv", "Tonight", "", "Film at 8")
                     .build();
    link.link(phone);
    const auto commands = phone->controlPointCommands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[1], codec::appCommand("com.example.tv"));
    EXPECT_TRUE(logs.contains("[ANCS] Requested app attributes (Error: (null))"));
    ASSERT_EQ(added().size(), 1u);
    EXPECT_EQ(added()[0]->application()->displayName(), "TV");
    // The catalogue now knows it: the next notification is delivered without asking.
    phone->provider().addNotification("com.example.tv", "Later", "", "News");
    runUntilIdle();
    EXPECT_EQ(added().size(), 2u);
    EXPECT_EQ(phone->controlPointCommands().size(), 3u);
}

TEST_F(CodecTest, RejectedCommandIsLoggedAndNothingIsDelivered) {
    PhoneLink::catalogueKnows("com.example.chat", "Chat");
    auto phone = link.scenario().build();
    link.link(phone);
    engine().handleNotificationSourceData(codec::bytes("00 00 00 01 99 00 00 00"));  // the phone has no 0x99
    runUntilIdle();
    EXPECT_TRUE(logs.contains("[ANCS] Requested notification attributes (Error: " +
                              PlatformError::attError(ANCSErrorInvalidParameter)->description() + ")"));
    EXPECT_TRUE(added().empty());
}

TEST_F(CodecTest, RecordsTellWhetherThePhoneHadThemBeforeTheSubscription) {
    PhoneLink::catalogueKnows("com.example.chat", "Chat");
    auto phone = link.scenario()
                     .app("com.example.chat", "Chat")
                     .notification("com.example.chat", "Old", "", "from before")
                     .build();
    link.link(phone);
    ASSERT_EQ(added().size(), 1u);
    EXPECT_TRUE(added()[0]->isPreExisting());
    phone->provider().addNotification("com.example.chat", "New", "", "just now");
    runUntilIdle();
    ASSERT_EQ(added().size(), 2u);
    EXPECT_FALSE(added()[1]->isPreExisting());
    // A new subscription re-announces both as pre-existing.
    link.subscribeNotificationSource();
    ASSERT_EQ(added().size(), 4u);
    EXPECT_TRUE(added()[2]->isPreExisting());
    EXPECT_TRUE(added()[3]->isPreExisting());
}

// ---- bytes fed straight to the handlers

class CodecBytesTest : public CodecTest {
protected:
    void SetUp() override {
        PhoneLink::catalogueKnows("com.example.chat", "Chat");
        PhoneLink::installDefaultIcons(home.file("bundle"), {"com.example.x", "com.example.y", "com.example.tv12"});
    }
    void feed(const Bytes& fragment) { engine().handleDataSourceData(fragment); }
    void feedAll(const Bytes& answer, std::size_t size) {
        for (const auto& f : SimNotificationProvider::fragments(answer, size)) feed(f);
    }
};

TEST_F(CodecBytesTest, BytesAfterTheFifthTupleAreDroppedWithTheBuffer) {
    Bytes answer = codec::notificationAnswer("01 00 00 00", "com.example.chat", "Anna", "", "Hi", "20260314T093015");
    const Bytes extra = codec::bytes("03 02 00 58 58 00 11");
    answer.insert(answer.end(), extra.begin(), extra.end());
    feed(answer);
    ASSERT_EQ(added().size(), 1u);
    EXPECT_EQ(added()[0]->message(), "Hi");
    EXPECT_FALSE(engine().dataSourceDataCache().has_value());
    feed(codec::notificationAnswer("02 00 00 00", "com.example.chat", "Ben", "", "Yo", ""));
    ASSERT_EQ(added().size(), 2u);
    EXPECT_EQ(added()[1]->title(), "Ben");
    EXPECT_FALSE(added()[1]->date().has_value()) << "an empty date text gives no date";
}

TEST_F(CodecBytesTest, MessageSizeAmongTheFiveLeavesNoDate) {
    Bytes answer = codec::bytes("00 03 00 00 00");
    codec::appendTuple(answer, 0, "com.example.chat");
    codec::appendTuple(answer, 1, "Anna");
    codec::appendTuple(answer, 2, "");
    codec::appendTuple(answer, 3, "Hi");
    codec::appendTuple(answer, 4, "2");
    codec::appendTuple(answer, 5, "20260314T093015");  // a sixth tuple: not read
    feed(answer);
    ASSERT_EQ(added().size(), 1u);
    EXPECT_FALSE(added()[0]->date().has_value());
    EXPECT_EQ(added()[0]->message(), "Hi");
}

TEST_F(CodecBytesTest, StaleBufferIsDiscardedOnlyAfterMoreThanThreeSeconds) {
    const Bytes answer = codec::notificationAnswer("01 00 00 00", "com.example.chat", "Anna", "", "Hi", "");
    const auto parts = SimNotificationProvider::fragments(answer, 14);
    ASSERT_EQ(parts.size(), 3u);
    feed(parts[0]);
    advance(3.0);
    feed(parts[1]);
    advance(3.5);
    feed(parts[2]);
    EXPECT_TRUE(added().empty());
    EXPECT_EQ(engine().dataSourceDataCache(), std::nullopt) << "the lone last fragment is no answer";

    feed(parts[0]);
    advance(1.0);
    feed(parts[1]);
    advance(3.0);
    feed(parts[2]);
    EXPECT_EQ(added().size(), 1u);
}

TEST_F(CodecBytesTest, CrossingApplicationAnswersAreMatchedByIdentifier) {
    feed(codec::notificationAnswer("01 00 00 00", "com.example.x", "For x", "", "one", ""));
    feed(codec::notificationAnswer("02 00 00 00", "com.example.y", "For y", "", "two", ""));
    ASSERT_EQ(engine().pendingNotifications().size(), 2u);
    EXPECT_EQ(engine().currentNotification(), engine().pendingNotifications().front());

    feedAll(codec::appAnswer("com.example.y", "Yankee"), 7);
    feedAll(codec::appAnswer("com.example.x", "X-ray"), 7);
    ASSERT_EQ(added().size(), 2u);
    EXPECT_EQ(added()[0]->title(), "For y");
    EXPECT_EQ(added()[0]->application()->displayName(), "Yankee");
    EXPECT_EQ(added()[1]->application()->displayName(), "X-ray");
    EXPECT_TRUE(engine().pendingNotifications().empty());
    EXPECT_EQ(engine().currentNotification(), nullptr);
}

TEST_F(CodecBytesTest, ApplicationAnswerCompletesByItsLengthField) {
    // A 12-byte identifier and a 2-byte name: 19 bytes in all.
    feed(codec::notificationAnswer("01 00 00 00", "com.example.tv12", "Tonight", "", "Film", ""));
    const Bytes answer = codec::appAnswer("com.example.tv12", "TV");
    feed(answer);
    ASSERT_EQ(added().size(), 1u);
    EXPECT_EQ(added()[0]->application()->displayName(), "TV");

    // A name in three fragments, followed by a stray byte.
    feed(codec::notificationAnswer("02 00 00 00", "com.example.x", "Later", "", "Film", ""));
    Bytes long_ = codec::appAnswer("com.example.x", "Extended Display Name");
    long_.push_back(0x7E);
    feedAll(long_, 14);
    ASSERT_EQ(added().size(), 2u);
    EXPECT_EQ(added()[1]->application()->displayName(), "Extended Display Name");
    EXPECT_FALSE(engine().dataSourceDataCache().has_value());
}

TEST_F(CodecBytesTest, AnswersNobodyWaitsForAndUnknownCommandsDoNotSwallowTheNext) {
    feed(codec::appAnswer("com.example.nobody", "Ghost"));
    EXPECT_FALSE(engine().dataSourceDataCache().has_value());
    feed(codec::bytes("07 01 02 03"));
    EXPECT_FALSE(engine().dataSourceDataCache().has_value());
    feed(codec::notificationAnswer("01 00 00 00", "com.example.chat", "Anna", "", "Hi", ""));
    EXPECT_EQ(added().size(), 1u);
}

TEST_F(CodecBytesTest, RemovedEventDropsARecordStillWaitingForItsName) {
    feed(codec::notificationAnswer("05 00 00 00", "com.example.x", "Gone", "", "soon", ""));
    ASSERT_EQ(engine().pendingNotifications().size(), 1u);
    engine().handleNotificationSourceData(codec::bytes("02 00 00 01 05 00 00 00"));
    EXPECT_TRUE(engine().pendingNotifications().empty());
    feed(codec::appAnswer("com.example.x", "X-ray"));
    EXPECT_TRUE(added().empty());
    EXPECT_TRUE(link.delegate->removed.empty());
}

TEST_F(CodecBytesTest, RemovedWhileItsAttributesAreFetchedIsNeverShown) {
    engine().handleNotificationSourceData(codec::bytes("00 00 00 01 05 00 00 00"));
    engine().handleNotificationSourceData(codec::bytes("02 00 00 01 05 00 00 00"));
    feed(codec::notificationAnswer("05 00 00 00", "com.example.chat", "Gone", "", "soon", ""));
    EXPECT_TRUE(added().empty());
    EXPECT_TRUE(engine().activeNotifications().empty());
    EXPECT_TRUE(engine().pendingNotifications().empty());
}

// A delegate's failure is its own: the codec's guard covers the decoding only.
TEST_F(CodecBytesTest, ExceptionsOfTheDelegateAreNotSwallowedAsDecodingFailures) {
    struct ThrowingDelegate : RecordingDelegate {
        void consumerManagerAddedNotification(CNConsumerManager*, const std::shared_ptr<CNNotification>&) override {
            throw std::runtime_error("delegate failed");
        }
    };
    auto throwing = std::make_shared<ThrowingDelegate>();
    engine().setDelegate(throwing);
    EXPECT_THROW(feed(codec::notificationAnswer("01 00 00 00", "com.example.chat", "Anna", "", "Hi", "")),
                 std::runtime_error);
    EXPECT_EQ(logs.count("Caught exception delegate failed"), 0u);
    engine().setDelegate(link.delegate);
}

TEST_F(CodecBytesTest, DecodingFailuresAreCaughtAndTheBufferKept) {
    logs.clear();
    feed({});
    EXPECT_EQ(logs.lines(), std::vector<std::string>{"Caught exception range {0, 1} exceeds data length 0"});
    logs.clear();
    const Bytes answer = codec::notificationAnswer("01 00 00 00", "com.example.chat", "Anna", "", "Hi", "");
    feed(Bytes(answer.begin(), answer.begin() + 3));
    EXPECT_EQ(logs.lines(), std::vector<std::string>{"Caught exception range {3, 1} exceeds data length 3"});
    feed(Bytes(answer.begin() + 3, answer.end()));
    EXPECT_EQ(added().size(), 1u);
}

TEST_F(CodecBytesTest, BufferNeverGrowsPastTheLargestAnswer) {
    feed(codec::bytes("01"));
    const Bytes chunk(4096, 0x41);  // an identifier that never ends
    for (int i = 0; i < 20; ++i) feed(chunk);
    EXPECT_LE(engine().dataSourceDataCache().value_or(Bytes{}).size(), 65537u);

    Bytes header = codec::bytes("00 01 00 00 00 01 FF FF");
    feed(header);
    const Bytes big(60000, 0x41);
    for (int i = 0; i < 10; ++i) feed(big);
    EXPECT_LE(engine().dataSourceDataCache().value_or(Bytes{}).size(), CNConsumerManager::kMaxDataSourceAnswerSize);
}

TEST_F(CodecBytesTest, ActiveNotificationsKeepOnlyTheNewest) {
    const std::size_t total = CNConsumerManager::kMaxActiveNotifications + 10;
    for (std::size_t i = 0; i < total; ++i) {
        const Bytes uid{static_cast<std::uint8_t>(i & 0xFF), static_cast<std::uint8_t>(i >> 8), 0, 0};
        feed(codec::notificationAnswer(uid, "com.example.chat", "T", "", "M", ""));
    }
    ASSERT_EQ(added().size(), total);
    ASSERT_EQ(engine().activeNotifications().size(), CNConsumerManager::kMaxActiveNotifications);
    EXPECT_EQ(engine().activeNotifications().front(), added()[10]);
    EXPECT_EQ(engine().activeNotifications().back(), added().back());
}

TEST_F(CodecBytesTest, InvalidUTF8ValuesBecomeAbsentFields) {
    Bytes answer = codec::bytes("00 01 00 00 00");
    codec::appendTuple(answer, 0, "com.example.chat");
    codec::appendTuple(answer, 1, std::string("\xC3\x28", 2));
    codec::appendTuple(answer, 2, std::string("\xED\xA0\x80", 3));  // a surrogate
    codec::appendTuple(answer, 3, "ok");
    codec::appendTuple(answer, 5, std::string("\xF4\x90\x80\x80", 4));  // beyond U+10FFFF
    feed(answer);
    ASSERT_EQ(added().size(), 1u);
    EXPECT_FALSE(added()[0]->title().has_value());
    EXPECT_FALSE(added()[0]->subtitle().has_value());
    EXPECT_EQ(added()[0]->message(), "ok");
}


// The icon lookup is pointed at a URL the HTTP client refuses, so the download ends at
// once without touching the network; its callback still comes through the main loop.
class CodecDownloadTest : public CodecBytesTest {
protected:
    void SetUp() override {
        CodecBytesTest::SetUp();
        codecfuzz::refuseIconLookups();
    }
    bool catalogueLists(const std::string& identifier) {
        for (const auto& app : CNNotificationApplicationManager::defaultManager()->cachedApplications()) {
            if (app->bundleIdentifier() == identifier) return true;
        }
        return false;
    }
};

TEST_F(CodecDownloadTest, RecordWaitingForItsIconIsDeliveredWhenTheDownloadEnds) {
    feed(codec::notificationAnswer("01 00 00 00", "com.example.noicon", "Hello", "", "there", ""));
    feed(codec::appAnswer("com.example.noicon", "No Icon"));
    EXPECT_TRUE(engine().pendingNotifications().empty());
    ASSERT_TRUE(loop().runUntil([this] { return !added().empty(); }, std::chrono::milliseconds(5000)));
    EXPECT_EQ(added()[0]->application()->displayName(), "No Icon");
    EXPECT_TRUE(catalogueLists("com.example.noicon"));
}

TEST_F(CodecDownloadTest, RemovedWhileTheIconDownloadsIsNeverDelivered) {
    feed(codec::notificationAnswer("01 00 00 00", "com.example.noicon", "Hello", "", "there", ""));
    feed(codec::appAnswer("com.example.noicon", "No Icon"));
    engine().handleNotificationSourceData(codec::bytes("02 00 00 01 01 00 00 00"));
    ASSERT_TRUE(loop().runUntil([this] { return catalogueLists("com.example.noicon"); },
                                std::chrono::milliseconds(5000)));
    runUntilIdle();
    EXPECT_TRUE(added().empty());
    EXPECT_TRUE(engine().activeNotifications().empty());
}

}  // namespace
}  // namespace tandril::test
