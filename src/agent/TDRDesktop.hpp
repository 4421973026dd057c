#pragma once

#include <functional>
#include <memory>

#include "agent/TDRCrashReporter.hpp"
#include "agent/TDRDeviceChooser.hpp"
#include "agent/TDRHost.hpp"
#include "agent/TDRPairingConfirmer.hpp"
#include "agent/TDRUpdater.hpp"
#include "agent/TDRUserNotificationCenter.hpp"
#include "agent/TDRWorkspace.hpp"
#include "shared/TDRMessageBus.hpp"

namespace tandril {

class Bundle;
class CNPairedDeviceSource;

// Everything of the desktop that the agent shell reaches: each piece may be absent, and a
// call on an absent piece does nothing.
struct TDRDesktop {
    // The default user notification center.
    std::shared_ptr<TDRUserNotificationCenter> userNotificationCenter;
    // The control channel's bus (the distributed notification center).
    std::shared_ptr<TDRMessageBus> messageBus;
    std::shared_ptr<TDRWorkspace> workspace;
    // updaterForBundle: the updater of the bundle (which may be absent).
    std::function<std::shared_ptr<TDRUpdater>(const std::shared_ptr<Bundle>& bundle)> updaterForBundle;
    std::shared_ptr<TDRCrashReporter> crashReporter;
    std::shared_ptr<TDRHost> host;
    // The device chooser window with its controls.
    std::shared_ptr<TDRDeviceChooser> deviceChooser;
    // The Bluetooth stack's paired classic devices, which the engine's bond test reads.
    std::shared_ptr<CNPairedDeviceSource> pairedDevices;
    // The pairing dialog: the radio's numeric-comparison requests (a phone without the
    // companion application pairing with the desktop) are put to the user through it.
    std::shared_ptr<TDRPairingConfirmer> pairingConfirmer;
};

}  // namespace tandril
