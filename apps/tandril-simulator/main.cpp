// tandril-simulator: the agent shell, engine, catalogue and BLE layer over a simulated
// iPhone, on the real run loop. Notifications and the device chooser print to standard
// output, log lines to standard error. Ctrl-C stops it.
//
// Its data lives in $XDG_DATA_HOME/tandril-simulator (default ~/.local/share), apart from
// the real agent's.

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "agent/TDRSimulatorBundle.hpp"
#include "agent/TDRSimulatorScenario.hpp"
#include "ble/LGCentralManager.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "foundation/Bundle.hpp"
#include "foundation/Paths.hpp"
#include "foundation/RealRunLoop.hpp"

using namespace tandril;

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--write-bundle") {
        return TDRSimulatorBundle::write(argv[2], TANDRIL_VERSION) ? 0 : 1;
    }

    // Ctrl-C and termination are taken by a thread of their own, which stops the loop.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    RealRunLoop loop;
    RunLoop::setMain(&loop);
    std::thread([&loop, signals] {
        int received = 0;
        sigwait(&signals, &received);
        loop.stop();
    }).detach();

    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const std::string base = dataHome && *dataHome ? dataHome : Paths::join(Paths::homeDirectory(), ".local/share");
    TDRSimulatorScenario::useDataDirectory(Paths::join(base, "tandril-simulator"));
    if (!Bundle::bundleWithPath(TANDRIL_SIMULATOR_BUNDLE)) TDRSimulatorBundle::write(TANDRIL_SIMULATOR_BUNDLE, TANDRIL_VERSION);
    Bundle::setMainBundle(Bundle::bundleWithPath(TANDRIL_SIMULATOR_BUNDLE));

    std::cout << "Tandril simulator: one simulated iPhone, data in " << Paths::join(base, "tandril-simulator")
              << ". Ctrl-C to stop." << std::endl;
    auto scenario = TDRSimulatorScenario::create(std::cout);
    scenario->start();
    loop.run();

    std::cout << "Stopped." << std::endl;
    scenario.reset();
    LGCentralManager::resetSharedInstance();
    PlatformAdapter::setCurrent(nullptr);
    RunLoop::setMain(nullptr);
    return 0;
}
