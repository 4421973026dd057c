#include "platform/linux/bluez/BluezClassicDevice.hpp"

namespace tandril {

BluezClassicDevice::BluezClassicDevice(QString path, std::optional<std::string> name, Disconnector disconnect)
    : path_(std::move(path)), name_(std::move(name)), disconnect_(std::move(disconnect)) {}

bool BluezClassicDevice::closeConnection() {
    return disconnect_ && disconnect_(path_);
}

}  // namespace tandril
