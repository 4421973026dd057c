#include "Tandril/TDRAgentProgram.hpp"

#include <pthread.h>

#include <QApplication>
#include <QDBusConnection>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "agent/TDRAppDelegate.hpp"
#include "agent/TDRSystemHost.hpp"
#include "ble/LGCentralManager.hpp"
#include "ble/LGPeripheral.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "engine/CNAdapterPairedDevices.hpp"
#include "engine/CNCacheConsent.hpp"
#include "engine/CNConsumerManager.hpp"
#include "engine/CNHelperInstaller.hpp"
#include "foundation/Bundle.hpp"
#include "foundation/Log.hpp"
#include "foundation/Paths.hpp"
#include "foundation/UserDefaults.hpp"
#include "platform/linux/CNPolkitCacheConsent.hpp"
#include "platform/linux/CNSystemdHelperInstaller.hpp"
#include "platform/linux/bluez/BluezAdapter.hpp"
#include "platform/linux/desktop/BusApplication.hpp"
#include "platform/linux/desktop/BusMessageBus.hpp"
#include "platform/linux/desktop/BusNotificationPresenter.hpp"
#include "platform/linux/desktop/BusWorkspace.hpp"
#include "platform/linux/desktop/QtRunLoop.hpp"
#include "platform/linux/desktop/WinCrashReporter.hpp"
#include "platform/linux/desktop/WinDeviceChooser.hpp"
#include "platform/linux/desktop/WinNotificationRouter.hpp"
#include "platform/linux/desktop/WinPairingDialog.hpp"
#include "platform/linux/desktop/WinUpdater.hpp"

namespace tandril {

namespace {

constexpr const char* kBusName = "com.Varn.Glimwick";

const char* const kUsage =
    "usage: Tandril [--help | --version]\n"
    "\n"
    "Shows the notifications of a nearby iPhone as desktop notifications. The settings\n"
    "application starts and stops it; it runs until it is asked to quit (SIGTERM).\n"
    "\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n";

// The defaults key that names the Bluetooth adapter to use ("hci1", its object path or its
// address) on a machine with several; absent: the first in path order.
constexpr const char* kAdapterDefaultsKey = "TDRBluetoothAdapter";

// Installs the BlueZ adapter (PlatformAdapter::setCurrent) before the engine is made. Its
// pairing agent asks the pairing confirmer the application installs
// (PlatformAdapter::setPairingConfirmer) when a phone shows a code to confirm.
std::shared_ptr<BluezAdapter> makePlatformAdapter() {
    BluezAdapter::Options options;
    if (const auto name = UserDefaults::standardUserDefaults().stringForKey(kAdapterDefaultsKey)) {
        options.adapterName = *name;
    }
    auto adapter = BluezAdapter::create(options);
    PlatformAdapter::setCurrent(adapter);
    return adapter;
}

// The bundle the program runs from: <bundle>/Contents/MacOS/Tandril.
std::shared_ptr<Bundle> ownBundle() {
    std::string path = QCoreApplication::applicationDirPath().toStdString();  // …/Contents/MacOS
    for (int i = 0; i < 2; ++i) {
        const auto slash = path.rfind('/');
        if (slash == std::string::npos || slash == 0) return nullptr;
        path.erase(slash);
    }
    if (!Paths::fileExists(Paths::join(path, "Contents/Info.plist"))) return nullptr;
    return Bundle::bundleWithPath(path);
}

// SIGINT and SIGTERM are taken by a thread of their own: the first quits the event loop and
// the program winds down; a second ends the process at once.
void quitOnSignals() {
    sigset_t quitSignals;
    sigemptyset(&quitSignals);
    sigaddset(&quitSignals, SIGINT);
    sigaddset(&quitSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &quitSignals, nullptr);
    std::thread([quitSignals] {
        int received = 0;
        sigwait(&quitSignals, &received);
        QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
        sigwait(&quitSignals, &received);
        std::_Exit(128 + received);
    }).detach();
}

}  // namespace

int TDRAgentProgram::run(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--help") {
        std::cout << kUsage;
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::cout << "Tandril " << TANDRIL_VERSION << std::endl;
        return 0;
    }
    if (argc != 1) {
        std::cerr << kUsage;
        return 2;
    }

    quitOnSignals();
    // Started without a display (a systemd user service before the session's variables are
    // imported, a remote shell), Qt's default platform would end the program: it runs on
    // without windows instead, and the notifications still reach the desktop.
    const bool display = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") || std::getenv("QT_QPA_PLATFORM");
    if (!display) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    QApplication::setApplicationName("Tandril");
    QApplication::setApplicationVersion(TANDRIL_VERSION);
    // The installed desktop entry is named after the identifier: com.Varn.Glimwick.desktop.
    QApplication::setDesktopFileName(kBusName);
    // The chooser and the dialogs come and go; the agent runs on without a window.
    QApplication::setQuitOnLastWindowClosed(false);
    QtRunLoop loop;
    RunLoop::setMain(&loop);

