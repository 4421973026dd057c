#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "agent/TDRDeviceChooser.hpp"

namespace tandril {

// The device chooser for a terminal. It prints what the window would show (the list of
// phones, the status line, the alert) and plays the user: while `shouldPick` answers true,
// it selects the first listed phone whose name is `wantedName` (any phone when absent) and
// presses the connect button; it confirms the alert at once.
class TDRTerminalChooser : public TDRDeviceChooser {
public:
    explicit TDRTerminalChooser(std::ostream& out);

    void setWantedName(std::optional<std::string> name) { wantedName_ = std::move(name); }
    void setShouldPick(std::function<bool()> shouldPick) { shouldPick_ = std::move(shouldPick); }

    void setDelegate(std::weak_ptr<TDRDeviceChooserDelegate> delegate) override;
    void makeKeyAndOrderFront() override;
    void orderOut() override;
    bool isVisible() const override { return visible_; }
    void activateIgnoringOtherApps(bool flag) override;
    void reloadData() override;
    std::int64_t selectedRow() const override { return selectedRow_; }
    void setAllowsEmptySelection(bool allows) override { allowsEmptySelection_ = allows; }
    std::shared_ptr<TDRTableCellView> makeViewWithIdentifier(const std::string& identifier) override;
    void setConnectButtonEnabled(bool enabled) override { connectEnabled_ = enabled; }
    void setProgressIndeterminate(bool indeterminate) override { indeterminate_ = indeterminate; }
    void setProgressValue(double value) override { value_ = value; }
    void setProgressHidden(bool hidden) override { hidden_ = hidden; }
    void startProgressAnimation() override {}
    void setProgressLabel(const std::string& text) override;
    void beginAlertSheet(const std::string& messageText, const std::string& buttonTitle,
                         const std::string& informativeText) override;

    const std::vector<std::string>& rows() const { return rows_; }
    const std::string& label() const { return label_; }

private:
    std::ostream& out_;
    std::weak_ptr<TDRDeviceChooserDelegate> delegate_;
    std::optional<std::string> wantedName_;
    std::function<bool()> shouldPick_;
    bool visible_ = false;
    std::vector<std::string> rows_;
    std::int64_t selectedRow_ = -1;
    bool allowsEmptySelection_ = true;
    bool connectEnabled_ = false;
    bool indeterminate_ = true;
    double value_ = 0;
    bool hidden_ = false;
    std::string label_;
};

}  // namespace tandril
