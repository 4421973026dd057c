#pragma once

#include <memory>
#include <string>
#include <vector>

#include "foundation/Object.hpp"
#include "foundation/UUID.hpp"

namespace tandril {

class PlatformCharacteristic;
class PlatformPeripheral;

// One GATT service of a remote peripheral as the platform reports it; one object per
// service for as long as the device is known. Getters are safe from any thread.
class PlatformService : public Object {
public:
    ~PlatformService() override = default;

    virtual tandril::UUID UUID() const = 0;
    virtual bool isPrimary() const = 0;
    // The peripheral that owns the service (absent once the device is gone).
    virtual std::shared_ptr<PlatformPeripheral> peripheral() const = 0;
    // The characteristics discovered so far, in the platform's order; empty before the
    // first characteristic discovery of this service.
    virtual std::vector<std::shared_ptr<PlatformCharacteristic>> characteristics() const = 0;

    std::string className() const override { return "CBService"; }
    // "<CBService: 0x…, isPrimary = YES, UUID = 7905F431-…>"
    std::string description() const override;

protected:
    PlatformService() = default;
};

}  // namespace tandril
