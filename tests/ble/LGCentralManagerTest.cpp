#include "ble/LGCentralManager.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "ble/RadioFixture.hpp"
#include "foundation/DispatchQueue.hpp"
#include "sim/SimCentral.hpp"

namespace tandril::test {
namespace {

class LGCentralManagerTest : public RadioFixture {};

TEST_F(LGCentralManagerTest, SharedInstanceIsOneObjectWithItsQueue) {
    auto first = LGCentralManager::sharedInstance();
    EXPECT_EQ(first, LGCentralManager::sharedInstance());
    ASSERT_TRUE(first->centralQueue());
    EXPECT_EQ(first->centralQueue()->label(), "com.Varn.Tandril.LGCentralQueue");
    EXPECT_TRUE(first->scannedPeripherals().empty());
    EXPECT_FALSE(first->isScanning());
}

TEST_F(LGCentralManagerTest, StateMessagesAndReadinessFollowTheAdapterState) {
    auto central = manager();
    std::vector<std::int64_t> reported;
    central->setStateChangedCallback([&](std::int64_t state) { reported.push_back(state); });
    runUntilIdle();
    EXPECT_EQ(reported, (std::vector<std::int64_t>{5}));

    const std::vector<std::pair<int, std::optional<std::string>>> table = {
        {0, "Central not initialized yet."},
        {1, std::nullopt},
        {2, "The platform/hardware doesn't support Bluetooth Low Energy."},
        {3, "The app is not authorized to use Bluetooth Low Energy."},
        {4, "Bluetooth is currently powered off."},
        {5, std::nullopt},
    };
    for (const auto& [state, text] : table) {
        radio->setState(state);
        runUntilIdle();
        EXPECT_EQ(central->stateMessage(), text) << state;
        EXPECT_EQ(central->centralNotReadyReason(), text) << state;
        EXPECT_EQ(central->isCentralReady(), state == 5) << state;
    }
    EXPECT_EQ(reported, (std::vector<std::int64_t>{5, 0, 1, 2, 3, 4, 5}));
}

TEST_F(LGCentralManagerTest, AdvertisementsSmoothTheSignalStrength) {
    auto device = addDevice("Phone", -60);
    auto central = manager();
    std::vector<std::shared_ptr<LGPeripheral>> reported;
    central->setDiscoveredPeripheralCallback([&](const std::shared_ptr<LGPeripheral>& p) { reported.push_back(p); });
    central->scanForPeripheralsByInterval(10, [](const auto&) {});
    runUntilIdle();
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0]->RSSI(), -60);
    ASSERT_TRUE(reported[0]->advertisingData());
    EXPECT_EQ(reported[0]->advertisingData()->at(CBAdvertisementDataLocalNameKey), Value("Phone"));

    radio->advertise(device, -71);
    runUntilIdle();
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[1], reported[0]);
    EXPECT_EQ(reported[1]->RSSI(), -65);  // (-60 + -71) / 2, truncated toward zero

    // Values at the end of the range an adapter can report average without overflowing.
    const auto lowest = std::numeric_limits<std::int64_t>::min();
    auto far = addDevice("Far");
    radio->advertise(far, lowest);
    radio->advertise(far, lowest);
    runUntilIdle();
    ASSERT_EQ(reported.size(), 4u);
    EXPECT_EQ(reported[3]->cbPeripheral(), far);
    EXPECT_EQ(reported[3]->RSSI(), lowest);
}

TEST_F(LGCentralManagerTest, PeripheralsAreSortedStrongestFirstWithoutReorderingTheRegistry) {
    auto central = manager();
    central->setDiscoveredPeripheralCallback([](const auto&) {});
    addDevice("A", -80);
    addDevice("B", -40);
    addDevice("C", -60);
    central->scanForPeripherals();
    runUntilIdle();
    std::vector<std::int64_t> registry, sorted;
    for (const auto& p : central->scannedPeripherals()) registry.push_back(p->RSSI());
    for (const auto& p : central->peripherals()) sorted.push_back(p->RSSI());
    EXPECT_EQ(registry, (std::vector<std::int64_t>{-80, -40, -60}));
    EXPECT_EQ(sorted, (std::vector<std::int64_t>{-40, -60, -80}));
}

