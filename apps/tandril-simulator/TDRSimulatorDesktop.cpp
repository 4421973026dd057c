#include "tandril-simulator/TDRSimulatorDesktop.hpp"

#include <pthread.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QWidget>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "agent/TDRAppDelegate.hpp"
#include "ble/LGCentralManager.hpp"
#include "ble/LGPeripheral.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "engine/CNConsumerManager.hpp"
#include "foundation/Bundle.hpp"
#include "foundation/Log.hpp"
#include "foundation/Paths.hpp"
#include "platform/linux/desktop/BusApplication.hpp"
#include "platform/linux/desktop/BusMessageBus.hpp"
#include "platform/linux/desktop/BusNotificationPresenter.hpp"
#include "platform/linux/desktop/QtRunLoop.hpp"
#include "platform/linux/desktop/WinDeviceChooser.hpp"
#include "platform/linux/desktop/WinPairingDialog.hpp"
#include "tandril-simulator/TDRSimulator.hpp"
#include "tandril-simulator/TDRSimulatorBundle.hpp"
#include "tandril-simulator/TDRSimulatorScenario.hpp"

namespace tandril {

namespace {

constexpr const char* kNotificationsName = "org.freedesktop.Notifications";

bool hasEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

bool hasDisplay() { return hasEnvironment("DISPLAY") || hasEnvironment("WAYLAND_DISPLAY"); }

// A notification server that runs, or that the bus starts on first use.
bool hasNotificationServer(QDBusConnection& bus) {
    auto* names = bus.interface();
    if (!names) return false;
    if (names->isServiceRegistered(kNotificationsName).value()) return true;
    const auto activatable = names->activatableServiceNames();
    return activatable.isValid() && activatable.value().contains(kNotificationsName);
}

sigset_t quitSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Ctrl-C and SIGTERM are blocked before any thread starts (Qt starts some), so that only the
// thread of quitOnSignals() takes them.
void blockQuitSignals() {
    const auto set = quitSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// Ctrl-C and SIGTERM quit the event loop; a second one ends the process at once.
void quitOnSignals() {
    std::thread([] {
        const auto waitFor = quitSignals();
        int received = 0;
        sigwait(&waitFor, &received);
        QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
        sigwait(&waitFor, &received);
        std::_Exit(128 + received);
    }).detach();
}

}  // namespace

int TDRSimulatorDesktop::run(int argc, char** argv) {
    // The terminal run reads the flag itself; here it is taken out before Qt sees the arguments.
    const bool stockIPhone = TDRSimulator::takeStockIPhoneFlag(argc, argv);
    if (argc != 1 || hasEnvironment("TANDRIL_SIMULATOR_TERMINAL") || !hasEnvironment("DBUS_SESSION_BUS_ADDRESS")) {
        return TDRSimulator::run(argc, argv, stockIPhone);
    }

    blockQuitSignals();
    // Qt's application first: with a display a widgets application, else a plain one.
    const bool display = hasDisplay();
    std::unique_ptr<QCoreApplication> application;
    if (display) {
        auto widgets = std::make_unique<QApplication>(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        application = std::move(widgets);
    } else {
        application = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName("tandril-simulator");
    auto session = QDBusConnection::sessionBus();
    const bool notifications = session.isConnected() && hasNotificationServer(session);
    if (!session.isConnected() || (!notifications && !display)) {
        application.reset();
        return TDRSimulator::run(argc, argv, stockIPhone);
    }

    quitOnSignals();
    auto loop = std::make_unique<QtRunLoop>();
    RunLoop::setMain(loop.get());

    BusApplication::Handlers handlers;
    handlers.quit = [] { QCoreApplication::quit(); };
    auto presence = std::make_unique<BusApplication>(session, QString::fromLatin1(kBusName), handlers);
    if (!presence->start()) {
        std::cerr << "Another simulator is already running (" << kBusName << " is taken); this one exits." << std::endl;
        presence.reset();
        RunLoop::setMain(nullptr);
        return 0;
    }

    const auto directory = TDRSimulator::dataDirectory();
    TDRSimulatorScenario::useDataDirectory(directory);
    if (!Bundle::bundleWithPath(TANDRIL_SIMULATOR_BUNDLE)) TDRSimulatorBundle::write(TANDRIL_SIMULATOR_BUNDLE, TANDRIL_VERSION);
    Bundle::setMainBundle(Bundle::bundleWithPath(TANDRIL_SIMULATOR_BUNDLE));
    TDRSimulator::dimLogLinesOnATerminal();

    TDRDesktop desktop;
    std::shared_ptr<BusNotificationPresenter> presenter;
    if (notifications) {
        BusNotificationPresenter::Options options;
        options.applicationName = QStringLiteral("Tandril Simulator");
        options.stateFile = Paths::join(directory, "state/notifications.plist");
        presenter = std::make_shared<BusNotificationPresenter>(session, options);
        desktop.userNotificationCenter = presenter;
    }
    auto bus = std::make_shared<BusMessageBus>(session, QString::fromLatin1(kControlChannelPath),
                                               QString::fromLatin1(kControlChannelInterface));
    desktop.messageBus = bus;
    std::shared_ptr<WinDeviceChooser> chooser;
    if (display) {
        chooser = std::make_shared<WinDeviceChooser>();
        chooser->window()->setWindowTitle("Tandril Simulator");
        desktop.deviceChooser = chooser;
    }
    // With a display the numeric comparison is the agent's own dialog (press Confirm);
    // without one the terminal confirms.
    std::shared_ptr<WinPairingDialog> pairing;
    if (display) {
        pairing = std::make_shared<WinPairingDialog>();
        desktop.pairingConfirmer = pairing;
    }

    std::cout << "Tandril simulator on this desktop: the agent against one simulated iPhone, '"
              << TDRSimulatorScenario::kPhoneName << "'.\n"
              << "Notifications: " << (notifications ? "desktop notifications" : "boxes on this terminal") << ".\n"
              << "Device chooser: " << (display ? "a window (pick the phone and press Connect)" : "[chooser] lines")
              << ".\n"
              << "Control channel: the session bus (" << kControlChannelInterface << ").\n"
              << "Data: " << directory << " (delete it to start afresh). Ctrl-C to stop.\n"
              << std::endl;

    auto scenario = TDRSimulatorScenario::create(std::cout);
    scenario->setDesktop(desktop);
    scenario->setStockIPhone(stockIPhone);
    if (chooser) {
        const std::weak_ptr<TDRSimulatorScenario> weakScenario = scenario;
        chooser->setDetailForRow([weakScenario](std::int64_t row) -> std::optional<std::string> {
            const auto strong = weakScenario.lock();
            const auto app = strong ? strong->appDelegate() : nullptr;
            const auto manager = app ? app->consumerManager() : nullptr;
            if (!manager || row < 0) return std::nullopt;
            const auto& peripherals = manager->availablePeripherals();
            const auto index = static_cast<std::size_t>(row);
            if (index >= peripherals.size() || !peripherals[index]) return std::nullopt;
            return peripherals[index]->UUIDString();
        });
    }
    scenario->start();
    const int status = QCoreApplication::exec();

    std::cout << "\nStopped." << std::endl;
    scenario.reset();
    desktop = TDRDesktop{};
    pairing.reset();
    chooser.reset();
    bus.reset();
    presenter.reset();
    presence.reset();
    LGCentralManager::resetSharedInstance();
    PlatformAdapter::setCurrent(nullptr);
    resetLogSink();
    RunLoop::setMain(nullptr);
    loop.reset();
    return status;
}

}  // namespace tandril
