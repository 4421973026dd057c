#include "pane/ApplicationView.hpp"

#include <QCheckBox>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>
#include <cmath>

namespace tandril {

ApplicationView::ApplicationView(QWidget* parent) : TableCellView(parent) {}

ApplicationView* ApplicationView::tableCellViewWithNibNamed(const std::string& nibName, const Bundle& bundle,
                                                            QObject* owner) {
    return static_cast<ApplicationView*>(instantiate(nibName, bundle, owner, ApplicationView::staticMetaObject));
}

void ApplicationView::bindOutlets() {
    TableCellView::bindOutlets();
    checkButton_ = findChild<QCheckBox*>(QStringLiteral("checkButton"));
}

QImage ApplicationView::roundedImage(const QImage& image, const QSize& size, double devicePixelRatio) {
    const double ratio = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
    const QSize pixels(std::max(1, static_cast<int>(std::lround(size.width() * ratio))),
                       std::max(1, static_cast<int>(std::lround(size.height() * ratio))));
    QImage out(pixels, QImage::Format_ARGB32_Premultiplied);
    out.setDevicePixelRatio(ratio);
    out.fill(Qt::transparent);
    QPainter painter(&out);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF bounds(0, 0, size.width(), size.height());
    QPainterPath outline;
    outline.addRoundedRect(bounds, kIconCornerRadius, kIconCornerRadius);
    painter.setClipPath(outline);
    painter.drawImage(bounds, image);
    return out;
}

void ApplicationView::drawImage() {
    auto* view = imageView();
    if (!view || image().isNull()) return;
    const QSize size = view->size().isEmpty() ? view->sizeHint() : view->size();
    if (size.isEmpty()) return;
    view->setPixmap(QPixmap::fromImage(roundedImage(image(), size, view->devicePixelRatioF())));
}

}  // namespace tandril
