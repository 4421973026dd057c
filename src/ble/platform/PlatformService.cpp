#include "ble/platform/PlatformService.hpp"

#include "ble/platform/PlatformDescription.hpp"

namespace tandril {

std::string PlatformService::description() const {
    return platformObjectDescription(
        *this, std::string("isPrimary = ") + (isPrimary() ? "YES" : "NO") + ", UUID = " + UUID().UUIDString());
}

}  // namespace tandril
