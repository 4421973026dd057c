#include "engine/CNHelperInstaller.hpp"

#include <mutex>

namespace tandril {

namespace {
std::mutex sharedMutex;
std::shared_ptr<CNHelperInstaller> sharedInstaller;
}  // namespace

std::shared_ptr<CNHelperInstaller> CNHelperInstaller::shared() {
    std::lock_guard<std::mutex> lock(sharedMutex);
    return sharedInstaller;
}

void CNHelperInstaller::setShared(std::shared_ptr<CNHelperInstaller> installer) {
    std::lock_guard<std::mutex> lock(sharedMutex);
    sharedInstaller = std::move(installer);
}

}  // namespace tandril
