// tandril-bluez-central: the agent's engine over the machine's BlueZ without a desktop,
// printing its reports; for end-to-end runs against tandril-bluez-phone.
//   tandril-bluez-central [ADAPTER]      (ADAPTER: hci0, its path or address; default the first)

#include <pthread.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
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
    if (argc > 2) {
        std::cerr << "usage: " << argv[0] << " [ADAPTER]\n";
        return 2;
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
    if (argc == 2) options.adapterName = argv[1];
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
    BluezCentralDriver::say("started");
    driver->start(engine);
    loop.run();

    BluezCentralDriver::say("stopped");
    engine.reset();
    driver.reset();
    LGCentralManager::resetSharedInstance();
    PlatformAdapter::setCurrent(nullptr);
    adapter.reset();
    RunLoop::setMain(nullptr);
    return 0;
}
