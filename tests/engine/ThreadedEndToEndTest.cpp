// The engine as programs run it: the real run loop in real time, the BLE layer's events on
// a threaded serial queue, the simulated phone and radio. Built and run under
// ThreadSanitizer by the tsan preset (ctest label "tsan"); every wait is for a condition,
// with a generous deadline.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "ble/LGCentralManager.hpp"
#include "ble/LGPeripheral.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "engine/TestEngine.hpp"
#include "engine/CNCacheConsent.hpp"
#include "engine/CNConsumerManager.hpp"
#include "engine/CNHelperInstaller.hpp"
#include "engine/PhoneLink.hpp"
#include "engine/RecordingConsumerDelegate.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/Paths.hpp"
#include "foundation/RealRunLoop.hpp"
#include "foundation/UserDefaults.hpp"
#include "model/CNNotificationApplicationManager.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimRadio.hpp"
#include "sim/SimScenario.hpp"
#include "support/LogCapture.hpp"
#include "support/TempDir.hpp"

namespace tandril::test {
namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::string>;

class ThreadedEndToEndTest : public ::testing::Test {
protected:
    ThreadedEndToEndTest() {
        RunLoop::setMain(&loop);
        DispatchQueue::setFactory(nullptr);  // threaded queues, as in the programs
        Paths::setApplicationSupportDirectory(home.file("Application Support"));
        Paths::setConfigDirectory(home.file("config"));
        Paths::setDefaultsDirectory(home.file("config/Tandril"));
        Paths::setSyncWrites(false);
        UserDefaults::resetStandardUserDefaults();
        radio = SimRadio::install();
        resetSharedEngineState();
        delegate = std::make_shared<RecordingConsumerDelegate>();
        engine = createTestEngine();
        engine->setDelegate(delegate);
    }

    ~ThreadedEndToEndTest() override {
        engine.reset();
        resetSharedEngineState();
        PlatformAdapter::setCurrent(nullptr);
        radio.reset();
        UserDefaults::resetStandardUserDefaults();
        Paths::setApplicationSupportDirectory("");
        Paths::setConfigDirectory("");
        Paths::setDefaultsDirectory("");
        Paths::setSyncWrites(true);
        RunLoop::setMain(nullptr);
    }

    // Runs the loop until `done()` holds, checking after every job and on a short
    // heartbeat, or until `limit` has passed. Returns whether `done()` held.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        bool met = false;
        std::function<void()> check = [&] {
            met = done();
            if (met || std::chrono::steady_clock::now() >= deadline) {
                loop.stop();
                return;
            }
            loop.schedule(5ms, check);
        };
        loop.post(check);
        loop.run();
        // Work still queued belongs to the next call.
        return met;
    }

    RealRunLoop loop;
    TempDir home;
    LogCapture logs;
    std::shared_ptr<SimRadio> radio;
    std::shared_ptr<RecordingConsumerDelegate> delegate;
    std::shared_ptr<CNConsumerManager> engine;
};

TEST_F(ThreadedEndToEndTest, ScannedPhoneConnectsAndItsNotificationsComeAndGo) {
    PhoneLink::catalogueKnows("com.example.chat", "Chat");
    auto iphone = SimScenario(radio)
                      .app("com.example.chat", "Chat")
                      .notification("com.example.chat", "Anna", "", "See you at 8")
                      .pairedClassicDevice("iPhone")
                      .build();
    engine->setPreferredUUID(UUID::random());
    ASSERT_TRUE(runUntil([&] { return delegate->count("state 5") == 1; }));
    engine->startScanning();

    ASSERT_TRUE(runUntil([&] { return delegate->count("added Anna") == 1; }));
    EXPECT_EQ(delegate->connectionEvents(),
              (Events{"phase 0", "will", "phase 1", "phase 2", "phase 3", "did", "added Anna"}));
    ASSERT_NE(engine->connectedPeripheral(), nullptr);
    EXPECT_EQ(engine->connectedPeripheral()->cbPeripheral()->identifier(), iphone->identifier());

    auto& provider = iphone->provider();
    std::vector<std::uint32_t> uids;
    for (const char* title : {"Ben", "Cleo", "Dan"}) {
        uids.push_back(provider.addNotification("com.example.chat", title, "", "Hi"));
    }
    ASSERT_TRUE(runUntil([&] { return delegate->count("added Dan") == 1; }));
    EXPECT_EQ(engine->activeNotifications().size(), 4u);

    provider.removeNotification(uids[1]);
    ASSERT_TRUE(runUntil([&] { return delegate->count("removed Cleo") == 1; }));
    EXPECT_EQ(engine->activeNotifications().size(), 3u);

    // A scan that starts while the phone is linked (a wake) changes nothing for the link.
    engine->startScanning();
    provider.addNotification("com.example.chat", "Eve", "", "Late");
    ASSERT_TRUE(runUntil([&] { return delegate->count("added Eve") == 1; }));
    engine->stopScanning();

    engine->disconnect();
    ASSERT_TRUE(runUntil([&] { return delegate->count("disconnected") == 1; }));
    EXPECT_EQ(engine->connectedPeripheral(), nullptr);
    EXPECT_EQ(logs.count("[CONSUMER] Disconnected on request! (Error: (null))"), 1u);
}

}  // namespace
}  // namespace tandril::test
