#include "tandril-simulator/TDRSimulatorScenario.hpp"

#include "agent/TDRAppDelegate.hpp"
#include "tandril-simulator/TDRSimulatorBundle.hpp"
#include "agent/TDRSystemHost.hpp"
#include "agent/TDRTerminalChooser.hpp"
#include "agent/TDRTerminalPairingConfirmer.hpp"
#include "agent/TDRTerminalPresenter.hpp"
#include "ble/platform/PlatformAdapter.hpp"
#include "engine/CNAdapterPairedDevices.hpp"
#include "engine/CNConsumerManager.hpp"
#include "foundation/Paths.hpp"
#include "foundation/UserDefaults.hpp"
#include "model/CNNotificationApplicationManager.hpp"
#include "shared/TDRControlChannel.hpp"
#include "shared/TDRLocalMessageBus.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimRadio.hpp"
#include "sim/SimScenario.hpp"

namespace tandril {

namespace {

constexpr const char* kTick = "tick";
constexpr const char* kReturnToRange = "returnToRange";

struct Message {
    const char* app;
    const char* title;
    const char* message;
};

// What the phone raises, in turn.
const Message kMessages[] = {
    {"com.apple.MobileSMS", "Anna", "Are we still on for dinner tonight?"},
    {"com.apple.mobilemail", "Ben Carter", "Quarterly report draft attached, comments welcome."},
    {"net.whatsapp.WhatsApp", "Family", "Mum: Don't forget grandma's birthday on Sunday"},
    {"com.apple.mobilecal", "Calendar", "Team stand-up in 15 minutes"},
    {"com.burbn.instagram", "Instagram", "chris_p liked your photo."},
    {"com.apple.MobileSMS", "Anna", "Running 10 minutes late, sorry!"},
    {"net.whatsapp.WhatsApp", "Dana", "Photo"},
    {"com.apple.mobilemail", "Travel Desk", "Your booking is confirmed."},
};

}  // namespace

std::shared_ptr<TDRSimulatorScenario> TDRSimulatorScenario::create(std::ostream& out) {
    return std::shared_ptr<TDRSimulatorScenario>(new TDRSimulatorScenario(out));
}

TDRSimulatorScenario::TDRSimulatorScenario(std::ostream& out) : out_(out) {}

TDRSimulatorScenario::~TDRSimulatorScenario() = default;

void TDRSimulatorScenario::useDataDirectory(const std::string& dataDirectory) {
    Paths::setApplicationSupportDirectory(Paths::join(dataDirectory, "data"));
    Paths::setConfigDirectory(Paths::join(dataDirectory, "config"));
    Paths::setDefaultsDirectory(Paths::join(dataDirectory, "defaults"));
    Paths::createDirectories(Paths::join(dataDirectory, "data"));
    UserDefaults::setStandardDomain(kDefaultsDomain);
    UserDefaults::resetStandardUserDefaults();
    CNNotificationApplicationManager::setDefaultManager(nullptr);
}

void TDRSimulatorScenario::start() {
    if (!radio_) radio_ = SimRadio::install();

    // The terminal stands in for every piece of the desktop that was not given.
    TDRDesktop desktop = desktop_;
    if (!desktop.userNotificationCenter) {
        presenter_ = std::make_shared<TDRTerminalPresenter>(out_);
        desktop.userNotificationCenter = presenter_;
    }
    if (!desktop.messageBus) {
        bus_ = std::make_shared<TDRLocalMessageBus>();
        desktop.messageBus = bus_;
    }
    if (!desktop.deviceChooser) {
        chooser_ = std::make_shared<TDRTerminalChooser>(out_);
        desktop.deviceChooser = chooser_;
    }
    if (!desktop.host) desktop.host = std::make_shared<TDRSystemHost>();
    if (!desktop.pairedDevices) desktop.pairedDevices = std::make_shared<CNAdapterPairedDevices>(PlatformAdapter::current());
    if (!desktop.pairingConfirmer) desktop.pairingConfirmer = std::make_shared<TDRTerminalPairingConfirmer>(out_);
    app_ = TDRAppDelegate::create(desktop);

    // A phone the agent paired with in an earlier run keeps the bond; a new one pairs on
    // its first encrypted access.
    const bool pairedBefore = UserDefaults::standardUserDefaults().stringForKey("CNConsumerManagerPreferredUUID") ==
                              std::optional<std::string>(agentIdentifier_);
    SimScenario phone(radio_);
    if (stock_) {
        // Its name reaches the agent through the radio; it pairs by numeric comparison.
        phone.stockIPhone().advertisedName(std::string(kPhoneName)).identifier(UUID::fromStringOrNil(kPhoneIdentifier));
        phone.bonded(pairedBefore);
    } else {
        phone.advertisedName(std::string("iPhone"))
            .deviceName(kPhoneName)
            .identifier(UUID::fromStringOrNil(kPhoneIdentifier))
            .bonded(pairedBefore)
            .acceptsPairing(true);
        if (pairedBefore) phone.pairedClassicDevice(kPhoneName);
    }
    for (const auto& app : TDRSimulatorBundle::applications()) phone.app(app.bundleIdentifier, app.displayName);
    // Waiting on the phone before the agent connects.
    phone.notification("com.apple.MobileSMS", "Anna", "", "Call me when you land")
        .notification("com.apple.mobilecal", "Calendar", "", "Dentist at half past four")
        .notification("com.apple.mobilemail", "Mail", "", "3 new messages");
    phone_ = phone.build();
    for (const auto& n : phone_->provider().notifications()) raised_.push_back(n.uid);

    app_->applicationDidFinishLaunching();

    if (stock_) {
        if (pairedBefore) {
            out_ << "[simulator] '" << kPhoneName << "' paired in an earlier run: it reconnects as soon as the agent "
                 << "advertises" << std::endl;
        } else {
            tapWhenAdvertised();
        }
        scheduleTick();
        return;
    }

    // As the user would: with no phone chosen yet, the chooser picks this phone.
    const std::weak_ptr<TDRAppDelegate> weakApp = app_;
    if (chooser_) {
        chooser_->setWantedName(std::string(kPhoneName));
        chooser_->setShouldPick([weakApp] {
            const auto app = weakApp.lock();
            return app && app->consumerManager() && !app->consumerManager()->preferredUUID();
        });
    }
    if (!app_->consumerManager() || !app_->consumerManager()->preferredUUID()) {
        out_ << "[simulator] no phone chosen yet: opening the device chooser, as the settings' \"Select Device\" does"
             << std::endl;
        desktop.messageBus->postNotificationName(TDRToggleDeviceNotification, std::nullopt, true);
    } else {
        out_ << "[simulator] the agent knows '" << kPhoneName << "' from an earlier run and reconnects by itself"
             << std::endl;
    }
    scheduleTick();
}

void TDRSimulatorScenario::scheduleTick() {
    const std::weak_ptr<TDRSimulatorScenario> weakSelf =
        std::static_pointer_cast<TDRSimulatorScenario>(shared_from_this());
    RunLoop::main().performAfterDelay(shared_from_this(), kTick, seconds(kNotificationInterval), [weakSelf] {
        if (const auto self = weakSelf.lock()) self->tick();
    });
}

void TDRSimulatorScenario::tick() {
    scheduleTick();
    if (!app_ || !app_->securedConnection() || away_) {
        securedSince_.reset();
        return;
    }
    if (returning_) {
        returning_ = false;
        out_ << "[simulator] the agent reconnected within a minute of the drop: no notice, as intended" << std::endl;
    }
    const auto now = RunLoop::main().now();
    if (!securedSince_) securedSince_ = now;
    // The first connection paired the devices: the computer lists the phone from now on,
    // and the agent recognises it as bonded when it comes back.
    if (!pairedListed_ && !stock_) {
        pairedListed_ = true;
        if (radio_->pairedDevices().empty()) radio_->addPairedDevice(kPhoneName, phone_);
    }
    if (now - *securedSince_ >= seconds(kConnectedBeforeDrop)) {
        leaveRange();
        return;
    }
    addNextNotification();
    // Every third notification the phone withdraws the oldest one it still shows.
    if (nextMessage_ % 3 == 0 && raised_.size() > 2) {
        phone_->provider().removeNotification(raised_.front());
        raised_.pop_front();
    }
}

void TDRSimulatorScenario::addNextNotification() {
    const auto& m = kMessages[nextMessage_ % std::size(kMessages)];
    ++nextMessage_;
    raised_.push_back(phone_->provider().addNotification(m.app, m.title, "", m.message));
}

void TDRSimulatorScenario::leaveRange() {
    out_ << "[simulator] the phone leaves range for " << static_cast<int>(kAwayDuration) << " seconds" << std::endl;
    away_ = true;
    securedSince_.reset();
    phone_->setInRange(false);
    phone_->dropLink();
    const std::weak_ptr<TDRSimulatorScenario> weakSelf =
        std::static_pointer_cast<TDRSimulatorScenario>(shared_from_this());
    RunLoop::main().performAfterDelay(shared_from_this(), kReturnToRange, seconds(kAwayDuration), [weakSelf] {
        if (const auto self = weakSelf.lock()) self->returnToRange();
    });
}

void TDRSimulatorScenario::tapWhenAdvertised() {
    if (phone_->isLinked()) return;
    if (phone_->tap()) {
        out_ << "[simulator] the user picks this computer in the iPhone's Bluetooth settings" << std::endl;
        return;
    }
    const std::weak_ptr<TDRSimulatorScenario> weakSelf =
        std::static_pointer_cast<TDRSimulatorScenario>(shared_from_this());
    RunLoop::main().schedule(seconds(kTapInterval), [weakSelf] {
        if (const auto self = weakSelf.lock()) self->tapWhenAdvertised();
    });
}

void TDRSimulatorScenario::returnToRange() {
    out_ << "[simulator] the phone is back in range" << std::endl;
    away_ = false;
    returning_ = true;
    phone_->setInRange(true);
    // A stock iPhone reconnects by itself to the advertising desktop; the companion's
    // phone advertises and is found by the scan.
    if (!stock_) radio_->advertise(phone_);
}

}  // namespace tandril
