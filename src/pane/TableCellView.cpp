#include "pane/TableCellView.hpp"

#include <QFile>
#include <QLabel>
#include <QMetaObject>
#include <QResizeEvent>
#include <QUiLoader>
#include <QVariant>

#include <memory>

#include "foundation/Bundle.hpp"
#include "pane/ApplicationView.hpp"

namespace tandril {

namespace {

// Builds the cell classes by name, so that an interface file can name them as its top-level
// widget; everything else is Qt's.
class CellLoader : public QUiLoader {
public:
    QWidget* createWidget(const QString& className, QWidget* parent, const QString& name) override {
        QWidget* widget = nullptr;
        if (className == QLatin1String("ApplicationView")) {
            widget = new ApplicationView(parent);
        } else if (className == QLatin1String("TableCellView") || className == QLatin1String("tandril::TableCellView")) {
            widget = new TableCellView(parent);
        } else {
            return QUiLoader::createWidget(className, parent, name);
        }
        widget->setObjectName(name);
        return widget;
    }
};

}  // namespace

TableCellView::TableCellView(QWidget* parent) : QWidget(parent) {}

TableCellView::~TableCellView() = default;

TableCellView* TableCellView::tableCellViewWithNibNamed(const std::string& nibName, const Bundle& bundle,
                                                        QObject* owner) {
    return instantiate(nibName, bundle, owner, TableCellView::staticMetaObject);
}

TableCellView* TableCellView::instantiate(const std::string& nibName, const Bundle& bundle, QObject* owner,
                                          const QMetaObject& cls) {
    const auto path = bundle.pathForResource(nibName, "ui");
    if (!path) return nullptr;
    QFile file(QString::fromStdString(*path));
    if (!file.open(QIODevice::ReadOnly)) return nullptr;
    CellLoader loader;
    std::unique_ptr<QWidget> top(loader.load(&file));
    if (!top) return nullptr;
    // A .ui file has one top-level widget: it must be the class asked for (or a subclass).
    QWidget* found = top->metaObject()->inherits(&cls) ? top.release() : nullptr;
    auto* cell = static_cast<TableCellView*>(found);
    if (!cell) return nullptr;
    if (owner) cell->setProperty("owner", QVariant::fromValue(owner));
    cell->bindOutlets();
    return cell;
}

void TableCellView::bindOutlets() {
    textField_ = findChild<QLabel*>(QStringLiteral("textField"));
    imageView_ = findChild<QLabel*>(QStringLiteral("imageView"));
    // Cell texts come from elsewhere (a phone's application names): never markup.
    if (textField_) textField_->setTextFormat(Qt::PlainText);
}

void TableCellView::setImage(const QImage& image) {
    image_ = image;
    drawImage();
}

void TableCellView::drawImage() {
    if (!imageView_ || image_.isNull()) return;
    imageView_->setPixmap(QPixmap::fromImage(image_));
}

void TableCellView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    drawImage();
}

}  // namespace tandril
