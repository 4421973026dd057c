// The virtual machine's scenarios (tests/vm/guest/scenarios) over the stand-in bluetoothd:
// the same phone, the same steps and the same headless driver as against the real
// bluetoothd. The driver's reports must match, line for line, the traces the real stack
// gave (tests/vm/expected/<scenario>.trace, written by `scripts/test-bluez-vm
// --refresh-traces`); only times and addresses differ, and the reports carry neither.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ble/LGCentralManager.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "bluez/BluezFixture.hpp"
#include "engine/CNCacheConsent.hpp"
#include "engine/CNConsumerManager.hpp"
#include "engine/CNHelperInstaller.hpp"
#include "engine/TestEngine.hpp"
#include "model/CNNotificationApplicationManager.hpp"
#include "platform/linux/bluez/BluezAdapter.hpp"
#include "sim/SimPeripheral.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimScenario.hpp"
#include "tandril-bluez-central/BluezCentralDriver.hpp"

namespace tandril::test {
namespace {

using namespace std::chrono_literals;
using Trace = std::vector<std::string>;

std::filesystem::path expectedFolder() {
    if (const char* source = std::getenv("TANDRIL_SOURCE_DIR"))
        return std::filesystem::path(source) / "tests" / "vm" / "expected";
    return std::filesystem::path(__FILE__).parent_path().parent_path() / "vm" / "expected";
}

// The lines of a trace file; empty lines and lines starting with '#' are left out.
Trace readTrace(const std::filesystem::path& path) {
    Trace lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') lines.push_back(line);
    return lines;
}

// The liberties a comparison takes, both a matter of timing. In a run of "added" reports,
// notifications of different applications may interleave in any order (a notification waits
// for its application's first look-up, whose network answer comes when it comes); those of
// one application keep their order, and each run is stably ordered by application. And a new
// bluetoothd shows its adapter unpowered and powers it on moments later: whether the agent
// reads the new tree before or after, "state 1, state 4, state 5" or "state 1, state 5", is
// written as the latter. And the pairing agent's questions ("confirm NAME CODE") come on their
// own D-Bus path, racing the engine's reports, with a random code, and in the machine one
// bluetoothd serves both sides, so its one default agent (the agent's) may be asked for the
// phone side's device, named after the desktop's adapter: they are compared by number only,
// as "confirm" lines at the trace's end. The host script (scripts/test-bluez-vm) compares
// the machine's traces the same way.
std::string applicationOf(const std::string& report) {
    const auto open = report.rfind(" (");
    return open == std::string::npos ? std::string() : report.substr(open);
}
Trace canonical(Trace raw) {
    Trace trace;
    std::size_t confirms = 0;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const bool passing = raw[i] == "state 4" && i > 0 && raw[i - 1] == "state 1" && i + 1 < raw.size() &&
                             raw[i + 1] == "state 5";
        if (passing) continue;
        if (raw[i].rfind("confirm ", 0) == 0) ++confirms;
        else trace.push_back(raw[i]);
    }
    auto isAdded = [](const std::string& line) { return line.rfind("added ", 0) == 0; };
    for (auto it = trace.begin(); it != trace.end();) {
        if (!isAdded(*it)) {
            ++it;
            continue;
        }
        auto end = std::find_if_not(it, trace.end(), isAdded);
        std::stable_sort(it, end, [](const std::string& a, const std::string& b) {
            return applicationOf(a) < applicationOf(b);
        });
        it = end;
    }
    trace.insert(trace.end(), confirms, "confirm");
    return trace;
}

std::string joined(const Trace& trace) {
    std::ostringstream out;
    for (const auto& line : trace) out << "  " << line << "\n";
    return out.str();
}

class BluezCentralDriverTest : public BluezFixture {
protected:
    ~BluezCentralDriverTest() override {
        PlatformAdapter::setPairingConfirmer(nullptr);
        engine.reset();
        driver.reset();
        resetSharedEngineState();
        PlatformAdapter::setCurrent(nullptr);
        adapter.reset();
        loop().runUntilIdle();
    }

