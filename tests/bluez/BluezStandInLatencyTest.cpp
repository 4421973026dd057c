// Measures what D-Bus adds between the radio and the BLE layer: the way of one value
// signal from the stand-in bluetoothd through the BlueZ adapter to the peripheral's
// delegate, and a burst of 100 pre-existing notifications after a subscription, each beside
// the same over the simulated radio directly. The figures are printed; the checks are that
// every value arrives, whole and in order.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>

#include "ble/platform/PlatformCentral.hpp"
#include "ble/platform/PlatformCentralDelegate.hpp"
#include "ble/platform/PlatformCharacteristic.hpp"
#include "ble/platform/PlatformPeripheral.hpp"
#include "ble/platform/PlatformPeripheralDelegate.hpp"
#include "ble/platform/PlatformService.hpp"
#include "bluez/BluezFixture.hpp"
#include "foundation/DispatchQueue.hpp"
#include "platform/linux/bluez/BluezAdapter.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimRadio.hpp"

namespace tandril::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Takes a central's and its peripherals' events, keeping the values in arrival order.
class Recorder : public PlatformCentralDelegate, public PlatformPeripheralDelegate {
public:
    int state = 0;
    std::shared_ptr<PlatformPeripheral> found;
    bool connected = false;
    bool servicesDone = false;
    std::size_t characteristicsDone = 0;
    bool subscribed = false;
    std::vector<Bytes> values;
    std::vector<Clock::time_point> arrivals;

    void centralManagerDidUpdateState(const std::shared_ptr<PlatformCentral>&, int newState) override { state = newState; }
    void centralManagerDidDiscoverPeripheral(const std::shared_ptr<PlatformCentral>&,
                                             const std::shared_ptr<PlatformPeripheral>& peripheral, const Dictionary&,
                                             std::int64_t) override {
        if (!found) found = peripheral;
    }
    void centralManagerDidConnectPeripheral(const std::shared_ptr<PlatformCentral>&,
                                            const std::shared_ptr<PlatformPeripheral>&) override {
        connected = true;
    }
    void centralManagerDidFailToConnectPeripheral(const std::shared_ptr<PlatformCentral>&,
                                                  const std::shared_ptr<PlatformPeripheral>&, const ErrorPtr&) override {}
    void centralManagerDidDisconnectPeripheral(const std::shared_ptr<PlatformCentral>&,
                                               const std::shared_ptr<PlatformPeripheral>&, const ErrorPtr&) override {
        connected = false;
    }
    void peripheralDidUpdateName(const std::shared_ptr<PlatformPeripheral>&) override {}
    void peripheralDidDiscoverServices(const std::shared_ptr<PlatformPeripheral>&, const ErrorPtr&) override {
        servicesDone = true;
    }
    void peripheralDidDiscoverCharacteristicsForService(const std::shared_ptr<PlatformPeripheral>&,
                                                        const std::shared_ptr<PlatformService>&, const ErrorPtr&) override {
        ++characteristicsDone;
    }
    void peripheralDidUpdateValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>&,
                                                   const std::shared_ptr<PlatformCharacteristic>&,
                                                   const std::optional<Bytes>& value, const ErrorPtr& error) override {
        if (error || !value) return;
        values.push_back(*value);
        arrivals.push_back(Clock::now());
    }
    void peripheralDidWriteValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>&,
                                                  const std::shared_ptr<PlatformCharacteristic>&, const ErrorPtr&) override {}
    void peripheralDidUpdateNotificationStateForCharacteristic(const std::shared_ptr<PlatformPeripheral>&,
                                                               const std::shared_ptr<PlatformCharacteristic>&,
                                                               const ErrorPtr& error) override {
        subscribed = !error;
    }
    void peripheralDidUpdateRSSI(const std::shared_ptr<PlatformPeripheral>&, std::optional<std::int64_t>,
                                 const ErrorPtr&) override {}
};

// The UID of a Notification Source event (bytes 4-7, little-endian).
std::uint32_t uidOf(const Bytes& event) {
    if (event.size() < 8) return 0;
    return static_cast<std::uint32_t>(event[4]) | static_cast<std::uint32_t>(event[5]) << 8 |
           static_cast<std::uint32_t>(event[6]) << 16 | static_cast<std::uint32_t>(event[7]) << 24;
}

double microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

class BluezStandInLatencyTest : public BluezFixture {
protected:
    ~BluezStandInLatencyTest() override {
        central.reset();
        adapter.reset();
        loop().runUntilIdle();
    }

    // A central over BlueZ (through the stand-in) or over the simulated radio directly.
    void makeCentral(bool overBluez) {
        queue = DispatchQueue::create("measure");
        if (overBluez) {
            // A central made on the radio directly replaced the stand-in's: restart it.
            standIn->stop();
            ASSERT_TRUE(standIn->start());
            BluezAdapter::Options options;
            options.busAddress = bus.address();
            adapter = BluezAdapter::create(options);
            onSettle = [this] { adapter->sync(2000ms); };
            central = adapter->createCentral(recorder, queue);
        } else {
            central = radio->createCentral(recorder, queue);
        }
        ASSERT_TRUE(advanceUntil([&] { return recorder->state == 5; }, 5));
    }

