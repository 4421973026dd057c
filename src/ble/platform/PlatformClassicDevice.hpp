#pragma once

#include <optional>
#include <string>

#include "foundation/Object.hpp"

namespace tandril {

// A paired classic Bluetooth device (the platform's paired-device list).
class PlatformClassicDevice : public Object {
public:
    ~PlatformClassicDevice() override = default;

    virtual std::optional<std::string> name() const = 0;
    // Closes the device's link (classic and, for a phone, its BLE link with it).
    // Returns true when the platform accepted the request.
    virtual bool closeConnection() = 0;

    std::string className() const override { return "IOBluetoothDevice"; }

protected:
    PlatformClassicDevice() = default;
};

}  // namespace tandril
