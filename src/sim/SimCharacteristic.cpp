#include "sim/SimCharacteristic.hpp"

#include "ble/platform/PlatformConstants.hpp"
#include "sim/SimService.hpp"

namespace tandril {

SimCharacteristic::SimCharacteristic(tandril::UUID uuid, std::uint32_t properties, std::uint32_t permissions,
                                     std::optional<Bytes> value, std::weak_ptr<SimService> service)
    : uuid_(std::move(uuid)),
      properties_(properties),
      permissions_(permissions),
      service_(std::move(service)),
      storedValue_(std::move(value)) {}

std::shared_ptr<PlatformService> SimCharacteristic::service() const {
    return service_.lock();
}

std::optional<Bytes> SimCharacteristic::value() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return centralValue_;
}

bool SimCharacteristic::isNotifying() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return notifying_;
}

std::optional<Bytes> SimCharacteristic::storedValue() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return storedValue_;
}

void SimCharacteristic::setStoredValue(std::optional<Bytes> value) {
    std::lock_guard<std::mutex> lock(mutex_);
    storedValue_ = std::move(value);
}

bool SimCharacteristic::readNeedsEncryption() const {
    return (permissions_ & CBAttributePermissionsReadEncryptionRequired) != 0;
}

bool SimCharacteristic::writeNeedsEncryption() const {
    return (permissions_ & CBAttributePermissionsWriteEncryptionRequired) != 0;
}

bool SimCharacteristic::notifyNeedsEncryption() const {
    return (properties_ &
            (CBCharacteristicPropertyNotifyEncryptionRequired | CBCharacteristicPropertyIndicateEncryptionRequired)) != 0;
}

void SimCharacteristic::setReadHandler(ReadHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    readHandler_ = std::move(handler);
}

void SimCharacteristic::setWriteHandler(WriteHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    writeHandler_ = std::move(handler);
}

void SimCharacteristic::setNotifyHandler(NotifyHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    notifyHandler_ = std::move(handler);
}

SimCharacteristic::ReadHandler SimCharacteristic::readHandler() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return readHandler_;
}

SimCharacteristic::WriteHandler SimCharacteristic::writeHandler() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writeHandler_;
}

SimCharacteristic::NotifyHandler SimCharacteristic::notifyHandler() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return notifyHandler_;
}

std::vector<Bytes> SimCharacteristic::writtenValues() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writtenValues_;
}

void SimCharacteristic::setCentralValue(std::optional<Bytes> value) {
    std::lock_guard<std::mutex> lock(mutex_);
    centralValue_ = std::move(value);
}

void SimCharacteristic::setNotifying(bool notifying) {
    std::lock_guard<std::mutex> lock(mutex_);
    notifying_ = notifying;
}

void SimCharacteristic::recordWrite(const Bytes& data) {
    std::lock_guard<std::mutex> lock(mutex_);
    writtenValues_.push_back(data);
}

}  // namespace tandril
