// Scan periods and the preferred device.

#include <gtest/gtest.h>

#include <algorithm>

#include "engine/ConnectionFixture.hpp"
#include "foundation/UserDefaults.hpp"
#include "sim/SimPeripheral.hpp"
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

TEST_F(ScanTest, PreferredDeviceIsKeptInTheAgentDefaults) {
    EXPECT_EQ(engine->preferredUUID(), std::nullopt);
    const auto uuid = UUID::random();
    engine->setPreferredUUID(uuid);
    EXPECT_EQ(engine->preferredUUID(), uuid);
    UserDefaults stored("com.Varn.Glimwick");
    EXPECT_EQ(stored.stringForKey("CNConsumerManagerPreferredUUID"), uuid.UUIDString());

    engine->setPreferredUUID(std::nullopt);
    EXPECT_EQ(engine->preferredUUID(), std::nullopt);
    EXPECT_EQ(UserDefaults("com.Varn.Glimwick").objectForKey("CNConsumerManagerPreferredUUID"), Value());

    for (const char* bad : {"not a uuid", "180A", ""}) {
        UserDefaults("com.Varn.Glimwick").setObject(Value(bad), "CNConsumerManagerPreferredUUID");
        EXPECT_EQ(engine->preferredUUID(), std::nullopt) << bad;
    }
    UserDefaults("com.Varn.Glimwick").setObject(Value(std::int64_t(7)), "CNConsumerManagerPreferredUUID");
    EXPECT_EQ(engine->preferredUUID(), std::nullopt);
}

}  // namespace
}  // namespace tandril::test
