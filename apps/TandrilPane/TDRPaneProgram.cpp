#include "TandrilPane/TDRPaneProgram.hpp"

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdlib>
#include <iostream>
#include <string>

#include "foundation/Bundle.hpp"
#include "foundation/Log.hpp"
#include "foundation/Paths.hpp"
#include "foundation/RunLoop.hpp"
#include "foundation/UserDefaults.hpp"
#include "pane/GlimwickPanel.hpp"
#include "platform/linux/desktop/BusApplication.hpp"
#include "platform/linux/desktop/BusMessageBus.hpp"
#include "platform/linux/desktop/BusRunningApplication.hpp"
#include "platform/linux/desktop/QtRunLoop.hpp"
#include "platform/linux/pane/AutostartLoginItems.hpp"
#include "platform/linux/pane/BusPaneWorkspace.hpp"
#include "platform/linux/pane/ProcessCommandRunner.hpp"
#include "platform/linux/pane/WinAlert.hpp"

namespace tandril {

namespace {

// The simulator's names, kept apart from the real agent's (see tandril-simulator).
constexpr const char* kSimulatorBusName = "com.Varn.Glimwick.Simulator";
constexpr const char* kSimulatorChannelPath = "/com/Varn/Tandril/Simulator/ControlChannel";
constexpr const char* kSimulatorChannelInterface = "com.Varn.Tandril.Simulator.ControlChannel";
// The simulated phone talks to a simulated Bluetooth 5.0 controller.
constexpr const char* kSimulatorBluetoothCommand = "echo 'LMP Version: 0x9'";

const char* const kUsage =
    "usage: TandrilPane [--simulator | --help | --version]\n"
    "\n"
    "The settings of Tandril: start and stop it, see the connected iPhone, choose which\n"
    "iPhone applications may show notifications.\n"
    "\n"
    "  --simulator  settings of tandril-simulator's agent instead of the installed one\n"
    "  --help       print this text and exit\n"
    "  --version    print the version and exit\n";

// The bundle the program runs from: <bundle>/Contents/MacOS/TandrilPane.
std::shared_ptr<Bundle> ownBundle() {
    std::string path = QCoreApplication::applicationDirPath().toStdString();
    for (int i = 0; i < 2; ++i) {
        const auto slash = path.rfind('/');
        if (slash == std::string::npos || slash == 0) return nullptr;
        path.erase(slash);
    }
    if (!Paths::fileExists(Paths::join(path, "Contents/Info.plist"))) return nullptr;
    return Bundle::bundleWithPath(path);
}

std::string dataHome() {
    const char* value = std::getenv("XDG_DATA_HOME");
    return value && *value ? value : Paths::join(Paths::homeDirectory(), ".local/share");
}

}  // namespace

TDRPaneProgram::TDRPaneProgram(const QDBusConnection& session, std::shared_ptr<Bundle> bundle, const Mode& mode)
    : session_(session), bundle_(std::move(bundle)), mode_(mode) {
    if (mode_.simulator) useSimulatorFolders(dataHome());
    defaults_ = std::make_unique<UserDefaults>(GlimwickPanel::kHostDefaultsDomain);

    GlimwickPanel::Platform platform;
    platform.workspace = std::make_shared<BusPaneWorkspace>(session_);
    platform.loginItems = std::make_shared<AutostartLoginItems>();
    platform.commandRunner = std::make_shared<ProcessCommandRunner>();
    bus_ = mode_.simulator ? std::make_shared<BusMessageBus>(session_, QString::fromLatin1(kSimulatorChannelPath),
                                                             QString::fromLatin1(kSimulatorChannelInterface))
                           : std::make_shared<BusMessageBus>(session_);
    platform.notificationCenter = bus_;
    platform.alert = std::make_shared<WinAlert>();
    platform.hostDefaults = defaults_.get();
    GlimwickPanel::Options options;
    if (mode_.simulator) {
        options.agentBundleIdentifier = kSimulatorBusName;
        options.agentPath = mode_.simulatorExecutable;
        options.bluetoothVersionCommand = kSimulatorBluetoothCommand;
    }
    panel_ = std::make_unique<GlimwickPanel>(bundle_, platform, options);

    window_ = std::make_unique<QWidget>();
    window_->setObjectName(QStringLiteral("TandrilPaneWindow"));
    window_->setWindowTitle(mode_.simulator ? QStringLiteral("Tandril Settings (Simulator)")
                                            : QStringLiteral("Tandril Settings"));
    window_->setWindowIcon(QIcon::fromTheme(QStringLiteral("bluetooth")));
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(panel_->mainView());
    window_->resize(560, 520);
}

TDRPaneProgram::~TDRPaneProgram() {
    panel_.reset();
    window_.reset();
    presence_.reset();
}

bool TDRPaneProgram::start() {
    BusApplication::Handlers handlers;
    handlers.quit = [] { QCoreApplication::quit(); };
    handlers.activate = [this] { show(); };
    presence_ = std::make_unique<BusApplication>(session_, QString::fromLatin1(kBusName), handlers);
    if (session_.isConnected() && !presence_->start()) {
        presence_.reset();
        BusRunningApplication(session_, QString::fromLatin1(kBusName)).activate();
        return false;
    }
    panel_->mainViewDidLoad();
    return true;
}

void TDRPaneProgram::show() {
    panel_->willSelect();
    window_->show();
    window_->raise();
    window_->activateWindow();
    // The pane has been shown once the window is on the screen.
    QTimer::singleShot(0, window_.get(), [this] { panel_->didSelect(); });
}

void TDRPaneProgram::useSimulatorFolders(const std::string& home) {
    const std::string directory = Paths::join(home, "tandril-simulator");
    Paths::setApplicationSupportDirectory(Paths::join(directory, "data"));
    Paths::setConfigDirectory(Paths::join(directory, "config"));
    Paths::setDefaultsDirectory(Paths::join(directory, "defaults"));
}

int TDRPaneProgram::run(int argc, char** argv) {
    Mode mode;
    if (argc == 2 && std::string(argv[1]) == "--help") {
        std::cout << kUsage;
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::cout << "TandrilPane " << TANDRIL_VERSION << std::endl;
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "--simulator") {
        mode.simulator = true;
        mode.simulatorExecutable = TANDRIL_SIMULATOR_EXECUTABLE;
    } else if (argc != 1) {
        std::cerr << kUsage;
        return 2;
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName("TandrilPane");
    QApplication::setApplicationVersion(TANDRIL_VERSION);
    QApplication::setDesktopFileName(kBusName);
    QtRunLoop loop;
    RunLoop::setMain(&loop);

    auto session = QDBusConnection::sessionBus();
    if (!session.isConnected()) {
        std::cerr << "TandrilPane: no session bus; the settings cannot reach Tandril." << std::endl;
        RunLoop::setMain(nullptr);
        return 1;
    }
    const auto bundle = ownBundle();
    if (!bundle) {
        log("[TandrilPane] Not started from inside its bundle (%s); Tandril cannot be started from here.",
            QCoreApplication::applicationFilePath().toStdString());
    }
    int status = 0;
    {
        TDRPaneProgram program(session, bundle, mode);
        if (!program.start()) {
            log("[TandrilPane] The settings are already open; that window comes forward.");
        } else {
            program.show();
            status = QApplication::exec();
        }
    }
    RunLoop::setMain(nullptr);
    return status;
}

}  // namespace tandril
