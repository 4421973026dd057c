#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tandril {

class DispatchQueue;
class PlatformCentral;
class PlatformCentralDelegate;
class PlatformClassicDevice;
class PlatformPairingConfirmer;

// The radio the BLE layer talks to: the simulated radio in tests and in the simulator,
// BlueZ on a desktop. The program installs one adapter at start-up; LGCentralManager
// asks it for a new central every time it (re)builds its platform central.
class PlatformAdapter {
public:
    virtual ~PlatformAdapter() = default;

    // A new central that delivers every event of its own and of its peripherals on
    // `queue`, to `delegate` (not owned). The new central reports its state once soon
    // after. Creating a central replaces the adapter's previous one: that one's links
    // drop and it delivers nothing more.
    virtual std::shared_ptr<PlatformCentral> createCentral(std::weak_ptr<PlatformCentralDelegate> delegate,
                                                           std::shared_ptr<DispatchQueue> queue) = 0;
    // The paired classic devices, in the platform's order.
    virtual std::vector<std::shared_ptr<PlatformClassicDevice>> pairedDevices() = 0;

    // The installed adapter; absent until one is installed.
    static std::shared_ptr<PlatformAdapter> current();
    // Installs `adapter` (absent uninstalls). Thread-safe.
    static void setCurrent(std::shared_ptr<PlatformAdapter> adapter);

    // Who decides pairing requests that need the user (numeric comparison): every adapter
    // asks this one. Absent: such requests are rejected. Thread-safe.
    static std::shared_ptr<PlatformPairingConfirmer> pairingConfirmer();
    static void setPairingConfirmer(std::shared_ptr<PlatformPairingConfirmer> confirmer);

protected:
    PlatformAdapter() = default;
};

}  // namespace tandril
