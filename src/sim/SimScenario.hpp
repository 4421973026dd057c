#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Error.hpp"
#include "foundation/RunLoop.hpp"
#include "foundation/UUID.hpp"
#include "sim/SimNotificationProvider.hpp"
#include "sim/SimOperation.hpp"
#include "sim/SimPeripheral.hpp"

namespace tandril {

class SimPhone;
class SimRadio;

// Describes a simulated phone in a few lines and puts it on a radio:
//
//   auto phone = SimScenario(radio)
//                    .app("com.example.chat", "Chat")
//                    .notification("com.example.chat", "Anna", "", "See you at 8")
//                    .bonded(true)
//                    .mtu(23)
//                    .build();
//
// Everything is applied in build(): the applications and notifications go into the
// phone's provider (before any link, so they are announced as pre-existing), the faults
// into the phone, the paired classic device into the radio's paired list, and the timed
// steps onto the main loop, counted from the moment of build().
class SimScenario {
public:
    explicit SimScenario(std::shared_ptr<SimRadio> radio);

    SimScenario& advertisedName(std::optional<std::string> name);
    SimScenario& deviceName(std::string name);
    SimScenario& deviceNameValue(Bytes value);
    SimScenario& providerValue(Bytes value);
    SimScenario& identifier(UUID identifier);
    SimScenario& app(std::string bundleIdentifier, std::string displayName);
    SimScenario& notification(std::string appIdentifier, std::string title, std::string subtitle, std::string message,
                              std::string date = "20260314T093015");
    SimScenario& notification(SimNotificationProvider::Notification notification);
    SimScenario& bonded(bool bonded);
    SimScenario& acceptsPairing(bool accepts);
    SimScenario& mtu(std::size_t mtu);
    SimScenario& fragmentInterval(Duration interval);
    SimScenario& latency(SimOperation operation, Duration latency);
    // The next operation of this kind (on this characteristic, when one is named) fails.
    SimScenario& fault(SimOperation operation, ErrorPtr error, std::optional<UUID> characteristicUUID = std::nullopt);
    // The phone takes commands but never answers them.
    SimScenario& silentDataSource();
    // Puts the phone in the radio's paired classic-device list under `name`.
    SimScenario& pairedClassicDevice(std::string name);
    // A phone without the companion application (SimPhone::createStockIPhone), unbonded
    // unless bonded(true) is given.
    SimScenario& stockIPhone();
    // How the phone answers the numeric comparison, and the code it shows.
    SimScenario& pairingAnswer(SimPeripheral::PairingAnswer answer);
    SimScenario& pairingCode(std::string code);
    // The user picks the desktop in the phone's Bluetooth settings `delay` after build().
    SimScenario& tap(Duration delay = Duration::zero());
    // Runs `step` on the phone `delay` after build() (added, modified, removed events, link drops, ...).
    SimScenario& at(Duration delay, std::function<void(SimPhone& phone)> step);

    std::shared_ptr<SimPhone> build();

private:
    std::shared_ptr<SimRadio> radio_;
    std::optional<std::string> advertisedName_ = "iPhone";
    std::string deviceName_ = "iPhone";
    std::optional<Bytes> deviceNameValue_;
    std::optional<Bytes> providerValue_;
    UUID identifier_ = UUID::random();
    std::vector<SimNotificationProvider::Application> apps_;
    std::vector<SimNotificationProvider::Notification> notifications_;
    bool bonded_ = true;
    bool acceptsPairing_ = true;
    std::optional<std::size_t> mtu_;
    Duration fragmentInterval_{0};
    std::vector<std::pair<SimOperation, Duration>> latencies_;
    struct Fault {
        SimOperation operation;
        ErrorPtr error;
        std::optional<UUID> characteristicUUID;
    };
    std::vector<Fault> faults_;
    bool silent_ = false;
    std::vector<std::string> pairedNames_;
    std::vector<std::pair<Duration, std::function<void(SimPhone&)>>> steps_;
    bool stock_ = false;
    std::optional<bool> bondedGiven_;
    std::optional<SimPeripheral::PairingAnswer> pairingAnswer_;
    std::optional<std::string> pairingCode_;
};

}  // namespace tandril
