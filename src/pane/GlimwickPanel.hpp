#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Value.hpp"
#include "shared/TDRMessageBus.hpp"

class QAbstractButton;
class QCheckBox;
class QLabel;
class QPushButton;
class QTableWidget;

namespace tandril {

class APSwitch;
class ApplicationView;
class Bundle;
class PaneAlert;
class PaneCommandRunner;
class PaneLoginItems;
class PaneRunningApplication;
class PaneWorkspace;
class UserDefaults;

// The settings pane: whether the agent runs (a switch that starts and stops it and keeps it
// among the login items), which phone it is connected to (with a button to disconnect it or
// to choose one), the phone applications it has seen with a check box each, the pane's
// version, and buttons to check for updates and to open the FAQ page.
//
// The host calls mainViewDidLoad() once after building the window, then willSelect() and
// didSelect() each time the window is shown. Everything the pane asks of the desktop goes
// through the interfaces of Platform; the agent is reached through the control channel and the
// application catalogue file.
class GlimwickPanel : public QObject {
    Q_OBJECT
public:
    struct Platform {
        std::shared_ptr<PaneWorkspace> workspace;
        std::shared_ptr<PaneLoginItems> loginItems;
        std::shared_ptr<PaneCommandRunner> commandRunner;
        std::shared_ptr<TDRMessageBus> notificationCenter;
        std::shared_ptr<PaneAlert> alert;
        // The host's defaults ("prevStartupVersions"); not owned, outlives the pane.
        UserDefaults* hostDefaults = nullptr;
    };

    struct Options {
        // The running agent's identifier.
        std::string agentBundleIdentifier = kAgentBundleIdentifier;
        // What is launched and registered as the login item; the pane bundle's resource
        // "Tandril" of type "app" when absent.
        std::optional<std::string> agentPath;
        // The shell command whose output carries the controller's "LMP Version: 0x…" lines.
        std::string bluetoothVersionCommand = kBluetoothVersionCommand;
        std::chrono::milliseconds bluetoothVersionLimit = kBluetoothVersionLimit;
        std::string faqURL = kFAQURL;
    };

    static constexpr const char* kAgentBundleIdentifier = "com.Varn.Glimwick";
    static constexpr const char* kHostDefaultsDomain = "com.Varn.TandrilPane";
    static constexpr const char* kPrevStartupVersionsKey = "prevStartupVersions";
    static constexpr const char* kFAQURL = "https://tandril.varn.com/faq";
    // The kernel's management interface lists each controller's core version ("version 9" is
    // Bluetooth 5.0), the same numbering as the link manager's; it is printed the way the
    // parse expects it. No controller, no tool or no permission prints nothing.
    static constexpr const char* kBluetoothVersionCommand =
        "btmgmt info 2>/dev/null | sed -n 's/^.*[[:space:]]version \\([0-9][0-9]*\\).*$/\\1/p' | "
        "while read -r v; do printf 'LMP Version: 0x%x\\n' \"$v\"; done";
    // A hung tool must not freeze the window: after this the check counts as version 0.
    static constexpr std::chrono::milliseconds kBluetoothVersionLimit{5000};
    // The link-manager version of Bluetooth 4.0.
    static constexpr std::int64_t kMinimumBluetoothVersion = 6;

    GlimwickPanel(std::shared_ptr<Bundle> bundle, Platform platform, Options options);
    GlimwickPanel(std::shared_ptr<Bundle> bundle, Platform platform);
    ~GlimwickPanel() override;

    // The pane's view, built with the pane; the host puts it in its window.
    QWidget* mainView() const { return mainView_; }

    // Calls from the host.
    void mainViewDidLoad();
    void willSelect();
    void didSelect();

    // Actions of the pane's controls.
    void toggleDevice();
    void checkForUpdates();
    void visitWebsite();
    void applicationChecked(QCheckBox* sender);

    void checkBluetoothVersion();
    std::int64_t bluetoothVersion();
    // The version in the output of the Bluetooth command: "LMP Version: " and "0x" removed,
    // white space trimmed, then the leading hexadecimal digits (0 when there are none).
    static std::int64_t parseBluetoothVersion(const std::string& output);
    void autoStartNotify();
    void updateStatusLabel();
    void startNotify();
    void stopNotify();
    std::shared_ptr<PaneRunningApplication> notifyApplication();
    void addAppAsLoginItem();
    void deleteAppFromLoginItem();
    std::string applicationsPath();
    std::string iconsPath();
    void loadApplications();
    // Writes the "enabled" value of `bundleIdentifier` into the catalogue file as it is now,
    // leaving every other entry as the file holds it, then tells the agent.
    void saveApplications(const std::string& bundleIdentifier, bool enabled);
    void alertDidEndReturnCodeContextInfo(int returnCode);

    void requestDeviceInformation();
    // "Allow iPhones to connect": written into the agent's defaults, then the agent is asked
    // for the device information (it re-reads the key on every such request).
    void allowIPhonesChecked();
    // The check box shows the agent's stored choice (absent: on unless a phone is preferred).
    void loadAllowIPhones();
    void receivedDeviceInformation(const TDRMessage& message);

    void observeValueForKeyPath(const std::string& keyPath);

    std::size_t numberOfRowsInTableView() const;
    // A fresh row for `row`, owned by the caller; null when the row's interface cannot be loaded.
    ApplicationView* tableViewViewForTableColumnRow(std::size_t row);
    bool tableViewShouldSelectRow(std::size_t row) const;

    // Outlets.
    QLabel* versionLabel() const { return versionLabel_; }
    APSwitch* statusSwitch() const { return statusSwitch_; }
    QLabel* deviceLabel() const { return deviceLabel_; }
    QPushButton* deviceButton() const { return deviceButton_; }
    QCheckBox* allowIPhonesCheckBox() const { return allowIPhonesCheckBox_; }
    QTableWidget* applicationsTableView() const { return applicationsTableView_; }
    QPushButton* updateButton() const { return updateButton_; }
    QPushButton* websiteButton() const { return websiteButton_; }
    const std::vector<Dictionary>& applications() const { return applications_; }

    // The path the agent is launched and registered from (absent when the bundle has none).
    std::optional<std::string> agentPath() const;
    // "%@ to %@." with the state capitalized: "connected", "Work Phone" -> "Connected to Work Phone."
    static std::string deviceText(const std::string& state, const std::string& name);

private:
    void buildView();
    void reloadTable();
    std::string bundleVersion() const;

    std::shared_ptr<Bundle> bundle_;
    Platform platform_;
    Options options_;

    QPointer<QWidget> mainView_;
    QLabel* versionLabel_ = nullptr;
    APSwitch* statusSwitch_ = nullptr;
    QLabel* deviceLabel_ = nullptr;
    QPushButton* deviceButton_ = nullptr;
    QCheckBox* allowIPhonesCheckBox_ = nullptr;
    QTableWidget* applicationsTableView_ = nullptr;
    QPushButton* updateButton_ = nullptr;
    QPushButton* websiteButton_ = nullptr;
    std::vector<Dictionary> applications_;
    bool loaded_ = false;
    // Observers registered with the bus and the workspace hold it weakly: after the pane is
    // gone they do nothing.
    std::shared_ptr<GlimwickPanel*> self_;
};

}  // namespace tandril
