#include <gtest/gtest.h>

#include <functional>

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
    const std::vector<std::function<void(CNNotification&)>> changes{
        [](CNNotification& n) { n.setMessage(std::string("Hi!")); },
        [](CNNotification& n) { n.application()->setBundleIdentifier(std::string("com.example.mail")); },
        [](CNNotification& n) { n.setApplication(nullptr); },
        [](CNNotification& n) { n.setTitle(std::string("Ben")); },
        [](CNNotification& n) { n.setSubtitle(std::string("")); },  // empty is not absent
        [](CNNotification& n) { n.setDate(std::nullopt); },
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        auto other = record(1, "Hi");
        changes[i](*other);
        EXPECT_FALSE(TDRDeliveredNotifications::sameContent(*base, *other)) << "change " << i;
    }
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

}  // namespace
}  // namespace tandril::test