    // The name first: a second agent leaves before it touches any file.
    auto session = QDBusConnection::sessionBus();
    BusApplication::Handlers handlers;
    handlers.quit = [] { QCoreApplication::quit(); };
    auto presence = std::make_unique<BusApplication>(session, QString::fromLatin1(kBusName), handlers);
    if (session.isConnected() && !presence->start()) {
        log("[Tandril] Another Tandril is already running (%s is taken); this one exits.", kBusName);
        presence.reset();
        RunLoop::setMain(nullptr);
        return 0;
    }
    if (!session.isConnected()) log("[Tandril] No session bus: no notifications, no control channel.");
    if (!display) log("[Tandril] No display: the device chooser cannot be shown.");

    const auto bundle = ownBundle();
    if (bundle) {
        Bundle::setMainBundle(bundle);
    } else {
        log("[Tandril] Not started from inside its bundle (%s); the settings and updates are out of reach.",
            QCoreApplication::applicationFilePath().toStdString());
    }
    UserDefaults::setStandardDomain(kBusName);

    // The Bluetooth-cache helper: asked for through polkit, installed as a systemd socket unit.
    CNCacheConsent::setShared(std::make_shared<CNPolkitCacheConsent>());
    CNHelperInstaller::setShared(std::make_shared<CNSystemdHelperInstaller>());

    auto pairing = std::make_shared<WinPairingDialog>();
    const auto adapter = makePlatformAdapter();

    BusNotificationPresenter::Options presenterOptions;
    presenterOptions.desktopEntry = QString::fromLatin1(kBusName);
    presenterOptions.stateFile = Paths::join(BusNotificationPresenter::defaultStateDirectory(), "notifications.plist");
    auto presenter = std::make_shared<BusNotificationPresenter>(session, presenterOptions);
    auto router = WinNotificationRouter::create(presenter);
    auto chooser = std::make_shared<WinDeviceChooser>();
    auto workspace = std::make_shared<BusWorkspace>(session);
    // Sleep and wake come from logind on the system bus.
    workspace->followSleep(QDBusConnection::systemBus());

    TDRDesktop desktop;
    desktop.userNotificationCenter = router;
    desktop.messageBus = std::make_shared<BusMessageBus>(session);
    desktop.workspace = workspace;
    desktop.crashReporter = std::make_shared<WinCrashReporter>(TANDRIL_VERSION);
    desktop.host = std::make_shared<TDRSystemHost>();
    desktop.deviceChooser = chooser;
    desktop.pairedDevices = std::make_shared<CNAdapterPairedDevices>(adapter);
    desktop.pairingConfirmer = pairing;
    const std::weak_ptr<WinNotificationRouter> weakRouter = router;
    desktop.updaterForBundle = [weakRouter](const std::shared_ptr<Bundle>& updated) -> std::shared_ptr<TDRUpdater> {
        WinUpdater::Hooks hooks;
        hooks.notify = [weakRouter](const std::shared_ptr<TDRUserNotification>& notification, std::function<void()> action) {
            if (const auto target = weakRouter.lock()) target->deliverNotificationWithAction(notification, std::move(action));
        };
        hooks.openURL = [](const std::string& url) { BusWorkspace::openURL(url); };
        return std::make_shared<WinUpdater>(updated, hooks);
    };

    auto app = TDRAppDelegate::create(desktop);
    // The agent's table cell carries the phone's name; the window adds its identifier.
    const std::weak_ptr<TDRAppDelegate> weakApp = app;
    chooser->setDetailForRow([weakApp](std::int64_t row) -> std::optional<std::string> {
        const auto strong = weakApp.lock();
        const auto manager = strong ? strong->consumerManager() : nullptr;
        if (!manager || row < 0) return std::nullopt;
        const auto& peripherals = manager->availablePeripherals();
        if (static_cast<std::size_t>(row) >= peripherals.size() || !peripherals[static_cast<std::size_t>(row)]) {
            return std::nullopt;
        }
        return peripherals[static_cast<std::size_t>(row)]->UUIDString();
    });
    app->applicationDidFinishLaunching();

    const int status = QApplication::exec();

    // Everything that may still touch the run loop goes before it.
    app.reset();
    desktop = TDRDesktop{};
    chooser.reset();
    workspace.reset();
    router.reset();
    presenter.reset();
    pairing.reset();
    presence.reset();
    LGCentralManager::resetSharedInstance();
    PlatformAdapter::setCurrent(nullptr);
    RunLoop::setMain(nullptr);
    return status;
}

}  // namespace tandril
