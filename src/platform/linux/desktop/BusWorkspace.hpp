#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "agent/TDRWorkspace.hpp"

namespace tandril {

class BusSleepMonitor;

// The desktop session as the agent and the settings application see it.
//
// - Running applications are the owners of well-known names on the session bus; an
//   application's identifier is its bus name. Changes of the list come from the bus's
//   NameOwnerChanged for well-known names (connections' own unique names are not
//   applications).
// - Launching by identifier starts, detached, the program of the installed desktop entry
//   "<identifier>.desktop" (looked up in $XDG_DATA_HOME/applications, then each of
//   $XDG_DATA_DIRS/applications), its Exec line without field codes.
// - Opening a file: a bundle folder whose Contents/Info.plist names an identifier with an
//   installed desktop entry is that application: brought to the front when it runs, launched
//   otherwise (the agent opens the settings application's bundle this way); a bundle with an
//   executable of its own and no desktop entry is launched from it. Anything else goes to
//   xdg-open, detached.
// - Launching a bundle (launchApplicationAtPath, the settings application's way of starting
//   the agent): its Contents/MacOS/<CFBundleExecutable>, detached.
// - Sleep and wake come from logind once followSleep() was called (NSWorkspaceWillSleep- and
//   NSWorkspaceDidWakeNotification observers).
class BusWorkspace : public QObject, public TDRWorkspace {
    Q_OBJECT
public:
    explicit BusWorkspace(const QDBusConnection& sessionBus);
    ~BusWorkspace() override;

    // Follows logind's sleep and wake on `systemBus` (a delay inhibitor while awake).
    void followSleep(const QDBusConnection& systemBus);

    void addObserver(const std::string& name, Handler handler) override;
    std::vector<std::shared_ptr<TDRRunningApplication>> runningApplicationsWithBundleIdentifier(
        const std::string& bundleIdentifier) override;
    bool launchAppWithBundleIdentifier(const std::string& bundleIdentifier, std::uint32_t options) override;
    bool openFile(const std::string& path) override;
    void addRunningApplicationsObserver(TDRKeyValueObserver* observer, const void* context) override;
    void removeRunningApplicationsObserver(TDRKeyValueObserver* observer, const void* context) override;

    // Starts the program of the bundle at `bundlePath` (Contents/Info.plist's
    // CFBundleExecutable in Contents/MacOS), detached. False, logged, when there is none.
    bool launchApplicationAtPath(const std::string& bundlePath);
    // Opens a URL with the user's default application (xdg-open, detached).
    static bool openURL(const std::string& url);
    // The installed desktop entry of `identifier`, or nullopt.
    static std::optional<std::string> desktopEntryPath(const std::string& identifier);
    // The command of a desktop entry's Exec value: unquoted arguments without field codes.
    // Empty when the value is malformed.
    static QStringList execArguments(const QString& exec);

    // Reports a workspace notification to its observers (the sleep monitor's reactions).
    void post(const std::string& name);

private slots:
    void onNameOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);

private:
    QDBusConnection bus_;
    std::vector<std::pair<std::string, Handler>> handlers_;
    std::vector<std::pair<TDRKeyValueObserver*, const void*>> observers_;
    std::unique_ptr<BusSleepMonitor> sleepMonitor_;
};

}  // namespace tandril
