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
//
// The widgets are built the first time they are needed (the window shown, an alert, one of
// the accessors below): an agent whose phone is already chosen never opens the chooser, and
// building the window loads the style and the font database (about 4 MB resident). Until
// then the chooser keeps the rows, the selection, the button's and the progress bar's state
// and the status line itself, and the window starts from them.
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

    // The widgets, for the program, screenshots and tests (built when first asked for).
    QWidget* window();
    QTableWidget* tableView();
    QPushButton* connectButton();
    QProgressBar* progressIndicator();
    QLabel* progressLabel();
    // Whether the widgets have been built.
    bool hasWindow() const { return window_ != nullptr; }
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

    // Builds the widgets from the state kept so far (once).
    void buildWindow();
    // The table's rows from rows_ and selectedRow_.
    void fillTable();
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
    // What the widgets show, kept while they are not built.
    bool connectButtonEnabled_ = false;
    bool progressIndeterminate_ = true;
    std::optional<int> progressValue_;
    bool progressHidden_ = false;
    std::string progressLabel_;
    // Set while the chooser itself changes the table's selection.
    bool settingSelection_ = false;
};

}  // namespace tandril
