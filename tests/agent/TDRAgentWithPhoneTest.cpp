#include <gtest/gtest.h>

#include "agent/AgentFixture.hpp"
#include "agent/TDRUserNotification.hpp"
#include "engine/CNConsumerManager.hpp"
#include "foundation/Paths.hpp"
#include "http/Image.hpp"
#include "foundation/PropertyList.hpp"
#include "foundation/UserDefaults.hpp"
#include "shared/TDRControlChannel.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimRadio.hpp"
#include "sim/SimScenario.hpp"

namespace tandril {
// Copies print as their texts in failure messages.
inline void PrintTo(const std::shared_ptr<TDRUserNotification>& n, std::ostream* os) {
    if (!n) {
        *os << "(null)";
        return;
    }
    *os << n->title().value_or("-") << "|" << n->subtitle().value_or("-") << "|" << n->informativeText().value_or("-");
}
}  // namespace tandril

namespace tandril::test {
namespace {

constexpr const char* kPhoneId = "0C1D2E3F-4A5B-4C6D-8E9F-A0B1C2D3E4F5";

// The agent with the real engine and a simulated phone it paired with before.
class TDRAgentWithPhoneTest : public AgentFixture {
protected:
    void SetUp() override {
        phone = SimScenario(radio)
                    .deviceName("Work Phone")
                    .identifier(UUID::fromStringOrNil(kPhoneId))
                    .bonded(true)
                    .pairedClassicDevice("Work Phone")
                    .app("com.example.chat", "Chat")
                    .app("com.example.game", "Game")
                    .build();
        UserDefaults::standardUserDefaults().setObject(Value(kPhoneId), "CNConsumerManagerPreferredUUID");
        // Default icons in the agent bundle, so that no icon is looked up on the network.
        const auto png = Image::create(1, 1, Bytes{0, 0, 0, 255})->PNGRepresentation();
        for (const char* id : {"com.example.chat", "com.example.game"}) {
            Paths::writeFileAtomically(agentPath() + "/Contents/Resources/" + id + ".png",
                                       std::string(png->begin(), png->end()));
        }
    }
    bool advanceUntil(const std::function<bool()>& done, int limit) {
        for (int i = 0; i < limit && !done(); ++i) advance(1.0);
        return done();
    }
    std::size_t countLines(const std::string& line) const { return logs.count(line); }

    // Three notifications on the phone, shown when the agent connects; `copies` holds
    // their desktop copies once the connection notice has gone.
    void connectWithThreeNotifications() {
        uids = {phone->provider().addNotification("com.example.chat", "Anna", "", "See you at 8"),
                phone->provider().addNotification("com.example.game", "Energy", "", "Your energy is full"),
                phone->provider().addNotification("com.example.chat", "Ben", "", "Lunch?")};
        launch();
        ASSERT_TRUE(advanceUntil([&] { return app->securedConnection(); }, 30));
        advance(5.0);
        ASSERT_EQ(deliveredTexts().size(), 4u);
        ASSERT_EQ(deliveredTexts()[0], "Tandril|-|Connected to Work Phone.");
        // The phone's order: the notification of an application not yet named comes last.
        for (const auto uid : uids) {
            const auto* n = phone->provider().notification(uid);
            const auto text = (n->appIdentifier == "com.example.chat" ? "Chat|" : "Game|") + n->title + "|" + n->message;
            for (const auto& copy : center->shown) {
                if (texts(copy) == text) copies.push_back(copy);
            }
        }
        ASSERT_EQ(copies.size(), 3u);
    }
    // The phone leaves range until the agent sees the link drop, then stays away `away` seconds more.
    void leaveRange(double away) {
        phone->setInRange(false);
        ASSERT_TRUE(advanceUntil([&] { return !app->securedConnection(); }, 30));
        advance(away);
    }
    // The phone comes back; returns once the agent has reconnected and the phone's
    // re-announcement is over.
    void comeBack() {
        phone->setInRange(true);
        radio->advertise(phone);
        ASSERT_TRUE(advanceUntil([&] { return app->securedConnection(); }, 30));
        advance(TDRAppDelegate::kReannouncementLimit);
    }
    // The texts of the copies, sorted.
    static std::vector<std::string> textsOf(const std::vector<std::shared_ptr<TDRUserNotification>>& list) {
        std::vector<std::string> all;
        for (const auto& n : list) all.push_back(texts(n));
        std::sort(all.begin(), all.end());
        return all;
    }
    // The copies, in the desktop's order.
    std::vector<std::shared_ptr<TDRUserNotification>> shownCopies(std::initializer_list<std::size_t> indices) const {
        std::vector<std::shared_ptr<TDRUserNotification>> list;
        for (const auto i : indices) list.push_back(copies[i]);
        std::sort(list.begin(), list.end(), [&](const auto& a, const auto& b) {
            return std::find(center->shown.begin(), center->shown.end(), a) <
                   std::find(center->shown.begin(), center->shown.end(), b);
        });
        return list;
    }

