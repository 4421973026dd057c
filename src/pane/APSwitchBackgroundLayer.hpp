#pragma once

#include <QColor>
#include <QSizeF>

class QPainter;

namespace tandril {

// The sliding strip behind the switch's knob: twice the switch's width, its left half in the
// on colour and its right half gray, so that the track shows the on colour left of the knob
// and gray right of it. Over both lie a pale veil while disabled, a vertical darkening towards
// the top, and an inner shadow along the top edge.
class APSwitchBackgroundLayer {
public:
    // The gray of the off side, the veil while disabled, and the darkening at the top.
    static constexpr double kOffWhite = 0.75;
    static constexpr double kVeilWhite = 1.0;
    static constexpr double kVeilAlpha = 0.85;
    static constexpr double kGradientTopAlpha = 0.25;
    // The inner shadow: black at 30 % (10 % while disabled), blur radius 3, 3 points down,
    // cast by the outline of the strip grown by one point on every side.
    static constexpr double kInnerShadowAlpha = 0.3;
    static constexpr double kInnerShadowDisabledAlpha = 0.1;
    static constexpr double kInnerShadowBlurRadius = 3.0;
    static constexpr double kInnerShadowOffset = 3.0;

    APSwitchBackgroundLayer();

    bool enabled() const { return enabled_; }
    void setEnabled(bool enabled);
    QColor onTintColor() const { return onTintColor_; }
    void setOnTintColor(const QColor& color);

    QSizeF bounds() const { return bounds_; }
    void setBounds(const QSizeF& bounds);

    // Draws the strip into the rectangle (0, 0, bounds) of the painter's coordinates.
    void drawInContext(QPainter& painter);

    // The opacity of the inner shadow at the depth y (points below the strip's top edge).
    double innerShadowAlphaAt(double y) const;

private:
    bool enabled_ = true;
    QColor onTintColor_;
    QSizeF bounds_;
};

}  // namespace tandril
