#pragma once

#include <string>

namespace tandril {

// Stops and starts BlueZ's service through systemctl, so that bluetoothd lets go of the
// cache files while they are cleared and reads them afresh afterwards.
class CBCacheBluetoothService {
public:
    // `systemctl`: the program (a name looked up in PATH, or a path); tests pass a stand-in.
    explicit CBCacheBluetoothService(std::string systemctl = "systemctl", std::string unit = "bluetooth.service");

    // Runs `systemctl --no-ask-password <verb> <unit>` and waits for it. Empty on success,
    // otherwise what went wrong, with systemctl's own words.
    std::string run(const std::string& verb) const;

    const std::string& unit() const { return unit_; }

private:
    std::string systemctl_;
    std::string unit_;
};

}  // namespace tandril
