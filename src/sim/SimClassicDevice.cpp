#include "sim/SimClassicDevice.hpp"

#include "sim/SimPeripheral.hpp"

namespace tandril {

SimClassicDevice::SimClassicDevice(std::optional<std::string> name, std::weak_ptr<SimPeripheral> peripheral)
    : name_(std::move(name)), peripheral_(std::move(peripheral)) {}

std::optional<std::string> SimClassicDevice::name() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return name_;
}

void SimClassicDevice::setName(std::optional<std::string> name) {
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = std::move(name);
}

bool SimClassicDevice::closeConnection() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++closeCount_;
    }
    if (auto device = peripheral_.lock()) device->dropLink();
    return true;
}

std::size_t SimClassicDevice::closeConnectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closeCount_;
}

}  // namespace tandril
