#include "agent/TDRAppDelegate.hpp"

#include <algorithm>

#include "agent/TDRIncomingPhonesDefaults.hpp"
#include "agent/TDRPairingRequests.hpp"
#include "agent/TDRPreferredDeviceDefaults.hpp"
#include "agent/TDRUserNotification.hpp"
#include "ble/LGCentralManager.hpp"
#include "ble/LGPeripheral.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "ble/platform/PlatformConstants.hpp"
#include "engine/CNConsumerManager.hpp"
#include "foundation/Bundle.hpp"
#include "foundation/Log.hpp"
#include "foundation/RunLoop.hpp"
#include "foundation/UserDefaults.hpp"
#include "model/CNNotification.hpp"
#include "model/CNNotificationApplication.hpp"
#include "model/CNNotificationApplicationManager.hpp"
#include "shared/TDRControlChannel.hpp"

namespace tandril {

namespace {

constexpr const char* kDisplayDisconnectNotification = "displayDisconnectNotification";
constexpr const char* kReloadDevices = "reloadDevices";
constexpr const char* kRemoveDeliveredNotification = "removeDeliveredNotification:";
constexpr const char* kWithdrawUnannouncedNotifications = "withdrawUnannouncedNotifications";

// The relaunch watch's marker; only its address matters.
constexpr char kRelaunchSystemPreferences[] = "RelaunchSystemPreferences";

// The path without its last component, as the platform's path operations do it:
// "/a/b/" -> "/a", "/a" -> "/", "a" -> "", "/" -> "/".
std::string deletingLastPathComponent(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    if (slash == 0) return "/";
    path.erase(slash);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The status-line and notice texts are filled like log lines ("%@" of an absent name
// reads "(null)").
std::string fill(const char* format, const std::optional<std::string>& value) {
    return formatLine(format, {LogArg(value)});
}

std::optional<std::string> nameOf(const std::shared_ptr<LGPeripheral>& peripheral) {
    if (!peripheral) return std::nullopt;
    return peripheral->name();
}

}  // namespace

std::shared_ptr<TDRAppDelegate> TDRAppDelegate::create(TDRDesktop desktop) {
    return std::shared_ptr<TDRAppDelegate>(new TDRAppDelegate(std::move(desktop)));
}

TDRAppDelegate::TDRAppDelegate(TDRDesktop desktop) : desktop_(std::move(desktop)) {}

TDRAppDelegate::~TDRAppDelegate() {
    if (pairingRequests_ && PlatformAdapter::pairingConfirmer() == pairingRequests_) {
        PlatformAdapter::setPairingConfirmer(nullptr);
    }
    // The workspace keeps a plain pointer to its observers.
    if (relaunchWatchRegistered_ && desktop_.workspace) {
        desktop_.workspace->removeRunningApplicationsObserver(this, relaunchSystemPreferencesContext());
    }
}

std::shared_ptr<TDRAppDelegate> TDRAppDelegate::self() {
    return std::static_pointer_cast<TDRAppDelegate>(shared_from_this());
}

const void* TDRAppDelegate::performOwner() const {
    return static_cast<const void*>(static_cast<const Object*>(this));
}

const void* TDRAppDelegate::relaunchSystemPreferencesContext() {
    return kRelaunchSystemPreferences;
}

std::string TDRAppDelegate::preferencePanePath() const {
    const auto bundle = Bundle::mainBundle();
    if (!bundle) return "";
    std::string path = bundle->bundlePath();
    for (int i = 0; i < 3; ++i) path = deletingLastPathComponent(path);
    return path;
}

// ---------------------------------------------------------------------------------------
// Start-up and lifecycle

void TDRAppDelegate::applicationDidFinishLaunching() {
    // 1. Crash reporter.
    if (desktop_.crashReporter) desktop_.crashReporter->startWithAPIKey(kCrashReporterAPIKey);

    // 2-5. The updater of the whole settings bundle (the agent inside it is updated with
    // it). The feed is fetched over HTTPS only: an update fetched over a plain link could
    // be replaced by anyone on the network.
    if (desktop_.updaterForBundle) {
        updater_ = desktop_.updaterForBundle(Bundle::bundleWithPath(preferencePanePath()));
    }
    if (updater_) {
        updater_->setFeedURL(kUpdateFeedURL);
        updater_->setDelegate(self());
        updater_->checkForUpdatesInBackground();
    }

    // 6. The control channel.
    notificationCenter_ = desktop_.messageBus;
    const std::weak_ptr<TDRAppDelegate> weakSelf = self();
    if (notificationCenter_) {
        notificationCenter_->addObserver(TDRRequestDeviceInformationNotification, [weakSelf](const TDRMessage& m) {
            if (auto strong = weakSelf.lock()) strong->requestedDeviceInformation(m);
        });
        notificationCenter_->addObserver(TDREditedApplicationsNotification, [weakSelf](const TDRMessage& m) {
            if (auto strong = weakSelf.lock()) strong->editedApplications(m);
        });
        notificationCenter_->addObserver(TDRToggleDeviceNotification, [weakSelf](const TDRMessage& m) {
            if (auto strong = weakSelf.lock()) strong->toggleDevice(m);
        });
        notificationCenter_->addObserver(TDRCheckForUpdatesNotification, [weakSelf](const TDRMessage& m) {
            if (auto strong = weakSelf.lock()) strong->checkForUpdates(&m);
        });
    }

    // 7. Sleep and wake.
    if (desktop_.workspace) {
        desktop_.workspace->addObserver(NSWorkspaceWillSleepNotification, [weakSelf] {
            if (auto strong = weakSelf.lock()) strong->receivedSleepNotification();
        });
        desktop_.workspace->addObserver(NSWorkspaceDidWakeNotification, [weakSelf] {
            if (auto strong = weakSelf.lock()) strong->receivedWakeNotification();
        });
    }

    // 8.
    sleeping_ = false;
    securedConnection_ = false;

    // 9.
    std::optional<std::string> hostName;
    if (desktop_.host) hostName = desktop_.host->localizedName();

    // 10. The engine; it scans once the adapter reports powered on.
    CNConsumerManager::Collaborators collaborators;
    collaborators.centralManager = LGCentralManager::sharedInstance();
    collaborators.pairedDevices = desktop_.pairedDevices;
    // Loaded here, before the first notification arrives.
    collaborators.catalogue = CNNotificationApplicationManager::defaultManager();
    collaborators.preferredDeviceStore = std::make_shared<TDRPreferredDeviceDefaults>();
    auto manager = CNConsumerManager::create(std::move(collaborators));
    if (manager) {
        manager->setDelegate(self());
        manager->setName(hostName);
    }
    consumerManager_ = std::move(manager);

    // iPhones without the companion application: the pairing goes to the desktop's dialog,
    // and "Allow iPhones to connect" is on by default for a user who has no phone yet (the
    // choice is written down at once, so that the phone that becomes the preferred device
    // does not turn it off at the next start).
    if (desktop_.pairingConfirmer) {
        pairingRequests_ = std::make_shared<TDRPairingRequests>(desktop_.pairingConfirmer);
        PlatformAdapter::setPairingConfirmer(pairingRequests_);
    }
    if (consumerManager_) {
        auto allow = TDRIncomingPhonesDefaults::storedAllowsIPhones();
        if (!allow) {
            allow = !consumerManager_->preferredUUID().has_value();
            TDRIncomingPhonesDefaults::storeAllowsIPhones(*allow);
        }
        consumerManager_->setAllowsIncomingPhones(*allow);
    }

    // 11. Desktop notifications, without the leftovers of an earlier run.
    if (desktop_.userNotificationCenter) {
        desktop_.userNotificationCenter->setDelegate(self());
        desktop_.userNotificationCenter->removeAllDeliveredNotifications();
    }
    if (desktop_.deviceChooser) desktop_.deviceChooser->setDelegate(self());

    // 12-14.
    sendDeviceInformation();
    relaunchSystemPreferencesWhenNeeded();
    reloadDevices();
}

void TDRAppDelegate::receivedSleepNotification() {
    log("[TDRAppDelegate] Received sleep notification, terminating connections and scanning.");
    sleeping_ = true;
    if (consumerManager_) consumerManager_->setSleeping(true);
    // Nothing is kept over a sleep: the phone's notifications leave the desktop now.
    withdrawAllNotifications();
    if (consumerManager_ && consumerManager_->connectedPeripheral()) consumerManager_->disconnect();
    if (consumerManager_) consumerManager_->stopScanning();
}

void TDRAppDelegate::receivedWakeNotification() {
    log("[TDRAppDelegate] Received wake notifications, resuming scanning.");
    sleeping_ = false;
    if (consumerManager_) consumerManager_->setSleeping(false);
    if (consumerManager_) consumerManager_->startScanning();
}

void TDRAppDelegate::relaunchSystemPreferencesWhenNeeded() {
    auto& defaults = UserDefaults::standardUserDefaults();
    std::optional<std::string> version;
    if (const auto bundle = Bundle::mainBundle()) {
        // The value is held here: the text points into it.
        const Value value = bundle->objectForInfoDictionaryKey("CFBundleVersion");
        if (const auto* text = value.asString()) version = *text;
    }

    // Without a version there is nothing to record or compare.
    if (version) {
        const auto list = defaults.arrayForKey(kPrevStartupVersionsKey);
        if (!list) {
            // The first start ever: remember the version, leave the settings application alone.
            defaults.setObject(Value(Array{Value(*version)}), kPrevStartupVersionsKey);
        } else if (std::find(list->begin(), list->end(), Value(*version)) == list->end()) {
            // A version that starts for the first time: restart the settings application so
            // that it loads the new settings bundle.
            const auto running =
                desktop_.workspace ? desktop_.workspace->runningApplicationsWithBundleIdentifier(
                                         kSettingsApplicationBundleIdentifier)
                                   : std::vector<std::shared_ptr<TDRRunningApplication>>{};
            if (!running.empty()) {
                // Watch first, so that a quick quit is not missed.
                if (!relaunchWatchRegistered_) {
                    desktop_.workspace->addRunningApplicationsObserver(this, relaunchSystemPreferencesContext());
                    relaunchWatchRegistered_ = true;
                }
                if (running.front()) running.front()->terminate();
            }
            auto updated = *list;
            updated.emplace_back(*version);
            defaults.setObject(Value(std::move(updated)), kPrevStartupVersionsKey);
        }
    }
    defaults.synchronize();
}

void TDRAppDelegate::observeValueForKeyPath(const std::string& /*keyPath*/, const void* /*object*/,
                                            const void* context) {
    // Only the relaunch watch is observed; anything else is not ours.
    if (context != relaunchSystemPreferencesContext() || !relaunchWatchRegistered_ || !desktop_.workspace) return;
    if (!desktop_.workspace->runningApplicationsWithBundleIdentifier(kSettingsApplicationBundleIdentifier).empty()) {
        return;
    }
    // Removed before launching, so that the list change of the launch itself cannot fire
    // the watch a second time.
    relaunchWatchRegistered_ = false;
    desktop_.workspace->removeRunningApplicationsObserver(this, relaunchSystemPreferencesContext());
    desktop_.workspace->launchAppWithBundleIdentifier(kSettingsApplicationBundleIdentifier, NSWorkspaceLaunchDefault);
}

std::string TDRAppDelegate::pathToRelaunchForUpdater(TDRUpdater* /*updater*/) {
    const auto bundle = Bundle::mainBundle();
    return bundle ? bundle->bundlePath() : std::string();
}

void TDRAppDelegate::checkForUpdates(const void* /*sender*/) {
    if (updater_) updater_->checkForUpdates(this);
}

// ---------------------------------------------------------------------------------------
// Control channel

void TDRAppDelegate::requestedDeviceInformation(const TDRMessage& /*message*/) {
    // The settings application asks after every change of "Allow iPhones to connect".
    if (consumerManager_) {
        if (const auto allow = TDRIncomingPhonesDefaults::storedAllowsIPhones()) {
            consumerManager_->setAllowsIncomingPhones(*allow);
        }
    }
    sendDeviceInformation();
}

void TDRAppDelegate::sendDeviceInformation() {
    Value device = Value("");
    const auto peripheral = consumerManager_ ? consumerManager_->connectedPeripheral() : nullptr;
    if (peripheral) {
        if (peripheral->state() != CBPeripheralStateDisconnected) device = Value(peripheral->dictionaryRepresentation());
    }
    if (notificationCenter_) {
        notificationCenter_->postNotificationName(TDRReceivedDeviceInformationNotification,
                                                  Dictionary{{TDRConnectedDeviceKey, device}}, true);
    }
}

void TDRAppDelegate::toggleDevice(const TDRMessage& /*message*/) {
    if (consumerManager_ && consumerManager_->connectedPeripheral()) {
        // The user let the phone go: do not reconnect to it by ourselves, and keep none of
        // its notifications on the desktop.
        disconnectRequested_ = true;
        // No advertising either, or a bonded iPhone would be back at once: "Allow iPhones
        // to connect" goes off until the user turns it on again.
        TDRIncomingPhonesDefaults::storeAllowsIPhones(false);
        consumerManager_->setAllowsIncomingPhones(false);
        withdrawAllNotifications();
        consumerManager_->setPreferredUUID(std::nullopt);
        consumerManager_->disconnect();
    } else {
        presentDeviceWindow();
    }
}

void TDRAppDelegate::editedApplications(const TDRMessage& /*message*/) {
    if (auto manager = CNNotificationApplicationManager::defaultManager()) manager->loadData();
}

// ---------------------------------------------------------------------------------------
// Engine reports

void TDRAppDelegate::consumerManagerUpdatedState(CNConsumerManager* manager, std::int64_t state) {
    if (state == CBCentralManagerStatePoweredOn && manager) manager->startScanning();
}

void TDRAppDelegate::consumerManagerDiscoveredPeripheralsPreferredPeripheral(
    CNConsumerManager* /*manager*/, const std::vector<std::shared_ptr<LGPeripheral>>& /*peripherals*/,
    const std::shared_ptr<LGPeripheral>& /*preferredPeripheral*/) {}

void TDRAppDelegate::showScanning() {
    if (const auto& chooser = desktop_.deviceChooser) {
        chooser->setProgressIndeterminate(true);
        chooser->startProgressAnimation();
        chooser->setProgressLabel("Scanning...");
    }
}

void TDRAppDelegate::consumerManagerDidStartScanning(CNConsumerManager* /*manager*/) {
    showScanning();
}

void TDRAppDelegate::consumerManagerDidStopScanning(CNConsumerManager* /*manager*/) {}

void TDRAppDelegate::consumerManagerUpdatedConnectionPhase(CNConsumerManager* /*manager*/, CNConnectionPhase phase) {
    const auto& chooser = desktop_.deviceChooser;
    if (!chooser || phase < CNConnectionPhaseConnecting || phase > CNConnectionPhaseConnected) return;
    const auto name = nameOf(consumerManager_ ? consumerManager_->connectedPeripheral() : nullptr);
    chooser->setProgressIndeterminate(false);
    switch (phase) {
        case CNConnectionPhaseConnecting:
            chooser->setProgressValue(25);
            chooser->setProgressLabel(fill("Connecting to '%@'...", name));
            break;
        case CNConnectionPhasePairing:
            chooser->setProgressValue(50);
            chooser->setProgressLabel(fill("Enter the passcode on '%@'.", name));
            break;
        case CNConnectionPhaseSubscribing:
            chooser->setProgressValue(75);
            chooser->setProgressLabel("Subscribing...");
            break;
        default:
            chooser->setProgressValue(100);
            chooser->setProgressLabel("Connected!");
            break;
    }
}

void TDRAppDelegate::consumerManagerWillConnectToPeripheral(CNConsumerManager* /*manager*/,
                                                            const std::shared_ptr<LGPeripheral>& /*peripheral*/) {
    sendDeviceInformation();
    if (const auto& chooser = desktop_.deviceChooser) {
        chooser->setProgressHidden(false);
        chooser->startProgressAnimation();
        chooser->setConnectButtonEnabled(false);
    }
}

void TDRAppDelegate::consumerManagerDidConnectToPeripheral(CNConsumerManager* /*manager*/,
                                                           const std::shared_ptr<LGPeripheral>& peripheral) {
    cancelDisconnectNotification();
    // Back within a minute of losing a secured connection: reconnect silently.
    if (!disconnectedPeripheral_) deliverNotice(kNoticeTitle, std::nullopt, fill("Connected to %@.", nameOf(peripheral)));
    disconnectedPeripheral_ = nullptr;
    disconnectRequested_ = false;
    sendDeviceInformation();
    securedConnection_ = true;
    // Copies kept over the drop wait for the phone's re-announcement.
    if (deliveredNotifications_.hasKept()) {
        reannouncementDeadline_ = dueAfter(RunLoop::main().now(), seconds(kReannouncementLimit));
        scheduleReannouncementEnd();
    }
    const auto& chooser = desktop_.deviceChooser;
    if (chooser && chooser->isVisible()) {
        chooser->beginAlertSheet(
            fill("You'll now receive notifications from '%@'.", nameOf(peripheral)), "OK",
            "If you restart your iOS device, make sure to launch the Tandril app on your iOS device. "
            "Otherwise, it won't reconnect to your Mac.");
    }
}

void TDRAppDelegate::consumerManagerFailedToConnectToPeripheralError(CNConsumerManager* manager,
                                                                     const std::shared_ptr<LGPeripheral>& peripheral,
                                                                     const ErrorPtr& error) {
    if (manager) manager->startScanning();
    log("Error: %@", error);
    // A connection that timed out is only logged.
    const bool timedOut = error && error->domain() == kLGPeripheralConnectionErrorDomain &&
                          error->code() == kLGPeripheralConnectionTimeoutErrorCode;
    if (!timedOut) {
        deliverNotice("Error whilst connecting!", nameOf(peripheral),
                      error ? std::optional<std::string>(error->localizedDescription()) : std::nullopt);
    }
    showScanning();
    if (const auto& chooser = desktop_.deviceChooser) {
        chooser->setConnectButtonEnabled(true);
        chooser->reloadData();
    }
    sendDeviceInformation();
    securedConnection_ = false;
}

void TDRAppDelegate::consumerManagerDisconnectedFromPeripheralError(CNConsumerManager* manager,
                                                                    const std::shared_ptr<LGPeripheral>& peripheral,
                                                                    const ErrorPtr& /*error*/) {
    // A secured link that drops by itself may come back silently within the minute: its
    // notifications stay on the desktop until the phone has re-announced what it still
    // holds. Any other end of a connection withdraws everything.
    const bool keep = securedConnection_ && !sleeping_ && !disconnectRequested_;
    disconnectRequested_ = false;
    cancelReannouncementEnd();
    if (keep) {
        deliveredNotifications_.keepAll();
    } else {
        withdrawAllNotifications();
    }
    disconnectedPeripheral_ = nullptr;
    cancelDisconnectNotification();
    if (securedConnection_) {
        // Announced only if the phone stays away for a minute.
        disconnectedPeripheral_ = peripheral;
        const std::weak_ptr<TDRAppDelegate> weakSelf = self();
        RunLoop::main().performAfterDelay(shared_from_this(), kDisplayDisconnectNotification,
                                          seconds(kDisconnectNoticeDelay), [weakSelf] {
                                              if (auto strong = weakSelf.lock()) strong->displayDisconnectNotification();
                                          });
        securedConnection_ = false;
    }
    sendDeviceInformation();
    if (!sleeping_ && manager) manager->startScanning();
}

void TDRAppDelegate::displayDisconnectNotification() {
    // The phone stayed away: nothing kept over the drop stays on the desktop.
    withdrawAllNotifications();
    deliverNotice(kNoticeTitle, std::nullopt, fill("Disconnected from %@.", nameOf(disconnectedPeripheral_)));
    disconnectedPeripheral_ = nullptr;
}

void TDRAppDelegate::cancelDisconnectNotification() {
    RunLoop::main().cancelPerform(performOwner(), kDisplayDisconnectNotification);
}

void TDRAppDelegate::withdrawAllNotifications() {
    cancelReannouncementEnd();
    deliveredNotifications_.clear();
    if (desktop_.userNotificationCenter) desktop_.userNotificationCenter->removeAllDeliveredNotifications();
}

void TDRAppDelegate::withdraw(const TDRDeliveredNotifications::Copies& copies) {
    if (!desktop_.userNotificationCenter) return;
    for (const auto& copy : copies) desktop_.userNotificationCenter->removeDeliveredNotification(copy);
}

void TDRAppDelegate::scheduleReannouncementEnd() {
    if (!reannouncementDeadline_) return;
    RunLoop::main().cancelPerform(performOwner(), kWithdrawUnannouncedNotifications);
    const auto now = RunLoop::main().now();
    const auto quietEnd = dueAfter(now, seconds(kReannouncementQuietPeriod));
    const auto end = std::min(quietEnd, *reannouncementDeadline_);
    const std::weak_ptr<TDRAppDelegate> weakSelf = self();
    RunLoop::main().performAfterDelay(shared_from_this(), kWithdrawUnannouncedNotifications, end - now, [weakSelf] {
        if (auto strong = weakSelf.lock()) strong->withdrawUnannouncedNotifications();
    });
}

void TDRAppDelegate::cancelReannouncementEnd() {
    reannouncementDeadline_.reset();
    RunLoop::main().cancelPerform(performOwner(), kWithdrawUnannouncedNotifications);
}

void TDRAppDelegate::withdrawUnannouncedNotifications() {
    reannouncementDeadline_.reset();
    withdraw(deliveredNotifications_.releaseKept());
}

void TDRAppDelegate::consumerManagerAddedNotification(CNConsumerManager* /*manager*/,
                                                      const std::shared_ptr<CNNotification>& notification) {
    const auto application = notification ? notification->application() : nullptr;
    const bool reannounced = notification && notification->isPreExisting() && deliveredNotifications_.hasKept();
    // Each re-announced record shows that the phone's re-announcement goes on.
    if (reannounced) scheduleReannouncementEnd();
    if (!application || !application->isEnabled()) {
        log("[TDRAppDelegate] Application disabled, ignoring notification...");
    } else if (notification->message()) {
        // A re-announced notification takes over its copy kept over the drop instead of
        // showing it a second time.
        if (reannounced) {
            TDRDeliveredNotifications::Copies outdated;
            const auto kept = deliveredNotifications_.takeOver(notification, outdated);
            withdraw(outdated);
            if (kept) {
                postUpdatedApplications();
                return;
            }
        }
        auto userNotification = std::make_shared<TDRUserNotification>();
        userNotification->setTitle(application->displayName());
        const auto& title = notification->title();
        if (title && title != application->displayName()) userNotification->setSubtitle(title);
        userNotification->setInformativeText(notification->message());
        userNotification->setIdentityImage(application->icon());
        if (desktop_.userNotificationCenter) desktop_.userNotificationCenter->deliverNotification(userNotification);
        notification->setDeliveredNotification(userNotification);
        // Shown while the link is down (its details arrived late): kept like the others.
        deliveredNotifications_.add(notification, !securedConnection_ && deliveredNotifications_.hasKept());
    }
    postUpdatedApplications();
}

void TDRAppDelegate::postUpdatedApplications() {
    // The catalogue may have gained the application: a loaded settings pane re-reads it.
    if (notificationCenter_) notificationCenter_->postNotificationName(TDRUpdatedApplicationsNotification, std::nullopt, true);
}

void TDRAppDelegate::consumerManagerRemovedNotification(CNConsumerManager* /*manager*/,
                                                        const std::shared_ptr<CNNotification>& notification) {
    if (!notification) return;
    // The record's own copy, and those of earlier announcements of the same notification
    // (the phone announces it again after every subscription).
    withdraw(deliveredNotifications_.remove(*notification));
}

void TDRAppDelegate::deliverNotice(std::optional<std::string> title, std::optional<std::string> subtitle,
                                   std::optional<std::string> informativeText) {
    const auto center = desktop_.userNotificationCenter;
    if (!center) return;
    auto notice = std::make_shared<TDRUserNotification>();
    notice->setTitle(std::move(title));
    notice->setSubtitle(std::move(subtitle));
    notice->setInformativeText(std::move(informativeText));
    center->deliverNotification(notice);
    RunLoop::main().performAfterDelay(center, kRemoveDeliveredNotification, seconds(kNoticeLifetime),
                                      [center, notice] { center->removeDeliveredNotification(notice); });
}

// ---------------------------------------------------------------------------------------
// Desktop notifications

bool TDRAppDelegate::userNotificationCenterShouldPresentNotification(
    TDRUserNotificationCenter* /*center*/, const std::shared_ptr<TDRUserNotification>& /*notification*/) {
    return true;
}

void TDRAppDelegate::userNotificationCenterDidActivateNotification(
    TDRUserNotificationCenter* /*center*/, const std::shared_ptr<TDRUserNotification>& /*notification*/) {
    if (desktop_.workspace) desktop_.workspace->openFile(preferencePanePath());
}

// ---------------------------------------------------------------------------------------
// Device chooser

void TDRAppDelegate::presentDeviceWindow() {
    if (const auto& chooser = desktop_.deviceChooser) {
        chooser->makeKeyAndOrderFront();
        chooser->activateIgnoringOtherApps(true);
    }
}

void TDRAppDelegate::reloadDevices() {
    if (desktop_.deviceChooser) desktop_.deviceChooser->reloadData();
    const std::weak_ptr<TDRAppDelegate> weakSelf = self();
    RunLoop::main().performAfterDelay(shared_from_this(), kReloadDevices, seconds(kReloadDevicesInterval), [weakSelf] {
        if (auto strong = weakSelf.lock()) strong->reloadDevices();
    });
}

std::int64_t TDRAppDelegate::numberOfRowsInTableView(TDRDeviceChooser* /*chooser*/) {
    return consumerManager_ ? static_cast<std::int64_t>(consumerManager_->availablePeripherals().size()) : 0;
}

std::shared_ptr<TDRTableCellView> TDRAppDelegate::tableViewViewForTableColumnRow(TDRDeviceChooser* chooser,
                                                                                 const std::string& /*tableColumn*/,
                                                                                 std::int64_t row) {
    if (!consumerManager_ || !chooser) return nullptr;
    // The list empties at every scan restart, while the table reloads only every few
    // seconds: a row the table still shows may be gone.
    const auto& peripherals = consumerManager_->availablePeripherals();
    if (row < 0 || static_cast<std::uint64_t>(row) >= peripherals.size()) return nullptr;
    const auto& peripheral = peripherals[static_cast<std::size_t>(row)];
    auto cell = chooser->makeViewWithIdentifier(TDRDeviceChooser::kDeviceCellIdentifier);
    if (cell) cell->setStringValue(nameOf(peripheral));
    return cell;
}

bool TDRAppDelegate::tableViewShouldSelectRow(TDRDeviceChooser* chooser, std::int64_t /*row*/) {
    if (chooser) {
        chooser->setAllowsEmptySelection(false);
        chooser->setConnectButtonEnabled(true);
    }
    return true;
}

void TDRAppDelegate::connectDevice(const void* /*sender*/) {
    if (!consumerManager_ || !desktop_.deviceChooser) return;
    // An empty selection (-1) compares as a huge unsigned number and never passes.
    const auto row = static_cast<std::uint64_t>(desktop_.deviceChooser->selectedRow());
    const auto& peripherals = consumerManager_->availablePeripherals();
    if (row < peripherals.size()) consumerManager_->connectToPeripheral(peripherals[static_cast<std::size_t>(row)]);
}

void TDRAppDelegate::alertDidEndReturnCodeContextInfo(TDRDeviceChooser* /*chooser*/, std::int64_t /*returnCode*/,
                                                      void* /*contextInfo*/) {
    if (desktop_.deviceChooser) desktop_.deviceChooser->orderOut();
}

}  // namespace tandril