    std::shared_ptr<SimPhone> phone;
    std::vector<std::uint32_t> uids;
    std::vector<std::shared_ptr<TDRUserNotification>> copies;
};

// --- a link drop and the phone's re-announcement

TEST_F(TDRAgentWithPhoneTest, ShortDropKeepsTheDesktopCopiesAndShowsNothingTwice) {
    connectWithThreeNotifications();
    const auto deliveries = center->delivered.size();
    leaveRange(10.0);
    EXPECT_EQ(center->shown, shownCopies({0, 1, 2}));
    comeBack();
    // The phone re-announced all three: no second popup, the same copies, no notice.
    EXPECT_EQ(phone->sentEvents().size(), 6u);
    EXPECT_EQ(center->delivered.size(), deliveries);
    EXPECT_EQ(center->shown, shownCopies({0, 1, 2}));
    EXPECT_EQ(app->deliveredNotifications().keptCount(), 0u);

    // The copies now belong to the new records: the phone's withdrawal and a new
    // notification behave as before the drop.
    phone->provider().removeNotification(uids[1]);
    phone->provider().addNotification("com.example.chat", "Anna", "", "Running late");
    advance(2.0);
    EXPECT_EQ(textsOf(center->shown),
              (std::vector<std::string>{"Chat|Anna|Running late", "Chat|Anna|See you at 8", "Chat|Ben|Lunch?"}));

    // A second short drop works the same way.
    const auto shown = center->shown;
    leaveRange(5.0);
    comeBack();
    EXPECT_EQ(center->shown, shown);
    EXPECT_EQ(center->delivered.size(), deliveries + 1);
}

TEST_F(TDRAgentWithPhoneTest, CopiesThePhoneNoLongerHoldsGoOnceTheReannouncementIsOver) {
    connectWithThreeNotifications();
    leaveRange(2.0);
    phone->provider().removeNotification(uids[1]);  // while away: the agent misses it
    phone->setInRange(true);
    radio->advertise(phone);
    ASSERT_TRUE(advanceUntil([&] { return app->securedConnection(); }, 30));
    // Kept while the phone may still re-announce it ...
    advance(2.0);
    EXPECT_TRUE(center->isShown(copies[1]));
    // ... withdrawn once the phone has been quiet for the quiet period.
    advance(TDRAppDelegate::kReannouncementQuietPeriod);
    EXPECT_FALSE(center->isShown(copies[1]));
    EXPECT_EQ(center->shown, shownCopies({0, 2}));
    EXPECT_EQ(center->delivered.size(), 4u);
    EXPECT_EQ(center->removeAllCount, 1);  // at start-up only
}

TEST_F(TDRAgentWithPhoneTest, ANotificationChangedDuringTheDropIsShownAnewAndItsOldCopyWithdrawn) {
    connectWithThreeNotifications();
    leaveRange(2.0);
    auto changed = *phone->provider().notification(uids[0]);
    changed.message = "See you at 9";
    phone->provider().modifyNotification(changed);
    comeBack();
    EXPECT_FALSE(center->isShown(copies[0]));
    EXPECT_EQ(textsOf(center->shown),
              (std::vector<std::string>{"Chat|Anna|See you at 9", "Chat|Ben|Lunch?", "Game|Energy|Your energy is full"}));
    EXPECT_EQ(center->delivered.size(), 5u);

    // Withdrawn by the phone later, the new copy goes too.
    phone->provider().removeNotification(uids[0]);
    advance(1.0);
    EXPECT_EQ(textsOf(center->shown), (std::vector<std::string>{"Chat|Ben|Lunch?", "Game|Energy|Your energy is full"}));
}

TEST_F(TDRAgentWithPhoneTest, DropPastTheMinuteWithdrawsEverythingWhenTheNoticeShows) {
    connectWithThreeNotifications();
    leaveRange(30.0);
    EXPECT_EQ(center->shown, shownCopies({0, 1, 2}));
    ASSERT_TRUE(advanceUntil([&] { return center->delivered.size() == 5u; }, 40));
    EXPECT_EQ(texts(center->delivered.back()), "Tandril|-|Disconnected from Work Phone.");
    EXPECT_EQ(center->shown, std::vector<std::shared_ptr<TDRUserNotification>>{center->delivered.back()});

    // Back later: announced, and the phone's notifications pop up again.
    comeBack();
    ASSERT_EQ(center->delivered.size(), 9u);
    EXPECT_EQ(texts(center->delivered[5]), "Tandril|-|Connected to Work Phone.");
    EXPECT_EQ(textsOf({center->delivered.begin() + 6, center->delivered.end()}),
              (std::vector<std::string>{"Chat|Anna|See you at 8", "Chat|Ben|Lunch?", "Game|Energy|Your energy is full"}));
}

TEST_F(TDRAgentWithPhoneTest, SleepAndTheUsersDisconnectWithdrawEverythingAtOnce) {
    connectWithThreeNotifications();
    workspace->post(NSWorkspaceWillSleepNotification);
    EXPECT_TRUE(center->shown.empty());
    workspace->post(NSWorkspaceDidWakeNotification);
    ASSERT_TRUE(advanceUntil([&] { return app->securedConnection(); }, 30));
    advance(5.0);
    ASSERT_EQ(center->shown.size(), 3u);  // shown again after the wake, as on any new connection

    // A sleep during a short drop withdraws the copies kept for it.
    leaveRange(2.0);
    ASSERT_EQ(center->shown.size(), 3u);
    workspace->post(NSWorkspaceWillSleepNotification);
    EXPECT_TRUE(center->shown.empty());
    EXPECT_EQ(app->deliveredNotifications().keptCount(), 0u);
    phone->setInRange(true);
    workspace->post(NSWorkspaceDidWakeNotification);
    radio->advertise(phone);
    ASSERT_TRUE(advanceUntil([&] { return app->securedConnection(); }, 30));
    advance(5.0);
    ASSERT_EQ(center->shown.size(), 3u);

    // The user's disconnect from the settings pane.
    bus->send(TDRToggleDeviceNotification);
    EXPECT_TRUE(center->shown.empty());
    advance(5.0);
    EXPECT_EQ(engine()->connectedPeripheral(), nullptr);
    EXPECT_EQ(app->deliveredNotifications().keptCount(), 0u);
    EXPECT_TRUE(center->shown.empty());
}

TEST_F(TDRAgentWithPhoneTest, SleepDisconnectsWithoutRescanAndWakeReconnectsSilently) {
    launch();
    ASSERT_TRUE(advanceUntil([&] { return app->securedConnection(); }, 30));
    EXPECT_EQ(deliveredTexts(), std::vector<std::string>{"Tandril|-|Connected to Work Phone."});
    const auto scansBefore = countLines("[CONSUMER] Start scanning...");

    workspace->post(NSWorkspaceWillSleepNotification);
    advance(5.0);
    EXPECT_FALSE(phone->isLinked());
    EXPECT_EQ(engine()->connectedPeripheral(), nullptr);
    EXPECT_FALSE(engine()->isScanning());
    EXPECT_EQ(countLines("[CONSUMER] Start scanning..."), scansBefore);

    workspace->post(NSWorkspaceDidWakeNotification);
    EXPECT_TRUE(engine()->isScanning());
    ASSERT_TRUE(advanceUntil([&] { return app->securedConnection(); }, 30));
    advance(120.0);
    EXPECT_EQ(deliveredTexts(), std::vector<std::string>{"Tandril|-|Connected to Work Phone."});
}

TEST_F(TDRAgentWithPhoneTest, DisabledApplicationIsFilteredButThePaneIsToldEachTime) {
    const auto folder = Paths::join(Paths::applicationSupportDirectory(), "Tandril");
    Paths::createDirectories(folder);
    PropertyList::writeFile(
        Value(Array{Value(Dictionary{{"bundle_identifier", "com.example.game"}, {"display_name", "Game"}, {"enabled", "0"}}),
                    Value(Dictionary{{"bundle_identifier", "com.example.chat"}, {"display_name", "Chat"}, {"enabled", "1"}})}),
        Paths::join(folder, "CachedApplications.dat"));
    // Their icons are cached too, so the engine has nothing to fetch.
    Paths::createDirectories(Paths::join(folder, "CachedIcons"));
    const auto png = Image::create(1, 1, Bytes{0, 0, 0, 255})->PNGRepresentation();
    for (const char* id : {"com.example.chat", "com.example.game"}) {
        Paths::writeFileAtomically(Paths::join(folder, std::string("CachedIcons/") + id + ".png"),
                                   std::string(png->begin(), png->end()));
    }
    launch();
    ASSERT_TRUE(advanceUntil([&] { return app->securedConnection(); }, 30));

    const auto uid = phone->provider().addNotification("com.example.game", "Energy", "", "Your energy is full");
    phone->provider().addNotification("com.example.chat", "Anna", "", "See you at 8");
    advance(5.0);
    EXPECT_EQ(deliveredTexts(), (std::vector<std::string>{"Tandril|-|Connected to Work Phone.", "Chat|Anna|See you at 8"}))
        << [&] { std::string all; for (const auto& l : logs.lines()) all += l + "\n"; return all; }();
    EXPECT_TRUE(logs.contains("[TDRAppDelegate] Application disabled, ignoring notification..."));
    EXPECT_EQ(bus->count(TDRUpdatedApplicationsNotification), 2u);

    // The phone withdrawing the filtered one changes nothing on the desktop.
    phone->provider().removeNotification(uid);
    advance(2.0);
    EXPECT_TRUE(center->removed.size() == 1u);  // the connection notice's own removal
    EXPECT_EQ(center->shown.size(), 1u);
}

}  // namespace
}  // namespace tandril::test
