#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tandril {

class TDRDeviceChooser;
class TDRTableCellView;

// What the device chooser window asks of its owner: the table's data source and delegate,
// the connect button's action and the end of the alert sheet.
class TDRDeviceChooserDelegate {
public:
    virtual ~TDRDeviceChooserDelegate() = default;

    virtual std::int64_t numberOfRowsInTableView(TDRDeviceChooser* chooser) = 0;
    // The cell for `row`, or absent when there is no such row (any more).
    virtual std::shared_ptr<TDRTableCellView> tableViewViewForTableColumnRow(TDRDeviceChooser* chooser,
                                                                             const std::string& tableColumn,
                                                                             std::int64_t row) = 0;
    virtual bool tableViewShouldSelectRow(TDRDeviceChooser* chooser, std::int64_t row) = 0;
    // The connect button was pressed.
    virtual void connectDevice(const void* sender) = 0;
    // The alert sheet ended with the button `returnCode`.
    virtual void alertDidEndReturnCodeContextInfo(TDRDeviceChooser* chooser, std::int64_t returnCode,
                                                  void* contextInfo) = 0;
};

}  // namespace tandril
