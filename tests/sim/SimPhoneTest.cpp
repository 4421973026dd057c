// The simulated phone: its notification provider on its own, and the phone behind the
// real BLE layer (encryption needs, announcements after subscription, fragmented answers).

#include <gtest/gtest.h>

#include "ble/LGCentralManager.hpp"
#include "ble/LGCharacteristic.hpp"
#include "ble/LGPeripheral.hpp"
#include "ble/LGService.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "ble/platform/PlatformCharacteristic.hpp"
#include "ble/platform/PlatformClassicDevice.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformService.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimRadio.hpp"
#include "sim/SimScenario.hpp"
#include "support/LoopFixture.hpp"

namespace tandril::test {
namespace {

Bytes hex(std::string_view text) {
    Bytes out;
    bytesFromHex(text, out);
    return out;
}

int attCode(const SimNotificationProvider::CommandResult& result) {
    return result.error ? static_cast<int>(result.error->code()) : 0;
}

TEST(SimNotificationProviderTest, AnswersNotificationAttributesTruncatedToTheRequestedLength) {
    SimNotificationProvider provider;
    SimNotificationProvider::Notification n;
    n.uid = 0x2A;
    n.appIdentifier = "com.example.chat";
    n.title = "Grüße";  // ü is two bytes: a cut at 3 bytes keeps "Gr"
    n.message = "Hello there";
    n.date = "20260314T093015";
    provider.addNotification(n);

    auto result = provider.handleCommand(hex("00 2A000000 00 01 0300 03 0500 04 05"));
    ASSERT_FALSE(result.error);
    Bytes expected = hex("00 2A000000");
    for (auto [id, value] : std::vector<std::pair<int, std::string>>{
             {0, "com.example.chat"}, {1, "Gr"}, {3, "Hello"}, {4, "11"}, {5, "20260314T093015"}}) {
        expected.push_back(static_cast<std::uint8_t>(id));
        expected.push_back(static_cast<std::uint8_t>(value.size()));
        expected.push_back(0);
        expected.insert(expected.end(), value.begin(), value.end());
    }
    EXPECT_EQ(result.answer, expected);
}

TEST(SimNotificationProviderTest, ReportsTheProfileErrorsForBadCommands) {
    SimNotificationProvider provider;
    provider.addApplication("com.example.chat", "Chat");
    const auto uid = provider.addNotification("com.example.chat", "T", "", "M");
    ASSERT_EQ(uid, 1u);

    EXPECT_EQ(attCode(provider.handleCommand(hex("07 01000000"))), ANCSErrorUnknownCommand);
    EXPECT_EQ(attCode(provider.handleCommand({})), ANCSErrorInvalidCommand);
    EXPECT_EQ(attCode(provider.handleCommand(hex("00 010000"))), ANCSErrorInvalidCommand);
    EXPECT_EQ(attCode(provider.handleCommand(hex("00 01000000 01 FF"))), ANCSErrorInvalidCommand);  // length cut
    EXPECT_EQ(attCode(provider.handleCommand(hex("00 01000000 09"))), ANCSErrorInvalidCommand);     // no such attribute
    EXPECT_EQ(attCode(provider.handleCommand(hex("00 09000000 00"))), ANCSErrorInvalidParameter);   // no such UID
    EXPECT_EQ(attCode(provider.handleCommand(hex("01 61 62"))), ANCSErrorInvalidCommand);           // no terminator
    EXPECT_EQ(attCode(provider.handleCommand(hex("01 616200 00"))), ANCSErrorInvalidParameter);     // unknown app
    EXPECT_EQ(attCode(provider.handleCommand(hex("02 01000000 05"))), ANCSErrorInvalidParameter);   // no such action
    EXPECT_EQ(attCode(provider.handleCommand(hex("02 01000000 01"))), 0);
    EXPECT_EQ(provider.performedActions().size(), 1u);

    auto app = provider.handleCommand(hex("01 636F6D2E6578616D706C652E63686174 00 00"));
    ASSERT_FALSE(app.error);
    EXPECT_EQ(app.answer, hex("01 636F6D2E6578616D706C652E63686174 00 00 0400 43686174"));
}

TEST(SimNotificationProviderTest, AnnouncesChangesAndPreExistingNotifications) {
    SimNotificationProvider provider;
    std::vector<Bytes> events;
    provider.setEventSender([&events](const Bytes& e) { events.push_back(e); });
    const auto first = provider.addNotification("a.b", "T", "", "M");
    const auto second = provider.addNotification("a.b", "T2", "", "M2");
    auto modified = *provider.notification(second);
    modified.title = "T3";
    EXPECT_TRUE(provider.modifyNotification(modified));
    EXPECT_TRUE(provider.removeNotification(first));
    EXPECT_FALSE(provider.removeNotification(first));
    EXPECT_EQ(events, (std::vector<Bytes>{hex("00 00 00 01 01000000"), hex("00 00 00 02 02000000"),
                                          hex("01 00 00 02 02000000"), hex("02 00 00 01 01000000")}));
    EXPECT_EQ(provider.preExistingEvents(), std::vector<Bytes>{hex("00 04 00 01 02000000")});
    EXPECT_EQ(SimNotificationProvider::fragments(Bytes(45, 1), 20).size(), 3u);
}

class SimPhoneTest : public LoopFixture {
protected:
    SimPhoneTest() {
        radio = SimRadio::install();
        LGCentralManager::resetSharedInstance();
        central = LGCentralManager::sharedInstance();
        runUntilIdle();
    }
    ~SimPhoneTest() override {
        central.reset();
        LGCentralManager::resetSharedInstance();
        PlatformAdapter::setCurrent(nullptr);
    }