TEST_F(LGCentralManagerTest, TimedScanStoppedEarlyCompletesOnceAndItsTimerNeverFires) {
    addDevice("Phone");
    auto central = manager();
    central->setDiscoveredPeripheralCallback([](const auto&) {});
    std::vector<double> completions;
    std::size_t listed = 0;
    central->scanForPeripheralsByInterval(10, [&](const std::vector<std::shared_ptr<LGPeripheral>>& list) {
        completions.push_back(std::chrono::duration<double>(loop().now().time_since_epoch()).count());
        listed = list.size();
    });
    EXPECT_TRUE(central->isScanning());
    advance(3);
    central->stopScanForPeripherals();
    EXPECT_FALSE(central->isScanning());
    EXPECT_FALSE(radio->central()->isScanning());
    advance(10);
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_DOUBLE_EQ(completions[0], 3.0);
    EXPECT_EQ(listed, 1u);
}

TEST_F(LGCentralManagerTest, NewTimedScanReplacesThePendingOne) {
    auto central = manager();
    int first = 0, second = 0;
    central->scanForPeripheralsByInterval(10, [&](const auto&) { ++first; });
    advance(4);
    central->scanForPeripheralsByInterval(10, [&](const auto&) { ++second; });
    advance(9);  // past the first timer's time
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 0);
    EXPECT_TRUE(central->isScanning());
    advance(1);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
    EXPECT_FALSE(central->isScanning());
}

TEST_F(LGCentralManagerTest, TimedScanStartedFromACompletionKeepsItsOwnCompletion) {
    auto central = manager();
    int followUp = 0;
    central->scanForPeripheralsByInterval(2, [&](const auto&) {
        central->scanForPeripheralsByInterval(2, [&](const auto&) { ++followUp; });
    });
    advance(2);
    EXPECT_TRUE(central->isScanning());
    advance(2);
    EXPECT_EQ(followUp, 1);
}

TEST_F(LGCentralManagerTest, OpenScanLeavesAPendingTimedScanInForce) {
    auto central = manager();
    int completions = 0;
    central->scanForPeripheralsByInterval(5, [&](const auto&) { ++completions; });
    advance(1);
    central->scanForPeripherals();
    advance(4);
    EXPECT_EQ(completions, 1);
    EXPECT_FALSE(central->isScanning());
}

TEST_F(LGCentralManagerTest, EveryScanEmptiesTheRegistryAndTheNewestWrapperGetsTheEvents) {
    auto device = addDevice("Phone");
    auto central = manager();
    central->setDiscoveredPeripheralCallback([](const auto&) {});
    central->scanForPeripherals();
    runUntilIdle();
    auto older = central->wrapperByPeripheral(device);
    EXPECT_EQ(central->scannedPeripherals().size(), 1u);

    central->scanForPeripherals();
    EXPECT_TRUE(central->scannedPeripherals().empty());
    runUntilIdle();
    auto newer = central->wrapperByPeripheral(device);
    EXPECT_NE(older, newer);
    EXPECT_EQ(newer->cbPeripheral(), older->cbPeripheral());

    // A connection asked for through the older wrapper is reported to the newer one.
    int olderCalls = 0;
    NotificationRecorder connects("LGPeripheralDidConnect");
    older->connectWithCompletion([&](const ErrorPtr&) { ++olderCalls; });
    runUntilIdle();
    EXPECT_EQ(olderCalls, 0);
    ASSERT_EQ(connects.received.size(), 1u);
    EXPECT_EQ(connects.received[0].object, newer);

    int olderServices = 0, newerServices = 0;
    older->discoverServicesWithCompletion([&](const auto&, const ErrorPtr&) { ++olderServices; });
    newer->discoverServicesWithCompletion([&](const auto&, const ErrorPtr&) { ++newerServices; });
    runUntilIdle();
    EXPECT_EQ(olderServices, 0);
    EXPECT_EQ(newerServices, 1);
    EXPECT_EQ(newer->services().size(), 1u);
    EXPECT_TRUE(older->services().empty());
}

