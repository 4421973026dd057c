#include "engine/CNDataSourceCharacteristic.hpp"

namespace tandril {

std::optional<tandril::UUID> CNDataSourceCharacteristic::characteristicUUID() { return uuidOf(Kind::DataSource); }

std::shared_ptr<CNDataSourceCharacteristic> CNDataSourceCharacteristic::characteristic() {
    std::shared_ptr<CNDataSourceCharacteristic> description(new CNDataSourceCharacteristic());
    initialise(*description, Kind::DataSource);
    return description;
}

}  // namespace tandril
