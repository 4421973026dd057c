#pragma once

#include <optional>
#include <string>

class QWidget;

namespace tandril {

// Alerts shown as sheets: window-modal on the window that holds `parent`.
class PaneAlert {
public:
    struct Content {
        std::string messageText;
        std::string buttonTitle;
        std::string informativeText;
        // An image file for the alert's icon; the default icon when absent or unreadable.
        std::optional<std::string> iconPath;
    };

    virtual ~PaneAlert() = default;

    // Shows the alert and returns at once; the alert ends when the user presses its button.
    virtual void beginSheet(const Content& content, QWidget* parent) = 0;
};

}  // namespace tandril
