#include "ble/platform/PlatformCharacteristic.hpp"

#include <cstdio>

#include "ble/platform/PlatformDescription.hpp"

namespace tandril {

std::string PlatformCharacteristic::description() const {
    char properties[16];
    std::snprintf(properties, sizeof properties, "0x%X", static_cast<unsigned>(this->properties()));
    const auto current = value();
    return platformObjectDescription(*this, "UUID = " + UUID().UUIDString() + ", properties = " + properties +
                                                ", value = " + (current ? bytesDescription(*current) : "(null)") +
                                                ", notifying = " + (isNotifying() ? "YES" : "NO"));
}

}  // namespace tandril
