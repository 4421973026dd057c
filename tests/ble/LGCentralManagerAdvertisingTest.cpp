// Advertising and incoming links through the central manager, over the simulated radio:
// who may connect to us, what the completion hears, and the wrapper the callback gets.

#include <gtest/gtest.h>

#include "ble/LGCentralManager.hpp"
#include "ble/LGPeripheral.hpp"
#include "ble/RadioFixture.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"
#include "sim/SimCentral.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimRadio.hpp"

namespace tandril::test {
namespace {

class LGCentralManagerAdvertisingTest : public RadioFixture {
protected:
    LGCentralManagerAdvertisingTest() {
        runUntilIdle();
        manager()->setIncomingPeripheralCallback(
            [this](const std::shared_ptr<LGPeripheral>& peripheral) { incoming.push_back(peripheral); });
    }
    void advertise(const std::vector<UUID>& solicited) {
        manager()->startAdvertising("Desk", solicited, [this](const ErrorPtr& error) { answers.push_back(error); });
        runUntilIdle();
    }

    std::vector<std::shared_ptr<LGPeripheral>> incoming;
    std::vector<ErrorPtr> answers;
};

TEST_F(LGCentralManagerAdvertisingTest, StockIPhoneConnectsOnlyToADesktopSolicitingItsService) {
    auto phone = SimPhone::createStockIPhone("Anna's iPhone");
    radio->addPeripheral(phone);
    EXPECT_FALSE(phone->tap());  // nothing advertised

    advertise({UUID::fromStringOrNil("180D")});
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0], nullptr);
    EXPECT_TRUE(manager()->isAdvertising());
    EXPECT_FALSE(phone->tap());  // not the notification-center service

    advertise({SimPhone::notificationServiceUUID()});
    manager()->stopAdvertising();
    EXPECT_FALSE(manager()->isAdvertising());
    EXPECT_FALSE(phone->tap());

    advertise({SimPhone::notificationServiceUUID()});
    ASSERT_TRUE(phone->tap());
    EXPECT_FALSE(phone->tap());  // already connecting
    runUntilIdle();
    ASSERT_EQ(incoming.size(), 1u);
    EXPECT_EQ(incoming[0]->cbPeripheral(), phone);
    EXPECT_EQ(incoming[0]->name(), std::optional<std::string>("Anna's iPhone"));
    EXPECT_EQ(incoming[0]->state(), CBPeripheralStateConnected);
    // An incoming link ends like any other.
    incoming[0]->disconnectWithCompletion([](const ErrorPtr&) {});
    runUntilIdle();
    EXPECT_FALSE(phone->isLinked());
}

TEST_F(LGCentralManagerAdvertisingTest, CompletionGetsTheRadiosAnswerOnceAndNotAfterAStop) {
    radio->failNextAdvertising(PlatformError::centralError(CBErrorOperationNotSupported));
    advertise({SimPhone::notificationServiceUUID()});
    ASSERT_EQ(answers.size(), 1u);
    ASSERT_NE(answers[0], nullptr);
    EXPECT_EQ(answers[0]->code(), CBErrorOperationNotSupported);
    EXPECT_FALSE(manager()->isAdvertising());

    // A start replaced by a stop before its answer: the completion is not called.
    radio->setAdvertisingLatency(seconds(1));
    manager()->startAdvertising("Desk", {}, [this](const ErrorPtr& error) { answers.push_back(error); });
    manager()->stopAdvertising();
    advance(2);
    EXPECT_EQ(answers.size(), 1u);
    EXPECT_FALSE(manager()->isAdvertising());

    // Powering off ends the advertisement.
    radio->setAdvertisingLatency(Duration::zero());
    advertise({});
    EXPECT_TRUE(manager()->isAdvertising());
    radio->setState(CBCentralManagerStatePoweredOff);
    runUntilIdle();
    EXPECT_FALSE(manager()->isAdvertising());
}

TEST_F(LGCentralManagerAdvertisingTest, WithoutARadioAdvertisingIsNotSupported) {
    PlatformAdapter::setCurrent(nullptr);
    LGCentralManager::resetSharedInstance();
    manager()->startAdvertising("Desk", {}, [this](const ErrorPtr& error) { answers.push_back(error); });
    ASSERT_EQ(answers.size(), 1u);
    ASSERT_NE(answers[0], nullptr);
    EXPECT_EQ(answers[0]->domain(), CBErrorDomain);
    EXPECT_EQ(answers[0]->code(), CBErrorOperationNotSupported);
    EXPECT_FALSE(manager()->isAdvertising());
}

}  // namespace
}  // namespace tandril::test
