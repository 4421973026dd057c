#include "platform/linux/bluez/BluezCharacteristic.hpp"

#include "ble/platform/PlatformConstants.hpp"
#include "platform/linux/bluez/BluezService.hpp"

namespace tandril {

BluezCharacteristic::BluezCharacteristic(QString path, tandril::UUID uuid, std::weak_ptr<BluezService> service)
    : path_(std::move(path)), uuid_(std::move(uuid)), service_(std::move(service)) {}

std::shared_ptr<PlatformService> BluezCharacteristic::service() const {
    return service_.lock();
}

std::uint32_t BluezCharacteristic::properties() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return properties_;
}

std::optional<Bytes> BluezCharacteristic::value() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value_;
}

bool BluezCharacteristic::isNotifying() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return notifying_;
}

void BluezCharacteristic::setProperties(std::uint32_t properties) {
    std::lock_guard<std::mutex> lock(mutex_);
    properties_ = properties;
}

void BluezCharacteristic::setValue(std::optional<Bytes> value) {
    std::lock_guard<std::mutex> lock(mutex_);
    value_ = std::move(value);
}

void BluezCharacteristic::setNotifying(bool notifying) {
    std::lock_guard<std::mutex> lock(mutex_);
    notifying_ = notifying;
}

std::uint32_t BluezCharacteristic::propertiesFromFlags(const std::vector<std::string>& flags) {
    std::uint32_t bits = 0;
    for (const auto& flag : flags) {
        if (flag == "broadcast") bits |= CBCharacteristicPropertyBroadcast;
        else if (flag == "read" || flag == "encrypt-read" || flag == "encrypt-authenticated-read" ||
                 flag == "secure-read")
            bits |= CBCharacteristicPropertyRead;
        else if (flag == "write-without-response") bits |= CBCharacteristicPropertyWriteWithoutResponse;
        else if (flag == "write" || flag == "encrypt-write" || flag == "encrypt-authenticated-write" ||
                 flag == "secure-write")
            bits |= CBCharacteristicPropertyWrite;
        else if (flag == "notify") bits |= CBCharacteristicPropertyNotify;
        else if (flag == "indicate") bits |= CBCharacteristicPropertyIndicate;
        else if (flag == "authenticated-signed-writes") bits |= CBCharacteristicPropertyAuthenticatedSignedWrites;
        else if (flag == "extended-properties" || flag == "reliable-write" || flag == "writable-auxiliaries")
            bits |= CBCharacteristicPropertyExtendedProperties;
        else if (flag == "encrypt-notify" || flag == "encrypt-authenticated-notify")
            bits |= CBCharacteristicPropertyNotify | CBCharacteristicPropertyNotifyEncryptionRequired;
        else if (flag == "encrypt-indicate" || flag == "encrypt-authenticated-indicate")
            bits |= CBCharacteristicPropertyIndicate | CBCharacteristicPropertyIndicateEncryptionRequired;
    }
    return bits;
}

}  // namespace tandril
