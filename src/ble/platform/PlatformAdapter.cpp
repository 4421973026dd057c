#include "ble/platform/PlatformAdapter.hpp"

#include <mutex>

#include "ble/platform/PlatformPairingConfirmer.hpp"

namespace tandril {

namespace {
std::mutex& adapterMutex() {
    static std::mutex mutex;
    return mutex;
}
std::shared_ptr<PlatformAdapter>& installedAdapter() {
    static std::shared_ptr<PlatformAdapter> adapter;
    return adapter;
}
std::shared_ptr<PlatformPairingConfirmer>& installedConfirmer() {
    static std::shared_ptr<PlatformPairingConfirmer> confirmer;
    return confirmer;
}
}  // namespace

std::shared_ptr<PlatformPairingConfirmer> PlatformAdapter::pairingConfirmer() {
    std::lock_guard<std::mutex> lock(adapterMutex());
    return installedConfirmer();
}

void PlatformAdapter::setPairingConfirmer(std::shared_ptr<PlatformPairingConfirmer> confirmer) {
    std::shared_ptr<PlatformPairingConfirmer> previous;
    {
        std::lock_guard<std::mutex> lock(adapterMutex());
        previous = std::move(installedConfirmer());
        installedConfirmer() = std::move(confirmer);
    }
}

std::shared_ptr<PlatformAdapter> PlatformAdapter::current() {
    std::lock_guard<std::mutex> lock(adapterMutex());
    return installedAdapter();
}

void PlatformAdapter::setCurrent(std::shared_ptr<PlatformAdapter> adapter) {
    std::shared_ptr<PlatformAdapter> previous;
    {
        std::lock_guard<std::mutex> lock(adapterMutex());
        previous = std::move(installedAdapter());
        installedAdapter() = std::move(adapter);
    }
    // `previous` is released outside the lock.
}

}  // namespace tandril
