#pragma once

#include <functional>

#include "pane/PaneAlert.hpp"

class QMessageBox;

namespace tandril {

// Alerts as window-modal message boxes over the window that holds the parent widget (a
// sheet); without a parent, an ordinary dialog. The box deletes itself when it ends.
class WinAlert : public PaneAlert {
public:
    void beginSheet(const Content& content, QWidget* parent) override;

    // The box of the latest alert while it is open, for tests and screenshots.
    QMessageBox* currentBox() const;
};

}  // namespace tandril
