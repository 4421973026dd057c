#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "agent/TDRDeviceChooserDelegate.hpp"
#include "agent/TDRTableCellView.hpp"

namespace tandril {

// The device chooser window: a table of the phones in range (one column, cells with the
// identifier "DeviceCell"), a connect button, a progress bar running from 0 to 100, a
// status line, and an alert shown as a sheet on the window. The window and its controls
// belong to the desktop; the owner only drives them.
class TDRDeviceChooser {
public:
    // The column of the table and the identifier of its cells.
    static constexpr const char* kDeviceColumnIdentifier = "DeviceColumn";
    static constexpr const char* kDeviceCellIdentifier = "DeviceCell";

    virtual ~TDRDeviceChooser() = default;

    virtual void setDelegate(std::weak_ptr<TDRDeviceChooserDelegate> delegate) = 0;

    // Window (deviceWindow) and application.
    virtual void makeKeyAndOrderFront() = 0;
    virtual void orderOut() = 0;
    virtual bool isVisible() const = 0;
    virtual void activateIgnoringOtherApps(bool flag) = 0;

    // Table (deviceTableView). reloadData asks the delegate for the rows again.
    virtual void reloadData() = 0;
    // The selected row, or -1 when nothing is selected.
    virtual std::int64_t selectedRow() const = 0;
    virtual void setAllowsEmptySelection(bool allows) = 0;
    // A reusable cell with `identifier`.
    virtual std::shared_ptr<TDRTableCellView> makeViewWithIdentifier(const std::string& identifier) = 0;

    // Connect button (connectButton); its action is the delegate's connectDevice.
    virtual void setConnectButtonEnabled(bool enabled) = 0;

    // Progress bar (progressIndicator).
    virtual void setProgressIndeterminate(bool indeterminate) = 0;
    virtual void setProgressValue(double value) = 0;
    virtual void setProgressHidden(bool hidden) = 0;
    virtual void startProgressAnimation() = 0;

    // Status line (progressLabel).
    virtual void setProgressLabel(const std::string& text) = 0;

    // Shows an alert with one button as a sheet on the window; when it ends the chooser
    // calls the delegate's alertDidEndReturnCodeContextInfo.
    virtual void beginAlertSheet(const std::string& messageText, const std::string& buttonTitle,
                                 const std::string& informativeText) = 0;
};

}  // namespace tandril
