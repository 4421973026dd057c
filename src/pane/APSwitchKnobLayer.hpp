#pragma once

#include <QImage>
#include <QPointF>
#include <QSizeF>

class QPainter;

namespace tandril {

// The switch's knob: a rounded rectangle filled with a light vertical gradient (darker at the
// bottom, lighter at the top; reversed while pressed; lighter still while disabled), casting a
// soft shadow downwards.
class APSwitchKnobLayer {
public:
    static constexpr double kCornerRadius = 5.0;
    static constexpr double kShadowRadius = 3.0;
    // The shadow falls this far below the knob.
    static constexpr double kShadowOffset = 3.0;

    APSwitchKnobLayer();

    bool enabled() const { return enabled_; }
    // Rebuilds the gradient: white 0.89 to 0.95 when enabled, 0.95 to 0.98 when disabled.
    void setEnabled(bool enabled);
    bool isPressed() const { return pressed_; }
    void setPressed(bool pressed);

    double shadowOpacity() const { return shadowOpacity_; }
    void setShadowOpacity(double opacity);

    QSizeF bounds() const { return bounds_; }
    void setBounds(const QSizeF& bounds);

    // The gradient's ends, as white levels: bottom and top.
    double gradientBottomWhite() const { return bottomWhite_; }
    double gradientTopWhite() const { return topWhite_; }

    // Draws the knob into the rectangle (0, 0, bounds) of the painter's coordinates.
    void drawInContext(QPainter& painter);
    // Draws the knob's shadow for a knob whose top left corner is at `origin`.
    void drawShadow(QPainter& painter, const QPointF& origin);

private:
    QImage shadowImage(double devicePixelRatio);

    bool enabled_ = true;
    bool pressed_ = false;
    double shadowOpacity_ = 1.0;
    double bottomWhite_ = 0.89;
    double topWhite_ = 0.95;
    QSizeF bounds_;

    // The blurred shape of the knob, at the pixel ratio it was made for.
    QImage shadow_;
    double shadowRatio_ = 0.0;
};

}  // namespace tandril
