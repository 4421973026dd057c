// The notification-service codec on its own: bytes and times in, commands, records and
// withdrawals out, with a lookup standing in for the catalogue.

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

#include "engine/CNNotificationCodec.hpp"
#include "engine/CodecBytes.hpp"
#include "http/Image.hpp"
#include "model/CNNotification.hpp"
#include "model/CNNotificationApplication.hpp"
#include "support/LogCapture.hpp"

namespace tandril::test {
namespace {

using Output = CNNotificationCodec::Output;

class CNNotificationCodecTest : public ::testing::Test {
protected:
    CNNotificationCodecTest()
        : codec([this](const std::string& identifier) {
              ++lookups;
              if (throwOnLookup) throw std::runtime_error("catalogue failed");
              auto& record = records[identifier];
              if (!record) {
                  record = std::make_shared<CNNotificationApplication>();
                  record->setBundleIdentifier(identifier);
              }
              return record;
          }) {}

    // An application the lookup knows with a name and an icon.
    void known(const std::string& identifier) {
        auto record = std::make_shared<CNNotificationApplication>();
        record->setBundleIdentifier(identifier);
        record->setDisplayName(identifier);
        record->setIcon(Image::create(1, 1, Bytes(4, 0xFF)));
        records[identifier] = record;
    }

    // An added event for `uid` (one byte, then 00 00 00) with the given EventFlags.
    Output added(std::uint8_t uid, std::uint8_t flags = 0x00) {
        return codec.handleNotificationSourceData(Bytes{0x00, flags, 0x04, 0x01, uid, 0x00, 0x00, 0x00});
    }
    Output removed(std::uint8_t uid) {
        return codec.handleNotificationSourceData(Bytes{0x02, 0x00, 0x04, 0x01, uid, 0x00, 0x00, 0x00});
    }
    Output answer(std::uint8_t uid, const std::string& app, const std::string& title = "T") {
        return codec.handleDataSourceData(
            codec::notificationAnswer(Bytes{uid, 0x00, 0x00, 0x00}, app, title, "", "M", "20260314T093015"), now);
    }

    LogCapture logs;
    std::map<std::string, std::shared_ptr<CNNotificationApplication>> records;
    int lookups = 0;
    bool throwOnLookup = false;
    TimePoint now{};
    CNNotificationCodec codec;
};

TEST_F(CNNotificationCodecTest, EventsGiveTheProfilesCommandsAndLogLines) {
    auto out = codec.handleNotificationSourceData(codec::bytes("00 18 04 01 2A 00 00 00"));
    ASSERT_EQ(out.commands.size(), 1u);
    EXPECT_EQ(out.commands[0].kind, CNNotificationCodec::CommandKind::NotificationAttributes);
    EXPECT_EQ(out.commands[0].bytes, codec::bytes("00 2A 00 00 00 00 01 FF FF 02 FF FF 03 FF FF 05"));

    EXPECT_TRUE(codec.handleNotificationSourceData(codec::bytes("01 00 04 01 2A 00 00 00")).commands.empty());
    EXPECT_TRUE(codec.handleNotificationSourceData(codec::bytes("03 00 04 01 2A 00 00 00")).commands.empty());
    EXPECT_TRUE(codec.handleNotificationSourceData(codec::bytes("00 00 04 01 2A 00 00")).commands.empty());
    EXPECT_TRUE(codec.handleNotificationSourceData(Bytes{}).commands.empty());
    EXPECT_EQ(logs.lines(), (std::vector<std::string>{"[ANCS] Notification added!", "[ANCS] Notification modified!"}));

    // An application without a name: its record waits and the name is asked for.
    out = answer(0x2A, "com.example.chat");
    EXPECT_TRUE(out.added.empty());
    ASSERT_EQ(out.commands.size(), 1u);
    EXPECT_EQ(out.commands[0].kind, CNNotificationCodec::CommandKind::AppAttributes);
    EXPECT_EQ(out.commands[0].bytes, codec::appCommand("com.example.chat"));
    EXPECT_EQ(codec.currentNotification(), codec.pendingNotifications().front());
}

TEST_F(CNNotificationCodecTest, RecordsCarryThePreExistingFlagOfTheirOwnAddedEvent) {
    known("a.b");
    added(0x01, 0x04);  // PreExisting
    added(0x02, 0x1B);  // Silent, Important, both actions: every flag but PreExisting
    added(0x01, 0x00);  // the same notification announced again, now as new
    auto first = answer(0x01, "a.b");
    auto second = answer(0x02, "a.b");
    auto third = answer(0x01, "a.b");
    ASSERT_EQ(first.added.size(), 1u);
    ASSERT_EQ(second.added.size(), 1u);
    ASSERT_EQ(third.added.size(), 1u);
    EXPECT_TRUE(first.added[0]->isPreExisting());
    EXPECT_FALSE(second.added[0]->isPreExisting());
    EXPECT_FALSE(third.added[0]->isPreExisting()) << "each answer takes the flag of the event it answers";

    // The flag is kept through the wait for the application's name.
    added(0x03, 0x04);
    answer(0x03, "c.d");
    auto named = codec.handleDataSourceData(codec::appAnswer("c.d", "CD"), now);
    ASSERT_TRUE(named.named.has_value());
    auto ready = codec.finishApplication(named.named->notifications);
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_TRUE(ready[0]->isPreExisting());

    // An answer nobody asked for is still a record, not pre-existing.
    auto unasked = answer(0x09, "a.b");
    ASSERT_EQ(unasked.added.size(), 1u);
    EXPECT_FALSE(unasked.added[0]->isPreExisting());
}

TEST_F(CNNotificationCodecTest, RememberedEventsAreBounded) {
    known("a.b");
    for (std::size_t i = 0; i <= CNNotificationCodec::kMaxPendingNotifications; ++i) {
        codec.handleNotificationSourceData(Bytes{0x00, 0x04, 0x00, 0x01, static_cast<std::uint8_t>(i & 0xFF),
                                                 static_cast<std::uint8_t>(i >> 8), 0x00, 0x00});
    }
    // The first event was forgotten to make room: its answer is an unasked one.
    auto oldest = codec.handleDataSourceData(codec::notificationAnswer(Bytes{0, 0, 0, 0}, "a.b", "T", "", "M", ""), now);
    ASSERT_EQ(oldest.added.size(), 1u);
    EXPECT_FALSE(oldest.added[0]->isPreExisting());
    auto newest = codec.handleDataSourceData(
        codec::notificationAnswer(Bytes{0x00, 0x02, 0, 0}, "a.b", "T", "", "M", ""), now);
    ASSERT_EQ(newest.added.size(), 1u);
    EXPECT_TRUE(newest.added[0]->isPreExisting());
}

TEST_F(CNNotificationCodecTest, WithdrawnBeforeItsAttributesArriveIsNeverDelivered) {
    known("a.b");
    added(0x05);
    auto withdrawal = removed(0x05);
    EXPECT_TRUE(withdrawal.removed.empty()) << "nothing was delivered yet";
    auto late = answer(0x05, "a.b");
    EXPECT_TRUE(late.added.empty());
    EXPECT_TRUE(late.commands.empty());
    EXPECT_EQ(lookups, 0) << "no catalogue work for a withdrawn notification";
    EXPECT_FALSE(codec.dataSourceDataCache().has_value()) << "the answer is consumed all the same";

    // Announced again after the withdrawal: the first answer is the withdrawn one's.
    added(0x06);
    removed(0x06);
    added(0x06);
    EXPECT_TRUE(answer(0x06, "a.b").added.empty());
    EXPECT_EQ(answer(0x06, "a.b").added.size(), 1u);
    EXPECT_TRUE(codec.activeNotifications().empty()) << "the caller records deliveries";
}

TEST_F(CNNotificationCodecTest, WithdrawnWhileItsApplicationIsStoredIsNotHandedBack) {
    added(0x01);
    added(0x02);
    answer(0x01, "c.d");
    answer(0x02, "c.d");
    auto named = codec.handleDataSourceData(codec::appAnswer("c.d", "CD"), now);
    ASSERT_TRUE(named.named.has_value());
    ASSERT_EQ(named.named->notifications.size(), 2u);
    EXPECT_EQ(named.named->application->displayName(), "CD");
    EXPECT_EQ(named.named->notifications[0]->application(), named.named->notifications[1]->application());

    removed(0x01);  // while the caller fetches the icon
    auto ready = codec.finishApplication(named.named->notifications);
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0]->uniqueIdentifier(), (Bytes{0x02, 0x00, 0x00, 0x00}));
    EXPECT_TRUE(codec.finishApplication(named.named->notifications).empty()) << "each record is handed back once";
}

