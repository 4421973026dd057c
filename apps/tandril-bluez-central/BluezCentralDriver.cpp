#include "tandril-bluez-central/BluezCentralDriver.hpp"

#include <cstdio>
#include <ctime>

#include "ble/LGPeripheral.hpp"
#include "engine/CNConsumerManager.hpp"
#include "foundation/RunLoop.hpp"
#include "model/CNNotification.hpp"
#include "model/CNNotificationApplication.hpp"

namespace tandril {

void BluezCentralDriver::say(const std::string& line) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::printf("central %.3f %s\n", static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9,
                line.c_str());
    std::fflush(stdout);
}

std::string BluezCentralDriver::nameOf(const std::shared_ptr<LGPeripheral>& peripheral) {
    if (!peripheral) return "(none)";
    const auto name = peripheral->name();
    return name.empty() ? "(unnamed)" : name;
}

void BluezCentralDriver::report(const std::string& line) {
    if (sink_) sink_(line);
    else say(line);
}

void BluezCentralDriver::confirmPairing(const std::optional<std::string>& name, const std::string& code,
                                        std::function<void(bool accepted)> reply) {
    report("confirm " + name.value_or("(unnamed)") + " " + code);
    reply(true);
}

void BluezCentralDriver::start(const std::shared_ptr<CNConsumerManager>& engine) {
    engine_ = engine;
    choose();
}

void BluezCentralDriver::choose() {
    auto engine = engine_.lock();
    if (!engine) return;
    if (!engine->connectedPeripheral() && !engine->preferredUUID() && !engine->verifiedPeripherals().empty()) {
        const auto& phone = engine->verifiedPeripherals().front();
        report("chose " + nameOf(phone));
        engine->connectToPeripheral(phone);
    }
    std::weak_ptr<BluezCentralDriver> weak = weak_from_this();
    RunLoop::main().schedule(std::chrono::milliseconds(500), [weak] {
        if (auto self = weak.lock()) self->choose();
    });
}

void BluezCentralDriver::consumerManagerUpdatedState(CNConsumerManager* manager, std::int64_t state) {
    report("state " + std::to_string(state));
    if (state == 5 && manager) manager->startScanning();
}

void BluezCentralDriver::consumerManagerDiscoveredPeripheralsPreferredPeripheral(
    CNConsumerManager*, const std::vector<std::shared_ptr<LGPeripheral>>&, const std::shared_ptr<LGPeripheral>&) {
    report("discovered");
}

void BluezCentralDriver::consumerManagerDidStartScanning(CNConsumerManager*) { report("start"); }

void BluezCentralDriver::consumerManagerDidStopScanning(CNConsumerManager*) { report("stop"); }

void BluezCentralDriver::consumerManagerUpdatedConnectionPhase(CNConsumerManager*, CNConnectionPhase phase) {
    report("phase " + std::to_string(phase));
}

void BluezCentralDriver::consumerManagerWillConnectToPeripheral(CNConsumerManager*,
                                                                const std::shared_ptr<LGPeripheral>& peripheral) {
    report("will " + nameOf(peripheral));
}

void BluezCentralDriver::consumerManagerDidConnectToPeripheral(CNConsumerManager*,
                                                               const std::shared_ptr<LGPeripheral>& peripheral) {
    report("did " + nameOf(peripheral));
}

void BluezCentralDriver::consumerManagerFailedToConnectToPeripheralError(CNConsumerManager* manager,
                                                                         const std::shared_ptr<LGPeripheral>&,
                                                                         const ErrorPtr& error) {
    report("failed " + (error ? error->domain() + " " + std::to_string(error->code()) : std::string("(null)")));
    if (manager) manager->startScanning();
}

void BluezCentralDriver::consumerManagerDisconnectedFromPeripheralError(CNConsumerManager* manager,
                                                                        const std::shared_ptr<LGPeripheral>&,
                                                                        const ErrorPtr& error) {
    report(error ? "disconnected with error " + error->domain() + " " + std::to_string(error->code()) : "disconnected");
    if (manager && !manager->isScanning()) manager->startScanning();
}

void BluezCentralDriver::consumerManagerAddedNotification(CNConsumerManager*,
                                                          const std::shared_ptr<CNNotification>& notification) {
    std::string app;
    if (const auto& application = notification->application())
        app = application->displayName().value_or(application->bundleIdentifier().value_or(""));
    report("added " + notification->title().value_or("") + " (" + app + ")");
}

void BluezCentralDriver::consumerManagerRemovedNotification(CNConsumerManager*,
                                                            const std::shared_ptr<CNNotification>& notification) {
    report("removed " + notification->title().value_or(""));
}

}  // namespace tandril
