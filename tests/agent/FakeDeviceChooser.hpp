#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/TDRDeviceChooser.hpp"

namespace tandril::test {

// A chooser window that keeps the state of its controls and, on reloadData, asks its
// delegate for the rows as a table would.
class FakeDeviceChooser : public TDRDeviceChooser {
public:
    struct Alert {
        std::string message;
        std::string button;
        std::string informative;
    };

    void setDelegate(std::weak_ptr<TDRDeviceChooserDelegate> d) override { delegate = std::move(d); }
    void makeKeyAndOrderFront() override {
        visible = true;
        ++orderFrontCount;
    }
    void orderOut() override { visible = false; }
    bool isVisible() const override { return visible; }
    void activateIgnoringOtherApps(bool flag) override { activatedIgnoringOtherApps = flag; }
    void reloadData() override {
        ++reloadCount;
        rows.clear();
        const auto d = delegate.lock();
        if (!d) return;
        const auto count = d->numberOfRowsInTableView(this);
        for (std::int64_t row = 0; row < count; ++row) {
            const auto cell = d->tableViewViewForTableColumnRow(this, kDeviceColumnIdentifier, row);
            rows.push_back(cell ? cell->stringValue() : std::nullopt);
        }
    }
    std::int64_t selectedRow() const override { return selected; }
    void setAllowsEmptySelection(bool allows) override { allowsEmptySelection = allows; }
    std::shared_ptr<TDRTableCellView> makeViewWithIdentifier(const std::string& identifier) override {
        cellIdentifiers.push_back(identifier);
        return std::make_shared<TDRTableCellView>(identifier);
    }
    void setConnectButtonEnabled(bool enabled) override { connectEnabled = enabled; }
    void setProgressIndeterminate(bool indeterminate) override { progressIndeterminate = indeterminate; }
    void setProgressValue(double value) override { progressValue = value; }
    void setProgressHidden(bool hidden) override { progressHidden = hidden; }
    void startProgressAnimation() override { ++animationStarts; }
    void setProgressLabel(const std::string& text) override { label = text; }
    void beginAlertSheet(const std::string& message, const std::string& button,
                         const std::string& informative) override {
        alerts.push_back({message, button, informative});
    }

    // --- the user's side
    // Clicks a row: the table asks its delegate first.
    void clickRow(std::int64_t row) {
        if (const auto d = delegate.lock(); d && d->tableViewShouldSelectRow(this, row)) selected = row;
    }
    void pressConnect() {
        if (const auto d = delegate.lock()) d->connectDevice(this);
    }
    void endAlert(std::int64_t returnCode = 1000) {
        if (const auto d = delegate.lock()) d->alertDidEndReturnCodeContextInfo(this, returnCode, nullptr);
    }

    std::weak_ptr<TDRDeviceChooserDelegate> delegate;
    bool visible = false;
    int orderFrontCount = 0;
    bool activatedIgnoringOtherApps = false;
    int reloadCount = 0;
    std::vector<std::optional<std::string>> rows;
    std::vector<std::string> cellIdentifiers;
    std::int64_t selected = -1;
    bool allowsEmptySelection = true;
    bool connectEnabled = false;
    bool progressIndeterminate = false;
    double progressValue = 0;
    bool progressHidden = true;
    int animationStarts = 0;
    std::string label;
    std::vector<Alert> alerts;
};

}  // namespace tandril::test
