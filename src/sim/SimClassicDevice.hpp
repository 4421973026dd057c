#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "ble/platform/PlatformClassicDevice.hpp"

namespace tandril {

class SimPeripheral;

// A paired classic device of the simulated radio. Closing its connection drops the BLE
// link of the peripheral it stands for, when it stands for one.
class SimClassicDevice : public PlatformClassicDevice {
public:
    SimClassicDevice(std::optional<std::string> name, std::weak_ptr<SimPeripheral> peripheral);

    std::optional<std::string> name() const override;
    void setName(std::optional<std::string> name);
    bool closeConnection() override;

    std::shared_ptr<SimPeripheral> peripheral() const { return peripheral_.lock(); }
    std::size_t closeConnectionCount() const;

private:
    mutable std::mutex mutex_;
    std::optional<std::string> name_;
    const std::weak_ptr<SimPeripheral> peripheral_;
    std::size_t closeCount_ = 0;
};

}  // namespace tandril
