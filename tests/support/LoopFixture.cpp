#include "support/LoopFixture.hpp"

#include "foundation/DispatchQueue.hpp"
#include "foundation/Paths.hpp"
#include "foundation/UserDefaults.hpp"

namespace tandril::test {

LoopFixture::LoopFixture() : loop_(std::make_unique<VirtualRunLoop>()) {
    RunLoop::setMain(loop_.get());
    VirtualRunLoop* loop = loop_.get();
    DispatchQueue::setFactory([loop](std::string label) { return DispatchQueue::createOnLoop(std::move(label), *loop); });
    Paths::setApplicationSupportDirectory(home.file("Application Support"));
    Paths::setConfigDirectory(home.file("config"));
    Paths::setDefaultsDirectory(home.file("config/Tandril"));
    Paths::setSyncWrites(false);
    UserDefaults::resetStandardUserDefaults();
}

LoopFixture::~LoopFixture() {
    UserDefaults::resetStandardUserDefaults();
    Paths::setApplicationSupportDirectory("");
    Paths::setConfigDirectory("");
    Paths::setDefaultsDirectory("");
    Paths::setSyncWrites(true);
    DispatchQueue::setFactory(nullptr);
    RunLoop::setMain(nullptr);
    loop_.reset();
}

}  // namespace tandril::test
