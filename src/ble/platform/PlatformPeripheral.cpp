#include "ble/platform/PlatformPeripheral.hpp"

#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformDescription.hpp"

namespace tandril {

namespace {
const char* stateName(int state) {
    switch (state) {
        case CBPeripheralStateDisconnected: return "disconnected";
        case CBPeripheralStateConnecting: return "connecting";
        case CBPeripheralStateConnected: return "connected";
        case CBPeripheralStateDisconnecting: return "disconnecting";
        default: return "unknown";
    }
}
}  // namespace

std::string PlatformPeripheral::description() const {
    const auto currentName = name();
    return platformObjectDescription(*this, "identifier = " + identifier().UUIDString() +
                                                ", name = " + currentName.value_or("(null)") +
                                                ", state = " + stateName(state()));
}

}  // namespace tandril
