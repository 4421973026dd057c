#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ble/platform/PlatformCentral.hpp"
#include "ble/platform/PlatformCentralDelegate.hpp"
#include "ble/platform/PlatformCharacteristic.hpp"
#include "ble/platform/PlatformPeripheral.hpp"
#include "ble/platform/PlatformPeripheralDelegate.hpp"
#include "ble/platform/PlatformService.hpp"
#include "foundation/DispatchQueue.hpp"

namespace tandril::test {

// Records every platform event as one line, noting events that did not arrive on the
// event queue, and the peripheral's state when a link event is delivered.
class RecordingDelegate : public PlatformCentralDelegate, public PlatformPeripheralDelegate {
public:
    explicit RecordingDelegate(std::shared_ptr<DispatchQueue> queue) : queue_(std::move(queue)) {}

    std::vector<std::string> events;

    void centralManagerDidUpdateState(const std::shared_ptr<PlatformCentral>&, int state) override {
        add("state " + std::to_string(state));
    }
    void centralManagerDidDiscoverPeripheral(const std::shared_ptr<PlatformCentral>&,
                                             const std::shared_ptr<PlatformPeripheral>& peripheral,
                                             const Dictionary&, std::int64_t RSSI) override {
        add("discover " + peripheral->name().value_or("?") + " " + std::to_string(RSSI));
    }
    void centralManagerDidConnectPeripheral(const std::shared_ptr<PlatformCentral>&,
                                            const std::shared_ptr<PlatformPeripheral>& peripheral) override {
        add("connect " + peripheral->name().value_or("?") + " state " + std::to_string(peripheral->state()));
    }
    void centralManagerDidFailToConnectPeripheral(const std::shared_ptr<PlatformCentral>&,
                                                  const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                  const ErrorPtr& error) override {
        add("fail " + peripheral->name().value_or("?") + " " + code(error));
    }
    void centralManagerDidDisconnectPeripheral(const std::shared_ptr<PlatformCentral>&,
                                               const std::shared_ptr<PlatformPeripheral>& peripheral,
                                               const ErrorPtr& error) override {
        add("disconnect " + peripheral->name().value_or("?") + " " + code(error) + " state " +
            std::to_string(peripheral->state()));
    }

    void centralManagerDidStartAdvertising(const std::shared_ptr<PlatformCentral>&, const ErrorPtr& error) override {
        add("advertising " + code(error));
    }
    void centralManagerDidReceiveIncomingConnection(const std::shared_ptr<PlatformCentral>&,
                                                    const std::shared_ptr<PlatformPeripheral>& peripheral) override {
        add("incoming " + peripheral->name().value_or("?") + " state " + std::to_string(peripheral->state()));
    }

    void peripheralDidUpdateName(const std::shared_ptr<PlatformPeripheral>& peripheral) override {
        add("name " + peripheral->name().value_or("?"));
    }
    void peripheralDidDiscoverServices(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                       const ErrorPtr& error) override {
        std::string line = "services";
        for (const auto& service : peripheral->services()) line += " " + service->UUID().UUIDString();
        add(line + " " + code(error));
    }
    void peripheralDidDiscoverCharacteristicsForService(const std::shared_ptr<PlatformPeripheral>&,
                                                        const std::shared_ptr<PlatformService>& service,
                                                        const ErrorPtr& error) override {
        std::string line = "characteristics";
        for (const auto& c : service->characteristics()) line += " " + c->UUID().UUIDString();
        add(line + " " + code(error));
    }
    void peripheralDidUpdateValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>&,
                                                   const std::shared_ptr<PlatformCharacteristic>& characteristic,
                                                   const std::optional<Bytes>& value, const ErrorPtr& error) override {
        add("value " + characteristic->UUID().UUIDString() + " " + (value ? hexString(*value) : "none") + " " +
            code(error));
    }
    void peripheralDidWriteValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>&,
                                                  const std::shared_ptr<PlatformCharacteristic>& characteristic,
                                                  const ErrorPtr& error) override {
        add("written " + characteristic->UUID().UUIDString() + " " + code(error));
    }
    void peripheralDidUpdateNotificationStateForCharacteristic(
        const std::shared_ptr<PlatformPeripheral>&, const std::shared_ptr<PlatformCharacteristic>& characteristic,
        const ErrorPtr& error) override {
        add("notifying " + characteristic->UUID().UUIDString() + " " +
            (characteristic->isNotifying() ? "on " : "off ") + code(error));
    }
    void peripheralDidUpdateRSSI(const std::shared_ptr<PlatformPeripheral>&, std::optional<std::int64_t> RSSI,
                                 const ErrorPtr& error) override {
        add("rssi " + (RSSI ? std::to_string(*RSSI) : std::string("none")) + " " + code(error));
    }

    static std::string code(const ErrorPtr& error) {
        if (!error) return "-";
        return (error->domain() == "CBATTErrorDomain" ? "att" : "cb") + std::to_string(error->code());
    }

private:
    void add(std::string line) {
        if (!queue_->isCurrent()) line += " (off the queue)";
        events.push_back(std::move(line));
    }

    std::shared_ptr<DispatchQueue> queue_;
};

}  // namespace tandril::test
