#include <gtest/gtest.h>

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>

#include <sstream>

#include "agent/TDRAppDelegate.hpp"
#include "ble/LGCentralManager.hpp"
#include "ble/LGPeripheral.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "desktop/DesktopFixture.hpp"
#include "engine/CNConsumerManager.hpp"
#include "foundation/Bundle.hpp"
#include "model/CNNotificationApplicationManager.hpp"
#include "platform/linux/desktop/WinDeviceChooser.hpp"
#include "support/LoopFixture.hpp"
#include "tandril-simulator/TDRSimulatorBundle.hpp"
#include "tandril-simulator/TDRSimulatorScenario.hpp"

namespace tandril {
namespace {

// The chooser window driven by the real agent shell, against the simulated phone, in
// virtual time: the user picks the phone in the window.
class WinDeviceChooserAgentTest : public test::LoopFixture {
protected:
    WinDeviceChooserAgentTest() {
        LGCentralManager::resetSharedInstance();
        EXPECT_TRUE(TDRSimulatorBundle::write(home.file("Tandril.app"), "1.0"));
        Bundle::setMainBundle(Bundle::bundleWithPath(home.file("Tandril.app")));
        TDRSimulatorScenario::useDataDirectory(home.file("simulator"));
        TDRDesktop desktop;
        desktop.deviceChooser = chooser;
        scenario->setDesktop(desktop);
    }
    ~WinDeviceChooserAgentTest() override {
        scenario.reset();
        runUntilIdle();
        CNNotificationApplicationManager::setDefaultManager(nullptr);
        LGCentralManager::resetSharedInstance();
        PlatformAdapter::setCurrent(nullptr);
        Bundle::setMainBundle(nullptr);
    }
    bool advanceUntil(const std::function<bool()>& done, int limit) {
        for (int i = 0; i < limit && !done(); ++i) advance(1.0);
        return done();
    }
    QLabel* nameLabel(int row) {
        auto* cell = chooser->tableView()->cellWidget(row, 0);
        return cell ? cell->findChild<QLabel*>("name") : nullptr;
    }

    bool application_ = (test::DesktopFixture::ensureApplication(), true);
    std::shared_ptr<WinDeviceChooser> chooser = std::make_shared<WinDeviceChooser>();
    std::ostringstream out;
    std::shared_ptr<TDRSimulatorScenario> scenario = TDRSimulatorScenario::create(out);
};

TEST_F(WinDeviceChooserAgentTest, TheUserPicksThePhoneConnectsAndTheAlertClosesTheWindow) {
    scenario->start();
    runUntilIdle();
    // No phone chosen yet: the chooser opens, scanning.
    ASSERT_TRUE(chooser->isVisible()) << out.str();
    ASSERT_TRUE(advanceUntil([&] { return chooser->tableView()->rowCount() == 1; }, 30)) << out.str();
    EXPECT_EQ(nameLabel(0)->text(), TDRSimulatorScenario::kPhoneName);
    EXPECT_EQ(chooser->progressLabel()->text(), "Scanning...");
    EXPECT_FALSE(chooser->connectButton()->isEnabled());

    chooser->tableView()->selectRow(0);
    ASSERT_TRUE(chooser->connectButton()->isEnabled());
    chooser->connectButton()->click();
    ASSERT_TRUE(advanceUntil([&] { return chooser->alert() != nullptr; }, 60)) << out.str();
    EXPECT_EQ(chooser->progressLabel()->text(), "Connected!");
    EXPECT_EQ(chooser->alert()->text(), "You'll now receive notifications from 'Sam's iPhone'.");
    EXPECT_TRUE(scenario->appDelegate()->securedConnection());

    chooser->alert()->buttons().first()->click();
    EXPECT_FALSE(chooser->isVisible());
    const auto preferred = scenario->appDelegate()->consumerManager()->preferredUUID();
    ASSERT_TRUE(preferred);
    EXPECT_EQ(preferred->UUIDString(), TDRSimulatorScenario::kPhoneIdentifier);
}

}  // namespace
}  // namespace tandril
