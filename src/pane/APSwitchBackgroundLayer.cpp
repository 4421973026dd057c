#include "pane/APSwitchBackgroundLayer.hpp"

#include <QLinearGradient>
#include <QPaintDevice>
#include <QPainter>

#include <cmath>

#include "pane/APSwitch.hpp"

namespace tandril {

namespace {

QColor white(double level, double alpha) { return QColor::fromRgbF(level, level, level, alpha); }

// The part of a band [top, bottom] that a Gaussian blur of deviation `sigma` spreads onto the
// point y: the blurred band's coverage there, between 0 and 1.
double blurredBandCoverage(double top, double bottom, double sigma, double y) {
    const double scale = 1.0 / (sigma * std::sqrt(2.0));
    return 0.5 * (std::erf((bottom - y) * scale) - std::erf((top - y) * scale));
}

}  // namespace

APSwitchBackgroundLayer::APSwitchBackgroundLayer() : onTintColor_(APSwitch::defaultOnTintColor()) {}

void APSwitchBackgroundLayer::setEnabled(bool enabled) {
    enabled_ = enabled;
}

void APSwitchBackgroundLayer::setOnTintColor(const QColor& color) {
    onTintColor_ = color;
}

void APSwitchBackgroundLayer::setBounds(const QSizeF& bounds) {
    if (bounds == bounds_) return;
    bounds_ = bounds;
}

double APSwitchBackgroundLayer::innerShadowAlphaAt(double y) const {
    // The outline (the strip grown by one point) is stroked one point wide, so its top edge
    // covers [-1.5, -0.5] and its bottom edge [h + 0.5, h + 1.5]; the shadow moves both down
    // by the offset and blurs them (a blur radius is twice the Gaussian deviation). The side
    // edges lie beyond the strip's ends, which the track never shows.
    const double sigma = kInnerShadowBlurRadius / 2.0;
    const double h = bounds_.height();
    const double coverage =
        blurredBandCoverage(-1.5 + kInnerShadowOffset, -0.5 + kInnerShadowOffset, sigma, y) +
        blurredBandCoverage(h + 0.5 + kInnerShadowOffset, h + 1.5 + kInnerShadowOffset, sigma, y);
    return (enabled_ ? kInnerShadowAlpha : kInnerShadowDisabledAlpha) * coverage;
}

void APSwitchBackgroundLayer::drawInContext(QPainter& painter) {
    const double bw = bounds_.width();
    const double bh = bounds_.height();
    if (bw <= 0 || bh <= 0) return;
    const QRectF b(0, 0, bw, bh);

    painter.save();
    painter.setPen(Qt::NoPen);
    painter.fillRect(b, white(kOffWhite, 1.0));
    painter.fillRect(QRectF(0, 0, bw * 0.5, bh), onTintColor_);
    if (!enabled_) painter.fillRect(b, white(kVeilWhite, kVeilAlpha));

    // Clear at the bottom, darkening towards the top.
    QLinearGradient darkening(0, bh, 0, 0);
    darkening.setColorAt(0.0, white(0.0, 0.0));
    darkening.setColorAt(1.0, white(0.0, kGradientTopAlpha));
    painter.fillRect(b, darkening);

    // The inner shadow along the top edge, one row of device pixels at a time, so that it
    // stays smooth at any pixel ratio.
    const double ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const double row = 1.0 / ratio;
    const int rows = static_cast<int>(std::ceil(bh * ratio));
    for (int i = 0; i < rows; ++i) {
        const double top = i * row;
        const double alpha = innerShadowAlphaAt(top + row / 2.0);
        if (alpha < 1.0 / 512.0) continue;
        painter.fillRect(QRectF(0, top, bw, std::min(row, bh - top)), white(0.0, alpha));
    }
    painter.restore();
}

}  // namespace tandril
