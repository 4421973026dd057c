#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/TDRDeviceChooser.hpp"

class QLabel;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QTableWidget;
class QWidget;

namespace tandril {

// The device chooser as a Qt Widgets window: a one-column table of the phones in range
// (each row a "DeviceCell": the phone's name and, greyed, its identifier), the connect
// button, a progress bar running from 0 to 100 and the status line. The alert is a
// window-modal message box on the window.
//
// Names come from the air: every label shows its text as plain text, never as markup.
// Closing the window (its close button, Alt+F4) only hides it; the chooser opens again
// when asked.
class WinDeviceChooser : public QObject, public TDRDeviceChooser {
    Q_OBJECT

public:
    // The text under a phone's name for `row`, or absent. The agent's table cell carries
    // only the name, so the program supplies the identifier (the phone's UUID) this way.
    using DetailForRow = std::function<std::optional<std::string>(std::int64_t row)>;

    // NSAlertFirstButtonReturn: the code the alert ends with when its button is pressed.
    static constexpr std::int64_t kAlertFirstButtonReturn = 1000;

    WinDeviceChooser();
    ~WinDeviceChooser() override;

    void setDetailForRow(DetailForRow detailForRow) { detailForRow_ = std::move(detailForRow); }

    void setDelegate(std::weak_ptr<TDRDeviceChooserDelegate> delegate) override;
    void makeKeyAndOrderFront() override;
    void orderOut() override;
    bool isVisible() const override;
    void activateIgnoringOtherApps(bool flag) override;
    void reloadData() override;
    std::int64_t selectedRow() const override;
    void setAllowsEmptySelection(bool allows) override { allowsEmptySelection_ = allows; }
    std::shared_ptr<TDRTableCellView> makeViewWithIdentifier(const std::string& identifier) override;
    void setConnectButtonEnabled(bool enabled) override;
    void setProgressIndeterminate(bool indeterminate) override;
    void setProgressValue(double value) override;
    void setProgressHidden(bool hidden) override;
    void startProgressAnimation() override;
    void setProgressLabel(const std::string& text) override;
    void beginAlertSheet(const std::string& messageText, const std::string& buttonTitle,
                         const std::string& informativeText) override;

    // The widgets, for the program, screenshots and tests.
    QWidget* window() const { return window_; }
    QTableWidget* tableView() const { return table_; }
    QPushButton* connectButton() const { return connectButton_; }
    QProgressBar* progressIndicator() const { return progress_; }
    QLabel* progressLabel() const { return label_; }
    // The alert on show, or null.
    QMessageBox* alert() const { return alert_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Row {
        std::string name;
        std::optional<std::string> detail;
        bool operator==(const Row&) const = default;
    };

    void selectionChanged();
    void selectRow(std::int64_t row);
    // Name and identifier in the colours of a selected or unselected row.
    void updateCellColors();
    static QWidget* makeCell(const Row& row);

    QWidget* window_ = nullptr;
    QTableWidget* table_ = nullptr;
    QPushButton* connectButton_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* label_ = nullptr;
    QMessageBox* alert_ = nullptr;

    std::weak_ptr<TDRDeviceChooserDelegate> delegate_;
    DetailForRow detailForRow_;
    std::vector<Row> rows_;
    std::int64_t selectedRow_ = -1;
    bool allowsEmptySelection_ = true;
    // Set while the chooser itself changes the table's selection.
    bool settingSelection_ = false;
};

}  // namespace tandril
