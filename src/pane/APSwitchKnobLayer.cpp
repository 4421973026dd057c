#include "pane/APSwitchKnobLayer.hpp"

#include <QLinearGradient>
#include <QPaintDevice>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <vector>

namespace tandril {

namespace {

// Blurs the alpha channel of a premultiplied black image with a Gaussian of deviation `sigma`
// (in pixels), horizontally then vertically.
void blurAlpha(QImage& image, double sigma) {
    const int radius = static_cast<int>(std::ceil(sigma * 3.0));
    std::vector<double> kernel(2 * radius + 1);
    double sum = 0.0;
    for (int i = -radius; i <= radius; ++i) {
        kernel[i + radius] = std::exp(-(i * i) / (2.0 * sigma * sigma));
        sum += kernel[i + radius];
    }
    for (auto& k : kernel) k /= sum;

    const int w = image.width();
    const int h = image.height();
    std::vector<double> alpha(static_cast<std::size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < w; ++x) alpha[static_cast<std::size_t>(y) * w + x] = qAlpha(line[x]);
    }
    std::vector<double> pass(alpha.size());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            double v = 0.0;
            for (int i = -radius; i <= radius; ++i) {
                const int sx = x + i;
                if (sx >= 0 && sx < w) v += kernel[i + radius] * alpha[static_cast<std::size_t>(y) * w + sx];
            }
            pass[static_cast<std::size_t>(y) * w + x] = v;
        }
    }
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            double v = 0.0;
            for (int i = -radius; i <= radius; ++i) {
                const int sy = y + i;
                if (sy >= 0 && sy < h) v += kernel[i + radius] * pass[static_cast<std::size_t>(sy) * w + x];
            }
            line[x] = qRgba(0, 0, 0, std::clamp(static_cast<int>(std::lround(v)), 0, 255));
        }
    }
}

}  // namespace

APSwitchKnobLayer::APSwitchKnobLayer() { setEnabled(true); }

void APSwitchKnobLayer::setEnabled(bool enabled) {
    enabled_ = enabled;
    bottomWhite_ = enabled ? 0.89 : 0.95;
    topWhite_ = enabled ? 0.95 : 0.98;
}

void APSwitchKnobLayer::setPressed(bool pressed) {
    pressed_ = pressed;
}

void APSwitchKnobLayer::setShadowOpacity(double opacity) { shadowOpacity_ = opacity; }

void APSwitchKnobLayer::setBounds(const QSizeF& bounds) {
    if (bounds == bounds_) return;
    bounds_ = bounds;
    shadow_ = QImage();
}

void APSwitchKnobLayer::drawInContext(QPainter& painter) {
    if (bounds_.isEmpty()) return;
    QPainterPath path;
    path.addRoundedRect(QRectF(QPointF(0, 0), bounds_), kCornerRadius, kCornerRadius);
    // Darker at the bottom and lighter at the top; reversed while pressed.
    const double bottom = pressed_ ? topWhite_ : bottomWhite_;
    const double top = pressed_ ? bottomWhite_ : topWhite_;
    QLinearGradient gradient(0, bounds_.height(), 0, 0);
    gradient.setColorAt(0.0, QColor::fromRgbF(bottom, bottom, bottom));
    gradient.setColorAt(1.0, QColor::fromRgbF(top, top, top));
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(path, gradient);
    painter.restore();
}

QImage APSwitchKnobLayer::shadowImage(double devicePixelRatio) {
    if (!shadow_.isNull() && shadowRatio_ == devicePixelRatio) return shadow_;
    const double margin = kShadowRadius * 2.0;
    const QSize pixels(static_cast<int>(std::ceil((bounds_.width() + 2 * margin) * devicePixelRatio)),
                       static_cast<int>(std::ceil((bounds_.height() + 2 * margin) * devicePixelRatio)));
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter shape(&image);
        shape.setRenderHint(QPainter::Antialiasing);
        shape.scale(devicePixelRatio, devicePixelRatio);
        QPainterPath path;
        path.addRoundedRect(QRectF(QPointF(margin, margin), bounds_), kCornerRadius, kCornerRadius);
        shape.fillPath(path, Qt::black);
    }
    // A shadow radius is twice the Gaussian deviation.
    blurAlpha(image, kShadowRadius / 2.0 * devicePixelRatio);
    image.setDevicePixelRatio(devicePixelRatio);
    shadow_ = image;
    shadowRatio_ = devicePixelRatio;
    return shadow_;
}

void APSwitchKnobLayer::drawShadow(QPainter& painter, const QPointF& origin) {
    if (bounds_.isEmpty() || shadowOpacity_ <= 0.0) return;
    const double ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const double margin = kShadowRadius * 2.0;
    painter.save();
    painter.setOpacity(painter.opacity() * shadowOpacity_);
    painter.drawImage(origin + QPointF(-margin, kShadowOffset - margin), shadowImage(ratio));
    painter.restore();
}

}  // namespace tandril
