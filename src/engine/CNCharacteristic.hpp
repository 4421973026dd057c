#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "foundation/Bytes.hpp"
#include "foundation/Object.hpp"
#include "foundation/UUID.hpp"

namespace tandril {

// A GATT characteristic description: UUID, properties and permissions as the serving side
// declares them (CBCharacteristicProperty* and CBAttributePermissions* bits), and no fixed
// value. The base of the catalogue's characteristic classes.
class CNCharacteristic : public Object {
public:
    ~CNCharacteristic() override = default;

    // The base class names no characteristic: absent.
    static std::optional<tandril::UUID> characteristicUUID();
    // The base class describes nothing: absent.
    static std::shared_ptr<CNCharacteristic> characteristic();

    const tandril::UUID& UUID() const { return uuid_; }
    std::uint32_t properties() const { return properties_; }
    // Always absent: values are supplied at run time.
    const std::optional<Bytes>& value() const { return value_; }
    std::uint32_t permissions() const { return permissions_; }

    std::string className() const override { return "CNCharacteristic"; }

protected:
    // The catalogue's seven characteristics, each described by one row of a single table.
    enum class Kind { DeviceName, Provider, Consumer, Connection, NotificationSource, ControlPoint, DataSource };

    CNCharacteristic() = default;
    // The UUID of `kind`'s row.
    static tandril::UUID uuidOf(Kind kind);
    // The shared part of every class's characteristic(): UUID, properties and permissions
    // of `kind`'s row, no value.
    static void initialise(CNCharacteristic& characteristic, Kind kind);

private:
    tandril::UUID uuid_;
    std::uint32_t properties_ = 0;
    std::optional<Bytes> value_;
    std::uint32_t permissions_ = 0;
};

}  // namespace tandril
