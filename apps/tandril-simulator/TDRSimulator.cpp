#include "tandril-simulator/TDRSimulator.hpp"

#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "ble/LGCentralManager.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "foundation/Bundle.hpp"
#include "foundation/Log.hpp"
#include "foundation/Paths.hpp"
#include "foundation/RealRunLoop.hpp"
#include "sim/SimRadio.hpp"
#include "tandril-simulator/TDRSimulatorBundle.hpp"
#include "tandril-simulator/TDRSimulatorScenario.hpp"

namespace tandril {

std::string TDRSimulator::dataDirectory() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const std::string base = dataHome && *dataHome ? dataHome : Paths::join(Paths::homeDirectory(), ".local/share");
    return Paths::join(base, "tandril-simulator");
}

void TDRSimulator::dimLogLinesOnATerminal() {
    const char* noColor = std::getenv("NO_COLOR");
    if (!isatty(STDERR_FILENO) || (noColor && *noColor)) return;
    setLogSink([](const std::string& line) {
        const std::string dimmed = "\x1b[2m" + line + "\x1b[0m\n";
        std::fwrite(dimmed.data(), 1, dimmed.size(), stderr);
    });
}

namespace {

TDRSimulator::BluezMode& bluezMode() {
    static TDRSimulator::BluezMode mode;
    return mode;
}

}  // namespace

void TDRSimulator::setBluezMode(BluezMode mode) { bluezMode() = std::move(mode); }

bool TDRSimulator::takeStockIPhoneFlag(int& argc, char** argv) {
    bool found = false;
    int kept = 0;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && std::string(argv[i]) == "--stock-iphone") {
            found = true;
            continue;
        }
        argv[kept++] = argv[i];
    }
    argc = kept;
    if (argv) argv[kept] = nullptr;
    return found;
}

int TDRSimulator::run(int argc, char** argv, bool stockIPhone) {
    stockIPhone = takeStockIPhoneFlag(argc, argv) || stockIPhone;
    if (argc == 3 && std::string(argv[1]) == "--write-bundle") {
        return TDRSimulatorBundle::write(argv[2], TANDRIL_VERSION) ? 0 : 1;
    }
    const bool overBluez = argc == 2 && std::string(argv[1]) == "--bluez" && bluezMode();
    if (argc != 1 && !overBluez) {
        std::cerr << "usage: " << argv[0] << (bluezMode() ? " [--bluez]" : "") << " [--stock-iphone]\n       "
                  << argv[0] << " --write-bundle PATH" << std::endl;
        return 2;
    }

    // Ctrl-C and termination are taken by a thread of their own: the first stops the loop,
    // and the program winds down; a second one ends the process at once.
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
        sigwait(&signals, &received);
        std::_Exit(128 + received);
    }).detach();

    const auto directory = dataDirectory();
    TDRSimulatorScenario::useDataDirectory(directory);
    if (!Bundle::bundleWithPath(TANDRIL_SIMULATOR_BUNDLE)) TDRSimulatorBundle::write(TANDRIL_SIMULATOR_BUNDLE, TANDRIL_VERSION);
    Bundle::setMainBundle(Bundle::bundleWithPath(TANDRIL_SIMULATOR_BUNDLE));
    dimLogLinesOnATerminal();

    std::cout << "Tandril simulator: the agent against one simulated iPhone, '" << TDRSimulatorScenario::kPhoneName
              << "'.\n"
              << "Desktop notifications are drawn as boxes, the device chooser's window as [chooser] lines,\n"
              << "the phone's doings as [simulator] lines; the rest is the agent's log.\n"
              << "Data: " << directory << " (delete it to start afresh). Ctrl-C to stop.\n"
              << std::endl;
    auto scenario = TDRSimulatorScenario::create(std::cout);
    std::shared_ptr<void> bluez;
    if (overBluez) {
        auto radio = SimRadio::create();
        std::string error;
        std::string identifier = TDRSimulatorScenario::kPhoneIdentifier;
        bluez = bluezMode()(radio, std::cout, identifier, error);
        if (!bluez) {
            std::cerr << "tandril-simulator: " << error << std::endl;
            return 1;
        }
        scenario->useRadio(radio, identifier);
    }
    scenario->setStockIPhone(stockIPhone);
    if (stockIPhone) std::cout << "The phone runs no companion application: it connects to the advertising agent.\n" << std::endl;
    scenario->start();
    loop.run();

    std::cout << "\nStopped." << std::endl;
    scenario.reset();
    LGCentralManager::resetSharedInstance();
    PlatformAdapter::setCurrent(nullptr);
    bluez.reset();
    resetLogSink();
    RunLoop::setMain(nullptr);
    return 0;
}

}  // namespace tandril
