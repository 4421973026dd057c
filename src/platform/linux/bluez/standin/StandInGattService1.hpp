#pragma once

#include <QtCore/QString>

#include <memory>
#include <vector>

namespace tandril {

class PlatformService;
class StandInGattCharacteristic1;

// One exported org.bluez.GattService1 and its characteristics, in handle order.
class StandInGattService1 {
public:
    StandInGattService1(QString path, std::shared_ptr<PlatformService> service, unsigned handle)
        : path_(std::move(path)), service_(std::move(service)), handle_(handle) {}

    const QString& path() const { return path_; }
    const std::shared_ptr<PlatformService>& service() const { return service_; }
    unsigned handle() const { return handle_; }

    std::vector<std::shared_ptr<StandInGattCharacteristic1>> characteristics;
    // The characteristics of this service were asked from the device and are not in yet.
    bool discovering = false;

private:
    QString path_;
    std::shared_ptr<PlatformService> service_;
    unsigned handle_;
};

}  // namespace tandril
