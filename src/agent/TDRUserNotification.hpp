#pragma once

#include <memory>
#include <optional>
#include <string>

#include "foundation/Object.hpp"

namespace tandril {

class Image;

// One desktop notification as the agent hands it to the desktop: a title, an optional
// subtitle, the text, and optionally an image that the desktop shows in place of the
// agent's own icon (the phone application's icon).
class TDRUserNotification : public Object {
public:
    TDRUserNotification() = default;

    const std::optional<std::string>& title() const { return title_; }
    void setTitle(std::optional<std::string> title) { title_ = std::move(title); }
    const std::optional<std::string>& subtitle() const { return subtitle_; }
    void setSubtitle(std::optional<std::string> subtitle) { subtitle_ = std::move(subtitle); }
    const std::optional<std::string>& informativeText() const { return informativeText_; }
    void setInformativeText(std::optional<std::string> text) { informativeText_ = std::move(text); }
    // The "_identityImage" of the notification.
    const std::shared_ptr<Image>& identityImage() const { return identityImage_; }
    void setIdentityImage(std::shared_ptr<Image> image) { identityImage_ = std::move(image); }

    std::string className() const override { return "TDRUserNotification"; }
    // "<TDRUserNotification: 0x…> {title = …; subtitle = …; informativeText = …}"
    std::string description() const override;

private:
    std::optional<std::string> title_;
    std::optional<std::string> subtitle_;
    std::optional<std::string> informativeText_;
    std::shared_ptr<Image> identityImage_;
};

}  // namespace tandril
