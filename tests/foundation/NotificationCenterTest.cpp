#include "foundation/NotificationCenter.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <thread>
#include <vector>

#include "support/LoopFixture.hpp"

namespace tandril {
namespace {

class Peripheral : public Object {};

TEST(NotificationCenterTest, FiltersByNameAndSender) {
    NotificationCenter center;
    auto phone = std::make_shared<Peripheral>();
    auto other = std::make_shared<Peripheral>();
    std::vector<std::string> seen;
    center.addObserver("LGPeripheralDidConnect", phone.get(), [&](const Notification& n) { seen.push_back("phone:" + n.name); });
    center.addObserver("LGPeripheralDidConnect", nullptr, [&](const Notification& n) { seen.push_back("any:" + n.name); });
    center.addObserver("", nullptr, [&](const Notification& n) { seen.push_back("all:" + n.name); });

    center.postNotification("LGPeripheralDidConnect", other);
    center.postNotification("LGPeripheralDidConnect", phone, {{"k", 1}});
    center.postNotification("LGPeripheralDidDisconnect", phone);
    EXPECT_EQ(seen, (std::vector<std::string>{"any:LGPeripheralDidConnect", "all:LGPeripheralDidConnect",
                                              "phone:LGPeripheralDidConnect", "any:LGPeripheralDidConnect",
                                              "all:LGPeripheralDidConnect", "all:LGPeripheralDidDisconnect"}));
}

TEST(NotificationCenterTest, ObserversMayChangeTheListDuringDelivery) {
    NotificationCenter center;
    std::vector<std::string> seen;
    NotificationCenter::Token second = 0;
    NotificationCenter::Token first = center.addObserver("n", nullptr, [&](const Notification&) {
        seen.push_back("first");
        center.removeObserver(first);   // itself
        center.removeObserver(second);  // a later one: not called any more
        center.addObserver("n", nullptr, [&](const Notification&) { seen.push_back("added"); });
    });
    second = center.addObserver("n", nullptr, [&](const Notification&) { seen.push_back("second"); });
    center.addObserver("n", nullptr, [&](const Notification&) { seen.push_back("third"); });

    center.postNotification("n");
    EXPECT_EQ(seen, (std::vector<std::string>{"first", "third"}));
    seen.clear();
    center.postNotification("n");
    EXPECT_EQ(seen, (std::vector<std::string>{"third", "added"}));
    EXPECT_EQ(center.observerCount(), 2u);
}

TEST(NotificationCenterTest, RegistrationRemovesOnDestruction) {
    NotificationCenter center;
    int calls = 0;
    std::optional<ObserverRegistration> kept;
    {
        ObserverRegistration r(center, center.addObserver("n", nullptr, [&](const Notification&) { ++calls; }));
        ObserverRegistration moved = std::move(r);
        center.postNotification("n");
        kept.emplace(std::move(moved));
    }
    center.postNotification("n");
    EXPECT_EQ(calls, 2);
    kept.reset();
    center.postNotification("n");
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(center.observerCount(), 0u);
}

class NotificationCenterLoopTest : public test::LoopFixture {};

TEST_F(NotificationCenterLoopTest, PostsFromOtherThreadsAreDeliveredOnTheMainThread) {
    NotificationCenter center;
    std::vector<std::thread::id> threads;
    center.addObserver("n", nullptr, [&](const Notification& n) {
        EXPECT_EQ(n.userInfo.at("k"), Value("v"));
        threads.push_back(std::this_thread::get_id());
    });
    std::thread([&] { center.postNotification("n", nullptr, Dictionary{{"k", Value("v")}}); }).join();
    EXPECT_TRUE(threads.empty());
    runUntilIdle();
    EXPECT_EQ(threads, std::vector<std::thread::id>{std::this_thread::get_id()});
}

}  // namespace
}  // namespace tandril
