#include "ble/platform/PlatformAdapter.hpp"

#include <mutex>

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
}  // namespace

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
