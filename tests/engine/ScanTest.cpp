// Scan periods and the preferred device.

#include <gtest/gtest.h>

#include <algorithm>

#include "ble/platform/PlatformConstants.hpp"
#include "engine/ConnectionFixture.hpp"
#include "engine/TestEngine.hpp"
#include "foundation/UserDefaults.hpp"
#include "sim/SimPeripheral.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimRadio.hpp"

namespace tandril::test {
namespace {

using Lines = std::vector<std::string>;

class ScanTest : public ConnectionFixture {};

TEST_F(ScanTest, StartingTwiceLogsAndTellsTheDelegateOnce) {
    engine->startScanning();
    engine->startScanning();
    EXPECT_TRUE(engine->isScanning());
    EXPECT_EQ(linesStartingWith("[CONSUMER] "), (Lines{"[CONSUMER] Start scanning...", "[CONSUMER] Already scanning..."}));
    EXPECT_EQ(delegate->count("start"), 1u);
    engine->stopScanning();
    engine->stopScanning();
    EXPECT_EQ(logs.lines().back(), "[CONSUMER] We're not scanning...");
    EXPECT_EQ(delegate->count("stop"), 1u);
    expectQuiescent();
}

TEST_F(ScanTest, ScanRestartsEverySixtySecondsWithEmptiedLists) {
    auto speaker = SimPeripheral::create("Speaker");
    speaker->setManufacturerData(SimPhone::appleManufacturerData());
    radio->addPeripheral(speaker);
    engine->startScanning();
    advance(30);
    ASSERT_EQ(engine->discoveredPeripherals().size(), 1u);
    ASSERT_EQ(engine->unverifiedPeripherals().size(), 1u);
    speaker->setAdvertising(false);
    logs.clear();
    delegate->events.clear();

    advance(29.9);
    EXPECT_TRUE(logs.lines().empty());
    advance(0.1);
    EXPECT_EQ(linesStartingWith("[CONSUMER] "),
              (Lines{"[CONSUMER] Resetting scan...", "[CONSUMER] Stop scanning...", "[CONSUMER] Start scanning..."}));
    EXPECT_EQ(delegate->events, (Lines{"stop", "start"}));
    EXPECT_TRUE(engine->discoveredPeripherals().empty());
    EXPECT_TRUE(engine->unverifiedPeripherals().empty());
    EXPECT_TRUE(engine->availablePeripherals().empty());

    advance(60);
    EXPECT_EQ(delegate->events, (Lines{"stop", "start", "stop", "start"}));
    expectQuiescent();
}

TEST_F(ScanTest, StoppingCancelsTheRestartAndResetLeavesItHarmless) {
    engine->startScanning();
    engine->stopScanning();
    advance(120);
    EXPECT_EQ(logs.count("[CONSUMER] Resetting scan..."), 0u);

    const auto centrals = radio->centralCount();
    engine->startScanning();
    delegate->events.clear();
    engine->reset();
    EXPECT_FALSE(engine->isScanning());
    EXPECT_EQ(radio->centralCount(), centrals + 1);
    runUntilIdle();
    EXPECT_EQ(delegate->events, Lines{"state 5"});
    logs.clear();
    advance(60);  // the restart falls due while idle and does nothing
    EXPECT_TRUE(logs.lines().empty());
    expectQuiescent();
}

// The agent scans again after a lost link and on every powered-on report. When the link was
// lost to a power-off, the first request arrives while the adapter is already off and the
// second meets the engine's own scan; the radio still runs that scan once it is back on, so
// the phone is found again at once, not at the next scan period.
TEST_F(ScanTest, APowerCycleFindsThePreferredPhoneAgainWithoutWaitingForTheScanPeriod) {
    phone().app("com.example.chat", "Chat").pairedClassicDevice("iPhone").build();
    storePreference();
    engine->startScanning();
    advance(10);
    ASSERT_EQ(delegate->count("did"), 1u);

    radio->setState(CBCentralManagerStatePoweredOff);
    runUntilIdle();
    ASSERT_EQ(delegate->count("disconnected"), 1u);
    engine->startScanning();
    radio->setState(CBCentralManagerStatePoweredOn);
    logs.clear();
    engine->startScanning();
    EXPECT_EQ(logs.lines(), Lines{"[CONSUMER] Already scanning..."});
    advance(10);
    EXPECT_EQ(delegate->count("did"), 2u);
    EXPECT_EQ(logs.count("[CONSUMER] Resetting scan..."), 0u);
    expectQuiescent();
}

TEST_F(ScanTest, PreferredDeviceIsKeptInTheStoreAsCanonicalText) {
    auto store = std::make_shared<MemoryPreferredDeviceStore>();
    auto withStore = createTestEngine(store);
    EXPECT_EQ(withStore->preferredUUID(), std::nullopt);
    const auto uuid = UUID::fromStringOrNil("5a1d0c3e-7b1f-4c2a-9e3d-0f6b8a4c2d10");
    withStore->setPreferredUUID(uuid);
    EXPECT_EQ(store->stored, "5A1D0C3E-7B1F-4C2A-9E3D-0F6B8A4C2D10");
    EXPECT_EQ(withStore->preferredUUID(), uuid);

    withStore->setPreferredUUID(std::nullopt);
    EXPECT_EQ(store->stored, std::nullopt);
    EXPECT_EQ(withStore->preferredUUID(), std::nullopt);

    // Read afresh on every access; only a full 128-bit identifier names a phone.
    for (const char* bad : {"not a uuid", "180A", ""}) {
        store->stored = bad;
        EXPECT_EQ(withStore->preferredUUID(), std::nullopt) << bad;
    }
}

}  // namespace
}  // namespace tandril::test
