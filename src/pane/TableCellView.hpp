#pragma once

#include <QImage>
#include <QWidget>

#include <string>

class QLabel;
class QMetaObject;

namespace tandril {

class Bundle;

// One cell of a table: a text field and an image view, laid out by an interface file (a Qt
// Designer .ui file among a bundle's resources) whose top-level widget is this class or a
// subclass. The outlets are the file's widgets named "textField" (a QLabel) and "imageView"
// (a QLabel); either may be missing. The text field always shows plain text.
class TableCellView : public QWidget {
    Q_OBJECT
public:
    explicit TableCellView(QWidget* parent = nullptr);
    ~TableCellView() override;

    // Loads the interface file `nibName` ("<nibName>.ui" in the bundle's resources) anew and
    // returns its top-level widget when that is a TableCellView (or a subclass), with no
    // parent: the caller owns it. Null when the file is missing, cannot be read or holds no
    // such widget. `owner` is the file's owner (kept as the cell's owner property).
    static TableCellView* tableCellViewWithNibNamed(const std::string& nibName, const Bundle& bundle, QObject* owner);

    QLabel* textField() const { return textField_; }
    QLabel* imageView() const { return imageView_; }

    // The image view's image; the interface file's image stays until one is set.
    void setImage(const QImage& image);
    const QImage& image() const { return image_; }

protected:
    // Loads `nibName` and returns its top-level widget when it inherits `cls`, outlets
    // bound; null otherwise. Each subclass's tableCellViewWithNibNamed calls it with its own
    // class.
    static TableCellView* instantiate(const std::string& nibName, const Bundle& bundle, QObject* owner,
                                      const QMetaObject& cls);
    // Finds the outlets among the children once the file is loaded.
    virtual void bindOutlets();
    // Shows image() in the image view at its current size.
    virtual void drawImage();
    void resizeEvent(QResizeEvent* event) override;

private:
    QLabel* textField_ = nullptr;
    QLabel* imageView_ = nullptr;
    QImage image_;
};

}  // namespace tandril
