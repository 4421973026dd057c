#pragma once

// The control channel between the agent and the settings application: six broadcast
// messages on the user's session bus. Only "TDRReceivedDeviceInformationNotification"
// carries a payload, a map with one entry under "connected_device": either the empty
// string (no phone) or the connected phone's record with the three keys below.
//
// On the session bus each message is a broadcast signal (no destination) of the interface
// TDRControlChannelInterface, sent from the object path TDRControlChannelPath; the signal's
// member is the message name exactly as below (all six are valid D-Bus member names, so no
// mapping is needed). The device information's signal has one argument of type a{sv}:
//   {"connected_device": <s "">}  or
//   {"connected_device": <a{sv} {"name": <s>, "uuid": <s>, "state": <s>}>}
// The other five signals have no arguments. A receiver drops (and logs) a signal of another
// shape, a map with other keys, or values of other types.

namespace tandril {

inline constexpr const char* TDRControlChannelInterface = "com.Varn.Tandril.ControlChannel";
inline constexpr const char* TDRControlChannelPath = "/com/Varn/Tandril/ControlChannel";

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
