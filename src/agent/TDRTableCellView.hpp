#pragma once

#include <optional>
#include <string>

namespace tandril {

// One cell of the chooser's table: its reuse identifier and the text of its text field.
class TDRTableCellView {
public:
    explicit TDRTableCellView(std::string identifier) : identifier_(std::move(identifier)) {}
    virtual ~TDRTableCellView() = default;

    const std::string& identifier() const { return identifier_; }
    const std::optional<std::string>& stringValue() const { return stringValue_; }
    virtual void setStringValue(std::optional<std::string> value) { stringValue_ = std::move(value); }

private:
    std::string identifier_;
    std::optional<std::string> stringValue_;
};

}  // namespace tandril
