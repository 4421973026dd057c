#pragma once

#include <QDBusConnection>

#include <memory>
#include <string>

class QWidget;

namespace tandril {

class BusApplication;
class BusMessageBus;
class Bundle;
class GlimwickPanel;
class UserDefaults;
class WinAlert;

// The settings application, TandrilPane: one window that hosts the settings pane
// (GlimwickPanel). It is the pane's host too: it calls mainViewDidLoad() once after building
// the window and willSelect()/didSelect() each time it shows the window.
//
// One per session: it owns com.Varn.TandrilPane on the session bus; a second start asks the
// first to come forward (org.freedesktop.Application.Activate) and exits. Its own defaults
// ("prevStartupVersions") are the domain com.Varn.TandrilPane.
//
// With the simulator (--simulator) it watches the simulated agent instead of the real one:
// the simulator's bus name and control channel, the simulator's data folder, a simulated
// Bluetooth 5.0 controller, and the simulator's program as the agent to start.
class TDRPaneProgram {
public:
    static constexpr const char* kBusName = "com.Varn.TandrilPane";

    struct Mode {
        bool simulator = false;
        // The program started when the switch is turned on in simulator mode.
        std::string simulatorExecutable;
    };

    // `bundle` is the settings bundle (TandrilPane.prefPane); it holds the agent and the
    // pane's resources.
    TDRPaneProgram(const QDBusConnection& session, std::shared_ptr<Bundle> bundle, const Mode& mode);
    ~TDRPaneProgram();
    TDRPaneProgram(const TDRPaneProgram&) = delete;
    TDRPaneProgram& operator=(const TDRPaneProgram&) = delete;

    // Takes the bus name and builds the window (mainViewDidLoad). False when another settings
    // application owns the name: it was asked to come forward, and this one should exit.
    bool start();
    // Shows the window (again) and brings it forward: willSelect, show, then didSelect.
    void show();

    GlimwickPanel& panel() { return *panel_; }
    QWidget* window() const { return window_.get(); }

    // The data folders of the simulator under `dataHome` ($XDG_DATA_HOME): what it calls
    // Application Support, its configuration (login items) and its defaults.
    static void useSimulatorFolders(const std::string& dataHome);

    // `TandrilPane [--simulator] | --help | --version`.
    static int run(int argc, char** argv);

private:
    QDBusConnection session_;
    std::shared_ptr<Bundle> bundle_;
    Mode mode_;
    std::unique_ptr<UserDefaults> defaults_;
    std::shared_ptr<BusMessageBus> bus_;
    std::unique_ptr<QWidget> window_;
    std::unique_ptr<GlimwickPanel> panel_;
    std::unique_ptr<BusApplication> presence_;
};

}  // namespace tandril