    // The stand-in as bluetoothd runs in the machine: pairing asks the default agent (the
    // agent the adapter registers) to confirm a code.
    void startStandIn() {
        auto options = standInOptions();
        options.pairingPasskey = 241272;
        restartStandIn(options);
    }

    // tandril-bluez-central's main, on the virtual loop.
    void startCentral() {
        BluezAdapter::Options options;
        options.busAddress = bus.address();
        adapter = BluezAdapter::create(options);
        PlatformAdapter::setCurrent(adapter);
        onSettle = [this] { adapter->sync(2000ms); };
        resetSharedEngineState();
        engine = createTestEngine();
        driver = std::make_shared<BluezCentralDriver>([this](const std::string& report) {
            reports.push_back(report);
            times.emplace_back(loop().now(), std::chrono::steady_clock::now());
        });
        engine->setDelegate(driver);
        PlatformAdapter::setPairingConfirmer(driver);
        driver->start(engine);
    }

    std::size_t count(const std::string& prefix) const {
        std::size_t n = 0;
        for (const auto& report : reports)
            if (report.rfind(prefix, 0) == 0) ++n;
        return n;
    }
    // Moves time on until `prefix` was reported `n` times in all (at most `seconds`).
    bool waitFor(const std::string& prefix, std::size_t n, double seconds) {
        return advanceUntil([&] { return count(prefix) >= n; }, seconds);
    }
    // The reports since the last call: one scenario's trace.
    Trace take() {
        Trace trace(reports.begin() + static_cast<long>(taken), reports.end());
        taken = reports.size();
        return trace;
    }
    // Compares a scenario's trace with the real bluetoothd's.
    void expectTrace(const std::string& scenario, const Trace& trace) {
        const auto path = expectedFolder() / (scenario + ".trace");
        ASSERT_TRUE(std::filesystem::exists(path)) << path << " is missing; the stand-in's trace:\n" << joined(trace);
        const Trace expected = readTrace(path);
        EXPECT_EQ(canonical(trace), canonical(expected)) << scenario << ": the stand-in's trace\n"
                                   << joined(trace) << "the real bluetoothd's (" << path << ")\n"
                                   << joined(expected);
    }
    // The machine's reconnected(): the next "did", the phone's announcement of what it holds
    // (the simulated phone makes it when the link's subscription comes back), then a new
    // notification.
    void reconnected(const std::string& scenario, std::size_t dids) {
        ASSERT_TRUE(waitFor("did ", dids, 20)) << joined(reports);
        const auto holds = iphone->provider().notifications().size();
        ASSERT_TRUE(waitFor("added ", addedAtFault + holds, 20)) << joined(reports);
        iphone->provider().addNotification("com.example.mail", "After " + scenario, "", "Back again");
        ASSERT_TRUE(waitFor("added After " + scenario + " ", 1, 20)) << joined(reports);
        advance(1);
    }

