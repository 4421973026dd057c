#include "engine/CNCacheConsent.hpp"

#include <mutex>

namespace tandril {

namespace {
std::mutex sharedMutex;
std::shared_ptr<CNCacheConsent> sharedConsent;
}  // namespace

std::shared_ptr<CNCacheConsent> CNCacheConsent::shared() {
    std::lock_guard<std::mutex> lock(sharedMutex);
    return sharedConsent;
}

void CNCacheConsent::setShared(std::shared_ptr<CNCacheConsent> consent) {
    std::lock_guard<std::mutex> lock(sharedMutex);
    sharedConsent = std::move(consent);
}

}  // namespace tandril
