#include <gtest/gtest.h>

#include "agent/TDRDeliveredNotifications.hpp"
#include "agent/TDRUserNotification.hpp"
#include "model/CNNotification.hpp"
#include "model/CNNotificationApplication.hpp"

namespace tandril::test {
namespace {

using Copies = TDRDeliveredNotifications::Copies;

std::shared_ptr<CNNotification> record(std::uint8_t uid, const std::string& message,
                                       const std::string& bundleIdentifier = "com.example.chat") {
    auto application = std::make_shared<CNNotificationApplication>();
    application->setBundleIdentifier(bundleIdentifier);
    auto n = std::make_shared<CNNotification>();
    n->setUniqueIdentifier(Bytes{uid, 0, 0, 0});
    n->setApplication(application);
    n->setTitle(std::string("Anna"));
    n->setMessage(message);
    n->setDate(dateFromLocalFields(2026, 3, 14, 9, 30, 15));
    return n;
}

// A record shown on the desktop, as the agent does it.
std::shared_ptr<CNNotification> shown(TDRDeliveredNotifications& list, std::uint8_t uid, const std::string& message) {
    auto n = record(uid, message);
    n->setDeliveredNotification(std::make_shared<TDRUserNotification>());
    list.add(n);
    return n;
}

std::shared_ptr<TDRUserNotification> copyOf(const std::shared_ptr<CNNotification>& n) {
    return std::dynamic_pointer_cast<TDRUserNotification>(n->deliveredNotification());
}

TEST(TDRDeliveredNotificationsTest, EveryShownFieldMustMatchForATakeOver) {
    const auto base = record(1, "Hi");
    EXPECT_TRUE(TDRDeliveredNotifications::sameContent(*base, *record(9, "Hi")));  // the identifier is not content
    EXPECT_FALSE(TDRDeliveredNotifications::sameContent(*base, *record(1, "Hi!")));
    EXPECT_FALSE(TDRDeliveredNotifications::sameContent(*base, *record(1, "Hi", "com.example.mail")));
    auto other = record(1, "Hi");
    other->setTitle(std::string("Ben"));
    EXPECT_FALSE(TDRDeliveredNotifications::sameContent(*base, *other));
    other = record(1, "Hi");
    other->setSubtitle(std::string(""));  // an empty subtitle is not an absent one
    EXPECT_FALSE(TDRDeliveredNotifications::sameContent(*base, *other));
    other = record(1, "Hi");
    other->setDate(std::nullopt);
    EXPECT_FALSE(TDRDeliveredNotifications::sameContent(*base, *other));
    other = record(1, "Hi");
    other->setApplication(nullptr);
    EXPECT_FALSE(TDRDeliveredNotifications::sameContent(*base, *other));
}

TEST(TDRDeliveredNotificationsTest, IdenticalNotificationsEachTakeOneCopyTheirOwnFirst) {
    TDRDeliveredNotifications list;
    const auto first = shown(list, 1, "Hi");
    const auto second = shown(list, 2, "Hi");
    list.keepAll();
    Copies outdated;
    const auto again2 = record(2, "Hi");
    EXPECT_EQ(list.takeOver(again2, outdated), copyOf(second));
    EXPECT_EQ(again2->deliveredNotification(), second->deliveredNotification());
    const auto again7 = record(7, "Hi");  // a new identifier of equal content takes what is left
    EXPECT_EQ(list.takeOver(again7, outdated), copyOf(first));
    EXPECT_EQ(list.takeOver(record(8, "Hi"), outdated), nullptr);
    EXPECT_TRUE(outdated.empty());
    EXPECT_FALSE(list.hasKept());
    EXPECT_EQ(list.shownCount(), 2u);
}

TEST(TDRDeliveredNotificationsTest, ChangedContentOutdatesTheKeptCopyAndTheRestIsReleased) {
    TDRDeliveredNotifications list;
    const auto changed = shown(list, 1, "See you at 8");
    const auto gone = shown(list, 2, "Lunch?");
    list.keepAll();
    Copies outdated;
    EXPECT_EQ(list.takeOver(record(1, "See you at 9"), outdated), nullptr);
    EXPECT_EQ(outdated, Copies{copyOf(changed)});
    EXPECT_EQ(list.releaseKept(), Copies{copyOf(gone)});
    EXPECT_TRUE(list.releaseKept().empty());
}

TEST(TDRDeliveredNotificationsTest, WithdrawalForgetsEveryAnnouncementOfTheNotification) {
    TDRDeliveredNotifications list;
    const auto old = shown(list, 1, "Hi");
    const auto other = shown(list, 2, "Bye");
    list.keepAll();
    // Re-announced with new content: a new copy; the old one still kept until released.
    const auto fresh = record(1, "Hi there");
    fresh->setDeliveredNotification(std::make_shared<TDRUserNotification>());
    list.add(fresh);
    // The engine hands back its first record of the identifier: both copies go, once each.
    EXPECT_EQ(list.remove(*old), (Copies{copyOf(old), copyOf(fresh)}));
    EXPECT_EQ(list.shownCount(), 0u);
    EXPECT_EQ(list.releaseKept(), Copies{copyOf(other)});
    // A record never shown has nothing to withdraw; one without a copy is not tracked.
    EXPECT_TRUE(list.remove(*record(3, "x")).empty());
    list.add(record(4, "x"));
    EXPECT_EQ(list.shownCount(), 0u);
}

}  // namespace
}  // namespace tandril::test
