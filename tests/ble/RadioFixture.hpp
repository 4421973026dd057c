#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ble/LGCentralManager.hpp"
#include "ble/LGCharacteristic.hpp"
#include "ble/LGPeripheral.hpp"
#include "ble/LGService.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"
#include "foundation/NotificationCenter.hpp"
#include "sim/SimCharacteristic.hpp"
#include "sim/SimPeripheral.hpp"
#include "sim/SimRadio.hpp"
#include "sim/SimService.hpp"
#include "support/LoopFixture.hpp"

namespace tandril::test {

// The BLE layer over a simulated radio in virtual time: a fresh radio and a fresh shared
// central manager for every test, and helpers to build devices and links.
class RadioFixture : public LoopFixture {
protected:
    RadioFixture() : radio(SimRadio::install()) { LGCentralManager::resetSharedInstance(); }

    ~RadioFixture() override {
        LGCentralManager::resetSharedInstance();
        PlatformAdapter::setCurrent(nullptr);
    }

    std::shared_ptr<LGCentralManager> manager() { return LGCentralManager::sharedInstance(); }

    // A device with one service 180A holding a readable 2A29, a writable 2A2B, a
    // notifying 2A2C and a write-only-when-encrypted 2A2D.
    std::shared_ptr<SimPeripheral> addDevice(const std::string& name, std::int64_t dBm = -50) {
        auto device = SimPeripheral::create(name);
        device->setSignalStrength(dBm);
        auto service = device->addService(UUID::from16(0x180A));
        service->addCharacteristic(UUID::from16(0x2A29), CBCharacteristicPropertyRead, CBAttributePermissionsReadable,
                                   Bytes{'A'});
        service->addCharacteristic(UUID::from16(0x2A2B),
                                   CBCharacteristicPropertyWrite | CBCharacteristicPropertyWriteWithoutResponse,
                                   CBAttributePermissionsWriteable);
        service->addCharacteristic(UUID::from16(0x2A2C), CBCharacteristicPropertyNotify | CBCharacteristicPropertyRead,
                                   CBAttributePermissionsReadable, Bytes{0});
        service->addCharacteristic(UUID::from16(0x2A2D), CBCharacteristicPropertyWrite,
                                   CBAttributePermissionsWriteEncryptionRequired);
        radio->addPeripheral(device);
        return device;
    }

    std::shared_ptr<SimCharacteristic> simCharacteristic(const std::shared_ptr<SimPeripheral>& device,
                                                         std::uint16_t uuid) {
        return device->characteristic(UUID::from16(0x180A), UUID::from16(uuid));
    }

    // The wrapper of `device`, from the central's registry.
    std::shared_ptr<LGPeripheral> wrapperOf(const std::shared_ptr<SimPeripheral>& device) {
        return manager()->wrapperByPeripheral(device);
    }

    std::shared_ptr<LGPeripheral> connected(const std::shared_ptr<SimPeripheral>& device) {
        auto wrapper = wrapperOf(device);
        wrapper->connectWithCompletion([](const ErrorPtr&) {});
        runUntilIdle();
        return wrapper;
    }

    // A connected wrapper whose service and characteristics are discovered.
    std::shared_ptr<LGService> discovered(const std::shared_ptr<SimPeripheral>& device) {
        auto wrapper = connected(device);
        wrapper->discoverServicesWithCompletion(nullptr);
        runUntilIdle();
        auto service = wrapper->services().at(0);
        service->discoverCharacteristicsWithCompletion(nullptr);
        runUntilIdle();
        return service;
    }

    static std::shared_ptr<LGCharacteristic> find(const std::shared_ptr<LGService>& service, const std::string& text) {
        for (const auto& characteristic : service->characteristics()) {
            if (characteristic->UUIDString() == text) return characteristic;
        }
        return nullptr;
    }

    std::shared_ptr<SimRadio> radio;
};

// Records the notifications of one name while alive.
class NotificationRecorder {
public:
    explicit NotificationRecorder(const std::string& name)
        : registration_(NotificationCenter::defaultCenter(),
                        NotificationCenter::defaultCenter().addObserver(
                            name, nullptr, [this](const Notification& n) { received.push_back(n); })) {}

    std::vector<Notification> received;

private:
    ObserverRegistration registration_;
};

}  // namespace tandril::test