    // Connects to the phone and finds its Notification Source.
    void linkTo(const std::shared_ptr<SimPhone>& phone) {
        central->scanForPeripheralsWithServices(std::nullopt, std::nullopt);
        ASSERT_TRUE(advanceUntil([&] { return recorder->found != nullptr; }));
        central->stopScan();
        peripheral = recorder->found;
        peripheral->setDelegate(recorder);
        central->connectPeripheral(peripheral, std::nullopt);
        ASSERT_TRUE(advanceUntil([&] { return recorder->connected; }));
        peripheral->discoverServices(std::nullopt);
        ASSERT_TRUE(advanceUntil([&] { return recorder->servicesDone; }));
        for (const auto& service : peripheral->services()) {
            if (service->UUID() != SimPhone::notificationServiceUUID()) continue;
            peripheral->discoverCharacteristics(std::nullopt, service);
            ASSERT_TRUE(advanceUntil([&] { return recorder->characteristicsDone == 1; }));
            for (const auto& c : service->characteristics())
                if (c->UUID() == SimPhone::notificationSourceUUID()) source = c;
        }
        ASSERT_NE(source, nullptr);
        (void)phone;
    }

    // One notification at a time: from the phone's event to the delegate, in microseconds.
    std::vector<double> measureSingles(const std::shared_ptr<SimPhone>& phone, std::size_t count) {
        std::vector<double> out;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t before = recorder->values.size();
            const auto start = Clock::now();
            phone->provider().addNotification("com.example.chat", "Anna", "", "Hi " + std::to_string(i));
            if (!pumpUntil([&] { return recorder->values.size() == before + 1; }, 5000ms)) break;
            out.push_back(microseconds(recorder->arrivals.back() - start));
        }
        return out;
    }

    // Subscribes to the Notification Source of a phone holding `count` notifications; the
    // time from the request to the last of them, in microseconds.
    double measureBurst(std::size_t count) {
        recorder->values.clear();
        const auto start = Clock::now();
        peripheral->setNotifyValue(true, source);
        if (!pumpUntil([&] { return recorder->values.size() >= count; }, 20000ms)) return -1;
        return microseconds(recorder->arrivals[count - 1] - start);
    }

    static void print(const std::string& what, std::vector<double> samples) {
        if (samples.empty()) return;
        std::sort(samples.begin(), samples.end());
        const double median = samples[samples.size() / 2];
        const double p95 = samples[std::min(samples.size() - 1, samples.size() * 95 / 100)];
        std::cout << "[measure] " << what << ": median " << median << " us, p95 " << p95 << " us (" << samples.size()
                  << " samples)" << std::endl;
    }

    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<DispatchQueue> queue;
    std::shared_ptr<BluezAdapter> adapter;
    std::shared_ptr<PlatformCentral> central;
    std::shared_ptr<PlatformPeripheral> peripheral;
    std::shared_ptr<PlatformCharacteristic> source;
};

TEST_F(BluezStandInLatencyTest, OneValueSignalToTheDelegate) {
    for (bool overBluez : {false, true}) {
        SCOPED_TRACE(overBluez);
        auto phone = this->phone().bonded(true).build();
        recorder = std::make_shared<Recorder>();
        makeCentral(overBluez);
        linkTo(phone);
        peripheral->setNotifyValue(true, source);
        ASSERT_TRUE(advanceUntil([&] { return recorder->subscribed; }));
        recorder->values.clear();
        recorder->arrivals.clear();
        const auto samples = measureSingles(phone, 200);
        ASSERT_EQ(samples.size(), 200u);
        for (std::size_t i = 1; i < recorder->values.size(); ++i)
            EXPECT_EQ(uidOf(recorder->values[i]), uidOf(recorder->values[i - 1]) + 1);
        print(overBluez ? "value signal to delegate, over BlueZ (stand-in + adapter)"
                        : "value to delegate, simulated radio",
              samples);
        central.reset();
        adapter.reset();
        onSettle = nullptr;
        radio->removePeripheral(phone);
        settle();
    }
}

TEST_F(BluezStandInLatencyTest, ABurstOf100PreExistingNotificationsArrivesWholeAndInOrder) {
    for (bool overBluez : {false, true}) {
        SCOPED_TRACE(overBluez);
        auto scenario = this->phone().bonded(true);
        for (int i = 0; i < 100; ++i) scenario.notification("com.example.chat", "Anna", "", "Message " + std::to_string(i));
        auto phone = scenario.build();
        recorder = std::make_shared<Recorder>();
        makeCentral(overBluez);
        linkTo(phone);
        const double took = measureBurst(100);
        ASSERT_GE(took, 0) << "the burst did not arrive";
        ASSERT_EQ(recorder->values.size(), 100u);
        for (std::size_t i = 0; i < 100; ++i) EXPECT_EQ(uidOf(recorder->values[i]), phone->provider().notifications()[i].uid);
        std::cout << "[measure] burst of 100 from subscription to the last value, "
                  << (overBluez ? "over BlueZ (stand-in + adapter)" : "simulated radio") << ": " << took / 1000.0
                  << " ms" << std::endl;
        central.reset();
        adapter.reset();
        onSettle = nullptr;
        radio->removePeripheral(phone);
        settle();
    }
}

}  // namespace
}  // namespace tandril::test
