#include "sim/SimScenario.hpp"

#include "sim/SimPhone.hpp"
#include "sim/SimRadio.hpp"

namespace tandril {

SimScenario::SimScenario(std::shared_ptr<SimRadio> radio) : radio_(std::move(radio)) {}

SimScenario& SimScenario::advertisedName(std::optional<std::string> name) {
    advertisedName_ = std::move(name);
    return *this;
}

SimScenario& SimScenario::deviceName(std::string name) {
    deviceName_ = std::move(name);
    return *this;
}

SimScenario& SimScenario::deviceNameValue(Bytes value) {
    deviceNameValue_ = std::move(value);
    return *this;
}

SimScenario& SimScenario::providerValue(Bytes value) {
    providerValue_ = std::move(value);
    return *this;
}

SimScenario& SimScenario::identifier(UUID identifier) {
    identifier_ = identifier;
    return *this;
}

SimScenario& SimScenario::app(std::string bundleIdentifier, std::string displayName) {
    apps_.push_back({std::move(bundleIdentifier), std::move(displayName)});
    return *this;
}

SimScenario& SimScenario::notification(std::string appIdentifier, std::string title, std::string subtitle,
                                       std::string message, std::string date) {
    SimNotificationProvider::Notification n;
    n.appIdentifier = std::move(appIdentifier);
    n.title = std::move(title);
    n.subtitle = std::move(subtitle);
    n.message = std::move(message);
    n.date = std::move(date);
    return notification(std::move(n));
}

SimScenario& SimScenario::notification(SimNotificationProvider::Notification notification) {
    notifications_.push_back(std::move(notification));
    return *this;
}

SimScenario& SimScenario::bonded(bool bonded) {
    bonded_ = bonded;
    bondedGiven_ = bonded;
    return *this;
}

SimScenario& SimScenario::stockIPhone() {
    stock_ = true;
    return *this;
}

SimScenario& SimScenario::pairingAnswer(SimPeripheral::PairingAnswer answer) {
    pairingAnswer_ = answer;
    return *this;
}

SimScenario& SimScenario::pairingCode(std::string code) {
    pairingCode_ = std::move(code);
    return *this;
}

SimScenario& SimScenario::tap(Duration delay) {
    return at(delay, [](SimPhone& phone) { phone.tap(); });
}

SimScenario& SimScenario::acceptsPairing(bool accepts) {
    acceptsPairing_ = accepts;
    return *this;
}

SimScenario& SimScenario::mtu(std::size_t mtu) {
    mtu_ = mtu;
    return *this;
}

SimScenario& SimScenario::fragmentInterval(Duration interval) {
    fragmentInterval_ = interval;
    return *this;
}

SimScenario& SimScenario::latency(SimOperation operation, Duration latency) {
    latencies_.emplace_back(operation, latency);
    return *this;
}

SimScenario& SimScenario::fault(SimOperation operation, ErrorPtr error, std::optional<UUID> characteristicUUID) {
    faults_.push_back({operation, std::move(error), characteristicUUID});
    return *this;
}

SimScenario& SimScenario::silentDataSource() {
    silent_ = true;
    return *this;
}

SimScenario& SimScenario::pairedClassicDevice(std::string name) {
    pairedNames_.push_back(std::move(name));
    return *this;
}

SimScenario& SimScenario::at(Duration delay, std::function<void(SimPhone& phone)> step) {
    steps_.emplace_back(delay, std::move(step));
    return *this;
}

std::shared_ptr<SimPhone> SimScenario::build() {
    auto phone = stock_ ? SimPhone::createStockIPhone(advertisedName_, identifier_)
                        : SimPhone::create(advertisedName_, deviceName_, identifier_);
    if (deviceNameValue_) phone->setDeviceNameValue(*deviceNameValue_);
    if (providerValue_) phone->setProviderValue(*providerValue_);
    for (const auto& app : apps_) phone->provider().addApplication(app.bundleIdentifier, app.displayName);
    for (const auto& n : notifications_) phone->provider().addNotification(n);
    if (stock_) {
        // Pairing is the numeric comparison, never the silent bond of the companion path.
        phone->setBonded(bondedGiven_.value_or(false));
    } else {
        phone->setBonded(bonded_);
        phone->setAcceptsPairing(acceptsPairing_);
    }
    if (pairingAnswer_) phone->setPairingAnswer(*pairingAnswer_);
    if (pairingCode_) phone->setPairingCode(*pairingCode_);
    if (mtu_) phone->setMTU(*mtu_);
    phone->setFragmentInterval(fragmentInterval_);
    for (const auto& [operation, latency] : latencies_) phone->setLatency(operation, latency);
    for (const auto& f : faults_) phone->failNext(f.operation, f.error, f.characteristicUUID);
    if (silent_) phone->setAnswersCommands(false);
    if (radio_) {
        radio_->addPeripheral(phone);
        for (const auto& name : pairedNames_) radio_->addPairedDevice(name, phone);
    }
    std::weak_ptr<SimPhone> weakPhone = phone;
    for (const auto& [delay, step] : steps_) {
        RunLoop::main().schedule(delay, [weakPhone, step = step] {
            if (auto p = weakPhone.lock()) step(*p);
        });
    }
    return phone;
}

}  // namespace tandril