    std::shared_ptr<BluezAdapter> adapter;
    std::shared_ptr<CNConsumerManager> engine;
    std::shared_ptr<BluezCentralDriver> driver;
    std::shared_ptr<SimPhone> iphone;
    Trace reports;
    // When each report came: virtual time (the stand-in's and the engine's timers) and real
    // time (D-Bus and the threads).
    std::vector<std::pair<TimePoint, std::chrono::steady_clock::time_point>> times;
    std::size_t taken = 0;
    // The "added" reports before the scenario's fault (the machine's mark()).
    std::size_t addedAtFault = 0;
};

TEST_F(BluezCentralDriverTest, TheMachinesScenariosGiveTheRealBluetoothdsTraces) {
    startStandIn();
    iphone = phone()
                 .app("com.example.chat", "Chat")
                 .app("com.example.mail", "Mail")
                 .notification("com.example.chat", "Anna", "", "See you at 8")
                 .notification("com.example.mail", "Invoice 42", "", "Due on Friday")
                 .notification("com.example.chat", "Ben", "", "On my way")
                 .bonded(false)
                 .acceptsPairing(true)
                 .build();

    // 1. First connection: found, explored, chosen, paired by its first encrypted access.
    const auto virtualStart = loop().now();
    const auto realStart = std::chrono::steady_clock::now();
    startCentral();
    ASSERT_TRUE(waitFor("added ", 3, 60)) << joined(reports);
    const auto first = static_cast<std::size_t>(
        std::find_if(reports.begin(), reports.end(), [](const std::string& r) { return r.rfind("added ", 0) == 0; }) -
        reports.begin());
    std::printf("[measure] stand-in: central started to first notification %.2f s virtual, %.0f ms real\n",
                std::chrono::duration<double>(times[first].first - virtualStart).count(),
                std::chrono::duration<double, std::milli>(times[first].second - realStart).count());
    advance(1);
    EXPECT_EQ(standIn->confirmationCount(), 1u);
    expectTrace("first-connection", take());

    // 2. Five new notifications one by one, then a withdrawal.
    std::uint32_t ben = 0;
    for (const auto& notification : iphone->provider().notifications())
        if (notification.title == "Ben") ben = notification.uid;
    double realMs = 0;
    for (int n = 1; n <= 5; ++n) {
        const std::string title = "New " + std::to_string(n);
        const auto sent = std::chrono::steady_clock::now();
        iphone->provider().addNotification("com.example.chat", title, "", "Message " + std::to_string(n));
        ASSERT_TRUE(waitFor("added " + title + " ", 1, 15)) << joined(reports);
        realMs += std::chrono::duration<double, std::milli>(times.back().second - sent).count();
    }
    std::printf("[measure] stand-in: per-notification latency %.1f ms real mean over 5\n", realMs / 5);
    iphone->provider().removeNotification(ben);
    ASSERT_TRUE(waitFor("removed Ben", 1, 15)) << joined(reports);
    advance(1);
    expectTrace("new-and-withdrawn", take());

    // 3. The phone drops the link; the engine comes back with the bond.
    addedAtFault = count("added ");
    iphone->dropLink();
    reconnected("reconnect-after-phone-drop", 2);
    expectTrace("reconnect-after-phone-drop", take());

    // 4. bluetoothd is told to exit and started again while connected.
    addedAtFault = count("added ");
    standIn->terminate();
    advance(1);
    ASSERT_TRUE(standIn->start());
    reconnected("bluetoothd-restart", 3);
    expectTrace("bluetoothd-restart", take());

    // 5. The agent's controller powered off and on again.
    addedAtFault = count("added ");
    standIn->setPowered(false);
    advance(1);
    standIn->setPowered(true);
    reconnected("adapter-power-cycle", 4);
    expectTrace("adapter-power-cycle", take());
    EXPECT_EQ(standIn->confirmationCount(), 1u);
}

// The iPhone without the companion application (the machine's scenarios 6 and 7): the agent
// allows iPhones and advertises as "Desk", the phone connects when tapped, the driver
// confirms the code, the engine serves the notification service alone; then the phone drops
// the link and comes back by itself.
TEST_F(BluezCentralDriverTest, TheStockIPhoneScenariosGiveTheRealBluetoothdsTraces) {
    startStandIn();
    iphone = phone()
                 .stockIPhone()
                 .advertisedName("iPhone")
                 .pairingAnswer(SimPeripheral::PairingAnswer::Accept)
                 .app("com.example.chat", "Chat")
                 .app("com.example.mail", "Mail")
                 .notification("com.example.chat", "Anna", "", "See you at 8")
                 .build();
    startCentral();
    engine->setName(std::string("Desk"));
    engine->setAllowsIncomingPhones(true);
    ASSERT_TRUE(advanceUntil([&] { return standIn->isAdvertising(); }, 20));
    ASSERT_TRUE(iphone->tap());
    ASSERT_TRUE(waitFor("added Anna ", 1, 60)) << joined(reports);
    advance(1);
    EXPECT_TRUE(iphone->isBonded());
    expectTrace("stock-first-connection", take());

    addedAtFault = count("added ");
    iphone->dropLink();
    reconnected("stock-reconnect-after-drop", 2);
    expectTrace("stock-reconnect-after-drop", take());
}

}  // namespace
}  // namespace tandril::test