TEST_F(CNNotificationCodecTest, RemovedEventWithdrawsTheEarliestDeliveredRecord) {
    known("a.b");
    added(0x07);
    auto first = answer(0x07, "a.b", "first").added.at(0);
    codec.addActiveNotification(first);
    added(0x07);
    auto second = answer(0x07, "a.b", "second").added.at(0);
    codec.addActiveNotification(second);
    auto out = removed(0x07);
    ASSERT_EQ(out.removed.size(), 1u);
    EXPECT_EQ(out.removed[0], first);
    EXPECT_EQ(codec.activeNotifications().size(), 2u) << "the caller takes it out once withdrawn";
    codec.removeActiveNotification(first);
    EXPECT_EQ(removed(0x07).removed.at(0), second);
}

TEST_F(CNNotificationCodecTest, FragmentsJoinUpToThreeSecondsApartByTheirArrivalTimes) {
    known("a.b");
    const Bytes whole = codec::notificationAnswer(Bytes{1, 0, 0, 0}, "a.b", "Title", "", "Message", "");
    const Bytes head(whole.begin(), whole.begin() + 10);
    const Bytes tail(whole.begin() + 10, whole.end());

    EXPECT_TRUE(codec.handleDataSourceData(head, now).added.empty());
    now += seconds(3.0);
    EXPECT_EQ(codec.handleDataSourceData(tail, now).added.size(), 1u) << "exactly 3.0 s still joins";

    codec.handleDataSourceData(head, now);
    now += seconds(3.0) + Duration(1);
    EXPECT_TRUE(codec.handleDataSourceData(tail, now).added.empty()) << "later starts a new buffer";
}

TEST_F(CNNotificationCodecTest, OnlyDecodingFailuresAreCaughtNotTheLookupsOwn) {
    // A buffer too short for its identifier: caught, logged, kept for the next fragment.
    EXPECT_TRUE(codec.handleDataSourceData(Bytes{0x00, 0x01}, now).added.empty());
    EXPECT_EQ(logs.lines(), (std::vector<std::string>{"Caught exception range {2, 1} exceeds data length 2"}));
    EXPECT_EQ(codec.dataSourceDataCache(), (Bytes{0x00, 0x01}));
    codec.setDataSourceDataCache(std::nullopt);
    logs.clear();

    // A failure of the catalogue is not a decoding failure: it reaches the caller.
    throwOnLookup = true;
    added(0x01);
    logs.clear();
    EXPECT_THROW(answer(0x01, "a.b"), std::runtime_error);
    EXPECT_TRUE(logs.lines().empty());
    EXPECT_FALSE(codec.dataSourceDataCache().has_value()) << "the complete answer was taken before the lookup";
}

}  // namespace
}  // namespace tandril::test
