#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "platform/linux/PrivateDbusDaemon.hpp"

namespace tandril {

class BluezAdapter;
class BluezStandIn;
class SimRadio;

// The simulator's --bluez mode: the same scenario, with the agent talking to BlueZ's D-Bus
// API through the BlueZ adapter, and the simulated radio served by the stand-in bluetoothd
// on a private bus of its own (a dbus-daemon this object starts and ends). busctl and
// bluetoothctl can watch and poke it at the printed address.
class TDRSimulatorBluez {
public:
    // Starts the bus and the stand-in over `radio` and installs a BlueZ adapter as the
    // current adapter. Absent (with `error` set) when something could not start.
    static std::unique_ptr<TDRSimulatorBluez> start(const std::shared_ptr<SimRadio>& radio, std::ostream& out,
                                                    std::string& error);
    ~TDRSimulatorBluez();
    TDRSimulatorBluez(const TDRSimulatorBluez&) = delete;
    TDRSimulatorBluez& operator=(const TDRSimulatorBluez&) = delete;

    const std::string& address() const { return address_; }
    // The identifier the BlueZ adapter gives the simulated device `identifier` (from the
    // adapter's and the device's addresses).
    static std::string agentIdentifierOf(const std::string& identifier);

private:
    TDRSimulatorBluez() = default;
    bool startBus(std::string& error);

    std::string directory_;
    PrivateDbusDaemon daemon_;
    std::string address_;
    std::shared_ptr<BluezStandIn> standIn_;
    std::shared_ptr<BluezAdapter> adapter_;
};

}  // namespace tandril
