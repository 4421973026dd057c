#include <gtest/gtest.h>

#include "model/CNNotification.hpp"

namespace tandril {
namespace {

TEST(CNNotification, StartsEmpty) {
    const CNNotification notification;
    EXPECT_FALSE(notification.uniqueIdentifier());
    EXPECT_FALSE(notification.application());
    EXPECT_FALSE(notification.title());
    EXPECT_FALSE(notification.subtitle());
    EXPECT_FALSE(notification.message());
    EXPECT_FALSE(notification.date());
    EXPECT_FALSE(notification.deliveredNotification());
}

TEST(CNNotification, SetMessageSplitsOffATitleAtExactlyOneColon) {
    struct Case {
        std::string text;
        std::optional<std::string> title;
        std::string message;
    };
    const std::optional<std::string> kept = "Phone title";
    const std::vector<Case> cases{
        {"Anna: See you at 8", "Anna", "See you at 8"},
        {"Anna :  hi\n", "Anna ", "hi"},
        {":x", "", "x"},
        {"x:", "x", ""},
        {"Bob:\u00a0\u2028 hi there \u3000\u0085\r\n", "Bob", "hi there"},
        {"Meeting at 10:30: room 4", kept, "Meeting at 10:30: room 4"},
        {"no colon at all", kept, "no colon at all"},
        {"Anna\uff1a full-width colon", kept, "Anna\uff1a full-width colon"},
        {"", kept, ""},
    };
    for (const auto& c : cases) {
        CNNotification notification;
        notification.setTitle(kept);
        notification.setMessage(c.text);
        EXPECT_EQ(notification.title(), c.title) << c.text;
        EXPECT_EQ(notification.message(), c.message) << c.text;
    }
}

TEST(CNNotification, AbsentMessageLeavesTheTitle) {
    CNNotification notification;
    notification.setTitle("T");
    notification.setMessage("M");
    notification.setMessage(std::nullopt);
    EXPECT_FALSE(notification.message());
    EXPECT_EQ(notification.title(), "T");
}

TEST(CNNotification, DescriptionNamesApplicationAndMessage) {
    auto notification = std::make_shared<CNNotification>();
    EXPECT_EQ(notification->description(), notification->defaultDescription() + " <(null), (null), (null)>");
    EXPECT_EQ(notification->defaultDescription().rfind("<CNNotification: 0x", 0), 0u);

    auto application = std::make_shared<CNNotificationApplication>();
    application->setBundleIdentifier("com.apple.MobileSMS");
    notification->setApplication(application);
    notification->setMessage("Anna: hi");
    EXPECT_EQ(notification->description(), notification->defaultDescription() + " <com.apple.MobileSMS, (null), hi>");
    application->setDisplayName("Messages");
    EXPECT_EQ(notification->description(), notification->defaultDescription() + " <com.apple.MobileSMS, Messages, hi>");
}

TEST(CNNotification, SameNotificationMeansSameIdentifierBytes) {
    CNNotification a;
    CNNotification b;
    EXPECT_FALSE(a.isSameNotification(b));
    a.setUniqueIdentifier(Bytes{1, 2, 3, 4});
    b.setUniqueIdentifier(Bytes{1, 2, 3, 4});
    a.setMessage("one");
    b.setMessage("two");
    b.setApplication(std::make_shared<CNNotificationApplication>());
    EXPECT_TRUE(a.isSameNotification(b));
    b.setUniqueIdentifier(Bytes{1, 2, 3, 5});
    EXPECT_FALSE(a.isSameNotification(b));
}

}  // namespace
}  // namespace tandril
