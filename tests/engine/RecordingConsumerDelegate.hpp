#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/CNConsumerManager.hpp"
#include "engine/CNConsumerManagerDelegate.hpp"
#include "model/CNNotification.hpp"

namespace tandril::test {

// Writes down every report of the engine as a short line, in order:
// "state 5", "start", "stop", "phase 0", "will", "did", "failed DOMAIN CODE",
// "disconnected", "added TITLE", "removed TITLE". It also checks, at every report, what
// the engine shows at that moment (`connectedAtReport`).
class RecordingConsumerDelegate : public CNConsumerManagerDelegate {
public:
    std::vector<std::string> events;
    std::vector<std::shared_ptr<LGPeripheral>> peripherals;
    std::vector<ErrorPtr> errors;
    // Whether the engine still held a phone when it reported a failure or a disconnection.
    std::vector<bool> connectedAtReport;

    void consumerManagerUpdatedState(CNConsumerManager*, std::int64_t state) override {
        events.push_back("state " + std::to_string(state));
    }
    void consumerManagerDiscoveredPeripheralsPreferredPeripheral(
        CNConsumerManager*, const std::vector<std::shared_ptr<LGPeripheral>>&,
        const std::shared_ptr<LGPeripheral>&) override {
        events.push_back("discovered");
    }
    void consumerManagerDidStartScanning(CNConsumerManager*) override { events.push_back("start"); }
    void consumerManagerDidStopScanning(CNConsumerManager*) override { events.push_back("stop"); }
    void consumerManagerUpdatedConnectionPhase(CNConsumerManager*, CNConnectionPhase phase) override {
        events.push_back("phase " + std::to_string(phase));
    }
    void consumerManagerWillConnectToPeripheral(CNConsumerManager*, const std::shared_ptr<LGPeripheral>& p) override {
        events.push_back("will");
        peripherals.push_back(p);
    }
    void consumerManagerDidConnectToPeripheral(CNConsumerManager*, const std::shared_ptr<LGPeripheral>& p) override {
        events.push_back("did");
        peripherals.push_back(p);
    }
    void consumerManagerFailedToConnectToPeripheralError(CNConsumerManager* manager,
                                                         const std::shared_ptr<LGPeripheral>& p,
                                                         const ErrorPtr& error) override {
        events.push_back("failed " + (error ? error->domain() + " " + std::to_string(error->code()) : "(null)"));
        peripherals.push_back(p);
        errors.push_back(error);
        connectedAtReport.push_back(manager->connectedPeripheral() != nullptr);
    }
    void consumerManagerDisconnectedFromPeripheralError(CNConsumerManager* manager,
                                                        const std::shared_ptr<LGPeripheral>& p,
                                                        const ErrorPtr& error) override {
        events.push_back(error ? "disconnected with error" : "disconnected");
        peripherals.push_back(p);
        connectedAtReport.push_back(manager->connectedPeripheral() != nullptr);
    }
    void consumerManagerAddedNotification(CNConsumerManager*, const std::shared_ptr<CNNotification>& n) override {
        events.push_back("added " + n->title().value_or(""));
    }
    void consumerManagerRemovedNotification(CNConsumerManager*, const std::shared_ptr<CNNotification>& n) override {
        events.push_back("removed " + n->title().value_or(""));
    }

    std::size_t count(const std::string& event) const {
        std::size_t n = 0;
        for (const auto& e : events) n += e == event ? 1 : 0;
        return n;
    }
    // The events without adapter-state and scan reports.
    std::vector<std::string> connectionEvents() const {
        std::vector<std::string> out;
        for (const auto& e : events) {
            if (e.rfind("state", 0) == 0 || e == "start" || e == "stop") continue;
            out.push_back(e);
        }
        return out;
    }
};

}  // namespace tandril::test
