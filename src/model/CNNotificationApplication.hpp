#pragma once

#include <memory>
#include <optional>
#include <string>

#include "foundation/Object.hpp"
#include "foundation/Value.hpp"
#include "http/Image.hpp"

namespace tandril {

// One phone application: the catalogue's record, shared by every notification of it.
// Created empty (no identifier, no name, disabled, no icon) and filled through the setters,
// which store what they are given. Main thread only (icon() may decode on first use).
class CNNotificationApplication : public Object {
public:
    CNNotificationApplication() = default;

    const std::optional<std::string>& bundleIdentifier() const { return bundleIdentifier_; }
    void setBundleIdentifier(std::optional<std::string> bundleIdentifier) { bundleIdentifier_ = std::move(bundleIdentifier); }

    const std::optional<std::string>& displayName() const { return displayName_; }
    void setDisplayName(std::optional<std::string> displayName) { displayName_ = std::move(displayName); }

    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled) { enabled_ = enabled; }

    // The icon. A record whose icon was given as a file decodes it here, on the first call
    // (when a notification is shown or a row drawn), not when the catalogue is loaded; a
    // file that has gone or cannot be decoded by then gives no icon, for good.
    const std::shared_ptr<Image>& icon() const;
    void setIcon(std::shared_ptr<Image> icon);
    // The icon is the PNG (or other image) file at `path`, decoded when icon() is first
    // asked for. Replaces any icon set before.
    void setIconFile(std::string path);

    // The persistent form: "bundle_identifier" and "display_name" when present, and always
    // "enabled" as the text "1" or "0". Every value is a string; the icon is not included.
    Dictionary dictionaryRepresentation() const;


private:
    std::optional<std::string> bundleIdentifier_;
    std::optional<std::string> displayName_;
    bool enabled_ = false;
    // Filled from iconFile_ on first use: icon() is a getter to its callers.
    mutable std::shared_ptr<Image> icon_;
    mutable std::optional<std::string> iconFile_;
};

}  // namespace tandril
