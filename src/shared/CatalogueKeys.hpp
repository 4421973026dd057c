#pragma once

// Names of the application catalogue that the agent and the settings application share.
// The file is a property list: an array of dictionaries with string values under these keys.

namespace tandril {

// Keys of one catalogue entry.
inline constexpr const char* kCatalogueBundleIdentifierKey = "bundle_identifier";
inline constexpr const char* kCatalogueDisplayNameKey = "display_name";
inline constexpr const char* kCatalogueEnabledKey = "enabled";

// The catalogue folder in the per-user data folder, and what it holds.
inline constexpr const char* kCatalogueFolderName = "Tandril";
inline constexpr const char* kCatalogueFileName = "CachedApplications.dat";
inline constexpr const char* kCatalogueIconsFolderName = "CachedIcons";

}  // namespace tandril
