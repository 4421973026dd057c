#pragma once

#include "pane/TableCellView.hpp"

class QCheckBox;

namespace tandril {

// One row of the settings window's application list, loaded from the interface file
// "ApplicationView": the application's icon (image view), its name (text field) and a check
// box (outlet "checkButton") that enables or disables its notifications. Whenever its
// geometry is set, the icon is drawn clipped to a rounded rectangle of corner radius 3.0.
class ApplicationView : public TableCellView {
    Q_OBJECT
public:
    static constexpr double kIconCornerRadius = 3.0;

    explicit ApplicationView(QWidget* parent = nullptr);

    // As TableCellView's, for ApplicationView: null when the file's top-level widget is not
    // an ApplicationView.
    static ApplicationView* tableCellViewWithNibNamed(const std::string& nibName, const Bundle& bundle,
                                                      QObject* owner);

    QCheckBox* checkButton() const { return checkButton_; }

    // The icon drawn at `size` (device-independent pixels) and `devicePixelRatio`, clipped to
    // the rounded rectangle: what the image view shows.
    static QImage roundedImage(const QImage& image, const QSize& size, double devicePixelRatio);

protected:
    void bindOutlets() override;
    void drawImage() override;

private:
    QCheckBox* checkButton_ = nullptr;
};

}  // namespace tandril
