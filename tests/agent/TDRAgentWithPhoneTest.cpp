#include <gtest/gtest.h>

#include "agent/AgentFixture.hpp"
#include "engine/CNConsumerManager.hpp"
#include "foundation/Paths.hpp"
#include "http/Image.hpp"
#include "foundation/PropertyList.hpp"
#include "foundation/UserDefaults.hpp"
#include "shared/TDRControlChannel.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimScenario.hpp"

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

    std::shared_ptr<SimPhone> phone;
};

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