    // Connects and discovers every service and characteristic of the phone.
    void connect(const std::shared_ptr<SimPhone>& phone) {
        peripheral = central->retrievePeripheralsWithIdentifiers({phone->identifier()}).front();
        peripheral->connectWithTimeout(5, [](const ErrorPtr&) {});
        runUntilIdle();
        peripheral->discoverServices(std::nullopt, [](const auto&, const ErrorPtr&) {});
        runUntilIdle();
        for (const auto& service : peripheral->services()) {
            service->discoverCharacteristicsWithCompletion([](const auto&, const ErrorPtr&) {});
            runUntilIdle();
        }
    }

    std::shared_ptr<LGCharacteristic> wrapper(const UUID& uuid) {
        for (const auto& service : peripheral->services()) {
            for (const auto& c : service->characteristics()) {
                if (c->cbCharacteristic()->UUID() == uuid) return c;
            }
        }
        return nullptr;
    }

    std::shared_ptr<SimRadio> radio;
    std::shared_ptr<LGCentralManager> central;
    std::shared_ptr<LGPeripheral> peripheral;
};

TEST_F(SimPhoneTest, DeviceNameIsReadableInTheClearTheRestNeedsABond) {
    auto phone = SimScenario(radio).deviceName("Anna's iPhone").bonded(false).acceptsPairing(false).build();
    connect(phone);
    std::optional<Bytes> name;
    wrapper(SimPhone::deviceNameUUID())->readValueWithBlock([&name](const auto& v, const ErrorPtr&) { name = v; });
    ErrorPtr providerError, controlPointError, subscribeError;
    wrapper(SimPhone::providerUUID())->readValueWithBlock([&](const auto&, const ErrorPtr& e) { providerError = e; });
    wrapper(SimPhone::controlPointUUID())->writeValue(hex("00 01000000 00"), [&](const ErrorPtr& e) { controlPointError = e; });
    wrapper(SimPhone::dataSourceUUID())->setNotifyValue(true, [&](const ErrorPtr& e) { subscribeError = e; });
    runUntilIdle();
    EXPECT_EQ(name, bytesFromString("Anna's iPhone"));
    for (const auto& error : {providerError, controlPointError, subscribeError}) {
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), CBATTErrorDomain);
        EXPECT_EQ(error->code(), CBATTErrorInsufficientAuthentication);
    }
}

TEST_F(SimPhoneTest, AnnouncesExistingNotificationsAfterEachSubscriptionAndAnswersInFragments) {
    auto phone = SimScenario(radio)
                     .mtu(23)
                     .app("com.example.chat", "Chat")
                     .notification("com.example.chat", std::string(70, 'T'), "", "Hi")
                     .pairedClassicDevice("Anna's iPhone")
                     .build();
    connect(phone);
    std::vector<Bytes> events, fragments;
    wrapper(SimPhone::dataSourceUUID())
        ->setNotifyValue(true, nullptr, [&](const auto& v, const ErrorPtr&) { fragments.push_back(v.value()); });
    auto ns = wrapper(SimPhone::notificationSourceUUID());
    ns->setNotifyValue(true, nullptr, [&](const auto& v, const ErrorPtr&) { events.push_back(v.value()); });
    runUntilIdle();
    ASSERT_EQ(events, std::vector<Bytes>{hex("00 04 00 01 01000000")});
    ns->setNotifyValue(true, nullptr, [&](const auto& v, const ErrorPtr&) { events.push_back(v.value()); });
    runUntilIdle();
    EXPECT_EQ(events.size(), 2u);

    wrapper(SimPhone::controlPointUUID())->writeValue(hex("00 01000000 00 01 FFFF 03 FFFF"), [](const ErrorPtr&) {});
    wrapper(SimPhone::controlPointUUID())->writeValue(hex("01 636F6D2E6578616D706C652E63686174 00 00"), [](const ErrorPtr&) {});
    runUntilIdle();
    Bytes joined;
    for (const auto& f : fragments) {
        EXPECT_LE(f.size(), 20u);
        joined.insert(joined.end(), f.begin(), f.end());
    }
    auto expected = phone->provider().handleCommand(hex("00 01000000 00 01 FFFF 03 FFFF")).answer.value();
    const auto app = phone->provider().handleCommand(hex("01 636F6D2E6578616D706C652E63686174 00 00")).answer.value();
    expected.insert(expected.end(), app.begin(), app.end());
    EXPECT_EQ(joined, expected) << "answers one after another, never interleaved";

    const auto paired = radio->pairedDevices();
    ASSERT_EQ(paired.size(), 1u);
    EXPECT_EQ(paired[0]->name(), "Anna's iPhone");
}

TEST_F(SimPhoneTest, ScriptedStepsRunAtTheirVirtualTime) {
    std::uint32_t uid = 0;
    auto phone = SimScenario(radio)
                     .at(seconds(10), [&uid](SimPhone& p) { uid = p.provider().addNotification("a.b", "T", "", "M"); })
                     .at(seconds(20), [&uid](SimPhone& p) { p.provider().removeNotification(uid); })
                     .build();
    advance(9.9);
    EXPECT_TRUE(phone->provider().notifications().empty());
    advance(0.1);
    EXPECT_EQ(phone->provider().notifications().size(), 1u);
    advance(10);
    EXPECT_TRUE(phone->provider().notifications().empty());
}

}  // namespace
}  // namespace tandril::test
