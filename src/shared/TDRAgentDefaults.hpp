#pragma once

// The agent's defaults domain and the keys in it that the settings application reads or
// writes too ($XDG_CONFIG_HOME/Tandril/com.Varn.Glimwick.plist).

namespace tandril {

inline constexpr const char* TDRAgentDefaultsDomain = "com.Varn.Glimwick";
// The preferred phone's identifier (written by the agent only).
inline constexpr const char* TDRPreferredDeviceKey = "CNConsumerManagerPreferredUUID";
// "Allow iPhones to connect", a boolean: whether the agent advertises so that an iPhone
// without the companion application can connect. The settings application writes it and
// then sends "TDRRequestDeviceInformationNotification"; the agent reads it afresh on every
// such request. Absent: on when no preferred phone is stored (the agent writes its choice
// down at start).
inline constexpr const char* TDRAllowIPhonesToConnectKey = "TDRAllowIPhonesToConnect";

}  // namespace tandril
