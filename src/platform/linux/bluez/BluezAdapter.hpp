#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ble/platform/PlatformAdapter.hpp"
#include "platform/linux/bluez/BluezBus.hpp"

class QThread;

namespace tandril {

class BluezAgent;
class BluezBus;
class BluezBusGate;
class BluezCentral;
class BluezClassicDevice;

// Settings of the BlueZ adapter. Time limits are longer than BlueZ's own (25 s for a
// D-Bus call, 20 s for an LE connect, 30 s for an ATT request) so that BlueZ, not the
// D-Bus call, decides; calls that may pair get longer still.
struct BluezOptions {
    // The bus to reach org.bluez on; empty: the system bus.
    std::string busAddress;
    // The adapter to use ("hci1", its path or its address); empty: the first in path order.
    std::string adapterName;
    double connectTimeout = 40;
    double gattTimeout = 45;
    double pairingTimeout = 120;
    // How long a service discovery waits, once BlueZ says services are resolved, for the
    // announced services to be exported.
    double serviceExportWait = 2;
    // How long a service discovery waits for BlueZ to resolve the services at all (5.66
    // signals no failure: ServicesResolved stays false); then it fails with a timeout.
    double serviceResolveTimeout = 20;
    // How many times a connect that BlueZ aborted locally is tried again.
    int connectRetries = 2;
    // How long the pairing agent waits for the user to confirm a code before it answers
    // Canceled: a little less than bluetoothd's own 60 s for an agent request.
    double pairingConfirmTimeout = 58;
    // Register a pairing agent with AgentManager1.
    bool registerAgent = true;
};

// The BLE adapter contract over BlueZ's D-Bus API (org.bluez). Its D-Bus connection runs
// on a thread of its own, so no D-Bus call blocks the main thread, and every event reaches
// the central's queue in BlueZ's order. Needs a QCoreApplication; create() makes one when
// the program has none.
class BluezAdapter : public PlatformAdapter {
public:
    using Options = BluezOptions;

    static std::shared_ptr<BluezAdapter> create(Options options = {});
    ~BluezAdapter() override;

    std::shared_ptr<PlatformCentral> createCentral(std::weak_ptr<PlatformCentralDelegate> delegate,
                                                   std::shared_ptr<DispatchQueue> queue) override;
    // Devices of the chosen adapter with Paired true, in path order.
    std::vector<std::shared_ptr<PlatformClassicDevice>> pairedDevices() override;

    const Options& options() const { return options_; }

    // Blocks the calling thread until the D-Bus thread has run the work queued to it and a
    // round trip to org.bluez came back; false after `limit`. For tests and benchmarks.
    bool sync(std::chrono::milliseconds limit);
    // D-Bus calls sent and not yet answered.
    std::size_t pendingCalls() const;

private:
    explicit BluezAdapter(Options options);
    class Listener;

    const Options options_;
    QThread* thread_ = nullptr;
    BluezBus* bus_ = nullptr;
    std::shared_ptr<BluezBusGate> gate_;
    std::shared_ptr<const BluezBus::SharedTree> tree_;
    std::unique_ptr<Listener> listener_;
    BluezAgent* agent_ = nullptr;
    mutable std::mutex mutex_;
    std::weak_ptr<BluezCentral> central_;
    std::map<std::string, std::shared_ptr<BluezClassicDevice>> classicDevices_;
};

}  // namespace tandril
