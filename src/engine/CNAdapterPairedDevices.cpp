#include "engine/CNAdapterPairedDevices.hpp"

#include "ble/platform/PlatformAdapter.hpp"
#include "ble/platform/PlatformClassicDevice.hpp"

namespace tandril {

CNAdapterPairedDevices::CNAdapterPairedDevices(std::shared_ptr<PlatformAdapter> adapter)
    : adapter_(std::move(adapter)) {}

std::vector<std::shared_ptr<PlatformClassicDevice>> CNAdapterPairedDevices::pairedDevices() {
    if (!adapter_) return {};
    return adapter_->pairedDevices();
}

}  // namespace tandril
