#pragma once

// The control channel between the agent and the settings application: six broadcast
// messages on the user's session bus. Only "TDRReceivedDeviceInformationNotification"
// carries a payload, a map with one entry under "connected_device": either the empty
// string (no phone) or the connected phone's record with the three keys below.

namespace tandril {

// Settings application -> agent.
inline constexpr const char* TDRRequestDeviceInformationNotification = "TDRRequestDeviceInformationNotification";
inline constexpr const char* TDREditedApplicationsNotification = "TDREditedApplicationsNotification";
inline constexpr const char* TDRToggleDeviceNotification = "TDRToggleDeviceNotification";
inline constexpr const char* TDRCheckForUpdatesNotification = "TDRCheckForUpdatesNotification";

// Agent -> settings application.
inline constexpr const char* TDRReceivedDeviceInformationNotification = "TDRReceivedDeviceInformationNotification";
inline constexpr const char* TDRUpdatedApplicationsNotification = "TDRUpdatedApplicationsNotification";

// Payload of "TDRReceivedDeviceInformationNotification".
inline constexpr const char* TDRConnectedDeviceKey = "connected_device";
// Keys of the phone's record under "connected_device".
inline constexpr const char* TDRDeviceNameKey = "name";
inline constexpr const char* TDRDeviceUUIDKey = "uuid";
inline constexpr const char* TDRDeviceStateKey = "state";

}  // namespace tandril
