#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "agent/TDRDeliveredNotifications.hpp"
#include "agent/TDRDesktop.hpp"
#include "agent/TDRDeviceChooserDelegate.hpp"
#include "agent/TDRKeyValueObserver.hpp"
#include "agent/TDRUpdaterDelegate.hpp"
#include "agent/TDRUserNotificationCenterDelegate.hpp"
#include "engine/CNConsumerManagerDelegate.hpp"
#include "foundation/Error.hpp"
#include "foundation/Object.hpp"
#include "foundation/RunLoop.hpp"
#include "shared/TDRMessageBus.hpp"

namespace tandril {

class PlatformPairingConfirmer;

class CNConsumerManager;
class CNNotification;
class LGPeripheral;

// The agent's application delegate. It owns the consumer engine and ties it to the
// desktop: start-up, sleep and wake, the update check and the relaunch of the settings
// application after an upgrade, desktop notifications and status notices, the device
// chooser, and the agent's end of the control channel. Everything runs on the main thread.
class TDRAppDelegate : public Object,
                       public CNConsumerManagerDelegate,
                       public TDRUserNotificationCenterDelegate,
                       public TDRDeviceChooserDelegate,
                       public TDRUpdaterDelegate,
                       public TDRKeyValueObserver {
public:
    // The product's crash-reporting key and update feed.
    static constexpr const char* kCrashReporterAPIKey = "5f0c3a9e81d24b67a0e9c4d1b3f6a2e8c7d90b15";
    static constexpr const char* kUpdateFeedURL = "https://tandril.varn.com/app/appcast.xml";
    // The application that hosts the settings pane, restarted once after an upgrade.
    static constexpr const char* kSettingsApplicationBundleIdentifier = "com.Varn.TandrilPane";
    // The agent's list of versions it has started with, in its own defaults domain.
    static constexpr const char* kPrevStartupVersionsKey = "prevStartupVersions";
    static constexpr const char* kNoticeTitle = "Tandril";
    // Seconds.
    static constexpr double kNoticeLifetime = 3.0;
    static constexpr double kDisconnectNoticeDelay = 60.0;
    static constexpr double kReloadDevicesInterval = 5.0;
    // After a silent reconnection the phone re-announces what it holds. The announcement
    // counts as over once no re-announced record has come for kReannouncementQuietPeriod
    // (counted from the connection report, then from each re-announced record), and at
    // the latest kReannouncementLimit after the connection report.
    static constexpr double kReannouncementQuietPeriod = 5.0;
    static constexpr double kReannouncementLimit = 30.0;

    static std::shared_ptr<TDRAppDelegate> create(TDRDesktop desktop);
    ~TDRAppDelegate() override;

    // --- properties
    const std::shared_ptr<TDRDeviceChooser>& deviceWindow() const { return desktop_.deviceChooser; }
    const std::shared_ptr<CNConsumerManager>& consumerManager() const { return consumerManager_; }
    const std::shared_ptr<TDRMessageBus>& notificationCenter() const { return notificationCenter_; }
    bool isSleeping() const { return sleeping_; }
    bool securedConnection() const { return securedConnection_; }
    const std::shared_ptr<TDRUpdater>& updater() const { return updater_; }
    const std::shared_ptr<LGPeripheral>& disconnectedPeripheral() const { return disconnectedPeripheral_; }
    // The phone notifications shown on the desktop and those kept over a short drop.
    const TDRDeliveredNotifications& deliveredNotifications() const { return deliveredNotifications_; }
    // The enclosing settings bundle: the agent's bundle path without its last three components.
    std::string preferencePanePath() const;

    // --- start-up and lifecycle
    void applicationDidFinishLaunching();
    void receivedSleepNotification();
    void receivedWakeNotification();
    void relaunchSystemPreferencesWhenNeeded();
    void observeValueForKeyPath(const std::string& keyPath, const void* object, const void* context) override;
    std::string pathToRelaunchForUpdater(TDRUpdater* updater) override;
    void checkForUpdates(const void* sender);

    // --- control channel
    void requestedDeviceInformation(const TDRMessage& message);
    void sendDeviceInformation();
    void toggleDevice(const TDRMessage& message);
    void editedApplications(const TDRMessage& message);

    // --- engine reports
    void consumerManagerUpdatedState(CNConsumerManager* manager, std::int64_t state) override;
    void consumerManagerDiscoveredPeripheralsPreferredPeripheral(
        CNConsumerManager* manager, const std::vector<std::shared_ptr<LGPeripheral>>& peripherals,
        const std::shared_ptr<LGPeripheral>& preferredPeripheral) override;
    void consumerManagerDidStartScanning(CNConsumerManager* manager) override;
    void consumerManagerDidStopScanning(CNConsumerManager* manager) override;
    void consumerManagerUpdatedConnectionPhase(CNConsumerManager* manager, CNConnectionPhase phase) override;
    void consumerManagerWillConnectToPeripheral(CNConsumerManager* manager,
                                                const std::shared_ptr<LGPeripheral>& peripheral) override;
    void consumerManagerDidConnectToPeripheral(CNConsumerManager* manager,
                                               const std::shared_ptr<LGPeripheral>& peripheral) override;
    void consumerManagerFailedToConnectToPeripheralError(CNConsumerManager* manager,
                                                         const std::shared_ptr<LGPeripheral>& peripheral,
                                                         const ErrorPtr& error) override;
    void consumerManagerDisconnectedFromPeripheralError(CNConsumerManager* manager,
                                                        const std::shared_ptr<LGPeripheral>& peripheral,
                                                        const ErrorPtr& error) override;
    void consumerManagerAddedNotification(CNConsumerManager* manager,
                                          const std::shared_ptr<CNNotification>& notification) override;
    void consumerManagerRemovedNotification(CNConsumerManager* manager,
                                            const std::shared_ptr<CNNotification>& notification) override;
    void displayDisconnectNotification();
    // The end of the phone's re-announcement after a silent reconnection: kept copies that
    // no re-announced record took over are withdrawn.
    void withdrawUnannouncedNotifications();

    // --- desktop notifications
    bool userNotificationCenterShouldPresentNotification(
        TDRUserNotificationCenter* center, const std::shared_ptr<TDRUserNotification>& notification) override;
    void userNotificationCenterDidActivateNotification(
        TDRUserNotificationCenter* center, const std::shared_ptr<TDRUserNotification>& notification) override;

    // --- device chooser
    void presentDeviceWindow();
    void reloadDevices();
    std::int64_t numberOfRowsInTableView(TDRDeviceChooser* chooser) override;
    std::shared_ptr<TDRTableCellView> tableViewViewForTableColumnRow(TDRDeviceChooser* chooser,
                                                                     const std::string& tableColumn,
                                                                     std::int64_t row) override;
    bool tableViewShouldSelectRow(TDRDeviceChooser* chooser, std::int64_t row) override;
    void connectDevice(const void* sender) override;
    void alertDidEndReturnCodeContextInfo(TDRDeviceChooser* chooser, std::int64_t returnCode,
                                          void* contextInfo) override;

    std::string className() const override { return "TDRAppDelegate"; }

    // The marker of the relaunch watch's observation, compared by identity.
    static const void* relaunchSystemPreferencesContext();

protected:
    explicit TDRAppDelegate(TDRDesktop desktop);

private:
    std::shared_ptr<TDRAppDelegate> self();
    // The owner under which this object's delayed calls are scheduled and cancelled.
    const void* performOwner() const;
    // Delivers a status notice and withdraws it again after kNoticeLifetime.
    void deliverNotice(std::optional<std::string> title, std::optional<std::string> subtitle,
                       std::optional<std::string> informativeText);
    void cancelDisconnectNotification();
    // Withdraws every notification the agent delivered, phone notifications and notices.
    void withdrawAllNotifications();
    void withdraw(const TDRDeliveredNotifications::Copies& copies);
    // (Re)schedules withdrawUnannouncedNotifications after the quiet period, never past the limit.
    void scheduleReannouncementEnd();
    void cancelReannouncementEnd();
    void postUpdatedApplications();
    void showScanning();

    TDRDesktop desktop_;
    std::shared_ptr<CNConsumerManager> consumerManager_;
    std::shared_ptr<TDRMessageBus> notificationCenter_;
    bool sleeping_ = false;
    // The pairing requests installed with the radio (ours to remove at the end).
    std::shared_ptr<PlatformPairingConfirmer> pairingRequests_;
    bool securedConnection_ = false;
    std::shared_ptr<TDRUpdater> updater_;
    std::shared_ptr<LGPeripheral> disconnectedPeripheral_;
    TDRDeliveredNotifications deliveredNotifications_;
    // When the re-announcement after a silent reconnection ends at the latest; absent
    // while none is awaited.
    std::optional<TimePoint> reannouncementDeadline_;
    // The user asked for the disconnection: nothing is kept over it.
    bool disconnectRequested_ = false;
    // Whether the relaunch watch is registered on the workspace.
    bool relaunchWatchRegistered_ = false;
};

}  // namespace tandril
