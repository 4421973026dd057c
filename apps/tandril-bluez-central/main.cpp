// tandril-bluez-central: the agent's engine over the machine's BlueZ without a desktop,
// printing its reports; for end-to-end runs against tandril-bluez-phone.
//   tandril-bluez-central [--allow-iphones [--name NAME]] [ADAPTER]
//     ADAPTER: hci0, its path or address; default the first.
//     --allow-iphones: "Allow iPhones to connect" on: the engine also advertises (as NAME,
//     default "Tandril") for iPhones without the companion application.

#include <pthread.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "agent/TDRPreferredDeviceDefaults.hpp"
#include "ble/LGCentralManager.hpp"
#include "engine/CNAdapterPairedDevices.hpp"
#include "engine/CNConsumerManager.hpp"
#include "foundation/RealRunLoop.hpp"
#include "model/CNNotificationApplicationManager.hpp"
#include "platform/linux/bluez/BluezAdapter.hpp"
#include "tandril-bluez-central/BluezCentralDriver.hpp"

int main(int argc, char** argv) {
    using namespace tandril;
    bool allowIPhones = false;
    std::optional<std::string> name;
    std::optional<std::string> adapterName;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--allow-iphones") {
            allowIPhones = true;
        } else if (argument == "--name" && i + 1 < argc) {
            name = argv[++i];
        } else if (!argument.empty() && argument[0] != '-' && !adapterName) {
            adapterName = argument;
        } else {
            std::cerr << "usage: " << argv[0] << " [--allow-iphones [--name NAME]] [ADAPTER]\n";
            return 2;
        }
    }
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    RealRunLoop loop;
    RunLoop::setMain(&loop);
    std::thread([&loop, stopSignals] {
        int received = 0;
        sigwait(&stopSignals, &received);
        loop.stop();
        sigwait(&stopSignals, &received);
        std::_Exit(128 + received);
    }).detach();

    BluezAdapter::Options options;
    if (adapterName) options.adapterName = *adapterName;
    auto adapter = BluezAdapter::create(options);
    PlatformAdapter::setCurrent(adapter);

    CNConsumerManager::Collaborators collaborators;
    collaborators.centralManager = LGCentralManager::sharedInstance();
    collaborators.pairedDevices = std::make_shared<CNAdapterPairedDevices>(adapter);
    collaborators.catalogue = CNNotificationApplicationManager::defaultManager();
    collaborators.preferredDeviceStore = std::make_shared<TDRPreferredDeviceDefaults>();
    auto engine = CNConsumerManager::create(std::move(collaborators));
    auto driver = std::make_shared<BluezCentralDriver>();
    engine->setDelegate(driver);
    // The desktop's pairing dialog: every code is confirmed (and reported).
    PlatformAdapter::setPairingConfirmer(driver);
    if (name) engine->setName(name);
    if (allowIPhones) engine->setAllowsIncomingPhones(true);
    BluezCentralDriver::say("started");
    driver->start(engine);
    loop.run();

    BluezCentralDriver::say("stopped");
    PlatformAdapter::setPairingConfirmer(nullptr);
    engine.reset();
    driver.reset();
    LGCentralManager::resetSharedInstance();
    PlatformAdapter::setCurrent(nullptr);
    adapter.reset();
    RunLoop::setMain(nullptr);
    return 0;
}
