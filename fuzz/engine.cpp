// libFuzzer target for the whole engine behind the codec: Notification Source values, Data
// Source fragments and the time between them, in any order, through CNConsumerManager's
// handlers with the catalogue, the simulated radio and the run loop (about a hundred inputs a
// second; fuzz/codec.cpp drives the codec alone, hundreds of times faster).

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <unistd.h>

#include "../tests/engine/CodecFuzzInput.hpp"
#include "../tests/engine/TestEngine.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/Log.hpp"
#include "foundation/Paths.hpp"
#include "foundation/UserDefaults.hpp"

namespace {

struct Harness {
    Harness() {
        tandril::RunLoop::setMain(&loop);
        tandril::DispatchQueue::setFactory([this](std::string label) {
            return tandril::DispatchQueue::createOnLoop(std::move(label), loop);
        });
        home = std::filesystem::temp_directory_path() / ("tandril-fuzz-engine-" + std::to_string(getpid()));
        tandril::Paths::setApplicationSupportDirectory((home / "Application Support").string());
        tandril::Paths::setConfigDirectory((home / "config").string());
        tandril::Paths::setDefaultsDirectory((home / "config" / "Tandril").string());
        tandril::Paths::setSyncWrites(false);
        tandril::UserDefaults::resetStandardUserDefaults();
        tandril::setLogSink([](const std::string&) {});
        tandril::codecfuzz::refuseIconLookups();
        engine = tandril::test::createTestEngine();
    }
    tandril::VirtualRunLoop loop;
    std::filesystem::path home;
    std::shared_ptr<tandril::CNConsumerManager> engine;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Harness* harness = new Harness();
    // A fresh engine now and then, so that state carried between inputs stays small.
    static unsigned runs = 0;
    if (++runs % 256 == 0) {
        // The catalogue grows with every new application name and is rewritten whole on
        // each change: start it afresh too, or the target slows down as it runs.
        harness->engine.reset();
        tandril::CNNotificationApplicationManager::setDefaultManager(nullptr);
        std::filesystem::remove_all(harness->home / "Application Support");
        harness->engine = tandril::test::createTestEngine();
    }
    tandril::codecfuzz::replay(*harness->engine, harness->loop, data, size);
    return 0;
}
