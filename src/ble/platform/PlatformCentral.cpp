#include "ble/platform/PlatformCentral.hpp"

#include "ble/platform/PlatformCentralDelegate.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "ble/platform/PlatformError.hpp"
#include "foundation/DispatchQueue.hpp"

namespace tandril {

void PlatformCentral::startAdvertising(const std::string&, const std::vector<UUID>&) {
    auto target = queue();
    if (!target) return;
    std::weak_ptr<PlatformCentral> weak = std::static_pointer_cast<PlatformCentral>(shared_from_this());
    target->async([weak] {
        auto central = weak.lock();
        if (!central) return;
        if (auto receiver = central->delegate())
            receiver->centralManagerDidStartAdvertising(central,
                                                        PlatformError::centralError(CBErrorOperationNotSupported));
    });
}

void PlatformCentral::stopAdvertising() {}

bool PlatformCentral::isAdvertising() const {
    return false;
}

void PlatformCentralDelegate::centralManagerDidStartAdvertising(const std::shared_ptr<PlatformCentral>&,
                                                                const ErrorPtr&) {}

void PlatformCentralDelegate::centralManagerDidReceiveIncomingConnection(
    const std::shared_ptr<PlatformCentral>&, const std::shared_ptr<PlatformPeripheral>&) {}

}  // namespace tandril