TEST_F(LGCentralManagerTest, ScanKeepsTheWrapperOfAConnectedPeripheralWithItsSubscriptions) {
    auto linked = addDevice("Linked");
    auto idle = addDevice("Idle");
    auto central = manager();
    central->setDiscoveredPeripheralCallback([](const auto&) {});
    auto service = discovered(linked);
    auto holder = wrapperOf(linked);
    auto idleBefore = wrapperOf(idle);
    std::vector<Bytes> updates;
    find(service, "2a2c")->setNotifyValue(true, nullptr, [&](const std::optional<Bytes>& value, const ErrorPtr&) {
        updates.push_back(value.value_or(Bytes{}));
    });
    runUntilIdle();

    central->scanForPeripherals();
    runUntilIdle();
    // The idle device gets a fresh wrapper; the linked one keeps its own, which stays the
    // platform peripheral's delegate.
    EXPECT_NE(wrapperOf(idle), idleBefore);
    EXPECT_EQ(wrapperOf(linked), holder);
    EXPECT_EQ(central->scannedPeripherals().front(), holder);

    EXPECT_TRUE(linked->notify(simCharacteristic(linked, 0x2A2C), Bytes{0x07}));
    runUntilIdle();
    EXPECT_EQ(updates, (std::vector<Bytes>{Bytes{0x07}}));

    int disconnects = 0;
    holder->disconnectWithCompletion([&](const ErrorPtr&) { ++disconnects; });
    runUntilIdle();
    EXPECT_EQ(disconnects, 1);

    // Once the link is down, the next scan period builds a fresh wrapper for it as well.
    central->scanForPeripherals();
    runUntilIdle();
    EXPECT_NE(wrapperOf(linked), holder);
    advance(2);
    EXPECT_EQ(disconnects, 1);
}

TEST_F(LGCentralManagerTest, RetrievalUsesTheRegistryAndKeepsThePlatformOrder) {
    auto first = addDevice("One");
    auto second = addDevice("Two");
    auto central = manager();
    auto existing = central->wrapperByPeripheral(second);
    auto list = central->retrievePeripheralsWithIdentifiers({second->identifier(), UUID::random(), first->identifier()});
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], existing);
    EXPECT_EQ(list[1]->cbPeripheral(), first);
    EXPECT_EQ(central->scannedPeripherals().size(), 2u);

    second->setConnectedToSystem(true);
    auto linked = central->retrieveConnectedPeripheralsWithServices({UUID::from16(0x180A)});
    ASSERT_EQ(linked.size(), 1u);
    EXPECT_EQ(linked[0], existing);
    EXPECT_TRUE(central->retrieveConnectedPeripheralsWithServices({UUID::from16(0x180F)}).empty());
}

TEST_F(LGCentralManagerTest, ResetReplacesTheCentralWhichReportsItsStateAgain) {
    auto device = addDevice("Phone");
    auto central = manager();
    std::vector<std::int64_t> states;
    central->setStateChangedCallback([&](std::int64_t state) { states.push_back(state); });
    central->setDiscoveredPeripheralCallback([](const auto&) {});
    auto wrapper = connected(device);
    central->scanForPeripherals();
    auto old = radio->central();
    ASSERT_TRUE(old->isScanning());

    central->resetCentralManager();
    EXPECT_FALSE(old->isScanning());
    EXPECT_NE(central->manager(), old);
    EXPECT_TRUE(central->isScanning());
    EXPECT_EQ(device->state(), CBPeripheralStateDisconnected);
    runUntilIdle();
    EXPECT_EQ(states, (std::vector<std::int64_t>{5, 5}));
    EXPECT_EQ(radio->centralCount(), 2u);
}

TEST_F(LGCentralManagerTest, FailedConnectionIsLoggedOnTheEventQueue) {
    auto device = addDevice("Phone");
    auto error = PlatformError::centralError(CBErrorConnectionFailed);
    device->setConnectFailure(error);
    auto wrapper = wrapperOf(device);
    ErrorPtr received;
    bool loggedBeforeTheHop = false;
    const std::string line = "fail " + error->description();
    wrapper->connectWithCompletion([&](const ErrorPtr& e) {
        received = e;
        loggedBeforeTheHop = logs.contains(line);
    });
    runUntilIdle();
    EXPECT_EQ(logs.count(line), 1u);
    EXPECT_TRUE(loggedBeforeTheHop);
    EXPECT_EQ(received, error);
}

}  // namespace
}  // namespace tandril::test
