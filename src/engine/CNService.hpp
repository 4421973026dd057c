#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Object.hpp"
#include "foundation/UUID.hpp"

namespace tandril {

class CNCharacteristic;

// A GATT service description (the serving side's view: UUID, primary flag, characteristic
// descriptions in a fixed order). The base of the catalogue's service classes; each
// subclass names its UUID in one place.
class CNService : public Object {
public:
    ~CNService() override = default;

    // The base class names no service: absent.
    static std::optional<tandril::UUID> serviceUUID();
    // A primary service description of this class with no characteristics; the base's UUID is absent.
    static std::shared_ptr<CNService> service();

    const std::optional<tandril::UUID>& UUID() const { return uuid_; }
    bool isPrimary() const { return primary_; }
    const std::vector<std::shared_ptr<CNCharacteristic>>& characteristics() const { return characteristics_; }
    void setCharacteristics(std::vector<std::shared_ptr<CNCharacteristic>> characteristics);

    std::string className() const override { return "CNService"; }

protected:
    CNService() = default;
    // The shared part of every class's service(): a primary description with `uuid`.
    static void initialise(CNService& service, std::optional<tandril::UUID> uuid);

private:
    std::optional<tandril::UUID> uuid_;
    bool primary_ = true;
    std::vector<std::shared_ptr<CNCharacteristic>> characteristics_;
};

}  // namespace tandril
