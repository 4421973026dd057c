#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ble/platform/PlatformClassicDevice.hpp"

namespace tandril {

// A paired device of BlueZ's list (Device1 with Paired true): its alias as the name, and
// Device1.Disconnect to close its links.
class BluezClassicDevice : public PlatformClassicDevice {
public:
    using Disconnector = std::function<bool(const QString& path)>;
    BluezClassicDevice(QString path, std::optional<std::string> name, Disconnector disconnect);

    std::optional<std::string> name() const override { return name_; }
    bool closeConnection() override;
    const QString& path() const { return path_; }

private:
    const QString path_;
    const std::optional<std::string> name_;
    const Disconnector disconnect_;
};

}  // namespace tandril
