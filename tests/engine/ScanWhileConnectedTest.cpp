// A scan that starts while a phone is connected (the adapter reports power-on again, the
// machine wakes with the link still up): the phone's events must keep reaching the engine.

#include <gtest/gtest.h>

#include "ble/LGCentralManager.hpp"
#include "ble/LGPeripheral.hpp"
#include "engine/ConnectionFixture.hpp"
#include "engine/PhoneLink.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimRadio.hpp"

namespace tandril::test {
namespace {

using Events = std::vector<std::string>;

class ScanWhileConnectedTest : public ConnectionFixture {
protected:
    std::shared_ptr<SimPhone> connectedPhone() {
        PhoneLink::catalogueKnows("com.example.chat", "Chat");
        auto iphone = phone()
                          .app("com.example.chat", "Chat")
                          .notification("com.example.chat", "Anna", "", "See you at 8")
                          .build();
        connectDirectly(iphone);
        EXPECT_EQ(delegate->connectionEvents(), (Events{"phase 0", "will", "phase 1", "phase 2", "phase 3", "did",
                                                        "added Anna"}));
        return iphone;
    }

    // What the agent does on a power-on report or a wake: scan, whatever the link.
    void scanWhileConnected() {
        engine->startScanning();
        // The phone keeps advertising; its report arrives during the new scan period.
        radio->advertise(connectedPhoneDevice);
        advance(1);
        ASSERT_TRUE(engine->isScanning());
        delegate->events.clear();
    }

    std::shared_ptr<SimPhone> connectedPhoneDevice;
};

TEST_F(ScanWhileConnectedTest, NotificationsWithdrawalsAndTheDropStillReachTheEngine) {
    connectedPhoneDevice = connectedPhone();
    const auto held = engine->connectedPeripheral();
    scanWhileConnected();

    auto& provider = connectedPhoneDevice->provider();
    const auto ben = provider.addNotification("com.example.chat", "Ben", "", "Lunch?");
    advance(1);
    EXPECT_EQ(delegate->connectionEvents(), (Events{"added Ben"}));

    provider.removeNotification(ben);
    provider.removeNotification(provider.notifications().front().uid);
    advance(1);
    EXPECT_EQ(delegate->connectionEvents(), (Events{"added Ben", "removed Ben", "removed Anna"}));
    EXPECT_TRUE(engine->activeNotifications().empty());

    // A scan restart a minute later changes nothing either.
    advance(60);
    provider.addNotification("com.example.chat", "Cleo", "", "Call me");
    advance(1);
    EXPECT_EQ(delegate->count("added Cleo"), 1u);

    connectedPhoneDevice->dropLink();
    advance(1);
    EXPECT_EQ(delegate->count("disconnected"), 1u);
    EXPECT_EQ(delegate->peripherals.back(), held);
    EXPECT_EQ(engine->connectedPeripheral(), nullptr);
    EXPECT_EQ(linesStartingWith("[CONSUMER] Disconnected from peripheral: ").size(), 1u);
    expectQuiescent();
}

TEST_F(ScanWhileConnectedTest, RequestedDisconnectIsCompletedByThePlatformReport) {
    connectedPhoneDevice = connectedPhone();
    scanWhileConnected();

    engine->disconnect();
    // The platform's report, not the 2-second fallback, completes the request.
    advance(0.5);
    EXPECT_EQ(delegate->connectionEvents(), (Events{"disconnected"}));
    EXPECT_EQ(logs.count("[CONSUMER] Disconnected on request! (Error: (null))"), 1u);
    EXPECT_TRUE(linesStartingWith("[CONSUMER] Disconnected from peripheral: ").empty());
    expectQuiescent();
    EXPECT_EQ(delegate->count("disconnected"), 1u);
}

}  // namespace
}  // namespace tandril::test
