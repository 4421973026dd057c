#include "agent/TDRTerminalChooser.hpp"

#include "agent/TDRTerminalPresenter.hpp"
#include "foundation/RunLoop.hpp"

namespace tandril {

TDRTerminalChooser::TDRTerminalChooser(std::ostream& out) : out_(out) {}

void TDRTerminalChooser::setDelegate(std::weak_ptr<TDRDeviceChooserDelegate> delegate) {
    delegate_ = std::move(delegate);
}

void TDRTerminalChooser::makeKeyAndOrderFront() {
    if (!visible_) out_ << "[chooser] window opened" << std::endl;
    visible_ = true;
}

void TDRTerminalChooser::orderOut() {
    if (visible_) out_ << "[chooser] window closed" << std::endl;
    visible_ = false;
}

void TDRTerminalChooser::activateIgnoringOtherApps(bool /*flag*/) {}

std::shared_ptr<TDRTableCellView> TDRTerminalChooser::makeViewWithIdentifier(const std::string& identifier) {
    return std::make_shared<TDRTableCellView>(identifier);
}

void TDRTerminalChooser::reloadData() {
    const auto delegate = delegate_.lock();
    if (!delegate) return;
    std::vector<std::string> rows;
    const auto count = delegate->numberOfRowsInTableView(this);
    for (std::int64_t row = 0; row < count; ++row) {
        const auto cell = delegate->tableViewViewForTableColumnRow(this, kDeviceColumnIdentifier, row);
        rows.push_back(cell && cell->stringValue() ? *cell->stringValue() : std::string());
    }
    if (rows != rows_ && visible_) {
        out_ << "[chooser] phones in range:";
        for (const auto& name : rows) out_ << " '" << TDRTerminalPresenter::printable(name) << "'";
        if (rows.empty()) out_ << " none";
        out_ << std::endl;
    }
    rows_ = std::move(rows);

    // Play the user: pick the phone once it is listed, then press connect.
    // Once pressed, the button stays off until the attempt failed.
    const bool canPress = selectedRow_ < 0 || connectEnabled_;
    if (!visible_ || !canPress) return;
    if (shouldPick_ && !shouldPick_()) return;
    for (std::size_t row = 0; row < rows_.size(); ++row) {
        if (wantedName_ && rows_[row] != *wantedName_) continue;
        const auto index = static_cast<std::int64_t>(row);
        if (!delegate->tableViewShouldSelectRow(this, index)) return;
        selectedRow_ = index;
        out_ << "[chooser] selecting '" << TDRTerminalPresenter::printable(rows_[row]) << "' and pressing Connect"
             << std::endl;
        delegate->connectDevice(this);
        return;
    }
}

void TDRTerminalChooser::setProgressLabel(const std::string& text) {
    if (text != label_) out_ << "[chooser] " << TDRTerminalPresenter::printable(text) << std::endl;
    label_ = text;
}

void TDRTerminalChooser::beginAlertSheet(const std::string& messageText, const std::string& buttonTitle,
                                         const std::string& informativeText) {
    out_ << "[chooser] alert: " << TDRTerminalPresenter::printable(messageText) << "\n[chooser]        "
         << TDRTerminalPresenter::printable(informativeText) << "\n[chooser]        [" << buttonTitle
         << "] pressed" << std::endl;
    // The user confirms; the sheet ends after this turn of the loop, as a click would.
    const std::weak_ptr<TDRDeviceChooserDelegate> weakDelegate = delegate_;
    RunLoop::main().post([this, weakDelegate] {
        if (const auto delegate = weakDelegate.lock()) delegate->alertDidEndReturnCodeContextInfo(this, 1000, nullptr);
    });
}

}  // namespace tandril
