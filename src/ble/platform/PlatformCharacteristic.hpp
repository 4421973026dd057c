#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "foundation/Bytes.hpp"
#include "foundation/Object.hpp"
#include "foundation/UUID.hpp"

namespace tandril {

class PlatformService;

// One GATT characteristic of a remote peripheral as the platform reports it. An adapter
// keeps one object per characteristic for as long as the device is known, so that the
// BLE layer can find its wrappers by identity. The adapter updates these objects on its
// event queue while the main thread reads them: implementations make every getter safe
// to call from any thread.
class PlatformCharacteristic : public Object {
public:
    ~PlatformCharacteristic() override = default;

    virtual tandril::UUID UUID() const = 0;
    // The service this characteristic belongs to (absent once the service is gone).
    virtual std::shared_ptr<PlatformService> service() const = 0;
    // CBCharacteristicProperty* bits.
    virtual std::uint32_t properties() const = 0;
    // The latest value read or notified; absent before the first.
    virtual std::optional<Bytes> value() const = 0;
    virtual bool isNotifying() const = 0;

    std::string className() const override { return "CBCharacteristic"; }
    // "<CBCharacteristic: 0x…, UUID = 2A19, properties = 0x12, value = <64>, notifying = NO>"
    std::string description() const override;

protected:
    PlatformCharacteristic() = default;
};

}  // namespace tandril
