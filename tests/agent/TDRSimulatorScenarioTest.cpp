#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "agent/TDRAppDelegate.hpp"
#include "tandril-simulator/TDRSimulatorBundle.hpp"
#include "tandril-simulator/TDRSimulatorScenario.hpp"
#include "agent/TDRTerminalChooser.hpp"
#include "agent/TDRTerminalPresenter.hpp"
#include "agent/TDRUserNotification.hpp"
#include "ble/LGCentralManager.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "engine/CNConsumerManager.hpp"
#include "foundation/Bundle.hpp"
#include "foundation/Paths.hpp"
#include "foundation/UserDefaults.hpp"
#include "model/CNNotificationApplicationManager.hpp"
#include "sim/SimNotificationProvider.hpp"
#include "sim/SimPhone.hpp"
#include "support/LoopFixture.hpp"

namespace tandril::test {
namespace {

class TDRSimulatorScenarioTest : public LoopFixture {
protected:
    TDRSimulatorScenarioTest() {
        LGCentralManager::resetSharedInstance();
        EXPECT_TRUE(TDRSimulatorBundle::write(home.file("Tandril.app"), "1.0"));
        Bundle::setMainBundle(Bundle::bundleWithPath(home.file("Tandril.app")));
        TDRSimulatorScenario::useDataDirectory(home.file("simulator"));
    }
    ~TDRSimulatorScenarioTest() override {
        scenario.reset();
        runUntilIdle();
        CNNotificationApplicationManager::setDefaultManager(nullptr);
        LGCentralManager::resetSharedInstance();
        PlatformAdapter::setCurrent(nullptr);
        Bundle::setMainBundle(nullptr);
    }

    std::vector<std::string> shownTexts() const {
        std::vector<std::string> texts;
        for (const auto& n : scenario->presenter()->deliveredNotifications()) {
            texts.push_back(n->title().value_or("-") + "|" + n->subtitle().value_or("-") + "|" +
                            n->informativeText().value_or("-"));
        }
        return texts;
    }
    // Advances second by second until `done`, at most `limit` seconds.
    bool advanceUntil(const std::function<bool()>& done, int limit) {
        for (int i = 0; i < limit && !done(); ++i) advance(1.0);
        return done();
    }

    std::ostringstream out;
    std::shared_ptr<TDRSimulatorScenario> scenario = TDRSimulatorScenario::create(out);
};

TEST_F(TDRSimulatorScenarioTest, FromStartToTheFirstPhoneNotification) {
    scenario->start();
    ASSERT_TRUE(advanceUntil([&] { return shownTexts().size() >= 2; }, 60)) << out.str();

    // The chooser was opened and the phone picked as a user would.
    EXPECT_NE(out.str().find("[chooser] selecting 'Sam's iPhone' and pressing Connect"), std::string::npos);
    const auto texts = shownTexts();
    EXPECT_EQ(texts[0], "Tandril|-|Connected to Sam's iPhone.");
    EXPECT_EQ(texts[1], "Messages|Anna|Call me when you land");
    const auto& shown = scenario->presenter()->deliveredNotifications();
    EXPECT_EQ(shown[0]->identityImage(), nullptr);
    EXPECT_NE(shown[1]->identityImage(), nullptr);  // the bundle's default icon

    // What the agent learnt stays in the simulator's own folders.
    EXPECT_EQ(UserDefaults::standardUserDefaults().stringForKey("CNConsumerManagerPreferredUUID"),
              std::optional<std::string>(TDRSimulatorScenario::kPhoneIdentifier));
    EXPECT_EQ(UserDefaults::standardUserDefaults().path(), home.file("simulator/defaults/com.Varn.Glimwick.plist"));
    EXPECT_TRUE(Paths::fileExists(home.file("simulator/data/Tandril/CachedApplications.dat")));
}

TEST_F(TDRSimulatorScenarioTest, LinkDropWithinAMinuteReconnectsSilently) {
    scenario->start();
    ASSERT_TRUE(advanceUntil([&] { return scenario->appDelegate()->securedConnection(); }, 60));
    ASSERT_TRUE(advanceUntil([&] { return !scenario->appDelegate()->securedConnection(); }, 120)) << out.str();
    EXPECT_NE(out.str().find("[simulator] the phone leaves range"), std::string::npos);
    ASSERT_TRUE(advanceUntil([&] { return scenario->appDelegate()->securedConnection(); }, 59)) << out.str();
    advance(120.0);
    for (const auto& text : shownTexts()) EXPECT_EQ(text.find("Disconnected from"), std::string::npos) << text;
    EXPECT_EQ(out.str().find("Disconnected from"), std::string::npos);
    // The phone re-announced what it holds after each reconnection, yet every notification
    // popped up once: one box per notification the phone announced.
    std::set<Bytes> announced;
    for (const auto& event : scenario->phone()->sentEvents()) {
        if (event.size() == 8 && event[0] == SimNotificationProvider::kEventAdded) {
            announced.insert(Bytes(event.begin() + 4, event.end()));
        }
    }
    std::size_t boxes = 0;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("+-- ") && !line.starts_with("+-- Tandril ")) ++boxes;
    }
    EXPECT_GE(announced.size(), 10u);
    EXPECT_EQ(boxes, announced.size()) << out.str();
}

TEST_F(TDRSimulatorScenarioTest, StockIPhoneConnectsToTheAdvertisingAgentPairsAndComesBackAfterADrop) {
    scenario->setStockIPhone(true);
    scenario->start();
    ASSERT_TRUE(advanceUntil([&] { return shownTexts().size() >= 2; }, 60)) << out.str();
    EXPECT_NE(out.str().find("[simulator] the user picks this computer in the iPhone's Bluetooth settings"),
              std::string::npos);
    EXPECT_NE(out.str().find("[pairing] 'Sam's iPhone' wants to pair and shows 314159"), std::string::npos);
    EXPECT_EQ(out.str().find("[chooser] selecting"), std::string::npos);  // nobody picks in the chooser
    EXPECT_EQ(shownTexts()[0], "Tandril|-|Connected to Sam's iPhone.");
    EXPECT_TRUE(scenario->appDelegate()->consumerManager()->isServingStockPhone());

    // Out of range and back: the bonded phone reconnects by itself, without a new pairing.
    ASSERT_TRUE(advanceUntil([&] { return !scenario->appDelegate()->securedConnection(); }, 120)) << out.str();
    ASSERT_TRUE(advanceUntil([&] { return scenario->appDelegate()->securedConnection(); }, 59)) << out.str();
    std::size_t pairings = 0;
    for (auto at = out.str().find("wants to pair"); at != std::string::npos; at = out.str().find("wants to pair", at + 1))
        ++pairings;
    EXPECT_EQ(pairings, 1u);
}

TEST(TDRTerminalPresenterTest, ShowsPhoneTextsWithoutTerminalControl) {
    TDRUserNotification n;
    n.setTitle(std::string("Chat"));
    n.setSubtitle(std::string("Anna\x1b[2J"));
    n.setInformativeText(std::string("line one\nline two\x07 \xc2\x9b" "2J caf\xc3\xa9"));
    EXPECT_EQ(TDRTerminalPresenter::render(n),
              "+-- Chat  [agent icon]\n|   Anna\\x1b[2J\n|   line one\\nline two\\x07 \\u009b2J caf\xc3\xa9\n+--");
}

}  // namespace
}  // namespace tandril::test
